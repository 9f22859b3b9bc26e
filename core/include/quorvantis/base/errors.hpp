// The core's single error type and the "value or error" result it travels in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace quorvantis {

// Ordinal order is part of the Python mapping: 0-3 ValueError, 4-6 RuntimeError.
enum class ErrorKind : std::uint8_t {
    FeatureOutOfBounds = 0,
    InvalidData = 1,
    EmptyData = 2,
    InvalidTreatment = 3,
    ModelNotFitted = 4,
    Internal = 5,
    Calculation = 6,
};

class QuorvantisError {
public:
    static QuorvantisError feature_out_of_bounds(std::uint64_t index);
    static QuorvantisError invalid_data();
    static QuorvantisError empty_data();
    static QuorvantisError invalid_treatment(double value);
    static QuorvantisError model_not_fitted();
    static QuorvantisError internal(std::string text);
    static QuorvantisError calculation(std::string text);

    ErrorKind kind() const noexcept { return kind_; }
    int ordinal() const noexcept { return static_cast<int>(kind_); }
    // True for the kinds that surface in Python as ValueError.
    bool is_value_error() const noexcept { return ordinal() <= 3; }

    std::uint64_t index() const noexcept { return index_; }
    double value() const noexcept { return value_; }
    const std::string& text() const noexcept { return text_; }

    std::string message() const;     // what the user reads
    std::string diagnostic() const;  // kind name and payload, for internal failure reports

private:
    QuorvantisError(ErrorKind kind, std::uint64_t index, double value, std::string text)
        : kind_(kind), index_(index), value_(value), text_(std::move(text)) {}

    ErrorKind kind_;
    std::uint64_t index_ = 0;
    double value_ = 0.0;
    std::string text_;
};

// Why a computation stopped before its end. Not an error kind: nothing was
// wrong with the input, and a halted operation changes nothing.
enum class Halt : std::uint8_t {
    Interrupted,  // the caller's interrupt asked to stop
    Forked,       // the process forked while it ran; this is the child
};

// A value, the error that prevented it, or why the computation stopped.
template <class T>
class Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(QuorvantisError error) : v_(std::in_place_index<1>, std::move(error)) {}
    Result(Halt halt) : v_(std::in_place_index<2>, halt) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    bool halted() const noexcept { return v_.index() == 2; }
    Halt halt() const { return std::get<2>(v_); }
    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const QuorvantisError& error() const { return std::get<1>(v_); }
    QuorvantisError&& take_error() { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, QuorvantisError, Halt> v_;
};

// Success, an error, or why the computation stopped.
class Status {
public:
    Status() = default;
    Status(QuorvantisError error) : v_(std::in_place_index<1>, std::move(error)) {}
    Status(Halt halt) : v_(std::in_place_index<2>, halt) {}
    static Status success() { return {}; }

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    bool halted() const noexcept { return v_.index() == 2; }
    Halt halt() const { return std::get<2>(v_); }
    const QuorvantisError& error() const { return std::get<1>(v_); }
    QuorvantisError&& take_error() { return std::get<1>(std::move(v_)); }

private:
    std::variant<std::monostate, QuorvantisError, Halt> v_;
};

}  // namespace quorvantis

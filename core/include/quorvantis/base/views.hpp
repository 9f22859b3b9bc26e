// Read-only views of caller memory: byte strides (possibly negative or odd),
// possibly unaligned data. Loads go through memcpy, which is a plain move on
// x86-64 and free of alignment UB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quorvantis {

inline double load_double(const std::byte* p) noexcept {
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

struct VectorView {
    const std::byte* data = nullptr;
    std::size_t size = 0;
    std::ptrdiff_t stride = sizeof(double);  // bytes

    double operator[](std::size_t i) const noexcept {
        return load_double(data + static_cast<std::ptrdiff_t>(i) * stride);
    }

    static VectorView of(const double* values, std::size_t n) noexcept {
        return {reinterpret_cast<const std::byte*>(values), n, sizeof(double)};
    }
};

struct MatrixView {
    const std::byte* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;               // bytes
    std::ptrdiff_t col_stride = sizeof(double);  // bytes

    const std::byte* row_ptr(std::size_t r) const noexcept {
        return data + static_cast<std::ptrdiff_t>(r) * row_stride;
    }
    double operator()(std::size_t r, std::size_t c) const noexcept {
        return load_double(row_ptr(r) + static_cast<std::ptrdiff_t>(c) * col_stride);
    }

    // Row-major contiguous values, n rows by p columns.
    static MatrixView of(const double* values, std::size_t n, std::size_t p) noexcept {
        return {reinterpret_cast<const std::byte*>(values), n, p, static_cast<std::ptrdiff_t>(p * sizeof(double)),
                sizeof(double)};
    }
};

}  // namespace quorvantis

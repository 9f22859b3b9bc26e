// Visual payloads (effect histogram, causal graph, feature importance), the
// JSON value tree they carry and its pretty-printed text.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quorvantis::report {

struct JsonMember;

class JsonValue {
public:
    using Array = std::vector<JsonValue>;
    using Object = std::vector<JsonMember>;  // unique keys, ascending byte order

    enum class Kind { null, boolean, unsigned_integer, number, string, array, object };

    JsonValue() = default;
    JsonValue(std::nullptr_t) {}
    // Templates keep ints, pointers and bools from converting into each other.
    template <std::same_as<bool> B>
    JsonValue(B b) : value_(b) {}
    template <std::unsigned_integral U>
        requires(!std::same_as<U, bool>)
    JsonValue(U u) : value_(static_cast<std::uint64_t>(u)) {}
    template <std::signed_integral I>
    JsonValue(I) = delete;  // the tree holds unsigned counts only
    // NaN and the infinities have no JSON form and become null.
    JsonValue(double d);
    JsonValue(std::string s) : value_(std::move(s)) {}
    JsonValue(std::string_view s) : value_(std::string(s)) {}
    JsonValue(const char* s) : value_(std::string(s)) {}
    JsonValue(Array a) : value_(std::move(a)) {}

    // Sorts the members by key bytes; of repeated keys the last one stays.
    static JsonValue object(Object members);

    Kind kind() const noexcept { return static_cast<Kind>(value_.index()); }
    const auto& variant() const noexcept { return value_; }

private:
    std::variant<std::monostate, bool, std::uint64_t, double, std::string, Array, Object> value_;
};

struct JsonMember {
    std::string key;
    JsonValue value;
};

// `value` as JSON text laid out as if it started on a line indented by
// `depth` two-space units; no trailing line break.
std::string to_json_text(const JsonValue& value, std::size_t depth = 0);

// Appends `text` as a quoted JSON string.
void append_json_string(std::string& out, std::string_view text);

struct NodeInfo {
    std::string id;
    std::string label;
    std::string role;
    double value = 0.0;
};

struct LinkInfo {
    std::string source;  // label of the start node
    std::string target;  // label of the end node
    double weight = 0.0;
};

struct VisualOutput {
    std::string visual_type;
    std::string title;
    JsonValue data;

    static VisualOutput effect_dist(std::string x_label, std::string y_label, std::vector<double> bins,
                                    std::vector<std::uint64_t> counts);
    static VisualOutput causal_graph(std::vector<NodeInfo> nodes, std::vector<LinkInfo> links);
    static VisualOutput feature_importance(std::vector<std::string> labels, std::vector<double> values);

    std::string to_json() const;
};

}  // namespace quorvantis::report

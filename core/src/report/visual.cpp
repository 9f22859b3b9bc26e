#include "quorvantis/report/visual.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

#include "quorvantis/base/format.hpp"

namespace quorvantis::report {

JsonValue::JsonValue(double d) {
    if (std::isfinite(d)) value_ = d;
}

JsonValue JsonValue::object(Object members) {
    std::stable_sort(members.begin(), members.end(),
                     [](const JsonMember& a, const JsonMember& b) { return a.key < b.key; });
    // Among equal keys keep the last one given.
    Object unique;
    unique.reserve(members.size());
    for (auto& m : members) {
        if (!unique.empty() && unique.back().key == m.key) {
            unique.back().value = std::move(m.value);
        } else {
            unique.push_back(std::move(m));
        }
    }
    JsonValue v;
    v.value_ = std::move(unique);
    return v;
}

void append_json_string(std::string& out, std::string_view text) {
    out += '"';
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    static constexpr char hex[] = "0123456789abcdef";
                    out += "\\u00";
                    out += hex[(c >> 4) & 0xf];
                    out += hex[c & 0xf];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

namespace {

void newline(std::string& out, std::size_t depth) {
    out += '\n';
    out.append(2 * depth, ' ');
}

struct Writer {
    std::string& out;
    std::size_t depth;

    void operator()(std::monostate) const { out += "null"; }
    void operator()(bool b) const { out += b ? "true" : "false"; }
    void operator()(std::uint64_t u) const {
        char buf[24];
        out.append(buf, std::to_chars(buf, buf + sizeof buf, u).ptr);
    }
    void operator()(double d) const { out += format_json_number(d); }
    void operator()(const std::string& s) const { append_json_string(out, s); }
    void operator()(const JsonValue::Array& a) const {
        if (a.empty()) {
            out += "[]";
            return;
        }
        out += '[';
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (i > 0) out += ',';
            newline(out, depth + 1);
            std::visit(Writer{out, depth + 1}, a[i].variant());
        }
        newline(out, depth);
        out += ']';
    }
    void operator()(const JsonValue::Object& o) const {
        if (o.empty()) {
            out += "{}";
            return;
        }
        out += '{';
        for (std::size_t i = 0; i < o.size(); ++i) {
            if (i > 0) out += ',';
            newline(out, depth + 1);
            append_json_string(out, o[i].key);
            out += ": ";
            std::visit(Writer{out, depth + 1}, o[i].value.variant());
        }
        newline(out, depth);
        out += '}';
    }
};

JsonValue float_array(const std::vector<double>& values) {
    return JsonValue::Array(values.begin(), values.end());
}

}  // namespace

std::string to_json_text(const JsonValue& value, std::size_t depth) {
    std::string out;
    std::visit(Writer{out, depth}, value.variant());
    return out;
}

VisualOutput VisualOutput::effect_dist(std::string x_label, std::string y_label, std::vector<double> bins,
                                       std::vector<std::uint64_t> counts) {
    return {"effect_dist", "Treatment Effect Distribution",
            JsonValue::object({
                {"x_label", std::move(x_label)},
                {"y_label", std::move(y_label)},
                {"bins", float_array(bins)},
                {"counts", JsonValue::Array(counts.begin(), counts.end())},
            })};
}

VisualOutput VisualOutput::causal_graph(std::vector<NodeInfo> nodes, std::vector<LinkInfo> links) {
    JsonValue::Array node_values;
    node_values.reserve(nodes.size());
    for (auto& n : nodes) {
        node_values.push_back(JsonValue::object({
            {"id", std::move(n.id)},
            {"label", std::move(n.label)},
            {"role", std::move(n.role)},
            {"value", n.value},
        }));
    }
    JsonValue::Array link_values;
    link_values.reserve(links.size());
    for (auto& l : links) {
        link_values.push_back(JsonValue::object({
            {"source", std::move(l.source)},
            {"target", std::move(l.target)},
            {"weight", l.weight},
        }));
    }
    return {"causal_graph", "Causal Structure Graph",
            JsonValue::object({
                {"nodes", std::move(node_values)},
                {"links", std::move(link_values)},
            })};
}

VisualOutput VisualOutput::feature_importance(std::vector<std::string> labels, std::vector<double> values) {
    JsonValue::Array label_values;
    label_values.reserve(labels.size());
    for (auto& l : labels) label_values.emplace_back(std::move(l));
    return {"feature_importance", "Feature Importance Analysis",
            JsonValue::object({
                {"labels", std::move(label_values)},
                {"values", float_array(values)},
            })};
}

std::string VisualOutput::to_json() const {
    // The top level keeps its declaration order; only maps inside data sort.
    std::string out = "{\n  \"visual_type\": ";
    append_json_string(out, visual_type);
    out += ",\n  \"title\": ";
    append_json_string(out, title);
    out += ",\n  \"data\": ";
    std::visit(Writer{out, 1}, data.variant());
    out += "\n}";
    return out;
}

}  // namespace quorvantis::report

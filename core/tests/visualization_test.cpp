#include "quorvantis/report/visual.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace quorvantis {
namespace fixed {}
namespace report {}
using namespace fixed;
using namespace report;
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(VisualJson, EffectDistLayoutAndNumbers) {
    const auto visual = VisualOutput::effect_dist("x", "y", {3.0, 1e16, 2.5e-6, 1e-5, kNaN, -0.0, -kInf, 0.1}, {7, 0});
    EXPECT_EQ(visual.to_json(), R"({
  "visual_type": "effect_dist",
  "title": "Treatment Effect Distribution",
  "data": {
    "bins": [
      3.0,
      1e+16,
      2.5e-6,
      0.00001,
      null,
      -0.0,
      null,
      0.1
    ],
    "counts": [
      7,
      0
    ],
    "x_label": "x",
    "y_label": "y"
  }
})");
}

TEST(VisualJson, EmptyImportanceUsesBracketPairs) {
    EXPECT_EQ(VisualOutput::feature_importance({}, {}).to_json(), R"({
  "visual_type": "feature_importance",
  "title": "Feature Importance Analysis",
  "data": {
    "labels": [],
    "values": []
  }
})");
}

TEST(VisualJson, GraphMembersSortedAtEveryLevel) {
    const auto visual = VisualOutput::causal_graph({{"n", "N", "outcome", 1.0}}, {{"N", "T", kNaN}});
    EXPECT_EQ(visual.to_json(), R"({
  "visual_type": "causal_graph",
  "title": "Causal Structure Graph",
  "data": {
    "links": [
      {
        "source": "N",
        "target": "T",
        "weight": null
      }
    ],
    "nodes": [
      {
        "id": "n",
        "label": "N",
        "role": "outcome",
        "value": 1.0
      }
    ]
  }
})");
}

TEST(JsonString, Escapes) {
    const struct {
        std::string text, json;
    } cases[] = {
        {"plain", R"("plain")"},
        {"q\"b\\", R"("q\"b\\")"},
        {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
        {std::string("\x00\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
        {"\x7f é ✓ </", "\"\x7f é ✓ </\""},  // only control characters are escaped
    };
    for (const auto& c : cases) {
        std::string out;
        append_json_string(out, c.text);
        EXPECT_EQ(out, c.json);
    }
}

TEST(JsonValueText, ObjectsSortByKeyBytesAndKeepLastDuplicate) {
    const auto value = JsonValue::object({
        {"\xc3\xa9", true},
        {"b", JsonValue::object({})},
        {"a", nullptr},
        {"B", std::uint64_t{18446744073709551615ULL}},
        {"a", false},
    });
    EXPECT_EQ(to_json_text(value, 1),
              "{\n"
              "    \"B\": 18446744073709551615,\n"
              "    \"a\": false,\n"
              "    \"b\": {},\n"
              "    \"\xc3\xa9\": true\n"
              "  }");
}

}  // namespace
}  // namespace quorvantis

#include "quorvantis/report/effect_histogram.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "quorvantis/report/model_visuals.hpp"

namespace quorvantis {
namespace fixed {}
namespace report {}
using namespace fixed;
using namespace report;
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
using Counts = std::array<std::uint64_t, kEffectBins>;

EffectHistogram histogram_of(const std::vector<double>& effects) {
    return compute_effect_histogram(VectorView::of(effects.data(), effects.size()));
}

std::array<double, kEffectBins> edges(double lo, double w) {
    std::array<double, kEffectBins> e{};
    for (std::size_t i = 0; i < kEffectBins; ++i) e[i] = static_cast<double>(i) * w + lo;
    return e;
}

TEST(EffectHistogram, EdgeCases) {
    const std::array<double, kEffectBins> all_nan = edges(kNaN, 0.0);
    const struct {
        const char* name;
        std::vector<double> effects;
        std::array<double, kEffectBins> bins;
        Counts counts;
    } cases[] = {
        {"empty", {}, all_nan, {}},
        {"all equal", {2.5, 2.5, 2.5}, edges(2.5, 1.0), {3}},
        {"eleven steps", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, edges(0.0, 1.0), {1, 1, 1, 1, 1, 1, 1, 1, 1, 2}},
        {"nan goes first", {10.0, kNaN, 0.0}, edges(0.0, 1.0), {2, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
        {"all nan", {kNaN, kNaN}, all_nan, {2}},
        {"range below epsilon", {0.0, 1e-17}, edges(0.0, 1.0), {2}},
        {"negative spread", {-3.0, -1.0, -1.5}, edges(-3.0, 0.2), {1, 0, 0, 0, 0, 0, 0, 1, 0, 1}},
    };
    for (const auto& c : cases) {
        const EffectHistogram h = histogram_of(c.effects);
        for (std::size_t i = 0; i < kEffectBins; ++i) {
            if (std::isnan(c.bins[i])) {
                EXPECT_TRUE(std::isnan(h.bins[i])) << c.name << " bin " << i;
            } else {
                EXPECT_EQ(h.bins[i], c.bins[i]) << c.name << " bin " << i;
            }
        }
        EXPECT_EQ(h.counts, c.counts) << c.name;
    }
}

TEST(EffectHistogram, ReadsStridedViewsInLogicalOrder) {
    const std::vector<double> interleaved{0.0, 99.0, 10.0, -99.0, 5.0, 99.0};
    const VectorView every_other{reinterpret_cast<const std::byte*>(interleaved.data()), 3, 2 * sizeof(double)};
    EXPECT_EQ(compute_effect_histogram(every_other).counts, (Counts{1, 0, 0, 0, 0, 1, 0, 0, 0, 1}));
}

TEST(ResultVisual, PlotTypeMustMatchExactly) {
    const std::vector<double> predictions{1.0, 2.0};
    const std::vector<double> importances{0.25, 0.75};
    const auto view = VectorView::of(predictions.data(), predictions.size());
    const struct {
        const char* plot_type;
        const char* visual_type;
    } cases[] = {{"effect_dist", "effect_dist"},
                 {"Effect_dist", "feature_importance"},
                 {"effect_dist ", "feature_importance"},
                 {"graph", "feature_importance"},
                 {"", "feature_importance"}};
    for (const auto& c : cases) {
        EXPECT_EQ(result_visual(c.plot_type, view, importances, {}).visual_type, c.visual_type) << c.plot_type;
    }
    EXPECT_EQ(result_visual("effect_dist", view, {}, {}).data.kind(), JsonValue::Kind::object);
}

TEST(ImportanceVisual, LabelsFromNamesOrPositions) {
    const std::vector<double> three{0.5, 0.25, 0.25};
    EXPECT_EQ(to_json_text(feature_importance_visual({}, three).data),
              "{\n  \"labels\": [\n    \"Feature 0\",\n    \"Feature 1\",\n    \"Feature 2\"\n"
              "  ],\n  \"values\": [\n    0.5,\n    0.25,\n    0.25\n  ]\n}");
    // Names are used as given even when their count differs.
    EXPECT_EQ(to_json_text(feature_importance_visual(FeatureNames{{"age"}}, {}).data),
              "{\n  \"labels\": [\n    \"age\"\n  ],\n  \"values\": []\n}");
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(ModelVisual, GraphWeightsAndFallback) {
    InferenceResult in_sample;
    in_sample.predictions = {0.1, 0.2};
    in_sample.feature_importance = {0.7};
    const FeatureNames names{{"age", "income"}};
    const std::string json = model_visual("graph", in_sample, names).to_json();
    const char* expected_members[] = {
        R"("source": "Treatment",
        "target": "Outcome",
        "weight": 1.0)",
        R"("source": "age",
        "target": "Treatment",
        "weight": 0.7)",
        R"("source": "income",
        "target": "Outcome",
        "weight": 0.1)",
        R"("id": "income",
        "label": "income",
        "role": "confounder",
        "value": 0.1)",
    };
    for (const char* member : expected_members) {
        EXPECT_NE(json.find(member), std::string::npos) << member;
    }

    // Without names only the two fixed nodes and their link remain.
    const std::string bare = model_visual("graph", in_sample, {}).to_json();
    EXPECT_EQ(occurrences(bare, "\"id\""), 2u);
    EXPECT_EQ(occurrences(bare, "\"source\""), 1u);
    EXPECT_EQ(model_visual("Graph", in_sample, names).visual_type, "feature_importance");
    EXPECT_EQ(to_json_text(model_visual("importance", in_sample, names).data),
              to_json_text(feature_importance_visual(names, in_sample.feature_importance).data));
}

}  // namespace
}  // namespace quorvantis

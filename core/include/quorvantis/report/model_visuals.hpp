// Visuals built from a model's or a result's effects and importances.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quorvantis/fixed/inference_result.hpp"
#include "quorvantis/base/views.hpp"
#include "quorvantis/report/visual.hpp"

namespace quorvantis::report {

using FeatureNames = std::optional<std::vector<std::string>>;

// Labels are the names when present (whatever their count), else
// "Feature 0" .. "Feature k-1" for k importances.
VisualOutput feature_importance_visual(const FeatureNames& names, std::span<const double> importances);

// Treatment and outcome nodes and their link, then per name a confounder
// node with links to both; weights past the end of `importances` are 0.1.
VisualOutput causal_graph_visual(const FeatureNames& names, std::span<const double> importances);

// The model's importance chart carries its names and in-sample importances.
inline VisualOutput model_importance_visual(const FeatureNames& names, std::span<const double> importances) {
    return feature_importance_visual(names, importances);
}

// "effect_dist" gives the histogram; every other plot type the importances.
VisualOutput result_visual(std::string_view plot_type, const VectorView& predictions,
                           std::span<const double> importances, const FeatureNames& names);

// From an in-sample prediction: "effect_dist" gives the histogram, "graph"
// the causal graph, every other plot type the importances.
VisualOutput model_visual(std::string_view plot_type, const fixed::InferenceResult& in_sample,
                          const FeatureNames& names);

}  // namespace quorvantis::report

#include "quorvantis/report/model_visuals.hpp"

#include "quorvantis/report/effect_histogram.hpp"

namespace quorvantis::report {

VisualOutput feature_importance_visual(const FeatureNames& names, std::span<const double> importances) {
    std::vector<std::string> labels;
    if (names) {
        labels = *names;
    } else {
        labels.reserve(importances.size());
        for (std::size_t k = 0; k < importances.size(); ++k) {
            labels.push_back("Feature " + std::to_string(k));
        }
    }
    return VisualOutput::feature_importance(std::move(labels), {importances.begin(), importances.end()});
}

VisualOutput causal_graph_visual(const FeatureNames& names, std::span<const double> importances) {
    std::vector<NodeInfo> nodes{{"Treatment", "Treatment", "treatment", 1.0}, {"Outcome", "Outcome", "outcome", 1.0}};
    std::vector<LinkInfo> links{{"Treatment", "Outcome", 1.0}};
    if (names) {
        for (std::size_t k = 0; k < names->size(); ++k) {
            const std::string& name = (*names)[k];
            const double weight = k < importances.size() ? importances[k] : 0.1;
            nodes.push_back({name, name, "confounder", weight});
            links.push_back({name, "Treatment", weight});
            links.push_back({name, "Outcome", weight});
        }
    }
    return VisualOutput::causal_graph(std::move(nodes), std::move(links));
}

VisualOutput result_visual(std::string_view plot_type, const VectorView& predictions,
                           std::span<const double> importances, const FeatureNames& names) {
    if (plot_type == "effect_dist") return effect_histogram(predictions);
    return feature_importance_visual(names, importances);
}

VisualOutput model_visual(std::string_view plot_type, const fixed::InferenceResult& in_sample,
                          const FeatureNames& names) {
    const auto& p = in_sample.predictions;
    if (plot_type == "graph") return causal_graph_visual(names, in_sample.feature_importance);
    return result_visual(plot_type, VectorView::of(p.data(), p.size()), in_sample.feature_importance, names);
}

}  // namespace quorvantis::report

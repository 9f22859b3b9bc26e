// Ensemble of honest causal trees grown in parallel; the default estimator.
#pragma once

#include <cstdint>
#include <vector>

#include "quorvantis/fixed/inference_result.hpp"
#include "quorvantis/fixed/fixed_tree.hpp"

namespace quorvantis::fixed {

class FixedForest {
public:
    std::vector<FixedTree> trees;  // index order; empty until the first successful fit
    std::uint64_t n_trees = 10;
    std::uint64_t max_depth = 5;
    std::uint64_t min_samples_leaf = 5;
    std::uint64_t n_features = 0;  // training columns

    // Checks the data, then grows `n_trees` trees with seeds drawn from OS
    // entropy. A failed or halted fit leaves the forest unchanged.
    Status fit_result(const MatrixView& features, const VectorView& treatment, const VectorView& outcome,
                      const Interrupt& interrupt = {});
    // Same, with every random choice derived from `seed`.
    Status fit_result(const MatrixView& features, const VectorView& treatment, const VectorView& outcome,
                      std::uint64_t seed, const Interrupt& interrupt = {});

    // Refits on a uniformly permuted copy of the treatment vector.
    Status fit_placebo_result(const MatrixView& features, const VectorView& treatment, const VectorView& outcome,
                              const Interrupt& interrupt = {});
    Status fit_placebo_result(const MatrixView& features, const VectorView& treatment, const VectorView& outcome,
                              std::uint64_t seed, const Interrupt& interrupt = {});

    // Polls `interrupt` between row blocks; it runs on the calling thread.
    Result<InferenceResult> predict_result(const MatrixView& features, const Interrupt& interrupt = {}) const;

    // The names the linear model shares, so that code can visit either.
    Status fit(const MatrixView& features, const VectorView& treatment, const VectorView& outcome,
               const Interrupt& interrupt = {}) {
        return fit_result(features, treatment, outcome, interrupt);
    }
    Result<InferenceResult> predict(const MatrixView& features, const Interrupt& interrupt = {}) const {
        return predict_result(features, interrupt);
    }
};

}  // namespace quorvantis::fixed

// The orthogonalised, honest causal forest behind quorvantis.CausalForest.
//
// Fit: bin the features once; unless given, estimate m(x) = E[Y|X] and
// e(x) = E[W|X] by regression forests of max(50, n_trees / 4) trees and take
// their out-of-bag predictions; centre Y~ = Y - m, W~ = W - e; grow the
// causal trees on pseudo-outcomes; keep the out-of-bag effects of the
// training rows and the doubly robust average effects they give.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "quorvantis/engine/data/binned_matrix.hpp"
#include "quorvantis/base/errors.hpp"
#include "quorvantis/base/interrupt.hpp"
#include "quorvantis/engine/estimators/ate.hpp"
#include "quorvantis/engine/estimators/staged_fit.hpp"
#include "quorvantis/engine/forest/forest_options.hpp"
#include "quorvantis/engine/forest/predictor.hpp"
#include "quorvantis/engine/tree/forest_tree.hpp"
#include "quorvantis/base/views.hpp"

namespace quorvantis::engine {

// Where a fit is, for progress reports; written by workers, read by the caller.
struct FitProgress {
    enum Stage : int { Binning = 0, OutcomeModel = 1, TreatmentModel = 2, CausalTrees = 3, OutOfBag = 4, Done = 5 };
    std::atomic<int> stage{Binning};
    std::atomic<std::size_t> trees_done{0};
    std::atomic<std::size_t> trees_total{0};
};

// The label a progress report shows for a stage of FitProgress.
const char* progress_label(int stage) noexcept;

// The steps of a fit, in order, run alike by the local fit and by a cluster:
// bin the data; grow each nuisance stage not given (they are independent of
// each other); grow the causal stage on their estimates; assemble the model.
enum class FitStep : std::uint8_t { Prepare, Grow, Assemble };
struct PlannedStep {
    FitStep step = FitStep::Prepare;
    FitStage stage = FitStage::Causal;  // of a Grow step
    std::size_t first = 0, last = 0;    // its confidence groups
    std::size_t trees = 0;
    int progress = FitProgress::Binning;  // the stage reported meanwhile
};
std::vector<PlannedStep> fit_plan(const ForestOptions& options, bool have_y_hat, bool have_t_hat);

struct FitInput {
    MatrixView x;
    VectorView w, y;
    const VectorView* y_hat = nullptr;  // given nuisance estimates, or null to fit them
    const VectorView* t_hat = nullptr;
    // Per feature its number of categories (0: ordered), or empty; see BinCuts::fit.
    std::span<const std::uint16_t> categories;
    const std::vector<double>* weights = nullptr;          // per row, or null: 1 each
    const std::vector<std::uint32_t>* clusters = nullptr;  // per row 0..C-1, or null: none
};

class CausalForestModel {
public:
    // `options` must pass ForestOptions::check; w holds 0 and 1 only, y and
    // given nuisances are finite, all of x.rows entries. Errors are Internal.
    static Result<CausalForestModel> fit(const FitInput& input, const ForestOptions& options,
                                         FitProgress* progress = nullptr, const Interrupt& interrupt = {});

    // The model from the causal stage's batches (all groups, once each) and
    // the nuisance estimates the causal trees were grown with.
    static Result<CausalForestModel> assemble(const TrainingData& data, const ForestOptions& options,
                                              std::vector<double> y_hat, std::vector<double> t_hat,
                                              std::vector<TreeBatch> causal_batches);

    // Effects at new rows (x has features() columns), with variances if asked.
    Result<CausalPrediction> predict(const MatrixView& x, bool variance, std::size_t n_threads = 0,
                                     const Interrupt& interrupt = {}) const;

    std::size_t features() const noexcept { return cuts_.features(); }
    const std::vector<std::uint16_t>& categories() const noexcept { return cuts_.categories(); }
    std::size_t trees() const noexcept { return trees_.size(); }
    std::size_t group_size() const noexcept { return group_; }
    // The trees' size in memory.
    std::size_t tree_bytes() const noexcept {
        std::size_t b = 0;
        for (const auto& t : trees_) b += t.bytes();
        return b;
    }
    const std::vector<double>& importances() const noexcept { return importance_; }
    const std::vector<double>& oob_effect() const noexcept { return oob_tau_; }
    const std::vector<double>& y_hat() const noexcept { return y_hat_; }
    const std::vector<double>& t_hat() const noexcept { return t_hat_; }
    const AverageEffect& average(EffectTarget target) const noexcept { return ate_[static_cast<int>(target)]; }
    double overlap_violation() const noexcept { return outside_; }

    std::vector<unsigned char> serialize() const;
    // The model, or why the bytes were refused.
    static Result<CausalForestModel> deserialize(std::span<const unsigned char> bytes);

private:
    BinCuts cuts_;
    std::vector<ForestTree<CausalLeaf>> trees_;
    std::size_t group_ = 1;
    std::vector<double> importance_, oob_tau_, y_hat_, t_hat_;
    std::array<AverageEffect, 3> ate_{};
    double outside_ = 0.0;
};

// Split frequencies by depth (at most 4), each depth normalised, weighted by
// depth^-2, normalised to sum 1 (all zero without splits).
std::vector<double> depth_weighted_importance(const std::vector<double>& counts, std::size_t p);

}  // namespace quorvantis::engine

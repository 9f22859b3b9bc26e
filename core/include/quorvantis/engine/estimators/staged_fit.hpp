// The steps of a causal-forest fit, each on its own, so that the growing can
// run elsewhere (tasks on a cluster) and the pieces still make exactly the
// forest of a local fit: prepare the binned training data once; grow each
// stage's trees in ranges of confidence groups; turn the nuisance stages'
// trees into out-of-bag estimates; assemble the causal trees into the model.
// A group's trees depend only on the data, the options and the group's
// index, so ranges grown anywhere, in any order, merge into the same forest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "quorvantis/engine/data/binned_matrix.hpp"
#include "quorvantis/base/errors.hpp"
#include "quorvantis/engine/forest/forest_options.hpp"
#include "quorvantis/engine/forest/predictor.hpp"
#include "quorvantis/engine/forest/trainer.hpp"
#include "quorvantis/engine/tree/forest_tree.hpp"
#include "quorvantis/engine/tree/tree_builder.hpp"
#include "quorvantis/base/views.hpp"

namespace quorvantis::engine {

enum class FitStage : std::uint8_t { Outcome = 0, Treatment = 1, Causal = 2 };
const char* stage_name(FitStage stage) noexcept;  // "outcome", "treatment", "causal"

// What every step reads: the binned features, the treatment and the outcome.
struct TrainingData {
    BinCuts cuts;
    CodedRows codes;
    std::vector<double> w, y;
    // Per row, empty when not given: a weight (>= 0, some > 0) and a
    // cluster numbered 0..C-1, which the samples draw whole.
    std::vector<double> weights;
    std::vector<std::uint32_t> clusters;

    const std::vector<std::uint32_t>* cluster_rows() const noexcept { return clusters.empty() ? nullptr : &clusters; }

    std::vector<unsigned char> serialize() const;
    static Result<TrainingData> deserialize(std::span<const unsigned char> bytes);
};

// Bins x with the options' max_bins (categorical features as BinCuts::fit
// says) and copies w and y (n = x.rows entries).
// Runs on the pool when called inside a job.
TrainingData prepare_training(const MatrixView& x, const VectorView& w, const VectorView& y,
                              const ForestOptions& options, std::span<const std::uint16_t> categories = {});

// The options a stage's forest grows with: the nuisance stages have
// max(50, n_trees / 4) honest trees without groups on 80% subsamples with
// leaves of 2 (the causal settings when smooth_nuisance); each stage its own seed.
ForestOptions stage_options(const ForestOptions& options, FitStage stage);
std::size_t stage_groups(const ForestOptions& options, FitStage stage);

// The trees of groups [first, last) of a stage, in index order.
struct TreeBatch {
    FitStage stage = FitStage::Causal;
    std::size_t first = 0, last = 0;
    std::vector<ForestTree<RegressionLeaf>> regression;
    std::vector<ForestTree<CausalLeaf>> causal;
    SplitCounts splits;
    InBag in_bag;  // kept when grown here, rebuilt from the seeds otherwise

    std::vector<unsigned char> serialize() const;
    static Result<TreeBatch> deserialize(std::span<const unsigned char> bytes, std::size_t features,
                                         std::uint8_t missing);
};

// The causal stage needs the nuisance estimates (y_hat, t_hat); the others
// ignore them. Without `keep_in_bag` the batch's in_bag is left empty.
TreeBatch grow_batch(const TrainingData& data, FitStage stage, const ForestOptions& options,
                     std::span<const double> y_hat, std::span<const double> t_hat, std::size_t first, std::size_t last,
                     const TreeProgress& progress = {}, bool keep_in_bag = true);

// The batches of one stage, checked to cover its groups from `first` on exactly
// once, in order: up to the stage's last group when `complete`.
Result<std::vector<TreeBatch>> order_batches(std::vector<TreeBatch> batches, FitStage stage,
                                             const ForestOptions& options, std::size_t first = 0, bool complete = true);

// A nuisance stage's out-of-bag sums over its groups [0, next), to which the
// batches that follow are added: the estimates build up while later groups
// still grow, and only the last batches are left for the end.
struct NuisanceSums {
    FitStage stage = FitStage::Outcome;
    std::size_t next = 0;
    RegressionOob oob{0};

    std::vector<unsigned char> serialize() const;
    static Result<NuisanceSums> deserialize(std::span<const unsigned char> bytes);
};

// `sums` (none yet: a stage's first groups) with `batches` added, which must
// hold the groups that follow, up to the stage's last when `complete`.
Result<NuisanceSums> add_nuisance(const TrainingData& data, FitStage stage, const ForestOptions& options,
                                  const NuisanceSums* sums, std::vector<TreeBatch> batches, bool complete);

// Out-of-bag estimates of E[response | X] from a nuisance stage's complete
// sums, recalibrated (calibration.hpp) unless smooth_nuisance.
std::vector<double> nuisance_estimates(const TrainingData& data, const ForestOptions& options,
                                       const NuisanceSums& sums);

// The same estimates from a stage grown here, its trees folded in and dropped
// a slice of groups at a time. `progress` gets the stage's trees done.
std::vector<double> grow_nuisance(const TrainingData& data, FitStage stage, const ForestOptions& options,
                                  const TreeProgress& progress = {});

}  // namespace quorvantis::engine

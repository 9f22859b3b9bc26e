// One honest causal tree: split rows choose the splits, estimation rows fill
// the leaves. Nodes are stored flat in pre-order (root first) with child
// indices; a compact walk table answers predictions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "quorvantis/errors.hpp"
#include "quorvantis/views.hpp"

namespace quorvantis {

class Rng;

struct Leaf {
    double effect = 0.0;
    std::uint64_t n_samples = 0;  // estimation rows that reached the leaf while growing
};

// Rows with value <= threshold go left; all others, NaN included, go right.
struct Split {
    std::uint64_t feature = 0;
    double threshold = 0.0;
    std::uint32_t left = 0;   // node indices into CausalTree::nodes()
    std::uint32_t right = 0;
};

using Node = std::variant<Leaf, Split>;

// Outcome of the split search for one feature at one node.
struct SplitCandidate {
    struct Rows {
        std::uint64_t feature = 0;
        double threshold = 0.0;
        std::vector<std::uint64_t> left;   // split rows, in the node's order
        std::vector<std::uint64_t> right;
    };
    double score = -1.0;
    std::optional<Rows> split;

    // `a` comes from candidates earlier in the node's order: the higher score
    // wins, ties go to `b`.
    static SplitCandidate combine(SplitCandidate a, SplitCandidate b) {
        return a.score > b.score ? std::move(a) : std::move(b);
    }
};

class CausalTree {
public:
    static constexpr double kTreatedCut = 0.5;
    static constexpr std::uint64_t kMaxDraws = 10;

    // One entry per training column; every accepted split adds its score.
    std::vector<double> feature_importance;

    CausalTree() = default;
    explicit CausalTree(std::size_t n_features) : feature_importance(n_features, 0.0) {}

    // Grows a new tree from all rows, replacing the old nodes. Every random
    // choice derives from `seed`, so the tree does not depend on scheduling.
    // Treatment and outcome must have an entry for every row.
    void fit(const MatrixView& features, const VectorView& treatment, const VectorView& outcome,
             std::uint64_t max_depth, std::uint64_t min_samples_leaf, std::uint64_t seed);

    // One tree per seed, each equal to `fit` with that seed, grown together so
    // that the matrix is read once per level for all of them.
    static std::vector<CausalTree> fit_batch(const MatrixView& features, const VectorView& treatment,
                                             const VectorView& outcome, std::uint64_t max_depth,
                                             std::uint64_t min_samples_leaf, std::span<const std::uint64_t> seeds);

    // Same tree as `fit` for the same seed, grown by the plain recursion over
    // row lists (build_tree / find_best_split). Slow; kept as the yardstick.
    void fit_reference(const MatrixView& features, const VectorView& treatment, const VectorView& outcome,
                       std::uint64_t max_depth, std::uint64_t min_samples_leaf, std::uint64_t seed);

    // Appends the subtree grown from these rows in pre-order and returns the
    // index of its top node. `node_key` keys the node's random choices.
    std::uint32_t build_tree(const MatrixView& features, const VectorView& treatment, const VectorView& outcome,
                             std::span<const std::uint64_t> split_rows,
                             std::span<const std::uint64_t> estimation_rows, std::uint64_t depth,
                             std::uint64_t max_depth, std::uint64_t min_samples_leaf, std::uint64_t node_key);

    // Best of min(n, 10) random thresholds of `feature` over the split rows.
    static SplitCandidate find_best_split(const MatrixView& features, const VectorView& treatment,
                                          const VectorView& outcome, std::span<const std::uint64_t> split_rows,
                                          std::uint64_t feature, std::uint64_t min_samples_leaf, Rng& draws);

    // Mean outcome of treated rows minus that of control rows; 0 if an arm is empty.
    static double arm_mean_difference(const VectorView& treatment, const VectorView& outcome,
                                      std::span<const std::uint64_t> rows);

    // Leaf effect per row; zeros when unfitted. The matrix must have every
    // column a split tests.
    std::vector<double> predict(const MatrixView& features) const;

    // Leaf effect for one row given its address and column stride in bytes.
    double effect_of(const std::byte* row, std::ptrdiff_t col_stride) const noexcept {
        std::uint32_t i = 0;
        for (std::uint32_t level = 0; level < levels_; ++level) {
            const Step& s = walk_[i];
            const double x = load_double(row + static_cast<std::ptrdiff_t>(s.feature) * col_stride);
            i = s.child[!(x <= s.threshold)];
        }
        return walk_.empty() ? 0.0 : value_[i];
    }

    // sums[j] += effect of the row at rows[j], for j < count. Rows are walked
    // four at a time so that their independent paths overlap.
    void add_effects(const std::byte* const* rows, std::size_t count, std::ptrdiff_t col_stride,
                     double* sums) const noexcept;

    // A tree from stored nodes and importances, as `nodes()` and
    // `feature_importance` give them. The nodes must form one tree in
    // pre-order (each split's left child next, its right child after the left
    // subtree), thresholds must be finite, features below importance.size()
    // and importances non-negative. Refusals are Internal errors naming the
    // first fault. No nodes give an unfitted tree.
    static Result<CausalTree> from_nodes(std::vector<Node> nodes, std::vector<double> importance);

    bool fitted() const noexcept { return !nodes_.empty(); }
    const std::vector<Node>& nodes() const noexcept { return nodes_; }
    std::uint32_t depth() const noexcept { return levels_; }  // split levels on the longest path

    // Random keys, public so that tests can replay a node's choices.
    static std::uint64_t root_key(std::uint64_t seed) noexcept;
    static std::uint64_t child_key(std::uint64_t key, bool right) noexcept;
    // First floor(sqrt(p)) entries of a fresh permutation of 0..p-1.
    static std::vector<std::uint64_t> candidate_features(std::uint64_t p, std::uint64_t node_key);
    // Split rows and estimation rows (each ascending) of an n-row fit.
    static void honest_halves(std::size_t n, std::uint64_t seed, std::vector<std::uint64_t>& split_rows,
                              std::vector<std::uint64_t>& estimation_rows);

private:
    friend class TreeAssembler;

    // Leaves loop to themselves so that every walk takes `levels_` steps
    // without a branch on the node kind.
    struct Step {
        double threshold;
        std::uint64_t feature;
        std::uint32_t child[2];
    };

    void compile();

    std::vector<Node> nodes_;
    std::vector<Step> walk_;
    std::vector<double> value_;
    std::uint32_t levels_ = 0;
};

}  // namespace quorvantis

// One honest causal tree of the fixed forest: split rows choose the splits,
// estimation rows fill the leaves. Nodes are stored flat in pre-order (root
// first) with child indices; a compact walk table answers predictions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "quorvantis/base/errors.hpp"
#include "quorvantis/fixed/level_grower.hpp"
#include "quorvantis/fixed/tree_keys.hpp"
#include "quorvantis/base/views.hpp"

namespace quorvantis::fixed {

struct Leaf {
    double effect = 0.0;
    std::uint64_t n_samples = 0;  // estimation rows that reached the leaf while growing
};

// Rows with value <= threshold go left; all others, NaN included, go right.
struct Split {
    std::uint64_t feature = 0;
    double threshold = 0.0;
    std::uint32_t left = 0;  // node indices into FixedTree::nodes()
    std::uint32_t right = 0;
};

using Node = std::variant<Leaf, Split>;

class FixedTree {
public:
    // One entry per training column; every accepted split adds its score.
    std::vector<double> feature_importance;

    FixedTree() = default;
    explicit FixedTree(std::size_t n_features) : feature_importance(n_features, 0.0) {}

    // Grows a new tree from all rows with these random choices, replacing the
    // old nodes and adding to the importances. Treatment and outcome must
    // have an entry for every row.
    void fit(const MatrixView& features, const VectorView& treatment, const VectorView& outcome,
             std::uint64_t max_depth, std::uint64_t min_samples_leaf, const TreeChoices& choices);
    void fit(const MatrixView& features, const VectorView& treatment, const VectorView& outcome,
             std::uint64_t max_depth, std::uint64_t min_samples_leaf, std::uint64_t seed) {
        fit(features, treatment, outcome, max_depth, min_samples_leaf, KeyedChoices(seed));
    }

    // One tree per seed, each what `fit` grows from it, grown together.
    static std::vector<FixedTree> fit_batch(const MatrixView& features, const VectorView& treatment,
                                            const VectorView& outcome, std::uint64_t max_depth,
                                            std::uint64_t min_samples_leaf, std::span<const std::uint64_t> seeds);

    // Leaf effect per row; zeros when unfitted. The matrix must have every
    // column a split tests.
    std::vector<double> predict(const MatrixView& features) const;

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
    static Result<FixedTree> from_nodes(std::vector<Node> nodes, std::vector<double> importance);

    bool fitted() const noexcept { return !nodes_.empty(); }
    const std::vector<Node>& nodes() const noexcept { return nodes_; }
    std::uint32_t depth() const noexcept { return levels_; }  // split levels on the longest path

private:
    // A grown split whose subtree received fewer than min_samples_leaf
    // estimation rows becomes a leaf, exactly as if the node had been
    // refused at growth; splits add their scores in pre-order.
    void assemble(const GrownTree& grown, std::uint64_t min_samples_leaf);
    std::uint32_t emit(const GrownTree& grown, std::uint64_t min_samples_leaf, std::uint32_t i);
    void compile();

    // Leaves loop to themselves so that every walk takes `levels_` steps
    // without a branch on the node kind.
    struct Step {
        double threshold;
        std::uint64_t feature;
        std::uint32_t child[2];
    };

    std::vector<Node> nodes_;
    std::vector<Step> walk_;
    std::vector<double> value_;
    std::uint32_t levels_ = 0;
};

}  // namespace quorvantis::fixed

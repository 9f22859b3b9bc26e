#include "quorvantis/fixed/fixed_tree.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace quorvantis::fixed {
namespace {

// Trees grown together per pass: each keeps a node id per row, so groups
// bound that memory.
constexpr std::size_t kTreesPerPass = 16;

}  // namespace

void FixedTree::fit(const MatrixView& features, const VectorView& treatment, const VectorView& outcome,
                    std::uint64_t max_depth, std::uint64_t min_samples_leaf, const TreeChoices& choices) {
    if (feature_importance.size() < features.cols) feature_importance.resize(features.cols, 0.0);
    const TreeChoices* one[] = {&choices};
    const std::vector<GrownTree> grown = grow_trees(features, treatment, outcome, max_depth, min_samples_leaf, one);
    assemble(grown[0], min_samples_leaf);
}

std::vector<FixedTree> FixedTree::fit_batch(const MatrixView& features, const VectorView& treatment,
                                            const VectorView& outcome, std::uint64_t max_depth,
                                            std::uint64_t min_samples_leaf, std::span<const std::uint64_t> seeds) {
    std::vector<FixedTree> trees(seeds.size(), FixedTree(features.cols));
    std::vector<KeyedChoices> keyed;
    keyed.reserve(seeds.size());
    for (const std::uint64_t s : seeds) keyed.emplace_back(s);
    for (std::size_t first = 0; first < seeds.size(); first += kTreesPerPass) {
        const std::size_t count = std::min(kTreesPerPass, seeds.size() - first);
        std::vector<const TreeChoices*> choices(count);
        for (std::size_t i = 0; i < count; ++i) choices[i] = &keyed[first + i];
        const std::vector<GrownTree> grown =
            grow_trees(features, treatment, outcome, max_depth, min_samples_leaf, choices);
        for (std::size_t i = 0; i < count; ++i) trees[first + i].assemble(grown[i], min_samples_leaf);
    }
    return trees;
}

void FixedTree::assemble(const GrownTree& grown, std::uint64_t min_samples_leaf) {
    nodes_.clear();
    emit(grown, min_samples_leaf, 0);
    compile();
}

std::uint32_t FixedTree::emit(const GrownTree& g, std::uint64_t msl, std::uint32_t i) {
    const auto self = static_cast<std::uint32_t>(nodes_.size());
    const GrownNode& nd = g.nodes[i];
    const ArmSums& est = g.estimation[i];
    if (nd.split && est.total() >= msl) {
        nodes_.emplace_back(Split{nd.feature, nd.threshold, 0, 0});
        feature_importance[nd.feature] += nd.score;
        const std::uint32_t left = emit(g, msl, nd.left);
        const std::uint32_t right = emit(g, msl, nd.right);
        auto& s = std::get<Split>(nodes_[self]);
        s.left = left;
        s.right = right;
    } else {
        nodes_.emplace_back(Leaf{est.difference(), est.total()});
    }
    return self;
}

std::vector<double> FixedTree::predict(const MatrixView& features) const {
    std::vector<double> out(features.rows, 0.0);
    if (!fitted()) return out;
    constexpr std::size_t kBlock = 128;
    const std::byte* rows[kBlock];
    for (std::size_t lo = 0; lo < features.rows; lo += kBlock) {
        const std::size_t len = std::min(kBlock, features.rows - lo);
        for (std::size_t j = 0; j < len; ++j) rows[j] = features.row_ptr(lo + j);
        add_effects(rows, len, features.col_stride, out.data() + lo);
    }
    return out;
}

void FixedTree::add_effects(const std::byte* const* rows, std::size_t count, std::ptrdiff_t col_stride,
                            double* sums) const noexcept {
    if (walk_.empty()) {
        for (std::size_t j = 0; j < count; ++j) sums[j] += 0.0;
        return;
    }
    const Step* steps = walk_.data();
    auto hop = [steps, col_stride](std::uint32_t i, const std::byte* row) {
        const Step& s = steps[i];
        const double x = load_double(row + static_cast<std::ptrdiff_t>(s.feature) * col_stride);
        return s.child[!(x <= s.threshold)];
    };
    std::size_t j = 0;
    for (; j + 4 <= count; j += 4) {
        std::uint32_t a = 0, b = 0, c = 0, d = 0;
        for (std::uint32_t level = 0; level < levels_; ++level) {
            a = hop(a, rows[j]);
            b = hop(b, rows[j + 1]);
            c = hop(c, rows[j + 2]);
            d = hop(d, rows[j + 3]);
        }
        sums[j] += value_[a];
        sums[j + 1] += value_[b];
        sums[j + 2] += value_[c];
        sums[j + 3] += value_[d];
    }
    for (; j < count; ++j) {
        std::uint32_t a = 0;
        for (std::uint32_t level = 0; level < levels_; ++level) a = hop(a, rows[j]);
        sums[j] += value_[a];
    }
}

Result<FixedTree> FixedTree::from_nodes(std::vector<Node> nodes, std::vector<double> importance) {
    auto refuse = [](std::size_t i, const std::string& why) {
        return QuorvantisError::internal("node " + std::to_string(i) + ": " + why);
    };
    for (std::size_t f = 0; f < importance.size(); ++f)
        if (!(importance[f] >= 0.0))
            return QuorvantisError::internal("importance of feature " + std::to_string(f) + " is not >= 0");
    const std::size_t n = nodes.size();
    if (n > std::numeric_limits<std::uint32_t>::max()) return QuorvantisError::internal("too many nodes");
    // end[i] is one past the last node of i's subtree. Walking backwards, both
    // children are settled before their parent, so each subtree is checked to
    // be the contiguous pre-order run after its root: no cycles, no sharing.
    std::vector<std::uint64_t> end(n, 0);
    for (std::size_t i = n; i-- > 0;) {
        if (const auto* s = std::get_if<Split>(&nodes[i])) {
            if (s->feature >= importance.size())
                return refuse(i, "split feature " + std::to_string(s->feature) + " out of range");
            if (!std::isfinite(s->threshold)) return refuse(i, "threshold is not finite");
            if (s->left != i + 1 || s->left >= n) return refuse(i, "left child is not the next node");
            if (s->right != end[s->left] || s->right >= n)
                return refuse(i, "right child does not follow the left subtree");
            end[i] = end[s->right];
        } else {
            end[i] = i + 1;
        }
    }
    if (n > 0 && end[0] != n) return QuorvantisError::internal("nodes after the end of the tree");
    FixedTree tree;
    tree.feature_importance = std::move(importance);
    tree.nodes_ = std::move(nodes);
    tree.compile();
    return tree;
}

void FixedTree::compile() {
    walk_.assign(nodes_.size(), Step{});
    value_.assign(nodes_.size(), 0.0);
    std::vector<std::uint32_t> depth(nodes_.size(), 0);
    levels_ = 0;
    // Pre-order: a parent's depth is known before its children are reached.
    for (std::uint32_t i = 0; i < nodes_.size(); ++i) {
        if (const auto* s = std::get_if<Split>(&nodes_[i])) {
            walk_[i] = Step{s->threshold, s->feature, {s->left, s->right}};
            depth[s->left] = depth[s->right] = depth[i] + 1;
        } else {
            walk_[i] = Step{0.0, 0, {i, i}};
            value_[i] = std::get<Leaf>(nodes_[i]).effect;
            levels_ = std::max(levels_, depth[i]);
        }
    }
}

}  // namespace quorvantis::fixed

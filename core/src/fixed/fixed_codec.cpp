#include "quorvantis/fixed/fixed_codec.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <tuple>
#include <utility>

#include "quorvantis/base/siphash.hpp"

namespace quorvantis::fixed {
namespace {

constexpr unsigned char kForest = 1;
constexpr unsigned char kLinear = 2;
constexpr unsigned char kLeafTag = 0;
constexpr unsigned char kSplitTag = 1;
constexpr std::size_t kLeafBytes = 1 + 8 + 8;
constexpr std::size_t kSplitBytes = 1 + 8 + 8 + 4 + 4;

void write_forest(ByteWriter& w, const FixedForest& forest) {
    w.u64(forest.n_trees);
    w.u64(forest.max_depth);
    w.u64(forest.min_samples_leaf);
    w.u64(forest.n_features);
    w.u64(forest.trees.size());
    for (const FixedTree& tree : forest.trees) {
        for (const double v : tree.feature_importance) w.f64(v);
        w.u64(tree.nodes().size());
        for (const Node& node : tree.nodes()) {
            if (const auto* s = std::get_if<Split>(&node)) {
                w.u8(kSplitTag);
                w.u64(s->feature);
                w.f64(s->threshold);
                w.u32(s->left);
                w.u32(s->right);
            } else {
                const Leaf& leaf = std::get<Leaf>(node);
                w.u8(kLeafTag);
                w.f64(leaf.effect);
                w.u64(leaf.n_samples);
            }
        }
    }
}

Decoded refuse(std::string why) {
    return {nullptr, std::move(why)};
}

Decoded read_forest(ByteReader& r) {
    FixedForest forest;
    forest.n_trees = r.u64();
    forest.max_depth = r.u64();
    forest.min_samples_leaf = r.u64();
    forest.n_features = r.u64();
    const std::uint64_t count = r.u64();
    if (r.failed) return refuse("forest header is truncated");
    // Every fit uses the same settings, and a later refit (validate) reuses
    // the decoded ones: anything else would let the bytes order arbitrary work.
    const FixedForest fitted;
    for (const auto& [name, value, expected] :
         {std::tuple{"n_trees", forest.n_trees, fitted.n_trees},
          std::tuple{"max_depth", forest.max_depth, fitted.max_depth},
          std::tuple{"min_samples_leaf", forest.min_samples_leaf, fitted.min_samples_leaf}}) {
        if (value != expected)
            return refuse(std::string(name) + " is " + std::to_string(value) + ", expected " +
                          std::to_string(expected));
    }
    // Only what a fit leaves behind: exactly n_trees trees. With trees
    // present every count below is bounded by the bytes.
    if (count == 0) return refuse("forest has no trees (not fitted)");
    if (count != forest.n_trees)
        return refuse("forest has " + std::to_string(count) + " trees but n_trees is " +
                      std::to_string(forest.n_trees));
    // Each tree needs its importances and at least one leaf.
    if (r.remaining() < 8 + kLeafBytes || forest.n_features > (r.remaining() - 8 - kLeafBytes) / 8)
        return refuse("n_features " + std::to_string(forest.n_features) + " exceeds the data present");
    const std::size_t per_tree = static_cast<std::size_t>(forest.n_features) * 8 + 8 + kLeafBytes;
    if (count > r.remaining() / per_tree)
        return refuse("tree count " + std::to_string(count) + " exceeds the data present");
    forest.trees.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t t = 0; t < count; ++t) {
        const std::string where = "tree " + std::to_string(t) + ": ";
        std::vector<double> importance(static_cast<std::size_t>(forest.n_features));
        for (double& v : importance) v = r.f64();
        const std::uint64_t n_nodes = r.u64();
        if (r.failed) return refuse(where + "truncated");
        if (n_nodes == 0) return refuse(where + "has no nodes");
        if (n_nodes > r.remaining() / kLeafBytes) return refuse(where + "node count exceeds the data present");
        std::vector<Node> nodes;
        nodes.reserve(static_cast<std::size_t>(n_nodes));
        for (std::uint64_t i = 0; i < n_nodes; ++i) {
            const unsigned char tag = r.u8();
            if (tag == kLeafTag) {
                Leaf leaf;
                leaf.effect = r.f64();
                leaf.n_samples = r.u64();
                nodes.emplace_back(leaf);
            } else if (tag == kSplitTag) {
                Split split;
                split.feature = r.u64();
                split.threshold = r.f64();
                split.left = r.u32();
                split.right = r.u32();
                nodes.emplace_back(split);
            } else if (!r.failed) {
                return refuse(where + "node " + std::to_string(i) + " has unknown tag " + std::to_string(tag));
            }
            if (r.failed) return refuse(where + "truncated in node " + std::to_string(i));
        }
        Result<FixedTree> tree = FixedTree::from_nodes(std::move(nodes), std::move(importance));
        if (!tree) return refuse(where + tree.error().text());
        if (tree.value().depth() > forest.max_depth)
            return refuse(where + "depth " + std::to_string(tree.value().depth()) + " exceeds max_depth " +
                          std::to_string(forest.max_depth));
        forest.trees.push_back(std::move(tree).value());
    }
    return {std::make_unique<Estimator>(std::in_place_type<FixedForest>, std::move(forest)), {}};
}

Decoded read_linear(ByteReader& r) {
    LinearCausalModel linear;
    linear.effect = r.f64();
    if (r.failed) return refuse("linear payload is truncated");
    return {std::make_unique<Estimator>(std::in_place_type<LinearCausalModel>, linear), {}};
}

}  // namespace

std::vector<unsigned char> serialize(const Estimator& estimator) {
    ByteWriter payload;
    unsigned char kind = 0;
    if (const auto* forest = std::get_if<FixedForest>(&estimator)) {
        kind = kForest;
        write_forest(payload, *forest);
    } else {
        kind = kLinear;
        payload.f64(std::get<LinearCausalModel>(estimator).effect);
    }
    return seal(kSerialVersion, kind, payload.out);
}

Decoded deserialize(std::span<const unsigned char> bytes) {
    const Unsealed frame = unseal(bytes, kSerialVersion);
    if (!frame.error.empty()) return refuse(frame.error);
    ByteReader r(frame.payload);
    if (frame.kind != kForest && frame.kind != kLinear)
        return refuse("unknown estimator kind " + std::to_string(frame.kind));
    Decoded out = frame.kind == kForest ? read_forest(r) : read_linear(r);
    if (out.estimator && r.remaining() != 0)
        return refuse(std::to_string(r.remaining()) + " bytes left over after the estimator");
    return out;
}

}  // namespace quorvantis::fixed

// A general-engine tree to bytes and back, for the model and for tree
// batches; reading checks that every walk ends in a leaf of the tree.
#pragma once

#include <bit>
#include <cstddef>
#include <string>
#include <type_traits>

#include "quorvantis/base/serial_frame.hpp"
#include "quorvantis/engine/tree/forest_tree.hpp"

namespace quorvantis::engine {

inline void write_leaf(ByteWriter& w, const CausalLeaf& l) {
    w.f64(l.n);
    w.f64(l.w);
    w.f64(l.y);
    w.f64(l.wy);
    w.f64(l.ww);
}
inline void write_leaf(ByteWriter& w, const RegressionLeaf& l) {
    w.f64(l.n);
    w.f64(l.y);
}
inline void read_leaf(ByteReader& r, CausalLeaf& l) {
    l.n = r.f64();
    l.w = r.f64();
    l.y = r.f64();
    l.wy = r.f64();
    l.ww = r.f64();
}
inline void read_leaf(ByteReader& r, RegressionLeaf& l) {
    l.n = r.f64();
    l.y = r.f64();
}
template <class Leaf>
constexpr std::size_t kLeafBytes = sizeof(Leaf);

// On a little-endian host nodes and leaves are in memory as they are in the
// bytes (fields in order, no padding), and go in and out whole.
template <class T>
constexpr bool kAsInMemory = std::endian::native == std::endian::little && std::is_trivially_copyable_v<T>;
static_assert(sizeof(TreeNode) == 8 && offsetof(TreeNode, feature) == 4 && offsetof(TreeNode, bin) == 6 &&
              offsetof(TreeNode, flags) == 7);
static_assert(sizeof(RegressionLeaf) == 2 * sizeof(double) && sizeof(CausalLeaf) == 5 * sizeof(double));

// Format 2 and later follow the leaves with the categorical splits' sets.
inline constexpr std::uint16_t kFirstSetFormat = 2;

template <class Leaf>
void write_tree(ByteWriter& w, const ForestTree<Leaf>& t, bool with_sets = false) {
    const std::vector<TreeNode> nodes = t.nodes();
    w.u64(nodes.size());
    if constexpr (kAsInMemory<TreeNode>) {
        w.bytes(reinterpret_cast<const unsigned char*>(nodes.data()), nodes.size() * sizeof(TreeNode));
    } else {
        for (const TreeNode& nd : nodes) {
            w.u32(nd.next);
            w.u16(nd.feature);
            w.u8(nd.bin);
            w.u8(nd.flags);
        }
    }
    w.u64(t.leaves.size());
    if constexpr (kAsInMemory<Leaf>) {
        w.bytes(reinterpret_cast<const unsigned char*>(t.leaves.data()), t.leaves.size() * sizeof(Leaf));
    } else {
        for (const Leaf& l : t.leaves) write_leaf(w, l);
    }
    if (!with_sets) return;
    w.u64(t.sets.size());
    for (const CategorySet& s : t.sets)
        for (const std::uint64_t b : s.bits) w.u64(b);
}

// False with `error` set when the bytes do not hold a sound tree over
// `features` columns whose missing code is `missing`.
template <class Leaf>
bool read_tree(ByteReader& r, std::size_t features, std::uint8_t missing, ForestTree<Leaf>& t, std::string& error,
               bool with_sets = false) {
    const std::uint64_t n_nodes = r.u64();
    if (r.failed || n_nodes == 0 || n_nodes > r.remaining() / 8) {
        error = "tree nodes truncated";
        return false;
    }
    std::vector<TreeNode> nodes(static_cast<std::size_t>(n_nodes));
    if constexpr (kAsInMemory<TreeNode>) {
        r.bytes(reinterpret_cast<unsigned char*>(nodes.data()), nodes.size() * sizeof(TreeNode));
    } else {
        for (TreeNode& nd : nodes) {
            nd.next = r.u32();
            nd.feature = r.u16();
            nd.bin = r.u8();
            nd.flags = r.u8();
        }
    }
    const std::uint64_t n_leaves = r.u64();
    if (r.failed || n_leaves == 0 || n_leaves > r.remaining() / kLeafBytes<Leaf>) {
        error = "tree leaves truncated";
        return false;
    }
    t.leaves.resize(static_cast<std::size_t>(n_leaves));
    if constexpr (kAsInMemory<Leaf>) {
        r.bytes(reinterpret_cast<unsigned char*>(t.leaves.data()), t.leaves.size() * sizeof(Leaf));
    } else {
        for (Leaf& l : t.leaves) read_leaf(r, l);
    }
    std::vector<CategorySet> sets;
    if (with_sets) {
        const std::uint64_t n_sets = r.u64();
        if (r.failed || n_sets > nodes.size() || n_sets > r.remaining() / 32) {
            error = "category sets truncated";
            return false;
        }
        sets.resize(static_cast<std::size_t>(n_sets));
        for (CategorySet& s : sets)
            for (std::uint64_t& b : s.bits) b = r.u64();
    }
    std::size_t categorical = 0;
    // Splits point forward to two nodes and test existing features, leaves
    // index the leaf table: every walk ends in a leaf.
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const TreeNode& nd = nodes[i];
        if (nd.flags & kLeafNode) {
            if (nd.next >= t.leaves.size()) {
                error = "leaf index out of range";
                return false;
            }
        } else if (nd.next <= i || nd.next + 1 >= nodes.size() || nd.feature >= features || nd.bin >= missing) {
            error = "split node out of range";
            return false;
        } else {
            categorical += (nd.flags & kCategorical) != 0;
        }
    }
    if (categorical != sets.size()) {
        error = "categorical splits and category sets differ in number";
        return false;
    }
    t.set_nodes(nodes, missing, sets);
    return !r.failed;
}

}  // namespace quorvantis::engine

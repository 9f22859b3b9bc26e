// A fitted tree of the general engine, stored flat: 8-byte nodes, children of
// a split side by side, and leaves that keep sufficient statistics of their
// estimation rows instead of row lists.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <vector>

namespace quorvantis::engine {

struct TreeNode {
    std::uint32_t next = 0;  // split: the left child (the right one follows); leaf: its row in the leaf table
    std::uint16_t feature = 0;
    std::uint8_t bin = 0;  // a coded value goes left when it is at most `bin`
    std::uint8_t flags = 0;
};

inline constexpr std::uint8_t kLeafNode = 1;
inline constexpr std::uint8_t kMissingLeft = 2;

// Means over a causal leaf's estimation rows of W~, Y~, W~Y~ and W~^2.
struct CausalLeaf {
    double n = 0.0, w = 0.0, y = 0.0, wy = 0.0, ww = 0.0;
};

// A regression leaf's count and mean response.
struct RegressionLeaf {
    double n = 0.0, y = 0.0;
};

template <class Leaf>
struct ForestTree {
    std::vector<Leaf> leaves;

    // The tree is kept as its walk table: nodes whose leaves point to
    // themselves with a bin that sends every code left, so that every walk
    // takes `depth` steps without a branch on the node kind; slot[i] is leaf
    // node i's row in the leaf table.
    std::vector<TreeNode> walk;
    std::vector<std::uint32_t> slot;
    std::uint32_t depth = 0;

    // From nodes as the builder gives them (leaf `next` = row in `leaves`).
    void set_nodes(const std::vector<TreeNode>& nodes) {
        walk = nodes;
        slot.assign(nodes.size(), 0);
        std::vector<std::uint32_t> level(nodes.size(), 0);
        depth = 0;
        for (std::uint32_t i = 0; i < nodes.size(); ++i) {
            TreeNode& w = walk[i];
            if (w.flags & kLeafNode) {
                slot[i] = w.next;
                w = TreeNode{i, 0, 0xff, kLeafNode | kMissingLeft};
                depth = std::max(depth, level[i]);
            } else {
                level[w.next] = level[w.next + 1] = level[i] + 1;
            }
        }
    }

    // The nodes back in the builder's form.
    std::vector<TreeNode> nodes() const {
        std::vector<TreeNode> out = walk;
        for (std::uint32_t i = 0; i < out.size(); ++i)
            if (out[i].flags & kLeafNode) out[i] = TreeNode{slot[i], 0, 0, kLeafNode};
        return out;
    }

    // The leaves `count` rows reach, eight walks at a time in registers so
    // that their dependent loads overlap. Every step is branch-free (leaves
    // loop to themselves); every fourth step checks whether all eight are
    // done. rows[j] are the rows' codes.
    void leaves_of(const std::uint8_t* const* rows, std::size_t count, std::uint8_t missing,
                   std::uint32_t* out) const noexcept {
        const TreeNode* nd = walk.data();
        constexpr std::size_t kLanes = 8;
        auto step = [nd, missing](std::uint32_t at, const std::uint8_t* row) {
            const TreeNode n = nd[at];
            const std::uint32_t c = row[n.feature];
            // Right when above the bin, except a missing value the node sends left.
            const std::uint32_t right = (c > n.bin) & ~((n.flags >> 1) & (c == missing));
            return n.next + right;
        };
        std::size_t j = 0;
        for (; j + kLanes <= count; j += kLanes) {
            std::uint32_t at[kLanes] = {};
            const std::uint8_t* r[kLanes];
            for (std::size_t k = 0; k < kLanes; ++k) r[k] = rows[j + k];
            for (std::uint32_t d = 0; d < depth; d += 4) {
                for (int s = 0; s < 4; ++s) {
#pragma GCC unroll 8
                    for (std::size_t k = 0; k < kLanes; ++k) at[k] = step(at[k], r[k]);
                }
                std::uint32_t all = kLeafNode;
#pragma GCC unroll 8
                for (std::size_t k = 0; k < kLanes; ++k) all &= nd[at[k]].flags;
                if (all & kLeafNode) break;
            }
            for (std::size_t k = 0; k < kLanes; ++k) out[j + k] = slot[at[k]];
        }
        for (; j < count; ++j) {
            std::uint32_t at = 0;
            while (!(nd[at].flags & kLeafNode)) at = step(at, rows[j]);
            out[j] = slot[at];
        }
    }

    std::size_t bytes() const noexcept {
        return leaves.size() * sizeof(Leaf) + walk.size() * (sizeof(TreeNode) + sizeof(std::uint32_t));
    }
};

}  // namespace quorvantis::engine

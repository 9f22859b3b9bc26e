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

    // The leaves `count` rows reach, eight walks interleaved so that their
    // dependent loads overlap; a lane that reaches its leaf takes the next
    // row at once, so a deep path does not hold up the others. rows[j] are
    // the rows' codes.
    void leaves_of(const std::uint8_t* const* rows, std::size_t count, std::uint8_t missing,
                   std::uint32_t* out) const noexcept {
        const TreeNode* nd = walk.data();
        constexpr std::size_t kLanes = 8;
        std::uint32_t at[kLanes];
        std::size_t row[kLanes];
        std::size_t next = 0, busy = 0;
        for (std::size_t k = 0; k < kLanes; ++k) {
            at[k] = 0;
            row[k] = next < count ? next++ : count;
            busy += row[k] < count;
        }
        while (busy > 0) {
            for (std::size_t k = 0; k < kLanes; ++k) {
                if (row[k] >= count) continue;
                const TreeNode& n = nd[at[k]];
                if (n.flags & kLeafNode) {
                    out[row[k]] = slot[at[k]];
                    at[k] = 0;
                    if (next < count) {
                        row[k] = next++;
                    } else {
                        row[k] = count;
                        --busy;
                    }
                    continue;
                }
                const std::uint32_t c = rows[row[k]][n.feature];
                // Right when above the bin, except a missing value the node sends left.
                const std::uint32_t right = (c > n.bin) & ~((n.flags >> 1) & (c == missing));
                at[k] = n.next + right;
            }
        }
    }

    std::size_t bytes() const noexcept {
        return leaves.size() * sizeof(Leaf) + walk.size() * (sizeof(TreeNode) + sizeof(std::uint32_t));
    }
};

}  // namespace quorvantis::engine

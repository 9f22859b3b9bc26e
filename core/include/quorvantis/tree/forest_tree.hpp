// A fitted tree of the general engine, stored flat: 8-byte nodes, children of
// a split side by side, and leaves that keep sufficient statistics of their
// estimation rows instead of row lists.
#pragma once

#include <cstddef>
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
    std::vector<TreeNode> nodes;  // root first
    std::vector<Leaf> leaves;

    // The leaf a row reaches, from its codes and the missing code.
    std::uint32_t leaf_of(const std::uint8_t* codes, std::uint8_t missing) const noexcept {
        const TreeNode* nd = nodes.data();
        std::uint32_t i = 0;
        while (!(nd[i].flags & kLeafNode)) {
            const std::uint8_t c = codes[nd[i].feature];
            const bool left = c == missing ? (nd[i].flags & kMissingLeft) != 0 : c <= nd[i].bin;
            i = nd[i].next + (left ? 0u : 1u);
        }
        return nd[i].next;
    }
};

}  // namespace quorvantis::engine

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
// A split of a categorical feature: the codes in its set go left (the
// missing code among them when missing values do); `bin` is unused.
inline constexpr std::uint8_t kCategorical = 4;

// 256 bits, one per code.
struct CategorySet {
    std::uint64_t bits[4] = {0, 0, 0, 0};

    bool has(std::uint8_t c) const noexcept { return (bits[c >> 6] >> (c & 63)) & 1; }
    void add(std::uint8_t c) noexcept { bits[c >> 6] |= std::uint64_t{1} << (c & 63); }
    friend bool operator==(const CategorySet&, const CategorySet&) = default;
};

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

    // The tree is kept as its walk table, in which a step is one add and one
    // compare: a split adds `shift` to the row's code (mod 256) and goes right
    // when the sum is above `bin`. A split that sends missing values left has
    // the shift that turns the missing code, the largest, into 0 and keeps the
    // order of the others; leaves point to themselves with a bin no sum
    // exceeds, so every walk can take `depth` steps without a branch on the
    // node kind. slot[i] is leaf node i's row in the leaf table.
    struct Step {
        std::uint32_t next = 0;
        std::uint16_t feature = 0;
        std::uint8_t bin = 0;
        std::uint8_t shift = 0;
    };
    std::vector<Step> walk;
    std::vector<std::uint32_t> slot;
    std::uint32_t depth = 0;
    // Categorical splits: their nodes, ascending, and their sets. A tree with
    // any walks by `left`, per node the codes that go left (all of them at a
    // leaf), instead of the add-and-compare steps.
    std::vector<std::uint32_t> set_node;
    std::vector<CategorySet> sets;
    std::vector<CategorySet> left;

    // From nodes as the builder gives them (leaf `next` = row in `leaves`),
    // for codes whose missing code is `missing`; split bins lie below it.
    // `category_sets` holds the sets of the categorical splits in node order.
    void set_nodes(const std::vector<TreeNode>& nodes, std::uint8_t missing,
                   const std::vector<CategorySet>& category_sets = {}) {
        walk.resize(nodes.size());
        slot.assign(nodes.size(), 0);
        set_node.clear();
        sets = category_sets;
        left.clear();
        std::vector<std::uint32_t> level(nodes.size(), 0);
        depth = 0;
        const auto to_zero = static_cast<std::uint8_t>(256 - missing);
        for (std::uint32_t i = 0; i < nodes.size(); ++i) {
            const TreeNode& n = nodes[i];
            if (n.flags & kLeafNode) {
                slot[i] = n.next;
                walk[i] = Step{i, 0, 0xff, 0};
                depth = std::max(depth, level[i]);
            } else if (n.flags & kCategorical) {
                set_node.push_back(i);
                walk[i] = Step{n.next, n.feature, 0, 0};
                level[n.next] = level[n.next + 1] = level[i] + 1;
            } else {
                const std::uint8_t shift = (n.flags & kMissingLeft) ? to_zero : 0;
                walk[i] = Step{n.next, n.feature, static_cast<std::uint8_t>(n.bin + shift), shift};
                level[n.next] = level[n.next + 1] = level[i] + 1;
            }
        }
        if (set_node.empty()) return;
        left.resize(nodes.size());
        for (std::uint32_t i = 0; i < nodes.size(); ++i) {
            CategorySet& m = left[i];
            const Step& w = walk[i];
            for (std::size_t c = 0; c < 256; ++c)
                if (w.next == i || static_cast<std::uint8_t>(c + w.shift) <= w.bin) m.add(static_cast<std::uint8_t>(c));
        }
        for (std::size_t k = 0; k < set_node.size() && k < sets.size(); ++k) left[set_node[k]] = sets[k];
    }

    // The nodes back in the builder's form (children follow their parent,
    // so only leaves point to themselves).
    std::vector<TreeNode> nodes() const {
        std::vector<TreeNode> out(walk.size());
        for (std::uint32_t i = 0; i < out.size(); ++i) {
            const Step& w = walk[i];
            out[i] = w.next == i ? TreeNode{slot[i], 0, 0, kLeafNode}
                                 : TreeNode{w.next, w.feature, static_cast<std::uint8_t>(w.bin - w.shift),
                                            static_cast<std::uint8_t>(w.shift != 0 ? kMissingLeft : 0)};
        }
        for (const std::uint32_t i : set_node) out[i] = TreeNode{walk[i].next, walk[i].feature, 0, kCategorical};
        return out;
    }

    // The leaves `count` rows reach, eight walks at a time in registers so
    // that their dependent loads overlap. Every step is branch-free (leaves
    // loop to themselves); every fourth step checks whether all eight are
    // done. rows[j] are the rows' codes.
    void leaves_of(const std::uint8_t* const* rows, std::size_t count, std::uint32_t* out) const noexcept {
        if (!left.empty()) return leaves_by_sets(rows, count, out);
        const Step* nd = walk.data();
        constexpr std::size_t kLanes = 8;
        auto step = [nd](std::uint32_t at, const std::uint8_t* row) {
            const Step n = nd[at];
            const auto c = static_cast<std::uint8_t>(row[n.feature] + n.shift);
            return n.next + static_cast<std::uint32_t>(c > n.bin);
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
                bool all = true;
#pragma GCC unroll 8
                for (std::size_t k = 0; k < kLanes; ++k) all &= nd[at[k]].next == at[k];
                if (all) break;
            }
            for (std::size_t k = 0; k < kLanes; ++k) out[j + k] = slot[at[k]];
        }
        for (; j < count; ++j) {
            std::uint32_t at = 0;
            while (nd[at].next != at) at = step(at, rows[j]);
            out[j] = slot[at];
        }
    }

    // The walk of a tree with categorical splits: a bit test per step, eight
    // walks at a time as in leaves_of.
    void leaves_by_sets(const std::uint8_t* const* rows, std::size_t count, std::uint32_t* out) const noexcept {
        const Step* nd = walk.data();
        const CategorySet* go = left.data();
        constexpr std::size_t kLanes = 8;
        auto step = [nd, go](std::uint32_t at, const std::uint8_t* row) {
            const std::uint8_t c = row[nd[at].feature];
            return nd[at].next + static_cast<std::uint32_t>(((go[at].bits[c >> 6] >> (c & 63)) & 1) ^ 1);
        };
        std::size_t j = 0;
        for (; j + kLanes <= count; j += kLanes) {
            std::uint32_t at[kLanes] = {};
            for (std::uint32_t d = 0; d < depth; d += 4) {
                for (int s = 0; s < 4; ++s)
                    for (std::size_t k = 0; k < kLanes; ++k) at[k] = step(at[k], rows[j + k]);
                bool all = true;
                for (std::size_t k = 0; k < kLanes; ++k) all &= nd[at[k]].next == at[k];
                if (all) break;
            }
            for (std::size_t k = 0; k < kLanes; ++k) out[j + k] = slot[at[k]];
        }
        for (; j < count; ++j) {
            std::uint32_t at = 0;
            while (nd[at].next != at) at = step(at, rows[j]);
            out[j] = slot[at];
        }
    }

    // Asks for the tree's tables ahead of its walks: a walk's loads depend on
    // each other, so a table that arrives line by line during them stalls
    // every step, while requested together the lines stream in.
    void prefetch() const noexcept {
        auto ask = [](const void* data, std::size_t size) {
            const char* p = static_cast<const char*>(data);
            for (std::size_t at = 0; at < size; at += 64) __builtin_prefetch(p + at, 0, 3);
        };
        ask(walk.data(), walk.size() * sizeof(Step));
        ask(slot.data(), slot.size() * sizeof(std::uint32_t));
        ask(leaves.data(), leaves.size() * sizeof(Leaf));
    }

    std::size_t bytes() const noexcept {
        return leaves.size() * sizeof(Leaf) + walk.size() * (sizeof(Step) + sizeof(std::uint32_t)) +
               (left.size() + sets.size()) * sizeof(CategorySet) + set_node.size() * sizeof(std::uint32_t);
    }
};

}  // namespace quorvantis::engine

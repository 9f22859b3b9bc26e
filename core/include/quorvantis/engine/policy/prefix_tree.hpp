// A segment tree over the bins of one feature for the two sides of a root
// split. For each side it holds the rows' count and reward sums per action
// and, for every ordered pair of actions (a, b), the largest prefix sum of
// r_a - r_b. It answers "the best depth-1 split of a side on this feature"
// in O(log bins · K²) while rows move from the right side to the left.
// Both sides share each node (one cache line or two for few actions): a
// move walks one path, and the search is bound by those memory accesses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvantis::engine {

class PrefixTree {
public:
    enum Side { Left = 0, Right = 1 };

    // Empty, over `bins` bins and `actions` actions.
    void reset(std::size_t bins, std::size_t actions);
    // Adds one row to `side` before build(); build() then sets the inner nodes in O(bins).
    void fill(Side side, std::size_t bin, const double* reward);
    void build();
    // Moves one row of `bin` from the right side to the left.
    void move_left(std::size_t bin, const double* reward);

    std::size_t count(Side side) const { return static_cast<std::size_t>(node(1, side)[0]); }
    std::size_t pairs() const { return pair_a_.size(); }
    std::size_t pair_first(std::size_t pair) const { return pair_a_[pair]; }
    std::size_t pair_second(std::size_t pair) const { return pair_b_[pair]; }
    // For every pair, into out[pair]: the largest sum over `side`'s rows of
    // r_a - r_b in the bins of a nonempty prefix holding between lo and hi of
    // those rows, or -inf. One pass down the two boundaries.
    void best_prefix(Side side, std::size_t lo, std::size_t hi, double* out) const;
    // The same over every nonempty prefix, padding included.
    const double* best_any(Side side) const { return node(1, side) + 1 + actions_; }

private:
    // Per node and side: count, the sums of each action, each pair's best prefix.
    double* node(std::size_t i, int side) { return values_.data() + i * stride_ + side * half_; }
    const double* node(std::size_t i, int side) const { return values_.data() + i * stride_ + side * half_; }
    void pull(std::size_t i);
    void leaf_pairs(std::size_t i);
    void visit(std::size_t i, int side, double before, double lo, double hi, double* out) const;

    std::size_t size_ = 0;  // leaves, a power of two
    std::size_t actions_ = 0;
    std::size_t half_ = 0, stride_ = 0;
    std::vector<double> values_;
    std::vector<std::uint16_t> pair_a_, pair_b_;
    mutable std::vector<double> acc_;
};

}  // namespace quorvantis::engine

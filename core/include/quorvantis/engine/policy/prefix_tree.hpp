// A segment tree over the bins of one feature holding, for the rows inserted,
// each bin's reward sums per action and, for every ordered pair of actions
// (a, b), the largest prefix sum of r_a - r_b. It answers "the best depth-1
// split of these rows on this feature" in O(log bins · K²) while rows move
// between the two sides of a root split.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvantis::engine {

class PrefixTree {
public:
    // Empty, over `bins` bins and `actions` actions.
    void reset(std::size_t bins, std::size_t actions);
    // Adds (sign +1) or removes (sign -1) one row of `bin` with rewards `reward`.
    void add(std::size_t bin, const double* reward, int sign);
    // Loads bin sums and counts wholesale, then builds the inner nodes in O(bins).
    void fill(std::size_t bin, const double* reward);
    void build();

    std::size_t count() const { return static_cast<std::size_t>(count_[1]); }
    std::size_t pairs() const { return pair_a_.size(); }
    std::size_t pair_first(std::size_t pair) const { return pair_a_[pair]; }
    std::size_t pair_second(std::size_t pair) const { return pair_b_[pair]; }
    // The bin of the c-th row in bin order, 1 <= c <= count().
    std::size_t bin_of(std::size_t c) const;
    // For every pair, into out[pair]: the largest sum of r_a - r_b over the
    // bins [0, L) for lo <= L <= hi, where 1 <= lo <= hi < bins.
    void best_prefix(std::size_t lo, std::size_t hi, double* out) const;

private:
    double* node(std::size_t i) { return values_.data() + i * stride_; }
    const double* node(std::size_t i) const { return values_.data() + i * stride_; }
    void pull(std::size_t i);
    void leaf_pairs(std::size_t i);
    void nodes_of(std::size_t first, std::size_t last) const;  // inclusive, in order, into scratch_

    std::size_t size_ = 0;  // leaves, a power of two
    std::size_t actions_ = 0;
    std::size_t stride_ = 0;  // per node: sums of each action, then each pair's best prefix
    std::vector<std::int32_t> count_;
    std::vector<double> values_;
    std::vector<std::uint16_t> pair_a_, pair_b_;
    mutable std::vector<std::size_t> scratch_, right_;
    mutable std::vector<double> acc_;
};

}  // namespace quorvantis::engine

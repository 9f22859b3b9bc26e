#include "quorvantis/engine/policy/prefix_tree.hpp"

#include <algorithm>
#include <limits>

namespace quorvantis::engine {

void PrefixTree::reset(std::size_t bins, std::size_t actions) {
    std::size_t size = 1;
    while (size < bins) size <<= 1;
    if (actions != actions_) {
        actions_ = actions;
        pair_a_.clear();
        pair_b_.clear();
        for (std::size_t a = 0; a < actions; ++a)
            for (std::size_t b = 0; b < actions; ++b)
                if (a != b) {
                    pair_a_.push_back(static_cast<std::uint16_t>(a));
                    pair_b_.push_back(static_cast<std::uint16_t>(b));
                }
        acc_.resize(actions);
    }
    size_ = size;
    stride_ = actions + pair_a_.size();
    count_.assign(2 * size, 0);
    values_.assign(2 * size * stride_, 0.0);
}

void PrefixTree::leaf_pairs(std::size_t i) {
    double* v = node(i);
    if (count_[i] == 0) std::fill(v, v + actions_, 0.0);  // no drift left behind by removals
    double* best = v + actions_;
    for (std::size_t p = 0; p < pair_a_.size(); ++p) best[p] = v[pair_a_[p]] - v[pair_b_[p]];
}

void PrefixTree::pull(std::size_t i) {
    const double* l = node(2 * i);
    const double* r = node(2 * i + 1);
    double* v = node(i);
    count_[i] = count_[2 * i] + count_[2 * i + 1];
    for (std::size_t a = 0; a < actions_; ++a) v[a] = l[a] + r[a];
    const double* lb = l + actions_;
    const double* rb = r + actions_;
    double* best = v + actions_;
    for (std::size_t p = 0; p < pair_a_.size(); ++p)
        best[p] = std::max(lb[p], l[pair_a_[p]] - l[pair_b_[p]] + rb[p]);
}

void PrefixTree::add(std::size_t bin, const double* reward, int sign) {
    std::size_t i = bin + size_;
    double* v = node(i);
    count_[i] += sign;
    if (sign > 0)
        for (std::size_t a = 0; a < actions_; ++a) v[a] += reward[a];
    else
        for (std::size_t a = 0; a < actions_; ++a) v[a] -= reward[a];
    leaf_pairs(i);
    for (i >>= 1; i >= 1; i >>= 1) pull(i);
}

void PrefixTree::fill(std::size_t bin, const double* reward) {
    double* v = node(bin + size_);
    count_[bin + size_] += 1;
    for (std::size_t a = 0; a < actions_; ++a) v[a] += reward[a];
}

void PrefixTree::build() {
    for (std::size_t i = size_; i < 2 * size_; ++i) leaf_pairs(i);
    for (std::size_t i = size_ - 1; i >= 1; --i) pull(i);
}

std::size_t PrefixTree::bin_of(std::size_t c) const {
    std::size_t i = 1;
    auto left = static_cast<std::int32_t>(c);
    while (i < size_) {
        if (count_[2 * i] >= left) {
            i = 2 * i;
        } else {
            left -= count_[2 * i];
            i = 2 * i + 1;
        }
    }
    return i - size_;
}

void PrefixTree::nodes_of(std::size_t first, std::size_t last) const {
    scratch_.clear();
    right_.clear();
    for (std::size_t l = first + size_, r = last + size_ + 1; l < r; l >>= 1, r >>= 1) {
        if (l & 1) scratch_.push_back(l++);
        if (r & 1) right_.push_back(--r);
    }
    scratch_.insert(scratch_.end(), right_.rbegin(), right_.rend());
}

void PrefixTree::best_prefix(std::size_t lo, std::size_t hi, double* out) const {
    std::fill(acc_.begin(), acc_.end(), 0.0);
    if (lo >= 2) {
        nodes_of(0, lo - 2);
        for (const std::size_t i : scratch_)
            for (std::size_t a = 0; a < actions_; ++a) acc_[a] += node(i)[a];
    }
    const std::size_t pairs = pair_a_.size();
    std::fill(out, out + pairs, -std::numeric_limits<double>::infinity());
    nodes_of(lo - 1, hi - 1);
    for (const std::size_t i : scratch_) {
        const double* v = node(i);
        const double* best = v + actions_;
        for (std::size_t p = 0; p < pairs; ++p)
            out[p] = std::max(out[p], acc_[pair_a_[p]] - acc_[pair_b_[p]] + best[p]);
        for (std::size_t a = 0; a < actions_; ++a) acc_[a] += v[a];
    }
}

}  // namespace quorvantis::engine

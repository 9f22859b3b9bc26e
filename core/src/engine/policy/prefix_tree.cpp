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
    half_ = 1 + actions + pair_a_.size();
    stride_ = 2 * half_;
    values_.assign(2 * size * stride_, 0.0);
}

void PrefixTree::leaf_pairs(std::size_t i) {
    for (int side = 0; side < 2; ++side) {
        double* v = node(i, side);
        double* s = v + 1;
        if (v[0] == 0.0) std::fill(s, s + actions_, 0.0);  // no drift left behind by moves
        double* best = s + actions_;
        for (std::size_t p = 0; p < pair_a_.size(); ++p) best[p] = s[pair_a_[p]] - s[pair_b_[p]];
    }
}

void PrefixTree::pull(std::size_t i) {
    const std::size_t K = actions_, P = pair_a_.size();
    const std::uint16_t* pa = pair_a_.data();
    const std::uint16_t* pb = pair_b_.data();
    for (int side = 0; side < 2; ++side) {
        const double* l = node(2 * i, side);
        const double* r = node(2 * i + 1, side);
        double* v = node(i, side);
        for (std::size_t a = 0; a <= K; ++a) v[a] = l[a] + r[a];  // count and sums
        const double* ls = l + 1;
        for (std::size_t p = 0; p < P; ++p) v[1 + K + p] = std::max(l[1 + K + p], ls[pa[p]] - ls[pb[p]] + r[1 + K + p]);
    }
}

void PrefixTree::fill(Side side, std::size_t bin, const double* reward) {
    double* v = node(bin + size_, side);
    v[0] += 1.0;
    for (std::size_t a = 0; a < actions_; ++a) v[1 + a] += reward[a];
}

void PrefixTree::build() {
    for (std::size_t i = size_; i < 2 * size_; ++i) leaf_pairs(i);
    for (std::size_t i = size_ - 1; i >= 1; --i) pull(i);
}

void PrefixTree::move_left(std::size_t bin, const double* reward) {
    std::size_t i = bin + size_;
    double* l = node(i, Left);
    double* r = node(i, Right);
    l[0] += 1.0;
    r[0] -= 1.0;
    for (std::size_t a = 0; a < actions_; ++a) {
        l[1 + a] += reward[a];
        r[1 + a] -= reward[a];
    }
    leaf_pairs(i);
    for (i >>= 1; i >= 1; i >>= 1) pull(i);
}

// `before` rows and acc_ sums precede node i; acc_ moves past it.
void PrefixTree::visit(std::size_t i, int side, double before, double lo, double hi, double* out) const {
    const double* v = node(i, side);
    const double* s = v + 1;
    const double count = v[0];
    if (before > hi) return;  // so are all later prefixes
    const bool inside = before >= lo && before + count <= hi;
    const bool leaf_inside = i >= size_ && before + count >= lo && before + count <= hi;
    if (before + count < lo || inside || leaf_inside || i >= size_) {
        if (inside || leaf_inside) {
            const double* best = s + actions_;
            for (std::size_t p = 0; p < pair_a_.size(); ++p)
                out[p] = std::max(out[p], acc_[pair_a_[p]] - acc_[pair_b_[p]] + best[p]);
        }
        for (std::size_t a = 0; a < actions_; ++a) acc_[a] += s[a];
        return;
    }
    visit(2 * i, side, before, lo, hi, out);
    visit(2 * i + 1, side, before + node(2 * i, side)[0], lo, hi, out);
}

void PrefixTree::best_prefix(Side side, std::size_t lo, std::size_t hi, double* out) const {
    std::fill(acc_.begin(), acc_.end(), 0.0);
    std::fill(out, out + pair_a_.size(), -std::numeric_limits<double>::infinity());
    visit(1, side, 0.0, static_cast<double>(lo), static_cast<double>(hi), out);
}

}  // namespace quorvantis::engine

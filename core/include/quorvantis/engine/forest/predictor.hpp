// Predictions of a general-engine forest from leaf statistics alone.
//
// Causal: a row's estimate averages, over the trees (a tree whose leaf is
// empty is skipped), the leaf means of W~, Y~, W~Y~ and W~^2, then
// tau = (E[W~Y~] - E[W~]E[Y~]) / (E[W~^2] - E[W~]^2): the forest-weighted
// estimate, with no per-leaf row lists. Its variance is the bootstrap of
// little bags: per tree psi_b = (W~Y~ - tau W~^2 - mu W~, Y~ - tau W~ - mu)
// with mu = E[Y~] - tau E[W~], between-group and total second moments of psi
// mapped through the Jacobian (1, -E[W~]) / (E[W~^2] - E[W~]^2), and the
// between-group part debiased for the groups' own noise with an
// objective-Bayes correction that keeps it positive. A group counts only
// when all its trees have a non-empty leaf at the row.
//
// Out of bag: for training rows, only the trees that did not sample the row.
// Rows are worked in blocks, trees in index order within each row, so every
// result is the same on any number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "quorvantis/base/serial_frame.hpp"
#include "quorvantis/engine/data/binned_matrix.hpp"
#include "quorvantis/engine/sampling/row_sampler.hpp"
#include "quorvantis/engine/tree/forest_tree.hpp"

namespace quorvantis::engine {

struct CausalPrediction {
    std::vector<double> tau;
    std::vector<double> variance;  // empty unless asked for
};

// `in_bag` given: out-of-bag estimates of the training rows `x`. With
// variances, rows go in chunks of `chunk_rows` (0: as many as a fixed budget
// of leaf ids allows); results do not depend on it.
CausalPrediction predict_causal(const std::vector<ForestTree<CausalLeaf>>& trees, std::size_t group_size,
                                const CodedRows& x, bool variance, const InBag* in_bag = nullptr,
                                std::size_t chunk_rows = 0);

// Mean of the leaf means over the trees, out of bag when `in_bag` is given;
// a row in every tree's bag gets the mean over all trees.
std::vector<double> predict_regression(const std::vector<ForestTree<RegressionLeaf>>& trees, const CodedRows& x,
                                       const InBag* in_bag = nullptr);

// The out-of-bag means of predict_regression with the forest's trees handed
// in order, a few at a time, so that each slice can be dropped once folded
// in: the same sums in the same order, so the same bits.
class RegressionOob {
public:
    explicit RegressionOob(std::size_t rows);
    // The forest's next trees and their in-bag bits, over all rows of `x`.
    void add(const std::vector<ForestTree<RegressionLeaf>>& trees, const InBag& in_bag, const CodedRows& x);
    std::vector<double> finish() const;

    std::size_t rows() const noexcept { return sum_.size(); }
    // The sums so far, to be added to elsewhere; reading is false when the
    // bytes do not hold sound sums.
    void write(ByteWriter& w) const;
    bool read(ByteReader& r);

private:
    std::vector<double> sum_, used_;
    // Rows no tree has answered yet may end up in every tree's bag; for
    // them the sums run over all trees until one answers.
    std::vector<unsigned char> waiting_;
    std::vector<double> all_sum_, all_used_;
};

// Posterior mean of a variance S >= 0 (flat prior) given an unbiased but
// noisy estimate of it with Gaussian error of scale `se`.
double objective_bayes_variance(double estimate, double se) noexcept;

}  // namespace quorvantis::engine

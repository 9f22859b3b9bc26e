// A plain, slow causal tree written from the algorithm's description, for
// differential tests of the fast grower. It shares nothing with the fast
// path but the interface through which both receive the same random choices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "quorvantis/fixed/tree_keys.hpp"
#include "quorvantis/base/views.hpp"

namespace quorvantis::oracle {
using namespace fixed;

struct Node {
    bool is_leaf = true;
    double effect = 0.0;          // leaf
    std::uint64_t n_samples = 0;  // leaf
    std::uint64_t feature = 0;    // split
    double threshold = 0.0;       // split
    std::unique_ptr<Node> left, right;
};

struct Tree {
    std::unique_ptr<Node> root;
    std::vector<double> importance;
};

class Grower {
public:
    Grower(const MatrixView& x, const VectorView& t, const VectorView& y, std::uint64_t max_depth,
           std::uint64_t min_samples_leaf, const TreeChoices& choices)
        : x_(x), t_(t), y_(y), max_depth_(max_depth), msl_(min_samples_leaf), choices_(choices) {}

    Tree fit() {
        Tree tree;
        tree.importance.assign(x_.cols, 0.0);
        importance_ = &tree.importance;
        // Split rows and estimation rows, each in ascending row order.
        const std::vector<std::uint64_t> bits = choices_.estimation_rows(x_.rows);
        Rows split, est;
        for (std::size_t r = 0; r < x_.rows; ++r) ((bits[r / 64] >> (r % 64)) & 1 ? est : split).push_back(r);
        tree.root = build(split, est, 0, choices_.root_key());
        return tree;
    }

    // Mean outcome of treated rows (treatment above 0.5) minus that of the
    // others; 0 when either group is empty.
    double arm_mean_difference(const std::vector<std::uint64_t>& rows) const {
        double treated_sum = 0.0, control_sum = 0.0;
        std::uint64_t treated_count = 0, control_count = 0;
        for (const std::uint64_t r : rows) {
            if (t_[r] > 0.5) {
                treated_sum += y_[r];
                ++treated_count;
            } else {
                control_sum += y_[r];
                ++control_count;
            }
        }
        if (treated_count == 0 || control_count == 0) return 0.0;
        return treated_sum / static_cast<double>(treated_count) - control_sum / static_cast<double>(control_count);
    }

private:
    using Rows = std::vector<std::uint64_t>;

    struct Candidate {
        double score = -1.0;
        bool has_split = false;
        std::uint64_t feature = 0;
        double threshold = 0.0;
        Rows left, right;
    };

    std::unique_ptr<Node> build(const Rows& split, const Rows& est, std::uint64_t depth, std::uint64_t key) {
        auto node = std::make_unique<Node>();
        if (depth < max_depth_ && split.size() >= 2 * msl_ && est.size() >= msl_) {
            const std::vector<std::uint64_t> features = choices_.candidates(key, x_.cols);
            Candidate best;
            for (std::size_t c = 0; c < features.size(); ++c) {
                Candidate found = find_best_split(split, features[c], c, key);
                if (!(best.score > found.score)) best = std::move(found);
            }
            if (best.has_split) {
                (*importance_)[best.feature] += best.score;
                Rows est_left, est_right;
                for (const std::uint64_t r : est)
                    (x_(r, best.feature) <= best.threshold ? est_left : est_right).push_back(r);
                node->is_leaf = false;
                node->feature = best.feature;
                node->threshold = best.threshold;
                node->left = build(best.left, est_left, depth + 1, choices_.child_key(key, false));
                node->right = build(best.right, est_right, depth + 1, choices_.child_key(key, true));
                return node;
            }
        }
        node->effect = arm_mean_difference(est);
        node->n_samples = est.size();
        return node;
    }

    Candidate find_best_split(const Rows& split, std::uint64_t feature, std::size_t position, std::uint64_t key) const {
        Candidate best;
        const std::size_t n = split.size();
        if (n == 0) return best;
        const std::size_t draws = n < 10 ? n : 10;
        std::vector<std::uint64_t> ranks(draws);
        choices_.draws(key, position, draws, n, ranks.data());
        for (std::size_t j = 0; j < draws; ++j) {
            const double theta = x_(split[ranks[j]], feature);
            Rows left, right;
            for (const std::uint64_t r : split) (x_(r, feature) <= theta ? left : right).push_back(r);
            if (left.size() < msl_ || right.size() < msl_) continue;
            const double l = static_cast<double>(left.size()), r = static_cast<double>(right.size());
            const double weight = (l * r) / ((l + r) * (l + r));
            const double diff = arm_mean_difference(left) - arm_mean_difference(right);
            const double score = (diff * diff) * weight;
            if (score > best.score) {
                best.score = score;
                best.has_split = true;
                best.feature = feature;
                best.threshold = theta;
                best.left = std::move(left);
                best.right = std::move(right);
            }
        }
        return best;
    }

    const MatrixView& x_;
    const VectorView& t_;
    const VectorView& y_;
    std::uint64_t max_depth_, msl_;
    const TreeChoices& choices_;
    std::vector<double>* importance_ = nullptr;
};

}  // namespace quorvantis::oracle

// A plain, slow model of the general forest engine, written from its
// formulas with explicit row lists, per-row loops and recursion. It shares
// nothing with the fast path but the types through which both receive the
// same inputs: coded rows, the candidate drawer and the flat tree nodes.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <numbers>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "quorvantis/engine/data/binned_matrix.hpp"
#include "quorvantis/engine/estimators/ate.hpp"
#include "quorvantis/engine/tree/forest_tree.hpp"
#include "quorvantis/engine/tree/tree_builder.hpp"

namespace quorvantis::engine_oracle {

using engine::CandidateDrawer;
using engine::CodedRows;
using engine::TreeNode;

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A row as a tree sees it: W~, Y~ and the arm (causal), or the response y.
struct Obs {
    double w = 0.0, y = 0.0;
    bool treated = false;
};

enum class Kind { Causal, Regression };

struct Settings {
    Kind kind = Kind::Causal;
    std::uint64_t min_samples_leaf = 5;
    double alpha = 0.05;
    double penalty = 0.0;
    std::uint64_t max_depth = 0;  // 0: no limit
    std::size_t mtry = 1;
    std::vector<std::uint16_t> categories;  // per feature, > 0 when categorical
};

// The codes a categorical split sends left.
using CodeSet = std::set<std::uint8_t>;

struct Node {
    bool leaf = true;
    std::uint16_t feature = 0;
    std::uint8_t bin = 0;
    bool missing_left = false;
    bool categorical = false;
    CodeSet left_codes;                    // categorical split: the codes going left
    double score = 0.0;                    // split: its score
    std::vector<std::uint32_t> left_rows;  // split: the split rows of each side
    std::vector<std::uint32_t> right_rows;
    std::vector<std::uint32_t> est_rows;  // leaf: its estimation rows
    std::unique_ptr<Node> left, right;
};

class TreeOracle {
public:
    TreeOracle(const CodedRows& x, std::uint8_t missing, const std::vector<Obs>& obs, const Settings& s)
        : x_(x), missing_(missing), obs_(obs), s_(s) {
        const std::size_t p = x.cols;
        mtry_ = std::min<std::size_t>(std::max<std::size_t>(s.mtry, 1), std::max<std::size_t>(p, 1));
        perm_.resize(p);
        for (std::size_t f = 0; f < p; ++f) perm_[f] = static_cast<std::uint16_t>(f);
    }

    std::unique_ptr<Node> grow(const std::vector<std::uint32_t>& split_rows, const std::vector<std::uint32_t>& est_rows,
                               CandidateDrawer& drawer) {
        std::unique_ptr<Node> root = build(split_rows, 0, drawer);
        place(*root, est_rows);
        std::unique_ptr<Node> kept = prune(std::move(root));
        return kept ? std::move(kept) : std::make_unique<Node>();
    }

    // Choices that rounding could decide: a runner-up within a hair of the
    // winner, a winner at the floor, a side at the alpha bound. The fast path
    // may resolve them either way, so the data must avoid them.
    const std::vector<std::string>& near_ties() const noexcept { return ties_; }

    bool goes_left(std::uint32_t row, std::uint16_t f, std::uint8_t bin, bool missing_left,
                   const CodeSet* codes = nullptr) const {
        const std::uint8_t c = x_.row(row)[f];
        if (codes != nullptr) return codes->count(c) > 0;
        return c == missing_ ? missing_left : c <= bin;
    }

private:
    static constexpr double kTie = 1e-10;

    struct Candidate {
        double score;
        std::uint16_t feature;
        std::uint8_t bin;
        bool missing_left;
        bool categorical = false;
        CodeSet codes;
    };

    struct Parent {
        double w_mean = 0.0, s_p = 0.0, floor = 0.0;
        std::vector<double> rho;  // causal: per row of the node, in row-list order
    };

    bool prepare(const std::vector<std::uint32_t>& rows, std::uint64_t depth, Parent& pa) const {
        if (s_.max_depth != 0 && depth >= s_.max_depth) return false;
        const double n = static_cast<double>(rows.size()), msl = static_cast<double>(s_.min_samples_leaf);
        if (n < 2.0) return false;
        if (s_.kind == Kind::Regression) {
            if (n < 2.0 * msl) return false;
            double sum = 0.0;
            for (const std::uint32_t r : rows) sum += obs_[r].y;
            pa.floor = sum * sum / n;
            pa.floor += 1e-12 * std::fabs(pa.floor);
            return true;
        }
        double treated = 0.0, sw = 0.0, sy = 0.0, sww = 0.0;
        for (const std::uint32_t r : rows) {
            treated += obs_[r].treated ? 1.0 : 0.0;
            sw += obs_[r].w;
            sy += obs_[r].y;
            sww += obs_[r].w * obs_[r].w;
        }
        if (treated < 2.0 * msl || n - treated < 2.0 * msl) return false;
        const double wm = sw / n, ym = sy / n;
        double sp = 0.0, cross = 0.0;
        for (const std::uint32_t r : rows) {
            sp += (obs_[r].w - wm) * (obs_[r].w - wm);
            cross += (obs_[r].w - wm) * (obs_[r].y - ym);
        }
        if (!(sp > 1e-12 * std::max(1.0, sww))) return false;
        const double tau = cross / sp;
        pa.w_mean = wm;
        pa.s_p = sp;
        pa.floor = 0.0;
        pa.rho.clear();
        for (const std::uint32_t r : rows) {
            const double dw = obs_[r].w - wm, dy = obs_[r].y - ym;
            pa.rho.push_back(dw * (dy - tau * dw));
        }
        return true;
    }

    // The score of sending rows with goes_left() to the left, or -inf when a
    // side breaks a constraint.
    double evaluate(const std::vector<std::uint32_t>& rows, const Parent& pa, std::uint16_t f, std::uint8_t bin,
                    bool missing_left, const CodeSet* codes = nullptr) {
        const double none = -std::numeric_limits<double>::infinity();
        const double msl = static_cast<double>(s_.min_samples_leaf);
        double n[2] = {0, 0}, treated[2] = {0, 0}, sum[2] = {0, 0}, wsum[2] = {0, 0};
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const int side = goes_left(rows[i], f, bin, missing_left, codes) ? 0 : 1;
            n[side] += 1.0;
            treated[side] += obs_[rows[i]].treated ? 1.0 : 0.0;
            wsum[side] += obs_[rows[i]].w;
            sum[side] += s_.kind == Kind::Causal ? pa.rho[i] : obs_[rows[i]].y;
        }
        if (s_.kind == Kind::Regression) {
            if (n[0] < msl || n[1] < msl || n[0] < 1.0 || n[1] < 1.0) return none;
            double score = sum[0] * sum[0] / n[0] + sum[1] * sum[1] / n[1];
            if (s_.penalty > 0.0) score -= s_.penalty * (1.0 / n[0] + 1.0 / n[1]);
            return score;
        }
        for (int side = 0; side < 2; ++side)
            if (treated[side] < msl || n[side] - treated[side] < msl) return none;
        double spread[2] = {0, 0};
        for (const std::uint32_t r : rows) {
            const int side = goes_left(r, f, bin, missing_left, codes) ? 0 : 1;
            const double d = obs_[r].w - wsum[side] / n[side];
            spread[side] += d * d;
        }
        const double bound = s_.alpha * pa.s_p;
        for (int side = 0; side < 2; ++side) {
            if (s_.alpha > 0.0 && std::fabs(spread[side] - bound) <= kTie * pa.s_p) {
                std::ostringstream m;
                m << "side spread " << spread[side] << " at the alpha bound " << bound << " (feature " << f << ", bin "
                  << int(bin) << ")";
                ties_.push_back(m.str());
            }
        }
        if (spread[0] < bound || spread[1] < bound) return none;
        if (s_.penalty > 0.0 && (spread[0] <= 0.0 || spread[1] <= 0.0)) return none;
        double score = sum[0] * sum[0] / n[0] + sum[1] * sum[1] / n[1];
        if (s_.penalty > 0.0) score -= s_.penalty * (1.0 / spread[0] + 1.0 / spread[1]);
        return score;
    }

    std::unique_ptr<Node> build(const std::vector<std::uint32_t>& rows, std::uint64_t depth, CandidateDrawer& drawer) {
        auto node = std::make_unique<Node>();
        Parent pa;
        if (x_.cols == 0 || !prepare(rows, depth, pa)) return node;
        drawer.draw(perm_, mtry_);
        std::vector<Candidate> seen;
        for (std::size_t c = 0; c < mtry_; ++c) {
            const std::uint16_t f = perm_[c];
            std::set<std::uint8_t> present;
            bool has_missing = false;
            for (const std::uint32_t r : rows) {
                const std::uint8_t code = x_.row(r)[f];
                if (code == missing_) {
                    has_missing = true;
                } else {
                    present.insert(code);
                }
            }
            if (present.empty()) continue;
            if (f < s_.categories.size() && s_.categories[f] > 0) {
                categorical_candidates(rows, pa, f, present, has_missing, seen);
                continue;
            }
            const std::vector<std::uint8_t> codes(present.begin(), present.end());
            for (std::size_t t = 0; t + 1 < codes.size(); ++t) {
                seen.push_back({evaluate(rows, pa, f, codes[t], false), f, codes[t], false, false, {}});
                if (has_missing) seen.push_back({evaluate(rows, pa, f, codes[t], true), f, codes[t], true, false, {}});
            }
            if (has_missing)
                seen.push_back({evaluate(rows, pa, f, codes.back(), false), f, codes.back(), false, false, {}});
        }
        const Candidate* best = nullptr;
        for (const Candidate& cand : seen)
            if (best == nullptr || cand.score > best->score) best = &cand;
        if (best == nullptr) return node;
        note_tie(best->score, pa.floor, "the floor");
        if (!(best->score > pa.floor)) return node;
        for (const Candidate& cand : seen) {
            if (cand.feature == best->feature && cand.bin == best->bin && cand.missing_left == best->missing_left &&
                cand.codes == best->codes)
                continue;
            std::ostringstream what;
            what << "feature " << cand.feature << " bin " << int(cand.bin) << (cand.missing_left ? " missing left" : "")
                 << " against feature " << best->feature << " bin " << int(best->bin);
            note_tie(best->score, cand.score, what.str());
        }
        node->leaf = false;
        node->feature = best->feature;
        node->bin = best->bin;
        node->missing_left = best->missing_left;
        node->categorical = best->categorical;
        node->left_codes = best->codes;
        node->score = best->score;
        for (const std::uint32_t r : rows)
            (goes_left(r, node->feature, node->bin, node->missing_left, node->categorical ? &node->left_codes : nullptr)
                 ? node->left_rows
                 : node->right_rows)
                .push_back(r);
        node->left = build(node->left_rows, depth + 1, drawer);
        node->right = build(node->right_rows, depth + 1, drawer);
        return node;
    }

    // A categorical feature: its codes ordered by their rows' mean response
    // (rho for causal trees), ties by code; each prefix of that order is a
    // candidate set, with the missing rows right, then left; last, every
    // value left and the missing rows right.
    void categorical_candidates(const std::vector<std::uint32_t>& rows, const Parent& pa, std::uint16_t f,
                                const std::set<std::uint8_t>& present, bool has_missing, std::vector<Candidate>& seen) {
        std::vector<std::pair<double, std::uint8_t>> order;
        for (const std::uint8_t code : present) {
            double sum = 0.0, count = 0.0;
            for (std::size_t i = 0; i < rows.size(); ++i) {
                if (x_.row(rows[i])[f] != code) continue;
                sum += s_.kind == Kind::Causal ? pa.rho[i] : obs_[rows[i]].y;
                count += 1.0;
            }
            order.push_back({sum / count, code});
        }
        std::sort(order.begin(), order.end());
        for (std::size_t i = 1; i < order.size(); ++i)
            if (std::fabs(order[i].first - order[i - 1].first) <=
                kTie * std::max({1.0, std::fabs(order[i].first), std::fabs(order[i - 1].first)}))
                ties_.push_back("categories of feature " + std::to_string(f) + " with the same mean response");
        CodeSet left;
        for (std::size_t t = 0; t + 1 < order.size(); ++t) {
            left.insert(order[t].second);
            seen.push_back({evaluate(rows, pa, f, 0, false, &left), f, 0, false, true, left});
            if (has_missing) {
                CodeSet with = left;
                with.insert(missing_);
                seen.push_back({evaluate(rows, pa, f, 0, true, &with), f, 0, true, true, with});
            }
        }
        if (has_missing) {
            CodeSet all(present.begin(), present.end());
            seen.push_back({evaluate(rows, pa, f, 0, false, &all), f, 0, false, true, all});
        }
    }

    void note_tie(double best, double other, const std::string& what) {
        if (!std::isfinite(best) || !std::isfinite(other)) return;
        if (std::fabs(best - other) <= kTie * std::max(std::fabs(best), std::fabs(other))) {
            std::ostringstream m;
            m << "score " << best << " ties " << other << " of " << what;
            ties_.push_back(m.str());
        }
    }

    void place(Node& node, const std::vector<std::uint32_t>& rows) const {
        if (node.leaf) {
            node.est_rows = rows;
            return;
        }
        std::vector<std::uint32_t> l, r;
        for (const std::uint32_t row : rows)
            (goes_left(row, node.feature, node.bin, node.missing_left, node.categorical ? &node.left_codes : nullptr)
                 ? l
                 : r)
                .push_back(row);
        place(*node.left, l);
        place(*node.right, r);
    }

    // Null for a subtree without estimation rows; a split with one such side
    // becomes its other side.
    static std::unique_ptr<Node> prune(std::unique_ptr<Node> node) {
        if (node->leaf) {
            if (node->est_rows.empty()) return nullptr;
            return node;
        }
        node->left = prune(std::move(node->left));
        node->right = prune(std::move(node->right));
        if (!node->left && !node->right) return nullptr;
        if (!node->left) return std::move(node->right);
        if (!node->right) return std::move(node->left);
        return node;
    }

    const CodedRows& x_;
    std::uint8_t missing_;
    const std::vector<Obs>& obs_;
    Settings s_;
    std::size_t mtry_ = 1;
    std::vector<std::uint16_t> perm_;
    std::vector<std::string> ties_;
};

// ---- Prediction -----------------------------------------------------------

// The leaf a row reaches in flat nodes: walked here, not by the fast path.
// `sets` are the categorical splits' sets, in node order.
inline std::uint32_t leaf_index(const std::vector<TreeNode>& nodes, const std::uint8_t* codes, std::uint8_t missing,
                                const std::vector<engine::CategorySet>& sets = {}) {
    std::uint32_t i = 0;
    while (!(nodes[i].flags & engine::kLeafNode)) {
        const std::uint8_t c = codes[nodes[i].feature];
        bool left = c == missing ? (nodes[i].flags & engine::kMissingLeft) != 0 : c <= nodes[i].bin;
        if (nodes[i].flags & engine::kCategorical) {
            std::size_t k = 0;
            for (std::uint32_t j = 0; j < i; ++j) k += (nodes[j].flags & engine::kCategorical) != 0;
            left = ((sets.at(k).bits[c / 64] >> (c % 64)) & 1) != 0;
        }
        i = nodes[i].next + (left ? 0u : 1u);
    }
    return nodes[i].next;
}

// One tree for prediction: its structure, estimation rows and subsample.
struct PredictTree {
    const std::vector<TreeNode>* nodes = nullptr;
    std::vector<engine::CategorySet> sets;
    std::vector<std::uint32_t> est_rows;
    std::vector<char> in_bag;  // per training row
};

struct PointEstimate {
    double tau = kNaN, variance = kNaN;
    double tau_by_means = kNaN;  // the same effect from averaged leaf means
    double denominator = kNaN;   // E[W~^2] - E[W~]^2
    double scale = 0.0;          // size of the variance terms, for tolerances
};

inline double posterior_mean(double estimate, double se) {
    if (!(se > 0.0)) return std::max(estimate, 0.0);
    const double r = estimate / se;
    const double phi = std::exp(-0.5 * r * r) / std::sqrt(2.0 * std::numbers::pi);
    const double cdf = 0.5 * std::erfc(-r / std::sqrt(2.0));
    return estimate + se * phi / cdf;
}

// E[S | estimate] for S >= 0 with a flat prior and estimate ~ N(S, se^2),
// by Simpson's rule on u = S / se, the exponent shifted so its peak is 0.
inline double posterior_mean_by_quadrature(double estimate, double se) {
    const double r = estimate / se;
    const double peak = r > 0.0 ? 0.5 * r * r : 0.0;
    const double lo = r > 12.0 ? r - 12.0 : 0.0;
    const double hi = r > 0.0 ? r + 12.0 : r + std::sqrt(r * r + 120.0);
    const int steps = 20000;
    const double h = (hi - lo) / steps;
    double mass = 0.0, first = 0.0;
    for (int k = 0; k <= steps; ++k) {
        const double u = lo + h * k;
        const double f = std::exp(r * u - 0.5 * u * u - peak);
        const double wgt = (k == 0 || k == steps) ? 1.0 : (k % 2 ? 4.0 : 2.0);
        mass += wgt * f;
        first += wgt * f * u;
    }
    return se * first / mass;
}

// The effect at a row from explicit forest weights, and its little-bags
// variance from explicit per-tree psi. `self` is the row's index among the
// training rows for out-of-bag estimates, or -1.
inline PointEstimate predict_row(const std::vector<PredictTree>& trees, std::size_t group_size, const CodedRows& train,
                                 const std::uint8_t* codes, std::uint8_t missing, const std::vector<Obs>& obs,
                                 long self, bool variance) {
    PointEstimate out;
    const std::size_t l = std::max<std::size_t>(group_size, 1), b_all = trees.size();  // whole groups
    struct Means {
        bool used = false;
        double w = 0, y = 0, wy = 0, ww = 0;
    };
    std::vector<Means> m(b_all);
    std::vector<std::vector<std::uint32_t>> leaf_rows(b_all);
    double used = 0.0;
    for (std::size_t b = 0; b < b_all; ++b) {
        if (self >= 0 && trees[b].in_bag[static_cast<std::size_t>(self)]) continue;
        const std::uint32_t at = leaf_index(*trees[b].nodes, codes, missing, trees[b].sets);
        for (const std::uint32_t r : trees[b].est_rows)
            if (leaf_index(*trees[b].nodes, train.row(r), missing, trees[b].sets) == at) leaf_rows[b].push_back(r);
        if (leaf_rows[b].empty()) continue;
        const double k = static_cast<double>(leaf_rows[b].size());
        for (const std::uint32_t r : leaf_rows[b]) {
            m[b].w += obs[r].w / k;
            m[b].y += obs[r].y / k;
            m[b].wy += obs[r].w * obs[r].y / k;
            m[b].ww += obs[r].w * obs[r].w / k;
        }
        m[b].used = true;
        used += 1.0;
    }
    if (used == 0.0) return out;

    // Forest weights over the training rows.
    std::vector<double> alpha(train.rows, 0.0);
    for (std::size_t b = 0; b < b_all; ++b)
        for (const std::uint32_t r : leaf_rows[b]) alpha[r] += 1.0 / (used * static_cast<double>(leaf_rows[b].size()));
    double wa = 0.0, ya = 0.0;
    for (std::size_t r = 0; r < train.rows; ++r) {
        wa += alpha[r] * obs[r].w;
        ya += alpha[r] * obs[r].y;
    }
    double num = 0.0, den = 0.0;
    for (std::size_t r = 0; r < train.rows; ++r) {
        num += alpha[r] * (obs[r].w - wa) * (obs[r].y - ya);
        den += alpha[r] * (obs[r].w - wa) * (obs[r].w - wa);
    }
    out.tau = num / den;

    Means e;
    for (std::size_t b = 0; b < b_all; ++b) {
        if (!m[b].used) continue;
        e.w += m[b].w / used;
        e.y += m[b].y / used;
        e.wy += m[b].wy / used;
        e.ww += m[b].ww / used;
    }
    out.denominator = e.ww - e.w * e.w;
    out.tau_by_means = (e.wy - e.w * e.y) / out.denominator;
    if (!variance || l < 2) return out;

    const double tau = out.tau, mu = e.y - tau * e.w;
    auto psi = [&](const Means& q, double v[2]) {
        v[0] = q.wy - tau * q.ww - mu * q.w;
        v[1] = q.y - tau * q.w - mu;
    };
    double centre[2];
    psi(e, centre);
    const double j[2] = {1.0 / out.denominator, -e.w / out.denominator};
    // j' (mean of v v' over `vs` - centre centre') j
    auto spread = [&](const std::vector<std::array<double, 2>>& vs) {
        double mom[2][2] = {{0, 0}, {0, 0}};
        for (const auto& v : vs)
            for (int a = 0; a < 2; ++a)
                for (int c = 0; c < 2; ++c) mom[a][c] += v[a] * v[c] / static_cast<double>(vs.size());
        double q = 0.0;
        for (int a = 0; a < 2; ++a)
            for (int c = 0; c < 2; ++c) q += j[a] * (mom[a][c] - centre[a] * centre[c]) * j[c];
        return q;
    };
    std::vector<std::array<double, 2>> per_tree, per_group;
    for (std::size_t first = 0; first < b_all; first += l) {
        bool good = true;
        for (std::size_t b = first; b < first + l; ++b) good = good && m[b].used;
        if (!good) continue;
        std::array<double, 2> g{0.0, 0.0};
        for (std::size_t b = first; b < first + l; ++b) {
            double v[2];
            psi(m[b], v);
            per_tree.push_back({v[0], v[1]});
            g[0] += v[0] / static_cast<double>(l);
            g[1] += v[1] / static_cast<double>(l);
        }
        per_group.push_back(g);
    }
    if (per_group.empty()) return out;
    const double total = spread(per_tree), between = spread(per_group);
    const double noise = (total - between) / static_cast<double>(l - 1);
    const double estimate = between - noise;
    const double se = std::max(between, noise) * std::sqrt(2.0 / static_cast<double>(per_group.size()));
    out.scale = std::fabs(total) + std::fabs(between) + std::fabs(noise);
    out.variance = posterior_mean(estimate, se);
    return out;
}

// ---- Average effects ------------------------------------------------------

struct Effect {
    double estimate = kNaN, std_error = kNaN;
};

inline Effect average_effect(engine::EffectTarget target, const std::vector<double>& w, const std::vector<double>& y,
                             const std::vector<double>& m, const std::vector<double>& e_raw,
                             const std::vector<double>& tau) {
    const std::size_t n = w.size();
    std::vector<double> e(n);
    for (std::size_t i = 0; i < n; ++i) e[i] = std::min(std::max(e_raw[i], 1e-3), 1.0 - 1e-3);
    std::vector<double> score(n);
    double theta = 0.0, scale = 1.0;
    if (target == engine::EffectTarget::All) {
        for (std::size_t i = 0; i < n; ++i)
            score[i] = tau[i] + (w[i] - e[i]) / (e[i] * (1.0 - e[i])) * (y[i] - m[i] - (w[i] - e[i]) * tau[i]);
        for (std::size_t i = 0; i < n; ++i) theta += score[i] / static_cast<double>(n);
    } else if (target == engine::EffectTarget::Treated) {
        double n1 = 0.0, num = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double mu0 = m[i] - e[i] * tau[i];
            num += w[i] * (y[i] - mu0) - (1.0 - w[i]) * e[i] / (1.0 - e[i]) * (y[i] - mu0);
            n1 += w[i];
        }
        theta = num / n1;
        for (std::size_t i = 0; i < n; ++i) {
            const double mu0 = m[i] - e[i] * tau[i];
            score[i] = w[i] * (y[i] - mu0 - theta) - (1.0 - w[i]) * e[i] / (1.0 - e[i]) * (y[i] - mu0);
        }
        scale = static_cast<double>(n) / n1;
    } else {
        // The mirror image: control rows' own outcomes against mu1, treated
        // rows reweighted by (1 - e) / e.
        double n0 = 0.0, num = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double mu1 = m[i] + (1.0 - e[i]) * tau[i];
            num += (1.0 - w[i]) * (mu1 - y[i]) + w[i] * (1.0 - e[i]) / e[i] * (y[i] - mu1);
            n0 += 1.0 - w[i];
        }
        theta = num / n0;
        for (std::size_t i = 0; i < n; ++i) {
            const double mu1 = m[i] + (1.0 - e[i]) * tau[i];
            score[i] = (1.0 - w[i]) * (mu1 - y[i] - theta) + w[i] * (1.0 - e[i]) / e[i] * (y[i] - mu1);
        }
        scale = static_cast<double>(n) / n0;
    }
    double mean = 0.0;
    for (const double s : score) mean += s / static_cast<double>(n);
    double ss = 0.0;
    for (const double s : score) ss += (s - mean) * (s - mean);
    return {theta, std::sqrt(ss / static_cast<double>(n - 1)) / std::sqrt(static_cast<double>(n)) * scale};
}

}  // namespace quorvantis::engine_oracle

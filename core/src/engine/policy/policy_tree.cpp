#include "quorvantis/engine/policy/policy_tree.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <optional>
#include <string>
#include <utility>

#include "quorvantis/engine/policy/prefix_tree.hpp"
#include "quorvantis/base/parallel.hpp"

namespace quorvantis::engine {
namespace {

constexpr double kNone = -std::numeric_limits<double>::infinity();
constexpr std::int32_t kMissing = -1;
constexpr std::size_t kPollEvery = 512;  // rows between checkpoints

// The training rows in the form every search reads: per feature, the
// non-missing rows sorted by value and each row's bin between consecutive
// candidate thresholds.
struct Data {
    std::size_t n = 0, p = 0, K = 0, leaf = 1;
    std::vector<double> reward;                     // n by K
    std::vector<std::vector<std::uint32_t>> order;  // by value, then row
    std::vector<std::vector<std::int32_t>> bin;     // kMissing for NaN
    std::vector<std::vector<double>> cut;           // cut[f][b]: threshold above bin b
    double slack = 0.0;                             // a split must beat its leaf by more than this

    const double* r(std::size_t row) const { return reward.data() + row * K; }
    std::size_t bins(std::size_t f) const { return cut[f].size() + 1; }
};

// Between two doubles, rounded so that `lo` stays left and `hi` right.
double midpoint(double lo, double hi) {
    const double mid = lo + (hi - lo) / 2.0;
    return mid < hi ? mid : lo;
}

void prepare_feature(const MatrixView& x, std::size_t step, std::size_t f, Data& d) {
    std::vector<std::pair<double, std::uint32_t>> values;
    values.reserve(d.n);
    for (std::size_t i = 0; i < d.n; ++i) {
        const double v = x(i, f);
        if (!std::isnan(v)) values.emplace_back(v, static_cast<std::uint32_t>(i));
    }
    std::sort(values.begin(), values.end());
    std::vector<std::int32_t>& bin = d.bin[f];
    bin.assign(d.n, kMissing);
    std::vector<std::uint32_t>& order = d.order[f];
    order.resize(values.size());
    std::vector<double>& cut = d.cut[f];
    std::size_t distinct = 0;  // index of the current distinct value
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0 && values[i].first != values[i - 1].first) {
            if ((distinct % step) == 0) cut.push_back(midpoint(values[i - 1].first, values[i].first));
            ++distinct;
        }
        order[i] = values[i].second;
        bin[values[i].second] = static_cast<std::int32_t>(cut.size());
    }
}

std::size_t argmax(const double* s, std::size_t K) {
    std::size_t best = 0;
    for (std::size_t a = 1; a < K; ++a)
        if (s[a] > s[best]) best = a;
    return best;
}

// A set of rows of the training data.
struct Rows {
    std::vector<std::uint32_t> ids;
    std::vector<std::uint8_t> in;  // membership by row
};

Rows all_rows(std::size_t n) {
    Rows rows;
    rows.ids.resize(n);
    std::iota(rows.ids.begin(), rows.ids.end(), 0u);
    rows.in.assign(n, 1);
    return rows;
}

std::vector<std::uint32_t> sorted_rows(const Data& d, std::size_t f, const Rows& rows) {
    if (rows.ids.size() == d.n) return d.order[f];
    std::vector<std::uint32_t> out;
    out.reserve(rows.ids.size());
    for (const std::uint32_t i : d.order[f])
        if (rows.in[i]) out.push_back(i);
    return out;
}

// A split point in a sorted list of rows: after the first `e` rows, at the
// lowest candidate threshold between them, or -1 when no threshold separates
// them (equal bins, or an end of the feature's range).
std::ptrdiff_t cut_after(const Data& d, std::size_t f, const std::vector<std::uint32_t>& ord, std::size_t e) {
    const std::vector<std::int32_t>& bin = d.bin[f];
    const std::size_t N = ord.size();
    if (e == 0) return bin[ord[0]] > 0 ? bin[ord[0]] - 1 : -1;
    const std::int32_t below = bin[ord[e - 1]];
    if (e == N) return static_cast<std::size_t>(below) + 1 < d.bins(f) ? below : -1;
    return bin[ord[e]] != below ? below : -1;
}

struct Split {
    std::int32_t feature = -1;
    std::size_t cut = 0;
    bool missing_left = false;
};

bool goes_left(const Data& d, const Split& s, std::uint32_t row) {
    const std::int32_t b = d.bin[static_cast<std::size_t>(s.feature)][row];
    return b == kMissing ? s.missing_left : static_cast<std::size_t>(b) <= s.cut;
}

std::pair<Rows, Rows> partition(const Data& d, const Split& s, const Rows& rows) {
    std::pair<Rows, Rows> out;
    out.first.in.assign(d.n, 0);
    out.second.in.assign(d.n, 0);
    for (const std::uint32_t i : rows.ids) {
        Rows& side = goes_left(d, s, i) ? out.first : out.second;
        side.ids.push_back(i);
        side.in[i] = 1;
    }
    return out;
}

std::vector<double> sums(const Data& d, const Rows& rows) {
    std::vector<double> s(d.K, 0.0);
    for (const std::uint32_t i : rows.ids)
        for (std::size_t a = 0; a < d.K; ++a) s[a] += d.r(i)[a];
    return s;
}

struct Stump {
    Split split;  // feature -1: a leaf
    std::size_t left_action = 0, right_action = 0;
};

// The best depth-1 tree on `rows` by a direct scan: O(p · rows · K).
Stump best_stump(const Data& d, const Rows& rows) {
    const std::size_t K = d.K, total = rows.ids.size();
    const std::vector<double> S = sums(d, rows);
    Stump best;
    best.left_action = argmax(S.data(), K);
    if (total < 2 * d.leaf) return best;
    double best_value = kNone;
    std::vector<double> pre(K), miss(K), L(K), R(K);
    for (std::size_t f = 0; f < d.p; ++f) {
        parallel::checkpoint();
        const std::vector<std::uint32_t> ord = sorted_rows(d, f, rows);
        const std::size_t N = ord.size(), missing = total - N;
        if (N == 0 || d.bins(f) < 2) continue;
        std::fill(pre.begin(), pre.end(), 0.0);
        std::fill(miss.begin(), miss.end(), 0.0);
        for (const std::uint32_t i : rows.ids)
            if (d.bin[f][i] == kMissing)
                for (std::size_t a = 0; a < K; ++a) miss[a] += d.r(i)[a];
        for (std::size_t e = 0; e <= N; ++e) {
            const std::ptrdiff_t cut = cut_after(d, f, ord, e);
            for (int left = 0; cut >= 0 && left <= (missing > 0 ? 1 : 0); ++left) {
                const std::size_t lc = e + (left ? missing : 0);
                if (lc < d.leaf || total - lc < d.leaf) continue;
                for (std::size_t a = 0; a < K; ++a) {
                    L[a] = pre[a] + (left ? miss[a] : 0.0);
                    R[a] = S[a] - L[a];
                }
                const std::size_t la = argmax(L.data(), K), ra = argmax(R.data(), K);
                if (L[la] + R[ra] > best_value) {
                    best_value = L[la] + R[ra];
                    best.split = {static_cast<std::int32_t>(f), static_cast<std::size_t>(cut), left != 0};
                    best.left_action = la;
                    best.right_action = ra;
                }
            }
            if (e < N)
                for (std::size_t a = 0; a < K; ++a) pre[a] += d.r(ord[e])[a];
        }
    }
    if (!(best_value > S[argmax(S.data(), K)] + d.slack)) {
        best.split = {};
        best.left_action = argmax(S.data(), K);
    }
    return best;
}

// Missing rows of one feature on one side: their count and reward sums.
struct Pool {
    std::size_t count = 0;
    std::vector<double> sum;
    void add(const double* r, int sign) {
        count += sign;
        for (std::size_t a = 0; a < sum.size(); ++a) sum[a] += sign * r[a];
    }
};

// The best depth-1 split on feature k of one side: its rows below k's last
// bin in `tree`, its missing rows in `pool`, its `total` rows with sums `S`.
double side_best(const Data& d, std::size_t k, const PrefixTree& tree, PrefixTree::Side side, const Pool& pool,
                 std::size_t total, const double* S, std::vector<double>& scratch) {
    const std::size_t B = d.bins(k), leaf = d.leaf, inside = tree.count(side);
    double best = kNone;
    if (total < 2 * leaf || B < 2) return best;
    for (int left = 0; left <= (pool.count > 0 ? 1 : 0); ++left) {
        const std::size_t off = left ? pool.count : 0;
        // Non-missing rows left of the split: in [lo, hi].
        const std::size_t lo = leaf > off ? leaf - off : 0;
        if (total < leaf + off) continue;
        const std::size_t hi = total - leaf - off;
        if (hi < lo || lo > inside) continue;
        const double* prefix = scratch.data();
        if (leaf == 1) {
            // Every prefix is then a legal split or, with an empty side, worth a leaf: no range to look up.
            prefix = tree.best_any(side);
        } else {
            tree.best_prefix(side, lo, hi, scratch.data());
        }
        for (std::size_t q = 0; q < tree.pairs(); ++q) {
            const std::size_t a = tree.pair_first(q), b = tree.pair_second(q);
            const double v = S[b] + (left ? pool.sum[a] - pool.sum[b] : 0.0) + prefix[q];
            best = std::max(best, v);
        }
    }
    return best;
}

struct RootChoice {
    double value = kNone;
    Split split;
};

// The best depth-2 tree's root split with root feature j, sweeping rows from
// right to left in x_j order and asking, at every threshold, each feature's
// prefix tree for the sides' best depth-1 trees.
RootChoice best_root_on(const Data& d, const Rows& rows, std::size_t j) {
    const std::size_t K = d.K, total = rows.ids.size();
    const std::vector<std::uint32_t> ord = sorted_rows(d, j, rows);
    const std::size_t N = ord.size();
    RootChoice best;
    if (N == 0 || d.bins(j) < 2) return best;
    const std::vector<double> S = sums(d, rows);
    std::vector<double> miss_j(K, 0.0);
    std::vector<std::uint32_t> missing_rows;
    for (const std::uint32_t i : rows.ids)
        if (d.bin[j][i] == kMissing) {
            missing_rows.push_back(i);
            for (std::size_t a = 0; a < K; ++a) miss_j[a] += d.r(i)[a];
        }
    const int options = missing_rows.empty() ? 1 : 2;

    // Candidate root splits: (rows moved, threshold), and per option the left
    // sums and the sides' best values so far (a leaf to begin with).
    std::vector<std::pair<std::size_t, std::size_t>> events;
    for (std::size_t e = 0; e <= N; ++e)
        if (const std::ptrdiff_t c = cut_after(d, j, ord, e); c >= 0) events.emplace_back(e, c);
    const std::size_t E = events.size();
    std::vector<double> left_sums(2 * E * K), side(2 * E * 2, kNone);
    std::vector<std::uint8_t> valid(2 * E, 0);
    {
        std::vector<double> pre(K, 0.0), R(K);
        std::size_t e = 0;
        for (std::size_t v = 0; v < E; ++v) {
            for (; e < events[v].first; ++e)
                for (std::size_t a = 0; a < K; ++a) pre[a] += d.r(ord[e])[a];
            for (int o = 0; o < options; ++o) {
                const std::size_t lc = e + (o ? missing_rows.size() : 0);
                double* L = &left_sums[(o * E + v) * K];
                for (std::size_t a = 0; a < K; ++a) {
                    L[a] = pre[a] + (o ? miss_j[a] : 0.0);
                    R[a] = S[a] - L[a];
                }
                if (lc < d.leaf || total - lc < d.leaf) continue;
                valid[o * E + v] = 1;
                side[(o * E + v) * 2] = L[argmax(L, K)];
                side[(o * E + v) * 2 + 1] = R[argmax(R.data(), K)];
            }
        }
    }

    PrefixTree tree;
    Pool pool_left, pool_right;
    std::vector<double> scratch(K * K), right_sums(K);
    for (std::size_t k = 0; k < d.p; ++k) {
        if (d.bins(k) < 2) continue;
        const std::vector<std::int32_t>& bin_k = d.bin[k];
        for (int o = 0; o < options; ++o) {
            parallel::checkpoint();
            // The last bin stays out of the tree: a prefix of the tree's bins is then always a split
            // below some threshold, and those rows only count towards the side's totals.
            const auto last = static_cast<std::int32_t>(d.bins(k) - 1);
            tree.reset(d.bins(k) - 1, K);
            pool_left.count = pool_right.count = 0;
            pool_left.sum.assign(K, 0.0);
            pool_right.sum.assign(K, 0.0);
            for (const std::uint32_t i : rows.ids) {
                const bool starts_left = o == 1 && d.bin[j][i] == kMissing;
                if (bin_k[i] == kMissing)
                    (starts_left ? pool_left : pool_right).add(d.r(i), 1);
                else if (bin_k[i] != last)
                    tree.fill(starts_left ? PrefixTree::Left : PrefixTree::Right, static_cast<std::size_t>(bin_k[i]),
                              d.r(i));
            }
            tree.build();
            std::size_t e = 0;
            for (std::size_t v = 0; v < E; ++v) {
                for (; e < events[v].first; ++e) {
                    if ((e + 1) % kPollEvery == 0) parallel::checkpoint();
                    const std::uint32_t i = ord[e];
                    if (bin_k[i] == kMissing) {
                        pool_left.add(d.r(i), 1);
                        pool_right.add(d.r(i), -1);
                    } else if (bin_k[i] != last) {
                        tree.move_left(static_cast<std::size_t>(bin_k[i]), d.r(i));
                    }
                }
                const std::size_t at = o * E + v;
                if (!valid[at]) continue;
                const double* L = &left_sums[at * K];
                for (std::size_t a = 0; a < K; ++a) right_sums[a] = S[a] - L[a];
                const std::size_t lc = e + (o ? missing_rows.size() : 0);
                side[at * 2] =
                    std::max(side[at * 2], side_best(d, k, tree, PrefixTree::Left, pool_left, lc, L, scratch));
                side[at * 2 + 1] = std::max(side[at * 2 + 1], side_best(d, k, tree, PrefixTree::Right, pool_right,
                                                                        total - lc, right_sums.data(), scratch));
            }
        }
    }
    // Thresholds ascending, missing values right before left; the first best wins.
    for (std::size_t v = 0; v < E; ++v)
        for (int o = 0; o < options; ++o) {
            const std::size_t at = o * E + v;
            if (!valid[at]) continue;
            const double value = side[at * 2] + side[at * 2 + 1];
            if (value > best.value) best = {value, {static_cast<std::int32_t>(j), events[v].second, o == 1}};
        }
    return best;
}

std::optional<Split> best_root(const Data& d, const Rows& rows) {
    if (rows.ids.size() < 2 * d.leaf) return std::nullopt;
    const std::vector<RootChoice> by_feature =
        parallel::parallel_map(d.p, [&](std::size_t j) { return best_root_on(d, rows, j); });
    RootChoice best;
    for (const RootChoice& c : by_feature)
        if (c.value > best.value) best = c;
    const std::vector<double> S = sums(d, rows);
    if (!(best.value > S[argmax(S.data(), d.K)] + d.slack)) return std::nullopt;
    return best.split;
}

class Builder {
public:
    explicit Builder(const Data& d) : d_(d) {}

    std::int32_t grow(const Rows& rows, std::size_t depth) {
        if (depth == 1) {
            const Stump s = best_stump(d_, rows);
            if (s.split.feature < 0) return leaf(s.left_action);
            const std::int32_t at = node(s.split);
            nodes_[at].left = leaf(s.left_action);
            nodes_[at].right = leaf(s.right_action);
            return at;
        }
        const std::optional<Split> split = depth == 0 ? std::nullopt : best_root(d_, rows);
        if (!split) {
            const std::vector<double> S = sums(d_, rows);
            return leaf(argmax(S.data(), d_.K));
        }
        auto [l, r] = partition(d_, *split, rows);
        const std::int32_t at = node(*split);
        const std::int32_t left = grow(l, depth - 1);
        const std::int32_t right = grow(r, depth - 1);
        nodes_[at].left = left;
        nodes_[at].right = right;
        return at;
    }

    std::vector<PolicyNode> take() { return std::move(nodes_); }

private:
    std::int32_t leaf(std::size_t action) {
        PolicyNode n;
        n.action = static_cast<std::int32_t>(action);
        nodes_.push_back(n);
        return static_cast<std::int32_t>(nodes_.size() - 1);
    }
    std::int32_t node(const Split& s) {
        PolicyNode n;
        n.feature = s.feature;
        n.threshold = d_.cut[static_cast<std::size_t>(s.feature)][s.cut];
        n.missing_left = s.missing_left;
        nodes_.push_back(n);
        return static_cast<std::int32_t>(nodes_.size() - 1);
    }

    const Data& d_;
    std::vector<PolicyNode> nodes_;
};

// Splits whose two sides end in the same single action are leaves; the
// hybrid levels can leave them behind. Renumbers the kept nodes depth first.
std::int32_t prune(const std::vector<PolicyNode>& in, std::int32_t at, std::vector<PolicyNode>& out) {
    const PolicyNode& n = in[static_cast<std::size_t>(at)];
    const std::int32_t id = static_cast<std::int32_t>(out.size());
    out.push_back(n);
    if (n.feature < 0) return id;
    const std::int32_t l = prune(in, n.left, out);
    const std::int32_t r = prune(in, n.right, out);
    const PolicyNode &ln = out[static_cast<std::size_t>(l)], &rn = out[static_cast<std::size_t>(r)];
    if (ln.feature < 0 && rn.feature < 0 && ln.action == rn.action) {
        const std::int32_t action = ln.action;
        out.resize(static_cast<std::size_t>(id));
        PolicyNode leaf;
        leaf.action = action;
        out.push_back(leaf);
        return id;
    }
    out[static_cast<std::size_t>(id)].left = l;
    out[static_cast<std::size_t>(id)].right = r;
    return id;
}

}  // namespace

Result<PolicyTree> fit_policy_tree(const MatrixView& features, const MatrixView& rewards, const PolicyOptions& options,
                                   const Interrupt& interrupt) {
    const std::size_t n = features.rows, p = features.cols, K = rewards.cols;
    if (n == 0 || p == 0) return QuorvantisError::internal("policy tree: no rows or no features");
    if (rewards.rows != n) return QuorvantisError::internal("policy tree: rewards need one row per row of X");
    if (K < 2 || K > 1000) return QuorvantisError::internal("policy tree: need 2 to 1000 actions");
    if (n >= (std::size_t{1} << 31)) return QuorvantisError::internal("policy tree: too many rows");
    if (options.max_depth > 64 || options.min_samples_leaf < 1 || options.split_step < 1)
        return QuorvantisError::internal("policy tree: invalid options");

    Data d;
    d.n = n;
    d.p = p;
    d.K = K;
    d.leaf = options.min_samples_leaf;
    d.reward.resize(n * K);
    double scale = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t a = 0; a < K; ++a) {
            const double v = rewards(i, a);
            if (!std::isfinite(v)) return QuorvantisError::internal("policy tree: rewards must be finite");
            d.reward[i * K + a] = v;
            scale += std::abs(v);
        }
    d.slack = 1e-12 * (1.0 + scale);
    d.order.resize(p);
    d.bin.resize(p);
    d.cut.resize(p);

    PolicyTree tree;
    parallel::JobOptions job;
    job.interrupt = interrupt;
    job.max_threads = options.n_threads;
    const std::optional<Halt> halt = parallel::run_job(
        [&] {
            parallel::parallel_for(p, [&](std::size_t f) { prepare_feature(features, options.split_step, f, d); });
            Builder builder(d);
            builder.grow(all_rows(n), options.max_depth);
            const std::vector<PolicyNode> grown = builder.take();
            prune(grown, 0, tree.nodes);
        },
        job);
    if (halt) return *halt;

    for (std::size_t i = 0; i < n; ++i) {
        std::size_t at = 0;
        while (tree.nodes[at].feature >= 0) {
            const PolicyNode& nd = tree.nodes[at];
            const double v = features(i, static_cast<std::size_t>(nd.feature));
            const bool left = std::isnan(v) ? nd.missing_left : v <= nd.threshold;
            at = static_cast<std::size_t>(left ? nd.left : nd.right);
        }
        tree.reward += d.r(i)[tree.nodes[at].action];
    }
    return tree;
}

}  // namespace quorvantis::engine

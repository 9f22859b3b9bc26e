#include "quorvantis/tree.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <emmintrin.h>
#include <limits>
#include <numeric>
#include <string>

#include "quorvantis/parallel.hpp"
#include "quorvantis/random.hpp"

namespace quorvantis {
namespace {

constexpr std::size_t kBins = CausalTree::kMaxDraws + 1;
// Rows per block of a node pass and of the leaf filling. Fixed, so that the
// order of additions, and with it every sum, is independent of the pool.
constexpr std::size_t kBlock = 16384;
constexpr std::size_t kRouteBlock = 65536;
// Up to this many candidates keep a bin byte per row for the partition; with
// more the partition reads the winning column again instead.
constexpr std::size_t kMaxStoredBins = 16;
constexpr std::uint64_t kHalvesStream = 0x68616c766573ULL;
constexpr std::uint64_t kFeatureStream = 0;  // candidate c draws from stream 1 + c

bool treated(double t) noexcept { return t > CausalTree::kTreatedCut; }

// Outcome sums and row counts of the two arms. Counts are kept as doubles
// (exact below 2^53) next to their sums, so one vector add updates an arm.
struct ArmSums {
    alignas(16) double v[4] = {0.0, 0.0, 0.0, 0.0};  // control sum, count, treated sum, count

    void add(bool arm, double y) noexcept {
        double* p = v + 2 * static_cast<int>(arm);
        _mm_store_pd(p, _mm_add_pd(_mm_load_pd(p), _mm_set_pd(1.0, y)));
    }
    void merge(const ArmSums& o) noexcept {
        _mm_store_pd(v, _mm_add_pd(_mm_load_pd(v), _mm_load_pd(o.v)));
        _mm_store_pd(v + 2, _mm_add_pd(_mm_load_pd(v + 2), _mm_load_pd(o.v + 2)));
    }
    std::uint64_t total() const noexcept { return static_cast<std::uint64_t>(v[1] + v[3]); }
    double difference() const noexcept {
        if (v[1] == 0.0 || v[3] == 0.0) return 0.0;
        return v[2] / v[3] - v[0] / v[1];
    }
};

// Size weight first, then times the squared effect difference.
double split_score(std::uint64_t n_left, std::uint64_t n_right, double tau_left, double tau_right) noexcept {
    const double l = static_cast<double>(n_left);
    const double r = static_cast<double>(n_right);
    const double w = (l * r) / ((l + r) * (l + r));
    const double d = tau_left - tau_right;
    return (d * d) * w;
}

bool can_split(std::uint64_t depth, std::uint64_t max_depth, std::size_t n_split, std::uint64_t min_samples_leaf) {
    return depth < max_depth && n_split / 2 >= min_samples_leaf;  // n_split >= 2 * msl without overflow
}

// Bit r set: row r belongs to the estimation half. Positions n-1 down to
// floor(n/2) of a Fisher-Yates shuffle are final after those steps, so the
// shuffle stops there: the rest only reorders the split half.
std::vector<std::uint64_t> estimation_bits(std::size_t n, std::uint64_t seed) {
    std::vector<std::uint64_t> bits((n + 63) / 64, 0);
    const std::size_t half = n / 2;
    Rng rng = Rng::stream(seed, kHalvesStream);
    auto mark = [&](auto* perm) {
        using I = std::remove_reference_t<decltype(*perm)>;
        for (std::size_t i = 0; i < n; ++i) perm[i] = static_cast<I>(i);
        for (std::size_t i = n; i-- > half;) {
            const std::size_t j = static_cast<std::size_t>(rng.bounded(i + 1));
            std::swap(perm[i], perm[j]);
            bits[perm[i] >> 6] |= std::uint64_t{1} << (perm[i] & 63);
        }
    };
    if (n <= std::numeric_limits<std::uint32_t>::max()) {
        std::vector<std::uint32_t> perm(n);
        mark(perm.data());
    } else {
        std::vector<std::uint64_t> perm(n);
        mark(perm.data());
    }
    return bits;
}

bool is_estimation(const std::vector<std::uint64_t>& bits, std::size_t r) noexcept {
    return (bits[r >> 6] >> (r & 63)) & 1;
}

struct GrownNode {
    std::uint64_t feature = 0;
    double threshold = 0.0;
    double score = 0.0;
    std::uint32_t left = 0, right = 0;
    std::uint32_t depth = 0;
    bool split = false;
};

// One candidate feature at one node: its draws and their sorted thresholds.
struct Candidate {
    std::uint64_t feature = 0;
    std::ptrdiff_t offset = 0;          // byte offset of the column within a row
    alignas(16) double sorted[16];         // finite thresholds ascending, padded with +inf
    double theta[CausalTree::kMaxDraws];   // thresholds in draw order
    int position[CausalTree::kMaxDraws];   // left side of draw j = bins <= position[j]; -1: none
    int n_draws = 0;
    int n_sorted = 0;
};

// A row's bin: the number of thresholds below its value, counted two at a
// time; NaN goes right of all. `sorted` is 16-byte aligned, padded with +inf.
inline unsigned bin_of(double x, const double* sorted, int n_sorted) noexcept {
    const __m128d v = _mm_set1_pd(x);
    __m128i count = _mm_setzero_si128();
    for (std::size_t s = 0; s < CausalTree::kMaxDraws; s += 2)
        count = _mm_sub_epi64(count, _mm_castpd_si128(_mm_cmpgt_pd(v, _mm_load_pd(sorted + s))));
    const auto b = static_cast<unsigned>(_mm_cvtsi128_si64(count) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(count, count)));
    return x == x ? b : static_cast<unsigned>(n_sorted);
}

struct Choice {
    double score = -1.0;
    std::size_t candidate = 0;
    int draw = -1;
};

// Fills a candidate from its thresholds in draw order.
void set_thresholds(Candidate& c, std::uint64_t feature, std::ptrdiff_t col_stride, const double* theta,
                    int n_draws) {
    c.feature = feature;
    c.offset = static_cast<std::ptrdiff_t>(feature) * col_stride;
    c.n_draws = n_draws;
    c.n_sorted = 0;
    for (int j = 0; j < n_draws; ++j) {
        const double v = theta[j];
        c.theta[j] = v;
        if (v != v) continue;
        int s = c.n_sorted++;  // insertion sort: at most ten values
        while (s > 0 && c.sorted[s - 1] > v) {
            c.sorted[s] = c.sorted[s - 1];
            --s;
        }
        c.sorted[s] = v;
    }
    for (int j = 0; j < n_draws; ++j) {
        const double v = c.theta[j];
        if (v != v) {
            c.position[j] = -1;
            continue;
        }
        int below = 0;
        while (below < c.n_sorted && c.sorted[below] < v) ++below;
        c.position[j] = below;
    }
    for (int s = c.n_sorted; s < 16; ++s) c.sorted[s] = std::numeric_limits<double>::infinity();
}

// Best draw of one candidate from its bin sums: strict improvement only, so
// the earliest of equal scores stays.
Choice evaluate_candidate(const Candidate& c, const ArmSums* hist, std::uint64_t msl, std::size_t position) {
    ArmSums prefix[kBins], suffix[kBins + 1];
    const int top = c.n_sorted;  // bins 0..top are in use
    for (int b = 0; b <= top; ++b) {
        prefix[b] = b > 0 ? prefix[b - 1] : ArmSums{};
        prefix[b].merge(hist[b]);
    }
    suffix[top + 1] = ArmSums{};
    for (int b = top; b >= 0; --b) {
        suffix[b] = suffix[b + 1];
        suffix[b].merge(hist[b]);
    }
    Choice best;
    best.candidate = position;
    for (int j = 0; j < c.n_draws; ++j) {
        const int pos = c.position[j];
        const ArmSums left = pos >= 0 ? prefix[pos] : ArmSums{};
        const ArmSums& right = suffix[pos + 1];
        const std::uint64_t nl = left.total(), nr = right.total();
        if (nl < msl || nr < msl) continue;
        const double score = split_score(nl, nr, left.difference(), right.difference());
        if (score > best.score) {
            best.score = score;
            best.draw = j;
        }
    }
    return best;
}

Choice later_wins_ties(Choice a, Choice b) { return a.score > b.score ? a : b; }

// Grows the split structure of one tree from its split rows, then fills the
// leaves from the estimation rows. Split rows travel with their outcome and
// arm (top bit of the index) through ping-pong buffers, partitioned stably, so
// a node's pass reads only the matrix rows it needs, in ascending order.
template <class Index>
class Grower {
public:
    static constexpr Index kArm = Index(1) << (sizeof(Index) * 8 - 1);

    Grower(const MatrixView& x, const VectorView& t, const VectorView& y, std::uint64_t max_depth,
           std::uint64_t min_samples_leaf)
        : x_(x), t_(t), y_(y), max_depth_(max_depth), msl_(min_samples_leaf), p_(x.cols),
          m_(static_cast<std::size_t>(std::sqrt(static_cast<double>(x.cols)))) {}

    void grow(std::uint64_t seed) {
        const std::size_t n = x_.rows;
        est_bits_ = estimation_bits(n, seed);
        const std::size_t half = n / 2;
        idx_[0].resize(half);
        yv_[0].resize(half);
        std::size_t k = 0;
        for (std::size_t r = 0; r < n; ++r) {
            if (is_estimation(est_bits_, r)) continue;
            idx_[0][k] = static_cast<Index>(r) | (treated(t_[r]) ? kArm : Index(0));
            yv_[0][k] = y_[r];
            ++k;
        }
        if (can_split(0, max_depth_, half, msl_) && m_ > 0) {
            if (max_depth_ > 1) {
                idx_[1].resize(half);
                yv_[1].resize(half);
            }
            if (m_ <= kMaxStoredBins) bins_.resize(m_ * half);
            const std::size_t blocks = (half + kBlock - 1) / kBlock;
            block_hist_.resize(blocks * m_ * kBins);
        }
        node(0, half, 0, 0, CausalTree::root_key(seed));
        idx_[0] = {};
        idx_[1] = {};
        yv_[0] = {};
        yv_[1] = {};
        bins_ = {};
        block_hist_ = {};
    }

    // Arm sums of the estimation rows below every grown node.
    std::vector<ArmSums> fill() const {
        const std::size_t g = nodes_.size();
        std::vector<std::uint32_t> child(2 * g);
        std::uint32_t levels = 0;
        for (std::size_t i = 0; i < g; ++i) {
            const GrownNode& nd = nodes_[i];
            child[2 * i] = nd.split ? nd.left : static_cast<std::uint32_t>(i);
            child[2 * i + 1] = nd.split ? nd.right : static_cast<std::uint32_t>(i);
            if (!nd.split) levels = std::max(levels, nd.depth);
        }
        const std::size_t n = x_.rows;
        const std::size_t blocks = (n + kRouteBlock - 1) / kRouteBlock;
        std::vector<ArmSums> per_block(blocks * g);
        parallel::parallel_for(blocks, [&](std::size_t b) {
            parallel::check_cancel();
            ArmSums* sums = per_block.data() + b * g;
            const std::size_t lo = b * kRouteBlock, hi = std::min(n, lo + kRouteBlock);
            for (std::size_t w = lo / 64; w * 64 < hi; ++w) {
                std::uint64_t word = est_bits_[w];
                while (word != 0) {
                    const std::size_t r = w * 64 + static_cast<std::size_t>(__builtin_ctzll(word));
                    word &= word - 1;
                    const std::byte* row = x_.row_ptr(r);
                    std::uint32_t i = 0;
                    for (std::uint32_t level = 0; level < levels; ++level) {
                        const GrownNode& nd = nodes_[i];
                        const double v = load_double(row + static_cast<std::ptrdiff_t>(nd.feature) * x_.col_stride);
                        i = child[2 * i + !(v <= nd.threshold)];
                    }
                    sums[i].add(treated(t_[r]), y_[r]);
                }
            }
        });
        std::vector<ArmSums> total(g);
        for (std::size_t b = 0; b < blocks; ++b)
            for (std::size_t i = 0; i < g; ++i) total[i].merge(per_block[b * g + i]);
        // Pre-order: children follow their parent, so a reverse sweep sums subtrees.
        for (std::size_t i = g; i-- > 0;) {
            if (!nodes_[i].split) continue;
            total[i].merge(total[nodes_[i].left]);
            total[i].merge(total[nodes_[i].right]);
        }
        return total;
    }

    const std::vector<GrownNode>& nodes() const noexcept { return nodes_; }

private:
    std::uint32_t node(std::size_t a, std::size_t b, int buf, std::uint32_t depth, std::uint64_t key) {
        parallel::check_cancel();
        const auto self = static_cast<std::uint32_t>(nodes_.size());
        nodes_.push_back(GrownNode{});
        nodes_[self].depth = depth;
        const std::size_t n = b - a;
        if (!can_split(depth, max_depth_, n, msl_) || m_ == 0) return self;

        const std::vector<std::uint64_t> features = CausalTree::candidate_features(p_, key);
        std::vector<Candidate> cands(m_);
        const Index* idx = idx_[buf].data() + a;
        for (std::size_t c = 0; c < m_; ++c) draw(cands[c], features[c], idx, n, key, c);

        const std::size_t blocks = (n + kBlock - 1) / kBlock;
        ArmSums* hist = block_hist_.data();
        std::uint8_t* bins = bins_.empty() ? nullptr : bins_.data() + a;  // plane c at c * half
        const std::size_t plane = yv_[0].size();
        const double* yv = yv_[buf].data() + a;
        parallel::parallel_for(blocks, [&](std::size_t blk) {
            const std::size_t lo = blk * kBlock, hi = std::min(n, lo + kBlock);
            scan(cands.data(), idx, yv, lo, hi, hist + blk * m_ * kBins, bins, plane);
        });

        std::vector<ArmSums> merged(m_ * kBins);
        for (std::size_t blk = 0; blk < blocks; ++blk)
            for (std::size_t i = 0; i < m_ * kBins; ++i) merged[i].merge(hist[blk * m_ * kBins + i]);

        const Choice best = parallel::parallel_reduce(
            m_, Choice{}, [&](std::size_t c) { return evaluate_candidate(cands[c], merged.data() + c * kBins, msl_, c); },
            later_wins_ties);
        if (best.draw < 0) return self;

        const Candidate& win = cands[best.candidate];
        const int pos = win.position[best.draw];
        {
            GrownNode& nd = nodes_[self];
            nd.split = true;
            nd.feature = win.feature;
            nd.threshold = win.theta[best.draw];
            nd.score = best.score;
        }
        // Left rows per block, from the block histograms of the winner.
        std::vector<std::size_t> left_before(blocks + 1, 0);
        for (std::size_t blk = 0; blk < blocks; ++blk) {
            std::size_t l = 0;
            const ArmSums* h = hist + (blk * m_ + best.candidate) * kBins;
            for (int bin = 0; bin <= pos; ++bin) l += h[bin].total();
            left_before[blk + 1] = left_before[blk] + l;
        }
        const std::size_t n_left = left_before[blocks];

        // Children at the depth limit are leaves and never look at split rows.
        if (depth + 1 < max_depth_) {
            Index* out_idx = idx_[buf ^ 1].data() + a;
            double* out_y = yv_[buf ^ 1].data() + a;
            const std::uint8_t* plane_bins = bins ? bins + best.candidate * plane : nullptr;
            parallel::parallel_for(blocks, [&](std::size_t blk) {
                const std::size_t lo = blk * kBlock, hi = std::min(n, lo + kBlock);
                std::size_t l = left_before[blk];
                std::size_t r = n_left + (lo - left_before[blk]);
                for (std::size_t i = lo; i < hi; ++i) {
                    bool go_left;
                    if (plane_bins) {
                        go_left = static_cast<int>(plane_bins[i]) <= pos;
                    } else {
                        const double v = load_double(x_.row_ptr(idx[i] & ~kArm) + win.offset);
                        go_left = v <= win.theta[best.draw];
                    }
                    const std::size_t o = go_left ? l++ : r++;
                    out_idx[o] = idx[i];
                    out_y[o] = yv[i];
                }
            });
        }
        const std::uint32_t left = node(a, a + n_left, buf ^ 1, depth + 1, CausalTree::child_key(key, false));
        const std::uint32_t right = node(a + n_left, b, buf ^ 1, depth + 1, CausalTree::child_key(key, true));
        nodes_[self].left = left;
        nodes_[self].right = right;
        return self;
    }

    void draw(Candidate& c, std::uint64_t feature, const Index* idx, std::size_t n, std::uint64_t key,
              std::size_t position) const {
        Rng rng = Rng::stream(key, 1 + position);
        const int n_draws = static_cast<int>(std::min<std::size_t>(n, CausalTree::kMaxDraws));
        double theta[CausalTree::kMaxDraws];
        const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(feature) * x_.col_stride;
        for (int j = 0; j < n_draws; ++j)
            theta[j] = load_double(x_.row_ptr(idx[rng.bounded(n)] & ~kArm) + offset);
        set_thresholds(c, feature, x_.col_stride, theta, n_draws);
    }

    void scan(const Candidate* cands, const Index* idx, const double* yv, std::size_t lo, std::size_t hi,
              ArmSums* hist, std::uint8_t* bins, std::size_t plane) const {
        std::fill(hist, hist + m_ * kBins, ArmSums{});
        constexpr std::size_t kAhead = 12;
        for (std::size_t i = lo; i < hi; ++i) {
            if (i + kAhead < hi) {
                const std::byte* ahead = x_.row_ptr(idx[i + kAhead] & ~kArm);
                for (std::size_t c = 0; c < m_ && c < 4; ++c) __builtin_prefetch(ahead + cands[c].offset);
            }
            const Index packed = idx[i];
            const bool arm = (packed & kArm) != 0;
            const double yy = yv[i];
            const std::byte* row = x_.row_ptr(packed & ~kArm);
            for (std::size_t c = 0; c < m_; ++c) {
                const unsigned b = bin_of(load_double(row + cands[c].offset), cands[c].sorted, cands[c].n_sorted);
                hist[c * kBins + b].add(arm, yy);
                if (bins) bins[c * plane + i] = static_cast<std::uint8_t>(b);
            }
        }
    }

    const MatrixView& x_;
    const VectorView& t_;
    const VectorView& y_;
    std::uint64_t max_depth_, msl_;
    std::size_t p_, m_;
    std::vector<std::uint64_t> est_bits_;
    std::vector<Index> idx_[2];
    std::vector<double> yv_[2];
    std::vector<std::uint8_t> bins_;
    std::vector<ArmSums> block_hist_;
    std::vector<GrownNode> nodes_;
};


// Grows several trees at once, level by level, with one pass over the matrix
// per level for all trees together: the fit is bound by memory traffic, and
// this reads each matrix row once per level instead of once per tree and
// node. Each tree makes exactly the choices the single-tree grower makes for
// its seed (same keyed streams, same ascending row order within a node).
//
// Per row and tree it keeps a byte with the row's node at the current level
// (kDone once the row left the growth: estimation rows, rows of leaves) and
// the bins of the node's candidates, four bits each, from which the row is
// routed to its child without reading the matrix again.
template <class Bins>
class BatchGrower {
public:
    static constexpr std::uint8_t kDone = 0xff;
    static constexpr std::size_t kMaxCandidates = 2 * sizeof(Bins);  // 4-bit bins per row and tree
    static constexpr std::uint64_t kMaxDepth = 7;     // at most 64 nodes on a level below the last
    static constexpr std::size_t kRows = 65536;        // rows per block, fixed for reproducible sums
    static constexpr std::size_t kChunk = 2048;         // rows whose matrix lines stay cached across trees

    // Walks the matrix lines of the next chunk a line per call, so that they
    // arrive while the current chunk is being worked on. Only for row-major
    // rows; other layouts are left to the hardware prefetcher.
    struct Prefetch {
        const std::byte* at = nullptr;
        const std::byte* end = nullptr;
        void start(const MatrixView& x, std::size_t lo, std::size_t hi) {
            at = end = nullptr;
            const auto width = static_cast<std::ptrdiff_t>(x.cols * sizeof(double));
            if (lo >= hi || x.col_stride != static_cast<std::ptrdiff_t>(sizeof(double)) || x.row_stride < width) return;
            at = x.row_ptr(lo);
            end = x.row_ptr(hi - 1) + width;
        }
        void step() noexcept {
            if (at < end) {
                __builtin_prefetch(at);
                at += 64;
            }
        }
    };

    // Outcome and arm of a chunk's rows, read once for all trees.
    struct Chunk {
        double y[kChunk];
        bool arm[kChunk];
        std::size_t load(const VectorView& t, const VectorView& y_view, std::size_t lo, std::size_t hi) {
            for (std::size_t r = lo; r < hi; ++r) {
                y[r - lo] = y_view[r];
                arm[r - lo] = treated(t[r]);
            }
            return hi - lo;
        }
    };

    static bool eligible(const MatrixView& x, std::uint64_t max_depth) {
        const auto m = static_cast<std::size_t>(std::sqrt(static_cast<double>(x.cols)));
        return m >= 1 && m <= kMaxCandidates && (sizeof(Bins) == 2 || m > kMaxCandidates / 2) &&
               max_depth <= kMaxDepth &&
               x.rows <= std::numeric_limits<std::uint32_t>::max();
    }

    struct LevelNode {
        std::uint32_t grown = 0;
        std::uint64_t key = 0;
        std::size_t n = 0;                      // split rows
        Candidate cand[kMaxCandidates];
        std::uint64_t draw_rank[kMaxCandidates][CausalTree::kMaxDraws];
        std::vector<std::uint64_t> wanted;      // distinct drawn ranks, ascending
        std::vector<std::uint32_t> found;       // row at each wanted rank
        std::size_t hist = 0;                   // offset in a block's histogram area
        int win = -1, pos = -1;                 // chosen candidate and its left bins
        std::uint8_t child[2] = {kDone, kDone};
    };

    struct Tree {
        std::uint64_t seed = 0;
        std::vector<std::uint64_t> est_bits;
        std::vector<GrownNode> nodes;
        std::vector<LevelNode> level;
    };

    BatchGrower(const MatrixView& x, const VectorView& t, const VectorView& y, std::uint64_t max_depth,
                std::uint64_t msl)
        : x_(x), t_(t), y_(y), max_depth_(max_depth), msl_(msl), p_(x.cols),
          m_(static_cast<std::size_t>(std::sqrt(static_cast<double>(x.cols)))),
          blocks_((x.rows + kRows - 1) / kRows) {}

    // Grown structure and estimation sums of one tree per seed.
    void grow(std::span<const std::uint64_t> seeds) {
        const std::size_t n = x_.rows, T = seeds.size();
        trees_.resize(T);
        parallel::parallel_for(T, [&](std::size_t i) {
            Tree& tr = trees_[i];
            tr.seed = seeds[i];
            tr.est_bits = estimation_bits(n, tr.seed);
            tr.nodes.push_back(GrownNode{});
            if (can_split(0, max_depth_, n / 2, msl_)) {
                LevelNode root;
                root.key = CausalTree::root_key(tr.seed);
                root.n = n / 2;
                plan_draws(root);
                select_split_rows(tr.est_bits, n, root.wanted, root.found);
                set_node_thresholds(root);
                tr.level.push_back(std::move(root));
            }
        });
        ids_.assign(n * T, kDone);
        bins_.assign(n * T, 0);
        parallel::parallel_for(T, [&](std::size_t i) {
            if (trees_[i].level.empty()) return;
            std::uint8_t* id = ids_.data() + i * n;
            for (std::size_t r = 0; r < n; ++r) id[r] = is_estimation(trees_[i].est_bits, r) ? kDone : 0;
        });
        for (std::uint32_t depth = 0;; ++depth) {
            std::size_t area = 0;
            for (Tree& tr : trees_)
                for (LevelNode& nd : tr.level) {
                    nd.hist = area;
                    area += m_ * kBins;
                }
            if (area == 0) break;
            hist_.assign(blocks_ * area, ArmSums{});
            parallel::parallel_for(blocks_, [&](std::size_t blk) { scan(blk, area); });
            decide(depth, area);
            if (depth + 1 >= max_depth_) break;
            std::vector<std::vector<LevelNode>> next = children(depth, area);
            route(area, next);
            for (std::size_t i = 0; i < T; ++i) {
                for (LevelNode& nd : next[i]) set_node_thresholds(nd);
                trees_[i].level = std::move(next[i]);
            }
        }
        ids_ = {};
        bins_ = {};
        hist_ = {};
    }

    // Estimation-row sums below every grown node, per tree.
    std::vector<std::vector<ArmSums>> fill() const {
        const std::size_t n = x_.rows, T = trees_.size();
        std::vector<std::size_t> offset(T + 1, 0);
        std::vector<std::uint32_t> levels(T, 0);
        // Leaves loop to themselves: every walk takes the tree's depth in
        // steps, with no branch on the node kind.
        struct Step {
            double threshold;
            std::ptrdiff_t offset;
            std::uint32_t child[2];
        };
        std::vector<std::vector<Step>> walk(T);
        for (std::size_t i = 0; i < T; ++i) {
            const auto& nodes = trees_[i].nodes;
            offset[i + 1] = offset[i] + nodes.size();
            walk[i].resize(nodes.size());
            for (std::uint32_t g = 0; g < nodes.size(); ++g) {
                const GrownNode& nd = nodes[g];
                if (nd.split) {
                    walk[i][g] = Step{nd.threshold, static_cast<std::ptrdiff_t>(nd.feature) * x_.col_stride,
                                      {nd.left, nd.right}};
                } else {
                    walk[i][g] = Step{0.0, 0, {g, g}};
                    levels[i] = std::max(levels[i], nd.depth);
                }
            }
        }
        std::vector<ArmSums> per_block(blocks_ * offset[T]);
        parallel::parallel_for(blocks_, [&](std::size_t blk) {
            parallel::check_cancel();
            ArmSums* sums = per_block.data() + blk * offset[T];
            Chunk chunk;
            Prefetch ahead;
            std::uint16_t rows[kChunk];
            for (std::size_t lo = blk * kRows, hi = std::min(n, lo + kRows); lo < hi; lo += kChunk) {
                const std::size_t len = chunk.load(t_, y_, lo, std::min(hi, lo + kChunk));
                ahead.start(x_, lo + len, std::min(hi, lo + len + kChunk));
                for (std::size_t i = 0; i < T; ++i) {
                    const Step* steps = walk[i].data();
                    ArmSums* tree_sums = sums + offset[i];
                    std::size_t k = 0;
                    for (std::size_t w = 0; w * 64 < len; ++w) {
                        std::uint64_t word = trees_[i].est_bits[(lo >> 6) + w];
                        while (word != 0) {
                            rows[k++] = static_cast<std::uint16_t>(w * 64 + static_cast<std::size_t>(__builtin_ctzll(word)));
                            word &= word - 1;
                        }
                    }
                    auto hop = [&](std::uint32_t g, std::size_t j) {
                        const Step& st = steps[g];
                        return st.child[!(load_double(x_.row_ptr(lo + j) + st.offset) <= st.threshold)];
                    };
                    // Four independent walks at a time overlap their latencies.
                    std::size_t q = 0;
                    for (; q + 4 <= k; q += 4) {
                        std::uint32_t a = 0, b = 0, c = 0, d = 0;
                        for (std::uint32_t level = 0; level < levels[i]; ++level) {
                            ahead.step();
                            a = hop(a, rows[q]);
                            b = hop(b, rows[q + 1]);
                            c = hop(c, rows[q + 2]);
                            d = hop(d, rows[q + 3]);
                        }
                        tree_sums[a].add(chunk.arm[rows[q]], chunk.y[rows[q]]);
                        tree_sums[b].add(chunk.arm[rows[q + 1]], chunk.y[rows[q + 1]]);
                        tree_sums[c].add(chunk.arm[rows[q + 2]], chunk.y[rows[q + 2]]);
                        tree_sums[d].add(chunk.arm[rows[q + 3]], chunk.y[rows[q + 3]]);
                    }
                    for (; q < k; ++q) {
                        std::uint32_t a = 0;
                        for (std::uint32_t level = 0; level < levels[i]; ++level) a = hop(a, rows[q]);
                        tree_sums[a].add(chunk.arm[rows[q]], chunk.y[rows[q]]);
                    }
                }
            }
        });
        std::vector<std::vector<ArmSums>> out(T);
        for (std::size_t i = 0; i < T; ++i) {
            out[i].assign(trees_[i].nodes.size(), ArmSums{});
            for (std::size_t blk = 0; blk < blocks_; ++blk)
                for (std::size_t g = 0; g < out[i].size(); ++g)
                    out[i][g].merge(per_block[blk * offset[T] + offset[i] + g]);
            for (std::size_t g = out[i].size(); g-- > 0;) {
                const GrownNode& nd = trees_[i].nodes[g];
                if (!nd.split) continue;
                out[i][g].merge(out[i][nd.left]);
                out[i][g].merge(out[i][nd.right]);
            }
        }
        return out;
    }

    const std::vector<Tree>& trees() const noexcept { return trees_; }

private:
    // Candidate features and drawn ranks of a node that may split.
    void plan_draws(LevelNode& nd) const {
        const std::vector<std::uint64_t> features = CausalTree::candidate_features(p_, nd.key);
        const int n_draws = static_cast<int>(std::min<std::size_t>(nd.n, CausalTree::kMaxDraws));
        for (std::size_t c = 0; c < m_; ++c) {
            Rng rng = Rng::stream(nd.key, 1 + c);
            nd.cand[c].feature = features[c];
            nd.cand[c].n_draws = n_draws;
            for (int j = 0; j < n_draws; ++j) {
                nd.draw_rank[c][j] = rng.bounded(nd.n);
                nd.wanted.push_back(nd.draw_rank[c][j]);
            }
        }
        std::sort(nd.wanted.begin(), nd.wanted.end());
        nd.wanted.erase(std::unique(nd.wanted.begin(), nd.wanted.end()), nd.wanted.end());
        nd.found.assign(nd.wanted.size(), 0);
    }

    void set_node_thresholds(LevelNode& nd) const {
        for (std::size_t c = 0; c < m_; ++c) {
            Candidate& cd = nd.cand[c];
            double theta[CausalTree::kMaxDraws];
            const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(cd.feature) * x_.col_stride;
            for (int j = 0; j < cd.n_draws; ++j) {
                const auto at = std::lower_bound(nd.wanted.begin(), nd.wanted.end(), nd.draw_rank[c][j]);
                theta[j] = load_double(x_.row_ptr(nd.found[static_cast<std::size_t>(at - nd.wanted.begin())]) + offset);
            }
            set_thresholds(cd, cd.feature, x_.col_stride, theta, cd.n_draws);
        }
    }

    // Rows of the given ranks among the split rows (ascending) of a tree.
    static void select_split_rows(const std::vector<std::uint64_t>& est_bits, std::size_t n,
                                  const std::vector<std::uint64_t>& wanted, std::vector<std::uint32_t>& found) {
        std::size_t k = 0;
        std::uint64_t rank = 0;
        for (std::size_t w = 0; w < est_bits.size() && k < wanted.size(); ++w) {
            std::uint64_t split = ~est_bits[w];
            if (w * 64 + 64 > n) split &= (std::uint64_t{1} << (n - w * 64)) - 1;
            const auto count = static_cast<std::uint64_t>(__builtin_popcountll(split));
            while (k < wanted.size() && wanted[k] < rank + count) {
                std::uint64_t bits = split;
                for (std::uint64_t skip = wanted[k] - rank; skip > 0; --skip) bits &= bits - 1;
                found[k++] = static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits)));
            }
            rank += count;
        }
    }

    void scan(std::size_t blk, std::size_t area) {
        switch (m_) {
            case 1: return scan_block<1>(blk, area);
            case 2: return scan_block<2>(blk, area);
            case 3: return scan_block<3>(blk, area);
            case 4: return scan_block<4>(blk, area);
            default: break;
        }
        if constexpr (kMaxCandidates == 8) {
            switch (m_) {
                case 5: return scan_block<5>(blk, area);
                case 6: return scan_block<6>(blk, area);
                case 7: return scan_block<7>(blk, area);
                default: return scan_block<8>(blk, area);
            }
        }
    }

    // Rows of a chunk are handled tree after tree: the chunk of the matrix
    // stays in cache for all trees, and each tree walks a compacted list of
    // its active rows instead of branching on every row.
    // What the scan needs of a node, packed to stay in L1 across a chunk.
    struct ScanNode {
        alignas(16) double sorted[kMaxCandidates][16];
        std::ptrdiff_t offset[kMaxCandidates];
        std::size_t hist;
        int n_sorted[kMaxCandidates];
    };

    template <std::size_t M>
    void scan_block(std::size_t blk, std::size_t area) {
        parallel::check_cancel();
        const std::size_t n = x_.rows, T = trees_.size();
        ArmSums* hist = hist_.data() + blk * area;
        std::vector<std::vector<ScanNode>> packed_nodes(T);
        for (std::size_t i = 0; i < T; ++i) {
            packed_nodes[i].resize(trees_[i].level.size());
            for (std::size_t v = 0; v < trees_[i].level.size(); ++v) {
                const LevelNode& nd = trees_[i].level[v];
                ScanNode& sn = packed_nodes[i][v];
                sn.hist = nd.hist;
                for (std::size_t c = 0; c < M; ++c) {
                    std::copy(nd.cand[c].sorted, nd.cand[c].sorted + 16, sn.sorted[c]);
                    sn.offset[c] = nd.cand[c].offset;
                    sn.n_sorted[c] = nd.cand[c].n_sorted;
                }
            }
        }
        Chunk chunk;
        Prefetch ahead;
        std::uint16_t active[kChunk];
        for (std::size_t lo = blk * kRows, hi = std::min(n, lo + kRows); lo < hi; lo += kChunk) {
            const std::size_t len = chunk.load(t_, y_, lo, std::min(hi, lo + kChunk));
            ahead.start(x_, lo + len, std::min(hi, lo + len + kChunk));
            for (std::size_t i = 0; i < T; ++i) {
                const std::uint8_t* id = ids_.data() + i * n + lo;
                Bins* bins = bins_.data() + i * n + lo;
                const ScanNode* level = packed_nodes[i].data();
                std::size_t k = 0;
                for (std::size_t j = 0; j < len; ++j) {
                    active[k] = static_cast<std::uint16_t>(j);
                    k += id[j] != kDone;
                }
                for (std::size_t q = 0; q < k; ++q) {
                    ahead.step();
                    const std::size_t j = active[q];
                    const ScanNode& nd = level[id[j]];
                    const std::byte* row = x_.row_ptr(lo + j);
                    ArmSums* h = hist + nd.hist;
                    const bool arm = chunk.arm[j];
                    const double yy = chunk.y[j];
                    unsigned packed = 0;
                    for (std::size_t c = 0; c < M; ++c) {
                        const unsigned b = bin_of(load_double(row + nd.offset[c]), nd.sorted[c], nd.n_sorted[c]);
                        h[c * kBins + b].add(arm, yy);
                        packed |= b << (4 * c);
                    }
                    bins[j] = static_cast<Bins>(packed);
                }
            }
        }
    }

    // Best split of every node on the level; the trees are independent and
    // each node combines its candidates with the tie rule.
    void decide(std::uint32_t depth, std::size_t area) {
        std::vector<ArmSums> merged(area);
        for (std::size_t blk = 0; blk < blocks_; ++blk)
            for (std::size_t k = 0; k < area; ++k) merged[k].merge(hist_[blk * area + k]);
        parallel::parallel_for(trees_.size(), [&](std::size_t i) {
            Tree& tr = trees_[i];
            for (LevelNode& nd : tr.level) {
                const Choice best = parallel::parallel_reduce(
                    m_, Choice{},
                    [&](std::size_t c) { return evaluate_candidate(nd.cand[c], merged.data() + nd.hist + c * kBins, msl_, c); },
                    later_wins_ties);
                if (best.draw < 0) continue;
                nd.win = static_cast<int>(best.candidate);
                nd.pos = nd.cand[best.candidate].position[best.draw];
                GrownNode& g = tr.nodes[nd.grown];
                g.split = true;
                g.feature = nd.cand[best.candidate].feature;
                g.threshold = nd.cand[best.candidate].theta[best.draw];
                g.score = best.score;
                g.left = static_cast<std::uint32_t>(tr.nodes.size());
                g.right = g.left + 1;
                GrownNode child;
                child.depth = depth + 1;
                tr.nodes.push_back(child);
                tr.nodes.push_back(child);
            }
        });
    }

    std::size_t left_in_block(const LevelNode& nd, std::size_t blk, std::size_t area) const {
        const ArmSums* h = hist_.data() + blk * area + nd.hist + static_cast<std::size_t>(nd.win) * kBins;
        std::size_t l = 0;
        for (int b = 0; b <= nd.pos; ++b) l += h[b].total();
        return l;
    }
    std::size_t rows_in_block(const LevelNode& nd, std::size_t blk, std::size_t area) const {
        const ArmSums* h = hist_.data() + blk * area + nd.hist;
        std::size_t l = 0;
        for (std::size_t b = 0; b < kBins; ++b) l += h[b].total();
        return l;
    }

    // Next level's nodes: children that may split, with their draws planned.
    std::vector<std::vector<LevelNode>> children(std::uint32_t depth, std::size_t area) {
        std::vector<std::vector<LevelNode>> next(trees_.size());
        parallel::parallel_for(trees_.size(), [&](std::size_t i) {
            Tree& tr = trees_[i];
            for (LevelNode& nd : tr.level) {
                if (nd.win < 0) continue;
                std::size_t n_left = 0;
                for (std::size_t blk = 0; blk < blocks_; ++blk) n_left += left_in_block(nd, blk, area);
                const std::size_t sizes[2] = {n_left, nd.n - n_left};
                const GrownNode& g = tr.nodes[nd.grown];
                for (int side = 0; side < 2; ++side) {
                    if (!can_split(depth + 1, max_depth_, sizes[side], msl_)) continue;
                    LevelNode ch;
                    ch.grown = side == 0 ? g.left : g.right;
                    ch.key = CausalTree::child_key(nd.key, side == 1);
                    ch.n = sizes[side];
                    plan_draws(ch);
                    nd.child[side] = static_cast<std::uint8_t>(next[i].size());
                    next[i].push_back(std::move(ch));
                }
            }
        });
        return next;
    }

    // Moves every split row to its child and records the rows at the drawn
    // ranks. A block's starting rank in each child comes from the block
    // histograms of the blocks before it.
    void route(std::size_t area, std::vector<std::vector<LevelNode>>& next) {
        const std::size_t T = trees_.size();
        std::vector<std::size_t> child_base(T + 1, 0);
        for (std::size_t i = 0; i < T; ++i) child_base[i + 1] = child_base[i] + next[i].size();
        const std::size_t C = child_base[T];
        std::vector<std::uint64_t> start(blocks_ * C, 0);
        for (std::size_t i = 0; i < T; ++i) {
            for (const LevelNode& nd : trees_[i].level) {
                if (nd.win < 0) continue;
                std::uint64_t before[2] = {0, 0};
                for (std::size_t blk = 0; blk < blocks_; ++blk) {
                    const std::size_t l = left_in_block(nd, blk, area);
                    const std::size_t counts[2] = {l, rows_in_block(nd, blk, area) - l};
                    for (int side = 0; side < 2; ++side) {
                        if (nd.child[side] != kDone) start[blk * C + child_base[i] + nd.child[side]] = before[side];
                        before[side] += counts[side];
                    }
                }
            }
        }
        parallel::parallel_for(blocks_, [&](std::size_t blk) {
            parallel::check_cancel();
            std::vector<std::uint64_t> rank(start.begin() + static_cast<std::ptrdiff_t>(blk * C),
                                            start.begin() + static_cast<std::ptrdiff_t>((blk + 1) * C));
            std::vector<std::size_t> cursor(C);
            for (std::size_t i = 0; i < T; ++i)
                for (std::size_t u = 0; u < next[i].size(); ++u) {
                    const auto& w = next[i][u].wanted;
                    cursor[child_base[i] + u] = static_cast<std::size_t>(
                        std::lower_bound(w.begin(), w.end(), rank[child_base[i] + u]) - w.begin());
                }
            const std::size_t n = x_.rows, lo = blk * kRows, hi = std::min(n, lo + kRows);
            std::uint32_t active[kChunk];
            for (std::size_t i = 0; i < T; ++i) {
                std::uint8_t* id = ids_.data() + i * n;
                const Bins* bins = bins_.data() + i * n;
                const LevelNode* level = trees_[i].level.data();
                std::uint64_t* tree_rank = rank.data() + child_base[i];
                std::size_t* tree_cursor = cursor.data() + child_base[i];
                for (std::size_t c_lo = lo; c_lo < hi; c_lo += kChunk) {
                    const std::size_t c_hi = std::min(hi, c_lo + kChunk);
                    std::size_t k = 0;
                    for (std::size_t r = c_lo; r < c_hi; ++r) {
                        active[k] = static_cast<std::uint32_t>(r);
                        k += id[r] != kDone;
                    }
                    for (std::size_t q = 0; q < k; ++q) {
                        const std::size_t r = active[q];
                        const LevelNode& nd = level[id[r]];
                        if (nd.win < 0) {
                            id[r] = kDone;
                            continue;
                        }
                        const int b = (bins[r] >> (4 * nd.win)) & 15;
                        const std::uint8_t u = nd.child[b > nd.pos];
                        id[r] = u;
                        if (u == kDone) continue;
                        LevelNode& ch = next[i][u];
                        const std::size_t at = tree_cursor[u];
                        if (at < ch.wanted.size() && ch.wanted[at] == tree_rank[u]) {
                            ch.found[at] = static_cast<std::uint32_t>(r);
                            ++tree_cursor[u];
                        }
                        ++tree_rank[u];
                    }
                }
            }
        });
    }

    const MatrixView& x_;
    const VectorView& t_;
    const VectorView& y_;
    std::uint64_t max_depth_, msl_;
    std::size_t p_, m_, blocks_;
    std::vector<Tree> trees_;
    std::vector<std::uint8_t> ids_;     // [tree][row]
    std::vector<Bins> bins_;            // [tree][row]
    std::vector<ArmSums> hist_;         // [block][node area]
};

}  // namespace

// Turns grown structure plus estimation sums into the final nodes: a grown
// split whose subtree received fewer than min_samples_leaf estimation rows
// becomes a leaf, exactly as if the node had been refused at growth.
class TreeAssembler {
public:
    static void run(CausalTree& tree, const std::vector<GrownNode>& grown, const std::vector<ArmSums>& est,
                    std::uint64_t min_samples_leaf) {
        tree.nodes_.clear();
        emit(tree, grown, est, min_samples_leaf, 0);
        tree.compile();
    }

private:
    static std::uint32_t emit(CausalTree& tree, const std::vector<GrownNode>& g, const std::vector<ArmSums>& est,
                              std::uint64_t msl, std::uint32_t i) {
        const auto self = static_cast<std::uint32_t>(tree.nodes_.size());
        if (g[i].split && est[i].total() >= msl) {
            tree.nodes_.emplace_back(Split{g[i].feature, g[i].threshold, 0, 0});
            tree.feature_importance[g[i].feature] += g[i].score;
            const std::uint32_t left = emit(tree, g, est, msl, g[i].left);
            const std::uint32_t right = emit(tree, g, est, msl, g[i].right);
            auto& s = std::get<Split>(tree.nodes_[self]);
            s.left = left;
            s.right = right;
        } else {
            tree.nodes_.emplace_back(Leaf{est[i].difference(), est[i].total()});
        }
        return self;
    }
};

std::uint64_t CausalTree::root_key(std::uint64_t seed) noexcept { return mix64(seed ^ 0x243f6a8885a308d3ULL); }

std::uint64_t CausalTree::child_key(std::uint64_t key, bool right) noexcept {
    return mix64(key ^ (right ? 0x13198a2e03707344ULL : 0xa4093822299f31d0ULL));
}

std::vector<std::uint64_t> CausalTree::candidate_features(std::uint64_t p, std::uint64_t node_key) {
    std::vector<std::uint64_t> perm(static_cast<std::size_t>(p));
    std::iota(perm.begin(), perm.end(), std::uint64_t{0});
    Rng rng = Rng::stream(node_key, kFeatureStream);
    rng.shuffle(std::span<std::uint64_t>(perm));
    perm.resize(static_cast<std::size_t>(std::sqrt(static_cast<double>(p))));
    return perm;
}

void CausalTree::honest_halves(std::size_t n, std::uint64_t seed, std::vector<std::uint64_t>& split_rows,
                               std::vector<std::uint64_t>& estimation_rows) {
    const std::vector<std::uint64_t> bits = estimation_bits(n, seed);
    split_rows.clear();
    estimation_rows.clear();
    split_rows.reserve(n / 2);
    estimation_rows.reserve(n - n / 2);
    for (std::size_t r = 0; r < n; ++r) (is_estimation(bits, r) ? estimation_rows : split_rows).push_back(r);
}

namespace {

// Per row the batch keeps a node byte and the bins per tree; groups of trees
// bound that memory to about 30 bytes per row.
template <class Bins>
void grow_in_groups(std::vector<CausalTree>& trees, const MatrixView& features, const VectorView& treatment,
                    const VectorView& outcome, std::uint64_t max_depth, std::uint64_t min_samples_leaf,
                    std::span<const std::uint64_t> seeds) {
    constexpr std::size_t kGroup = 30 / (1 + sizeof(Bins));
    for (std::size_t first = 0; first < seeds.size(); first += kGroup) {
        const auto group = seeds.subspan(first, std::min(kGroup, seeds.size() - first));
        BatchGrower<Bins> grower(features, treatment, outcome, max_depth, min_samples_leaf);
        grower.grow(group);
        const auto est = grower.fill();
        for (std::size_t i = 0; i < group.size(); ++i)
            TreeAssembler::run(trees[first + i], grower.trees()[i].nodes, est[i], min_samples_leaf);
    }
}

// Grows trees[i] from seeds[i] in batches when the shape allows; false if not.
bool grow_batched(std::vector<CausalTree>& trees, const MatrixView& features, const VectorView& treatment,
                  const VectorView& outcome, std::uint64_t max_depth, std::uint64_t min_samples_leaf,
                  std::span<const std::uint64_t> seeds) {
    if (BatchGrower<std::uint16_t>::eligible(features, max_depth)) {
        grow_in_groups<std::uint16_t>(trees, features, treatment, outcome, max_depth, min_samples_leaf, seeds);
        return true;
    }
    if (BatchGrower<std::uint32_t>::eligible(features, max_depth)) {
        grow_in_groups<std::uint32_t>(trees, features, treatment, outcome, max_depth, min_samples_leaf, seeds);
        return true;
    }
    return false;
}

}  // namespace

void CausalTree::fit(const MatrixView& features, const VectorView& treatment, const VectorView& outcome,
                     std::uint64_t max_depth, std::uint64_t min_samples_leaf, std::uint64_t seed) {
    if (feature_importance.size() < features.cols) feature_importance.resize(features.cols, 0.0);
    std::vector<CausalTree> one(1);
    one[0].feature_importance = feature_importance;
    if (grow_batched(one, features, treatment, outcome, max_depth, min_samples_leaf,
                     std::span<const std::uint64_t>(&seed, 1))) {
        *this = std::move(one[0]);
        return;
    }
    auto run = [&](auto index_tag) {
        using Index = decltype(index_tag);
        Grower<Index> grower(features, treatment, outcome, max_depth, min_samples_leaf);
        grower.grow(seed);
        const std::vector<ArmSums> est = grower.fill();
        TreeAssembler::run(*this, grower.nodes(), est, min_samples_leaf);
    };
    // The top index bit carries the arm.
    if (features.rows < (std::size_t{1} << 31)) {
        run(std::uint32_t{});
    } else {
        run(std::uint64_t{});
    }
}

std::vector<CausalTree> CausalTree::fit_batch(const MatrixView& features, const VectorView& treatment,
                                              const VectorView& outcome, std::uint64_t max_depth,
                                              std::uint64_t min_samples_leaf, std::span<const std::uint64_t> seeds) {
    std::vector<CausalTree> trees(seeds.size(), CausalTree(features.cols));
    if (!grow_batched(trees, features, treatment, outcome, max_depth, min_samples_leaf, seeds)) {
        parallel::parallel_for(seeds.size(), [&](std::size_t i) {
            trees[i].fit(features, treatment, outcome, max_depth, min_samples_leaf, seeds[i]);
        });
    }
    return trees;
}

void CausalTree::fit_reference(const MatrixView& features, const VectorView& treatment, const VectorView& outcome,
                               std::uint64_t max_depth, std::uint64_t min_samples_leaf, std::uint64_t seed) {
    if (feature_importance.size() < features.cols) feature_importance.resize(features.cols, 0.0);
    std::vector<std::uint64_t> split_rows, estimation_rows;
    honest_halves(features.rows, seed, split_rows, estimation_rows);
    nodes_.clear();
    build_tree(features, treatment, outcome, split_rows, estimation_rows, 0, max_depth, min_samples_leaf,
               root_key(seed));
    compile();
}

std::uint32_t CausalTree::build_tree(const MatrixView& features, const VectorView& treatment,
                                     const VectorView& outcome, std::span<const std::uint64_t> split_rows,
                                     std::span<const std::uint64_t> estimation_rows, std::uint64_t depth,
                                     std::uint64_t max_depth, std::uint64_t min_samples_leaf,
                                     std::uint64_t node_key) {
    parallel::check_cancel();
    const auto self = static_cast<std::uint32_t>(nodes_.size());
    nodes_.emplace_back(Leaf{});
    if (can_split(depth, max_depth, split_rows.size(), min_samples_leaf) &&
        estimation_rows.size() >= min_samples_leaf) {
        const std::vector<std::uint64_t> cands = candidate_features(features.cols, node_key);
        SplitCandidate best = parallel::parallel_reduce(
            cands.size(), SplitCandidate{},
            [&](std::size_t c) {
                Rng draws = Rng::stream(node_key, 1 + c);
                return find_best_split(features, treatment, outcome, split_rows, cands[c], min_samples_leaf, draws);
            },
            [](SplitCandidate a, SplitCandidate b) { return SplitCandidate::combine(std::move(a), std::move(b)); });
        if (best.split) {
            const SplitCandidate::Rows& s = *best.split;
            feature_importance[s.feature] += best.score;
            std::vector<std::uint64_t> est_left, est_right;
            for (const std::uint64_t r : estimation_rows)
                (features(r, s.feature) <= s.threshold ? est_left : est_right).push_back(r);
            const std::uint32_t left = build_tree(features, treatment, outcome, s.left, est_left, depth + 1,
                                                  max_depth, min_samples_leaf, child_key(node_key, false));
            const std::uint32_t right = build_tree(features, treatment, outcome, s.right, est_right, depth + 1,
                                                   max_depth, min_samples_leaf, child_key(node_key, true));
            nodes_[self] = Split{s.feature, s.threshold, left, right};
            return self;
        }
    }
    nodes_[self] = Leaf{arm_mean_difference(treatment, outcome, estimation_rows), estimation_rows.size()};
    return self;
}

SplitCandidate CausalTree::find_best_split(const MatrixView& features, const VectorView& treatment,
                                           const VectorView& outcome, std::span<const std::uint64_t> split_rows,
                                           std::uint64_t feature, std::uint64_t min_samples_leaf, Rng& draws) {
    SplitCandidate best;
    const std::size_t n = split_rows.size();
    const std::size_t n_draws = std::min<std::size_t>(n, kMaxDraws);
    for (std::size_t j = 0; j < n_draws; ++j) {
        const double theta = features(split_rows[static_cast<std::size_t>(draws.bounded(n))], feature);
        std::vector<std::uint64_t> left, right;
        for (const std::uint64_t r : split_rows) (features(r, feature) <= theta ? left : right).push_back(r);
        if (left.size() < min_samples_leaf || right.size() < min_samples_leaf) continue;
        const double score = split_score(left.size(), right.size(), arm_mean_difference(treatment, outcome, left),
                                         arm_mean_difference(treatment, outcome, right));
        if (score > best.score) {
            best.score = score;
            best.split = SplitCandidate::Rows{feature, theta, std::move(left), std::move(right)};
        }
    }
    return best;
}

double CausalTree::arm_mean_difference(const VectorView& treatment, const VectorView& outcome,
                                       std::span<const std::uint64_t> rows) {
    ArmSums sums;
    for (const std::uint64_t r : rows) sums.add(treated(treatment[r]), outcome[r]);
    return sums.difference();
}

std::vector<double> CausalTree::predict(const MatrixView& features) const {
    std::vector<double> out(features.rows, 0.0);
    if (!fitted()) return out;
    for (std::size_t r = 0; r < features.rows; ++r) out[r] = effect_of(features.row_ptr(r), features.col_stride);
    return out;
}

void CausalTree::add_effects(const std::byte* const* rows, std::size_t count, std::ptrdiff_t col_stride,
                             double* sums) const noexcept {
    if (walk_.empty()) {
        for (std::size_t j = 0; j < count; ++j) sums[j] += 0.0;
        return;
    }
    const Step* steps = walk_.data();
    auto hop = [steps, col_stride](std::uint32_t i, const std::byte* row) {
        const Step& s = steps[i];
        const double x = load_double(row + static_cast<std::ptrdiff_t>(s.feature) * col_stride);
        return s.child[!(x <= s.threshold)];
    };
    std::size_t j = 0;
    for (; j + 4 <= count; j += 4) {
        std::uint32_t a = 0, b = 0, c = 0, d = 0;
        for (std::uint32_t level = 0; level < levels_; ++level) {
            a = hop(a, rows[j]);
            b = hop(b, rows[j + 1]);
            c = hop(c, rows[j + 2]);
            d = hop(d, rows[j + 3]);
        }
        sums[j] += value_[a];
        sums[j + 1] += value_[b];
        sums[j + 2] += value_[c];
        sums[j + 3] += value_[d];
    }
    for (; j < count; ++j) {
        std::uint32_t a = 0;
        for (std::uint32_t level = 0; level < levels_; ++level) a = hop(a, rows[j]);
        sums[j] += value_[a];
    }
}

Result<CausalTree> CausalTree::from_nodes(std::vector<Node> nodes, std::vector<double> importance) {
    auto refuse = [](std::size_t i, const std::string& why) {
        return QuorvantisError::internal("node " + std::to_string(i) + ": " + why);
    };
    for (std::size_t f = 0; f < importance.size(); ++f)
        if (!(importance[f] >= 0.0))
            return QuorvantisError::internal("importance of feature " + std::to_string(f) + " is not >= 0");
    const std::size_t n = nodes.size();
    if (n > std::numeric_limits<std::uint32_t>::max()) return QuorvantisError::internal("too many nodes");
    // end[i] is one past the last node of i's subtree. Walking backwards, both
    // children are settled before their parent, so each subtree is checked to
    // be the contiguous pre-order run after its root: no cycles, no sharing.
    std::vector<std::uint64_t> end(n, 0);
    for (std::size_t i = n; i-- > 0;) {
        if (const auto* s = std::get_if<Split>(&nodes[i])) {
            if (s->feature >= importance.size())
                return refuse(i, "split feature " + std::to_string(s->feature) + " out of range");
            if (!std::isfinite(s->threshold)) return refuse(i, "threshold is not finite");
            if (s->left != i + 1 || s->left >= n) return refuse(i, "left child is not the next node");
            if (s->right != end[s->left] || s->right >= n)
                return refuse(i, "right child does not follow the left subtree");
            end[i] = end[s->right];
        } else {
            end[i] = i + 1;
        }
    }
    if (n > 0 && end[0] != n) return QuorvantisError::internal("nodes after the end of the tree");
    CausalTree tree;
    tree.feature_importance = std::move(importance);
    tree.nodes_ = std::move(nodes);
    tree.compile();
    return tree;
}

void CausalTree::compile() {
    walk_.assign(nodes_.size(), Step{});
    value_.assign(nodes_.size(), 0.0);
    std::vector<std::uint32_t> depth(nodes_.size(), 0);
    levels_ = 0;
    // Pre-order: a parent's depth is known before its children are reached.
    for (std::uint32_t i = 0; i < nodes_.size(); ++i) {
        if (const auto* s = std::get_if<Split>(&nodes_[i])) {
            walk_[i] = Step{s->threshold, s->feature, {s->left, s->right}};
            depth[s->left] = depth[s->right] = depth[i] + 1;
        } else {
            walk_[i] = Step{0.0, 0, {i, i}};
            value_[i] = std::get<Leaf>(nodes_[i]).effect;
            levels_ = std::max(levels_, depth[i]);
        }
    }
}

}  // namespace quorvantis

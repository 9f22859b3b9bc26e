#include "quorvantis/engine/forest/predictor.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "quorvantis/base/cpu_features.hpp"
#include "quorvantis/base/parallel.hpp"
#include "quorvantis/engine/sampling/row_sampler.hpp"

namespace quorvantis::engine {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint32_t kNone = ~std::uint32_t{0};

// Rows per block: the unit of parallel work and of a block's row lists. Fewer
// rows than kBlockRows per worker go in smaller blocks, else a training set of
// a few thousand rows is one block and its out-of-bag pass runs on one thread.
constexpr std::size_t kBlockRows = 4096;
constexpr std::size_t kMinBlockRows = 256;
constexpr std::size_t kBlocksPerWorker = 4;
// Trees are walked in runs of about this many bytes, each run by every row
// block before the next: a run stays in a core's own cache (half of a 1 MiB
// L2, beside the block's codes) while the rows pass through it, where a pass
// of all trees per block would fetch every tree from memory once per block,
// one dependent miss per step. Runs of 8 MiB, held only in the shared L3,
// walked 100K rows x 500 trees of 25K-row splitting halves in 3.2 s on one
// thread; runs of 512 KiB in 1.8 s.
constexpr std::size_t kRunBytes = std::size_t{512} << 10;
// Trees small enough for the next one to be asked for during a walk.
constexpr std::size_t kPrefetchBytes = std::size_t{256} << 10;
// Leaf ids kept for the variance pass, per row chunk: at least this, or half
// the trees' own size. Every chunk walks the whole forest again, so for
// forests larger than the caches, small chunks fetch every tree from memory
// many times: 2000 trees grown on 1M rows (about 4 GB) took 19 s for 100K rows
// in chunks of 8K rows (64 MiB). Trees of about 1 MiB (1M rows, default
// settings) hold 4 bytes for each of 128K rows in half their size, so such
// forests take 100K rows in one chunk.
constexpr std::size_t kLeafIdBytes = std::size_t{256} << 20;

// Tree ranges [runs[k], runs[k + 1]) of whole groups of `group` trees.
template <class Tree>
std::vector<std::size_t> tree_runs(const std::vector<Tree>& trees, std::size_t used, std::size_t group) {
    std::vector<std::size_t> runs{0};
    std::size_t bytes = 0;
    for (std::size_t first = 0; first < used; first += group) {
        std::size_t b = 0;
        for (std::size_t j = 0; j < group; ++j) b += trees[first + j].bytes();
        if (bytes > 0 && bytes + b > kRunBytes) {
            runs.push_back(first);
            bytes = 0;
        }
        bytes += b;
    }
    if (runs.back() != used) runs.push_back(used);
    return runs;
}

// Scratch of a block's walks: row pointers, the rows' offsets from the
// block's first row, their block-relative indices, the leaves found, and
// the vector walk's own.
// offset and row_of hold 16 entries more for out_of_bag_wide's whole-vector stores.
struct WalkScratch {
    std::vector<const std::uint8_t*> rows;
    std::vector<std::uint32_t> offset, row_of, found, wide, held;
    WalkScratch(std::size_t len, std::size_t cols)
        : rows(len),
          offset(len + 16),
          row_of(len + 16),
          found(len),
          wide(ForestTree<CausalLeaf>::wide_scratch(len, cols)) {}
};

#ifdef QUORVANTIS_WIDE_WALK
// The rows of [lo, lo + len) whose bit is clear, sixteen to a vector: their
// block-relative indices in row_of and code offsets (cols apart) in offset,
// each written 16 entries at a time. Returns how many.
__attribute__((target("avx512f,popcnt"))) std::size_t out_of_bag_wide(const std::uint64_t* bits, std::size_t lo,
                                                                      std::size_t len, std::uint32_t cols,
                                                                      std::uint32_t* row_of,
                                                                      std::uint32_t* offset) noexcept {
    const __m512i iota = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m512i sixteen = _mm512_set1_epi32(16), stride = _mm512_set1_epi32(static_cast<int>(16 * cols));
    __m512i at = iota, off = _mm512_mullo_epi32(iota, _mm512_set1_epi32(static_cast<int>(cols)));
    std::size_t k = 0;
    for (std::size_t i = 0; i < len; i += 16) {
        const std::size_t r = lo + i, q = r >> 6, s = r & 63;
        std::uint64_t word = bits[q] >> s;
        // The next word only when the row range reaches into it.
        if (s > 48 && (q + 1) * 64 < lo + len) word |= bits[q + 1] << (64 - s);
        auto out = static_cast<__mmask16>(~word);
        if (len - i < 16) out &= static_cast<__mmask16>((1u << (len - i)) - 1);
        _mm512_storeu_si512(row_of + k, _mm512_maskz_compress_epi32(out, at));
        _mm512_storeu_si512(offset + k, _mm512_maskz_compress_epi32(out, off));
        k += static_cast<std::size_t>(__builtin_popcount(out));
        at = _mm512_add_epi32(at, sixteen);
        off = _mm512_add_epi32(off, stride);
    }
    return k;
}
#endif

// For rows [lo, lo + len) and trees [t0, t1): `visit(b, k, row_of, found)`
// for each tree b in order, with the k rows it walked (out of bag when
// `in_bag` is given): row_of[q] block-relative, found[q] its leaf.
template <class Tree, class Visit>
void walk_block(const std::vector<Tree>& trees, std::size_t t0, std::size_t t1, const CodedRows& x, std::size_t lo,
                std::size_t len, const InBag* in_bag, WalkScratch& w, Visit&& visit) {
    const auto cols = static_cast<std::uint32_t>(x.cols);
    // The vector walk reads three bytes past a row's codes: rows lo + i with
    // i < wide_rows leave them inside the matrix, the last few go the scalar
    // way. Offsets stay below 2^28 (blocks of 4096 rows, features below 2^16).
    std::size_t wide_rows = 0;
#ifdef QUORVANTIS_WIDE_WALK
    const bool wide_bits = cpu::features().avx512f;
    const std::size_t tail = (x.cols + 2) / std::max<std::size_t>(x.cols, 1);
    if (Tree::wide_walks() && x.cols > 0 && x.cols <= (std::size_t{1} << 16) && x.rows > lo + tail)
        wide_rows = x.rows - tail - lo;
#endif
    if (in_bag == nullptr)
        for (std::size_t i = 0; i < len; ++i) {
            w.rows[i] = x.row(lo + i);
            w.row_of[i] = static_cast<std::uint32_t>(i);
            w.offset[i] = static_cast<std::uint32_t>(i) * cols;
        }
#ifdef QUORVANTIS_WIDE_WALK
    // New rows are the same for every tree: their words are gathered once.
    const std::size_t held_words = Tree::held_words(x.cols);
    const bool hold = in_bag == nullptr && held_words > 0 && wide_rows > 0;
    if (hold) {
        w.held.resize(held_words * len);
        Tree::hold_words(x.row(lo), w.offset.data(), std::min(len, wide_rows), held_words, w.held.data(), len);
    }
#endif
    for (std::size_t b = t0; b < t1; ++b) {
        std::size_t k = len;
        if (in_bag != nullptr) {
            // About half the rows are out of bag: a branch on each bit would
            // miss every other row.
            const std::uint64_t* bits = (*in_bag)[b]->data();
            k = 0;
#ifdef QUORVANTIS_WIDE_WALK
            if (wide_bits)
                k = out_of_bag_wide(bits, lo, len, cols, w.row_of.data(), w.offset.data());
            else
#endif
                for (std::size_t i = 0; i < len; ++i) {
                    const std::size_t r = lo + i;
                    w.rows[k] = x.row(r);
                    w.offset[k] = static_cast<std::uint32_t>(i) * cols;
                    w.row_of[k] = static_cast<std::uint32_t>(i);
                    k += ((bits[r >> 6] >> (r & 63)) & 1) ^ 1;
                }
        }
        if (b + 1 < t1 && trees[b + 1].bytes() <= kPrefetchBytes) trees[b + 1].prefetch();
        std::size_t done = 0;
#ifdef QUORVANTIS_WIDE_WALK
        if (wide_rows > 0 && trees[b].left.empty()) {
            done = static_cast<std::size_t>(
                std::lower_bound(w.row_of.begin(), w.row_of.begin() + static_cast<std::ptrdiff_t>(k), wide_rows) -
                w.row_of.begin());
            trees[b].leaves_wide(x.row(lo), w.offset.data(), done, w.found.data(), w.wide.data(), x.cols,
                                 hold ? w.held.data() : nullptr, len);
        }
        // out_of_bag_wide leaves the row pointers to the rows walked here.
        if (in_bag != nullptr && wide_bits)
            for (std::size_t q = done; q < k; ++q) w.rows[q] = x.row(lo + w.row_of[q]);
#endif
        trees[b].leaves_of(w.rows.data() + done, k - done, w.found.data() + done);
        visit(b, k, w.row_of.data(), w.found.data());
    }
}

// `f(i, leaf)` for each of the k rows a tree answers for (its leaf holds rows).
template <class Leaf, class F>
void each_answer(const std::vector<Leaf>& leaves, std::size_t k, const std::uint32_t* row_of,
                 const std::uint32_t* found, F&& f) {
    for (std::size_t q = 0; q < k; ++q)
        if (leaves[found[q]].n != 0.0) f(row_of[q], found[q]);
}

#ifdef QUORVANTIS_WIDE_WALK
// The sums read the leaves of rows this far ahead: the leaves of a tree grown
// on many rows do not stay in a core's cache beside its walk table, and a
// row's leaf is known long before its turn.
constexpr std::size_t kAhead = 64;

// Asks for both lines a leaf may span.
inline void fetch_leaf(const CausalLeaf* leaf) noexcept {
    const char* p = reinterpret_cast<const char*>(leaf);
    __builtin_prefetch(p, 0, 3);
    __builtin_prefetch(p + sizeof(CausalLeaf) - 1, 0, 3);
}
// each_answer's sums for rows 0 .. k - 1 of one tree: a leaf's W~, Y~, W~Y~
// and W~^2 lie side by side as a row's sums do (sums[4 q + j]), so a row
// adds them with one load of the leaf, where gathering them took five
// gathers for every eight rows. `ids`, when given, takes each answering row's
// leaf.
__attribute__((target("avx2"))) void add_leaves_wide(const CausalLeaf* leaves, std::size_t k,
                                                     const std::uint32_t* found, double* sums, double* used,
                                                     std::uint32_t* ids) noexcept {
    static_assert(sizeof(CausalLeaf) == 40 && offsetof(CausalLeaf, n) == 0 && offsetof(CausalLeaf, w) == 8 &&
                  offsetof(CausalLeaf, y) == 16 && offsetof(CausalLeaf, wy) == 24 && offsetof(CausalLeaf, ww) == 32);
    for (std::size_t q = 0; q < k; ++q) {
        if (q + kAhead < k) fetch_leaf(leaves + found[q + kAhead]);
        const CausalLeaf& l = leaves[found[q]];
        if (l.n == 0.0) continue;
        double* s = sums + 4 * q;
        _mm256_storeu_pd(s, _mm256_add_pd(_mm256_loadu_pd(s), _mm256_loadu_pd(&l.w)));
        used[q] += 1.0;
        if (ids != nullptr) ids[q] = found[q];
    }
}

// The variance pass over one group of g trees for rows 0 .. count - 1 (all
// pointers block-relative), eight rows to a vector, with the scalar pass's
// operations in its order; total[k] and grouped[k] hold moment k of every
// row. Returns the rows done; the rest (fewer than eight) are the caller's.
// No fused multiply-adds: they would round differently from the scalar pass.
__attribute__((target("avx512f,avx512vl"), optimize("fp-contract=off"))) std::size_t group_moments_wide(
    const CausalLeaf* const* leaves, const std::uint32_t* const* ids, std::size_t g, std::size_t count,
    const double* tau, const double* mu, double* const* total, double* const* grouped, double* good) noexcept {
    const __m512d zero = _mm512_setzero_pd(), one = _mm512_set1_pd(1.0);
    const __m512d size = _mm512_set1_pd(static_cast<double>(g));
    const __m256i none = _mm256_set1_epi32(-1), five = _mm256_set1_epi32(5);
    auto add = [&](double* p, __mmask8 m, __m512d v)
                   __attribute__((always_inline, target("avx512f,avx512vl"), optimize("fp-contract=off"))) {
                       const __m512d s = _mm512_loadu_pd(p);
                       _mm512_storeu_pd(p, _mm512_mask_add_pd(s, m, s, v));
                   };
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        __mmask8 all = 0xff;
        for (std::size_t j = 0; j < g; ++j)
            all &= _mm256_cmpneq_epi32_mask(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(ids[j] + i)), none);
        if (i + kAhead + 8 <= count)
            for (std::size_t j = 0; j < g; ++j)
                for (std::size_t a = i + kAhead; a < i + kAhead + 8; ++a)
                    if (ids[j][a] != kNone) fetch_leaf(leaves[j] + ids[j][a]);
        if (all == 0) continue;
        const __m512d tr = _mm512_loadu_pd(tau + i), mr = _mm512_loadu_pd(mu + i);
        __m512d t0 = _mm512_loadu_pd(total[0] + i), t1 = _mm512_loadu_pd(total[1] + i),
                t2 = _mm512_loadu_pd(total[2] + i), mean0 = zero, mean1 = zero;
        for (std::size_t j = 0; j < g; ++j) {
            const __m256i at =
                _mm256_mullo_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(ids[j] + i)), five);
            const double* f = &leaves[j][0].n;
            const __m512d w = _mm512_mask_i32gather_pd(zero, all, at, f + 1, 8);
            const __m512d y = _mm512_mask_i32gather_pd(zero, all, at, f + 2, 8);
            const __m512d wy = _mm512_mask_i32gather_pd(zero, all, at, f + 3, 8);
            const __m512d ww = _mm512_mask_i32gather_pd(zero, all, at, f + 4, 8);
            const __m512d p0 = _mm512_sub_pd(_mm512_sub_pd(wy, _mm512_mul_pd(tr, ww)), _mm512_mul_pd(mr, w));
            const __m512d p1 = _mm512_sub_pd(_mm512_sub_pd(y, _mm512_mul_pd(tr, w)), mr);
            t0 = _mm512_add_pd(t0, _mm512_mul_pd(p0, p0));
            t1 = _mm512_add_pd(t1, _mm512_mul_pd(p0, p1));
            t2 = _mm512_add_pd(t2, _mm512_mul_pd(p1, p1));
            mean0 = _mm512_add_pd(mean0, p0);
            mean1 = _mm512_add_pd(mean1, p1);
        }
        _mm512_mask_storeu_pd(total[0] + i, all, t0);
        _mm512_mask_storeu_pd(total[1] + i, all, t1);
        _mm512_mask_storeu_pd(total[2] + i, all, t2);
        const __m512d m0 = _mm512_div_pd(mean0, size), m1 = _mm512_div_pd(mean1, size);
        add(grouped[0] + i, all, _mm512_mul_pd(m0, m0));
        add(grouped[1] + i, all, _mm512_mul_pd(m0, m1));
        add(grouped[2] + i, all, _mm512_mul_pd(m1, m1));
        add(good + i, all, one);
    }
    return i;
}
#endif

// Every row block of [lo, hi) in parallel, given its start and length.
// A row's sums do not depend on the block it falls in, so neither do the results.
template <class F>
void for_blocks(std::size_t lo, std::size_t hi, F&& f) {
    const std::size_t want = kBlocksPerWorker * parallel::job_threads();
    const std::size_t even = ((hi - lo + want - 1) / want + 63) / 64 * 64;
    const std::size_t rows = std::clamp(even, kMinBlockRows, kBlockRows);
    const std::size_t blocks = (hi - lo + rows - 1) / rows;
    parallel::parallel_for(blocks, [&](std::size_t blk) {
        parallel::checkpoint();
        const std::size_t start = lo + blk * rows;
        f(start, std::min(rows, hi - start));
    });
}

}  // namespace

double objective_bayes_variance(double estimate, double se) noexcept {
    if (!(se > 0.0)) return std::max(estimate, 0.0);
    const double r = estimate / se;
    // estimate + se phi(r)/Phi(r). Far left the two terms nearly cancel, so
    // r + phi(r)/Phi(r) comes directly from the continued fraction of the
    // normal tail, 1 / (x + 2 / (x + 3 / (x + ...))) at x = -r.
    if (r > -8.0) {
        const double phi = std::exp(-0.5 * r * r) / std::sqrt(2.0 * M_PI);
        const double cdf = 0.5 * std::erfc(-r / std::sqrt(2.0));
        return estimate + se * phi / cdf;
    }
    const double x = -r;
    double tail = x;
    for (int k = 60; k >= 2; --k) tail = x + k / tail;
    return se / tail;
}

CausalPrediction predict_causal(const std::vector<ForestTree<CausalLeaf>>& trees, std::size_t group_size,
                                const CodedRows& x, bool variance, const InBag* in_bag, std::size_t chunk_rows) {
    const std::size_t n = x.rows, g = std::max<std::size_t>(1, group_size);
    const std::size_t used_trees = trees.size() / g * g;
    CausalPrediction out;
    out.tau.assign(n, kNaN);
    if (variance) out.variance.assign(n, kNaN);
    variance = variance && g >= 2;
    if (n == 0 || used_trees == 0) return out;
    const std::vector<std::size_t> runs = tree_runs(trees, used_trees, g);
    // The variance pass needs every row's leaf in every tree: rows go in
    // chunks whose leaf ids fit the budget.
    std::size_t tree_bytes = 0;
    for (std::size_t b = 0; b < used_trees; ++b) tree_bytes += trees[b].bytes();
    const std::size_t budget = std::max(kBlockRows, std::max(kLeafIdBytes, tree_bytes / 2) / (4 * used_trees));
    const std::size_t chunk = variance ? std::min(n, chunk_rows > 0 ? chunk_rows : budget) : n;
    std::vector<std::uint32_t> leaf;
    // sums[4 * i + j]: row i's sum of the leaves' W~, Y~, W~Y~, W~^2 (j = 0 .. 3).
    std::vector<double> sums, used, mu;
#ifdef QUORVANTIS_WIDE_WALK
    const bool wide_sums = cpu::features().avx512f && cpu::features().avx512vl;
#endif
    for (std::size_t c0 = 0; c0 < n; c0 += chunk) {
        const std::size_t c1 = std::min(n, c0 + chunk), len = c1 - c0;
        // The leaf of every row in every tree, kNone where the tree has no
        // answer (the row is in its bag, or its leaf is empty).
        if (variance) leaf.assign(used_trees * len, kNone);
        sums.assign(4 * len, 0.0);
        used.assign(len, 0.0);
        for (std::size_t r = 0; r + 1 < runs.size(); ++r)
            for_blocks(c0, c1, [&](std::size_t lo, std::size_t count) {
                WalkScratch scratch(count, x.cols);
                const std::size_t base = lo - c0;
                walk_block(trees, runs[r], runs[r + 1], x, lo, count, in_bag, scratch,
                           [&](std::size_t b, std::size_t k, const std::uint32_t* row_of, const std::uint32_t* found) {
                               const std::vector<CausalLeaf>& leaves = trees[b].leaves;
#ifdef QUORVANTIS_WIDE_WALK
                               // New rows: every row of the block, in order.
                               if (in_bag == nullptr && wide_sums) {
                                   add_leaves_wide(leaves.data(), k, found, sums.data() + 4 * base, used.data() + base,
                                                   variance ? leaf.data() + b * len + base : nullptr);
                                   return;
                               }
#endif
                               each_answer(leaves, k, row_of, found, [&](std::uint32_t i, std::uint32_t id) {
                                   const CausalLeaf& l = leaves[id];
                                   const std::size_t row = base + i;
                                   if (variance) leaf[b * len + row] = id;
                                   double* s = sums.data() + 4 * row;
                                   s[0] += l.w;
                                   s[1] += l.y;
                                   s[2] += l.wy;
                                   s[3] += l.ww;
                                   used[row] += 1.0;
                               });
                           });
            });
        mu.assign(len, kNaN);
        double* tau = out.tau.data() + c0;
        for (std::size_t i = 0; i < len; ++i) {
            if (used[i] == 0.0) continue;
            const double* s = sums.data() + 4 * i;
            const double e_w = s[0] / used[i], e_y = s[1] / used[i], e_wy = s[2] / used[i], e_ww = s[3] / used[i];
            tau[i] = (e_wy - e_w * e_y) / (e_ww - e_w * e_w);
            mu[i] = e_y - tau[i] * e_w;
        }
        if (!variance) continue;
        // Per good group and tree, psi = (W~Y~ - tau W~^2 - mu W~, Y~ - tau W~ - mu)
        // at the row's own tau and mu: second moments of the trees' psi and of
        // the groups' mean psi, a run at a time so that its leaves serve every
        // block, and a row at a time within a group so that its sums stay in
        // registers (each row adds its terms in tree order either way).
        // total[k * len + i], grouped[k * len + i]: row i's moment k.
        std::vector<double> total(3 * len, 0.0), grouped(3 * len, 0.0), good(len, 0.0);
        for (std::size_t r = 0; r + 1 < runs.size(); ++r)
            for_blocks(c0, c1, [&](std::size_t lo, std::size_t count) {
                const std::size_t base = lo - c0;
                std::vector<const CausalLeaf*> leaves(g);
                std::vector<const std::uint32_t*> ids(g);
                for (std::size_t first = runs[r]; first < runs[r + 1]; first += g) {
                    for (std::size_t j = 0; j < g; ++j) {
                        leaves[j] = trees[first + j].leaves.data();
                        ids[j] = leaf.data() + (first + j) * len + base;
                    }
                    std::size_t i = 0;
#ifdef QUORVANTIS_WIDE_WALK
                    if (wide_sums) {
                        double* const t[3] = {total.data() + base, total.data() + len + base,
                                              total.data() + 2 * len + base};
                        double* const gr[3] = {grouped.data() + base, grouped.data() + len + base,
                                               grouped.data() + 2 * len + base};
                        i = group_moments_wide(leaves.data(), ids.data(), g, count, tau + base, mu.data() + base, t, gr,
                                               good.data() + base);
                    }
#endif
                    for (; i < count; ++i) {
                        bool all = true;
                        for (std::size_t j = 0; j < g; ++j) all &= ids[j][i] != kNone;
                        if (!all) continue;
                        const std::size_t row = base + i;
                        const double tr = tau[row], mr = mu[row];
                        double* t = total.data() + row;
                        double t0 = t[0], t1 = t[len], t2 = t[2 * len], mean0 = 0.0, mean1 = 0.0;
                        for (std::size_t j = 0; j < g; ++j) {
                            const CausalLeaf& l = leaves[j][ids[j][i]];
                            const double p0 = l.wy - tr * l.ww - mr * l.w;
                            const double p1 = l.y - tr * l.w - mr;
                            t0 += p0 * p0;
                            t1 += p0 * p1;
                            t2 += p1 * p1;
                            mean0 += p0;
                            mean1 += p1;
                        }
                        t[0] = t0;
                        t[len] = t1;
                        t[2 * len] = t2;
                        const double m0 = mean0 / static_cast<double>(g);
                        const double m1 = mean1 / static_cast<double>(g);
                        double* gr = grouped.data() + row;
                        gr[0] += m0 * m0;
                        gr[len] += m0 * m1;
                        gr[2 * len] += m1 * m1;
                        good[row] += 1.0;
                    }
                }
            });
        for (std::size_t i = 0; i < len; ++i) {
            if (good[i] < 1.0) continue;
            const double* s = sums.data() + 4 * i;
            const double e_w = s[0] / used[i], e_y = s[1] / used[i], e_wy = s[2] / used[i], e_ww = s[3] / used[i];
            const double denom = e_ww - e_w * e_w;
            // psi at the forest's own averages, subtracted from both moments.
            const double c_0 = e_wy - tau[i] * e_ww - mu[i] * e_w, c_1 = e_y - tau[i] * e_w - mu[i];
            const double j0 = 1.0 / denom, j1 = -e_w / denom;
            auto quad = [&](const double* m, double count) {
                const double a00 = m[0] / count - c_0 * c_0, a01 = m[len] / count - c_0 * c_1,
                             a11 = m[2 * len] / count - c_1 * c_1;
                return j0 * j0 * a00 + 2.0 * j0 * j1 * a01 + j1 * j1 * a11;
            };
            const double var_total = quad(total.data() + i, good[i] * static_cast<double>(g));
            const double var_between = quad(grouped.data() + i, good[i]);
            const double noise = (var_total - var_between) / static_cast<double>(g - 1);
            const double se = std::max(var_between, noise) * std::sqrt(2.0 / good[i]);
            out.variance[c0 + i] = objective_bayes_variance(var_between - noise, se);
        }
    }
    return out;
}

std::vector<double> predict_regression(const std::vector<ForestTree<RegressionLeaf>>& trees, const CodedRows& x,
                                       const InBag* in_bag) {
    const std::size_t n = x.rows;
    if (in_bag != nullptr) {
        RegressionOob oob(n);
        oob.add(trees, *in_bag, x);
        return oob.finish();
    }
    std::vector<double> out(n, kNaN);
    if (n == 0 || trees.empty()) return out;
    std::vector<double> sum(n, 0.0), used(n, 0.0);
    const std::vector<std::size_t> runs = tree_runs(trees, trees.size(), 1);
    for (std::size_t r = 0; r + 1 < runs.size(); ++r)
        for_blocks(0, n, [&](std::size_t lo, std::size_t count) {
            WalkScratch scratch(count, x.cols);
            walk_block(trees, runs[r], runs[r + 1], x, lo, count, nullptr, scratch,
                       [&](std::size_t b, std::size_t k, const std::uint32_t* row_of, const std::uint32_t* found) {
                           each_answer(trees[b].leaves, k, row_of, found, [&](std::uint32_t i, std::uint32_t id) {
                               sum[lo + i] += trees[b].leaves[id].y;
                               used[lo + i] += 1.0;
                           });
                       });
        });
    for (std::size_t i = 0; i < n; ++i)
        if (used[i] > 0.0) out[i] = sum[i] / used[i];
    return out;
}

RegressionOob::RegressionOob(std::size_t rows)
    : sum_(rows, 0.0), used_(rows, 0.0), waiting_(rows, 1), all_sum_(rows, 0.0), all_used_(rows, 0.0) {}

void RegressionOob::add(const std::vector<ForestTree<RegressionLeaf>>& trees, const InBag& in_bag, const CodedRows& x) {
    const std::size_t n = sum_.size();
    if (x.rows != n || in_bag.size() != trees.size())
        throw std::logic_error("out-of-bag sums given other rows or trees than their bits");
    if (n == 0 || trees.empty()) return;
    const std::vector<std::size_t> runs = tree_runs(trees, trees.size(), 1);
    for (std::size_t r = 0; r + 1 < runs.size(); ++r)
        for_blocks(0, n, [&](std::size_t lo, std::size_t count) {
            WalkScratch scratch(count, x.cols);
            walk_block(trees, runs[r], runs[r + 1], x, lo, count, &in_bag, scratch,
                       [&](std::size_t b, std::size_t k, const std::uint32_t* row_of, const std::uint32_t* found) {
                           each_answer(trees[b].leaves, k, row_of, found, [&](std::uint32_t i, std::uint32_t id) {
                               sum_[lo + i] += trees[b].leaves[id].y;
                               used_[lo + i] += 1.0;
                           });
                       });
            // The waiting rows, in bag or not, through every tree until one
            // answers them out of bag: about five trees' worth of rows in all.
            std::vector<const std::uint8_t*>& rows = scratch.rows;
            std::vector<std::uint32_t>&row_of = scratch.row_of, &found = scratch.found;
            std::size_t k = 0;
            for (std::size_t i = 0; i < count; ++i)
                if (waiting_[lo + i] != 0) {
                    rows[k] = x.row(lo + i);
                    row_of[k++] = static_cast<std::uint32_t>(lo + i);
                }
            for (std::size_t b = runs[r]; b < runs[r + 1] && k > 0; ++b) {
                trees[b].leaves_of(rows.data(), k, found.data());
                std::size_t kept = 0;
                for (std::size_t q = 0; q < k; ++q) {
                    const RegressionLeaf& l = trees[b].leaves[found[q]];
                    const std::uint32_t row = row_of[q];
                    if (l.n != 0.0) {
                        all_sum_[row] += l.y;
                        all_used_[row] += 1.0;
                        if (!bit(*in_bag[b], row)) {
                            waiting_[row] = 0;
                            continue;
                        }
                    }
                    rows[kept] = rows[q];
                    row_of[kept++] = row;
                }
                k = kept;
            }
        });
}

void RegressionOob::write(ByteWriter& w) const {
    w.u64(sum_.size());
    w.f64s(sum_);
    w.f64s(used_);
    w.bytes(waiting_.data(), waiting_.size());
    w.f64s(all_sum_);
    w.f64s(all_used_);
}

bool RegressionOob::read(ByteReader& r) {
    const std::uint64_t n = r.u64();
    if (r.failed || n > r.remaining() / 33) return false;
    const auto rows = static_cast<std::size_t>(n);
    sum_.resize(rows);
    used_.resize(rows);
    waiting_.resize(rows);
    all_sum_.resize(rows);
    all_used_.resize(rows);
    if (!r.f64s(sum_) || !r.f64s(used_) || !r.bytes(waiting_.data(), rows) || !r.f64s(all_sum_) || !r.f64s(all_used_))
        return false;
    // Counts are whole and not negative, and a row stops waiting only once answered.
    for (std::size_t i = 0; i < rows; ++i)
        if (!(used_[i] >= 0.0 && all_used_[i] >= 0.0 && used_[i] == std::floor(used_[i]) &&
              all_used_[i] == std::floor(all_used_[i])) ||
            waiting_[i] > 1 || (waiting_[i] == 0 && all_used_[i] == 0.0))
            return false;
    return true;
}

std::vector<double> RegressionOob::finish() const {
    std::vector<double> out(sum_.size(), kNaN);
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (used_[i] > 0.0)
            out[i] = sum_[i] / used_[i];
        else if (all_used_[i] > 0.0)
            out[i] = all_sum_[i] / all_used_[i];
    }
    return out;
}

}  // namespace quorvantis::engine

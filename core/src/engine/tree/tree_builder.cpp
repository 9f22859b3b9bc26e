#include "quorvantis/engine/tree/tree_builder.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "quorvantis/base/parallel.hpp"
#include "quorvantis/engine/tree/histogram_rows.hpp"

namespace quorvantis::engine {
namespace {

// Below this many rows a node sorts its rows by code instead of filling a
// histogram of every code.
constexpr std::size_t kDenseRows = 256;
// Scans of at most this many thresholds count the ends where a side lacks
// rows instead of walking in from them.
constexpr std::size_t kCountedWindow = 64;
// Nodes at least this large look for a stop request first. Each poll of the
// caller waits for every task to reach one: with trees of a few thousand rows
// checked only at their start, a poll waited about half a millisecond.
constexpr std::size_t kCheckRows = 256;
// A tree copies its split rows' codes when they take at most this much.
constexpr std::size_t kLocalCodeBytes = std::size_t{64} << 20;

// Copies one row of n codes (rows never overlap): fixed-size moves instead
// of a call per row, which costs more than the copy for a few dozen bytes.
inline void copy_codes(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) noexcept {
    if (n >= 16) {
        for (std::size_t k = 0; k + 16 < n; k += 16) std::memcpy(dst + k, src + k, 16);
        std::memcpy(dst + n - 16, src + n - 16, 16);
    } else if (n >= 8) {
        std::memcpy(dst, src, 8);
        std::memcpy(dst + n - 8, src + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(dst, src, 4);
        std::memcpy(dst + n - 4, src + n - 4, 4);
    } else {
        for (std::size_t k = 0; k < n; ++k) dst[k] = src[k];
    }
}

// The prefix sums over a feature's present codes, one per threshold, into
// columns pre[k][i]: one running sum, so the same additions in the same
// order wherever a window ends. Two thresholds a step, their moments swapped
// into the columns pairwise, halve the stores. A mutable table (a small
// node's) is zeroed as it is read, ready for the next feature.
template <std::size_t K, class Table>
struct PrefixRun {
    static constexpr std::size_t H = K / 2;
    const std::uint8_t* present;
    Table table;
    double (*pre)[256];
    std::size_t at;  // the column of threshold 0
    __m128d acc[H];

    PrefixRun(const std::uint8_t* p, Table t, double (*out)[256], std::size_t column = 0) noexcept
        : present(p), table(t), pre(out), at(column) {
        for (std::size_t h = 0; h < H; ++h) acc[h] = _mm_setzero_pd();
    }
    void clear(std::size_t i) noexcept {
        if constexpr (!std::is_const_v<std::remove_pointer_t<Table>>) table[present[i]] = Moments<K>{};
    }
    void pair(std::size_t i) noexcept {
        const double* e0 = table[present[i]].v;
        const double* e1 = table[present[i + 1]].v;
        __m128d a[H], b[H];
        for (std::size_t h = 0; h < H; ++h) {
            a[h] = _mm_add_pd(acc[h], _mm_load_pd(e0 + 2 * h));
            b[h] = _mm_add_pd(a[h], _mm_load_pd(e1 + 2 * h));
            acc[h] = b[h];
        }
        clear(i);
        clear(i + 1);
        for (std::size_t h = 0; h < H; ++h) {
            _mm_storeu_pd(pre[2 * h] + at + i, _mm_unpacklo_pd(a[h], b[h]));
            _mm_storeu_pd(pre[2 * h + 1] + at + i, _mm_unpackhi_pd(a[h], b[h]));
        }
    }
    // Thresholds [from, to).
    void run(std::size_t from, std::size_t to) noexcept {
        std::size_t i = from;
        for (; i + 2 <= to; i += 2) pair(i);
        for (; i < to; ++i) {
            const double* e = table[present[i]].v;
            for (std::size_t h = 0; h < H; ++h) {
                acc[h] = _mm_add_pd(acc[h], _mm_load_pd(e + 2 * h));
                _mm_store_sd(pre[2 * h] + at + i, acc[h]);
                _mm_storeh_pd(pre[2 * h + 1] + at + i, acc[h]);
            }
            clear(i);
        }
    }
};

// Two features' prefix sums over their count - 1 thresholds, their chains
// interleaved while both have pairs left; each last code's entry cleared.
template <std::size_t K, class Table>
[[gnu::always_inline]] inline void run_both(PrefixRun<K, Table>& a, std::size_t count_a, PrefixRun<K, Table>& b,
                                            std::size_t count_b) noexcept {
    const std::size_t ta = count_a > 0 ? count_a - 1 : 0, tb = count_b > 0 ? count_b - 1 : 0;
    const std::size_t both = std::min(ta, tb) & ~std::size_t{1};
    for (std::size_t i = 0; i < both; i += 2) {
        a.pair(i);
        b.pair(i);
    }
    a.run(both, ta);
    b.run(both, tb);
    if (count_a > 0) a.clear(count_a - 1);
    if (count_b > 0) b.clear(count_b - 1);
}

}  // namespace

template <class C>
TreeBuilder<C>::TreeBuilder(const CodedRows& x, const BinCuts& cuts, const TreeOptions& options)
    : x_(x),
      cuts_(cuts),
      options_(options),
      p_(x.cols),
      n_codes_(static_cast<std::size_t>(cuts.missing_code()) + 1),
      full_(options.mtry * 3 >= x.cols) {
    options_.mtry = std::clamp<std::size_t>(options_.mtry, 1, std::max<std::size_t>(1, p_));
    features_.resize(p_);
    for (std::size_t f = 0; f < p_; ++f) features_[f] = static_cast<std::uint16_t>(f);
    table_.resize(512);
    local_limit_ = kLocalCodeBytes;
}

template <class C>
void TreeBuilder<C>::restart() noexcept {
    for (std::size_t f = 0; f < p_; ++f) features_[f] = static_cast<std::uint16_t>(f);
}

void RandomCandidates::draw(std::vector<std::uint16_t>& features, std::size_t count) {
    // Drawn from a copy, whose state stays in registers between draws.
    Rng rng = rng_;
    const std::size_t p = features.size();
    for (std::size_t i = 0; i < count && i + 1 < p; ++i) {
        const std::size_t j = i + static_cast<std::size_t>(rng.bounded(p - i));
        std::swap(features[i], features[j]);
    }
    rng_ = rng;
}

template <class C>
void TreeBuilder<C>::grow(std::vector<Record>& records, const std::vector<std::uint32_t>& split_rows,
                          const std::vector<std::uint32_t>& est_rows, const std::vector<Moments<K>>& est,
                          CandidateDrawer& candidates) {
    records_ = &records;
    grown_.assign(1, Grown{});
    sets_.clear();
    stack_.clear();
    if (scratch_.size() < records.size()) scratch_.resize(records.size());
    // The split rows' codes travel with them, so that a node reads its rows'
    // codes from one contiguous run instead of all over the matrix.
    local_ = records.size() * p_ <= local_limit_;
    if (local_) {
        codes_.resize(records.size() * p_);
        code_scratch_.resize(records.size() * p_);
        for (std::size_t i = 0; i < records.size(); ++i) std::memcpy(codes_.data() + i * p_, x_.row(split_rows[i]), p_);
    } else {
        rows_.assign(split_rows.begin(), split_rows.end());
        row_scratch_.resize(rows_.size());
    }
    Moments<K> total;
    for (const Record& r : records) total.add(r.m);
    if (p_ > 0 && !records.empty()) stack_.push_back(Pending{0, 0, records.size(), 0, total, -1});
    grown_[0].node.flags = kLeafNode;
    while (!stack_.empty()) {
        const Pending task = stack_.back();
        stack_.pop_back();
        process(task, candidates);
    }
    fill_and_prune(est_rows, est);
    records_ = nullptr;
}

template <class C>
void TreeBuilder<C>::process(const Pending& task, CandidateDrawer& candidates) {
    const std::size_t n = task.hi - task.lo;
    Grown& self = grown_[task.node];
    self.depth = task.depth;
    self.node.flags = kLeafNode;
    typename C::Node nd;
    const bool may_split =
        (options_.max_depth == 0 || task.depth < options_.max_depth) && C::prepare(task.total, options_.criterion, nd);
    int h = task.hist;
    if (!may_split) {
        release(h);
        return;
    }
    if (n >= kCheckRows) parallel::checkpoint();
    candidates.draw(features_, options_.mtry);
    Best best;
    best.score = nd.floor;
    if (n >= kDenseRows) {
        if (h < 0) {
            h = take_buffer();
            build_hist(h, task.lo, task.hi, full_);
        }
        search_dense(hist(h), nd, task.total, best);
    } else {
        search_sparse(task.lo, task.hi, nd, task.total, best);
    }
    if (!(best.score > nd.floor)) {
        release(h);
        return;
    }
    const std::size_t mid = partition(task.lo, task.hi, best);
    const auto left = static_cast<std::uint32_t>(grown_.size());
    grown_.resize(grown_.size() + 2);
    Grown& parent = grown_[task.node];  // the resize may have moved it
    parent.node.flags = best.missing_left ? kMissingLeft : 0;
    parent.node.feature = best.feature;
    parent.node.bin = best.bin;
    parent.node.next = left;
    if (best.categorical) {
        parent.node.flags = kCategorical;
        parent.node.bin = 0;
        parent.set = static_cast<std::uint32_t>(sets_.size());
        sets_.push_back(best.set);
    }
    const std::size_t n_left = mid - task.lo, n_right = task.hi - mid;
    int h_left = -1, h_right = -1;
    if (full_ && h >= 0 && (n_left >= kDenseRows || n_right >= kDenseRows)) {
        // The larger side's histogram is the parent's minus the smaller side.
        const bool left_smaller = n_left <= n_right;
        const std::size_t s_lo = left_smaller ? task.lo : mid, s_hi = left_smaller ? mid : task.hi;
        int small = -1;
        if (s_hi - s_lo >= kDenseRows) {
            small = take_buffer();
            build_hist(small, s_lo, s_hi, true);
            Moments<K>* parent_hist = hist(h);
            const Moments<K>* small_hist = hist(small);
            for (std::size_t i = 0, end = p_ * n_codes_; i < end; ++i) parent_hist[i].subtract(small_hist[i]);
        } else {
            // Too few rows for a histogram of their own: take them out one by one.
            Moments<K>* parent_hist = hist(h);
            const Record* rec = records_->data();
            const std::size_t p = p_, n_codes = n_codes_;
            for (std::size_t i = s_lo; i < s_hi; ++i) {
                const std::uint8_t* codes = codes_at(i);
                const Moments<K> m = rec[i].m;
                for (std::size_t f = 0; f < p; ++f) parent_hist[f * n_codes + codes[f]].subtract(m);
            }
        }
        (left_smaller ? h_left : h_right) = small;
        (left_smaller ? h_right : h_left) = h;
    } else {
        release(h);
    }
    stack_.push_back(Pending{left + 1, mid, task.hi, task.depth + 1, best.right, h_right});
    stack_.push_back(Pending{left, task.lo, mid, task.depth + 1, best.left, h_left});
}

// The prefix sums over the present codes go into columns, the criterion
// scores every threshold in one branch-free (vectorisable) pass per side the
// missing rows may take, and the best is picked in evaluation order:
// thresholds ascending, missing rows right before left, strictly greater wins.
template <class C>
template <class Table>
void TreeBuilder<C>::scan(std::uint16_t f, const std::uint8_t* present, Table table, std::size_t count,
                          const Moments<K>& missing, const Moments<K>& total, const typename C::Node& nd,
                          Best& best) const {
    if (count == 0) return;
    alignas(16) double pre[K][256];
    PrefixRun<K, Table> run(present, table, pre);
    run.run(0, count - 1);
    run.clear(count - 1);
    choose(f, present, count, pre, missing, total, nd, best);
}

template <class C>
void TreeBuilder<C>::choose(std::uint16_t f, const std::uint8_t* present, std::size_t count, const double (*pre)[256],
                            const Moments<K>& missing, const Moments<K>& total, const typename C::Node& nd,
                            Best& best) const {
    if (count == 0) return;
    const bool has_missing = missing.count() > 0.0;
    alignas(16) double right_scores[256], left_scores[256];
    const std::size_t thresholds = count - 1;
    // Only thresholds where both sides can have enough rows are scored: the
    // left side only grows with the threshold (and is largest with the
    // missing rows on it), the right side only shrinks (and is largest with
    // them), so they form one window [from, to). enough() reads only the
    // count columns, so only those are formed.
    auto side = [&](std::size_t i, bool right) {
        Moments<K> m;
        for (std::size_t k = 0; k < C::kCounts; ++k) m.v[k] = right ? total.v[k] - pre[k][i] : pre[k][i] + missing.v[k];
        return m;
    };
    // Counts are sums of ones, exact, so the thresholds a side lacks rows at
    // are a run at one end: the bounds are found from the ends of the
    // window, in a few steps, or by counting those runs, which needs no
    // branch on where they stop. Counting pays for the causal criteria's
    // long runs (each arm needs its rows) over a few thresholds; the
    // regression's runs are a step or two, well predicted.
    std::size_t to = thresholds, from = 0;
    bool counted = false;
    if constexpr (C::kCounts == 1) {
        // Eight scores cost about what one step in from an end does, and a
        // threshold where a side lacks rows scores kNoSplit anyway.
        counted = kOctLanes;
    } else {
        if (thresholds <= kCountedWindow) {
            std::size_t right_short = 0, left_short = 0;
            C::count_short(pre, thresholds, total, missing, nd, right_short, left_short);
            to = thresholds - right_short;
            from = std::min(to, left_short);
            counted = true;
        }
    }
    if (!counted) {
        while (to > 0 && !C::enough(side(to - 1, true), nd)) --to;
        while (from < to && !C::enough(side(from, false), nd)) ++from;
    }
    if (from >= to) from = thresholds;
    auto take = [&](std::size_t i, double score, bool missing_left) {
        ++best.updates;
        best.score = score;
        best.feature = f;
        best.bin = present[i];
        best.missing_left = missing_left;
        for (std::size_t k = 0; k < K; ++k) best.left.v[k] = pre[k][i];
        if (missing_left) best.left.add(missing);
        best.right = total - best.left;
    };
    // The winner in evaluation order (thresholds ascending, missing rows
    // right before left, strictly greater wins) is the first score equal to
    // the largest, if that beats the best so far.
    if (from < to) {
        double top = C::score_top(pre, from, to, total, nullptr, nd, right_scores, best.score);
        if (has_missing) top = C::score_top(pre, from, to, total, &missing, nd, left_scores, top);
        if (top > best.score && !has_missing) {
            const std::size_t i = first_equal(right_scores, from, to, top);
            take(i, right_scores[i], false);
        } else if (top > best.score) {
            for (std::size_t i = from; i < to; ++i) {
                if (right_scores[i] == top) {
                    take(i, right_scores[i], false);
                    break;
                }
                if (has_missing && left_scores[i] == top) {
                    take(i, left_scores[i], true);
                    break;
                }
            }
        }
    }
    // Every value left, the missing ones right.
    if (has_missing) {
        const Moments<K> values = total - missing;
        const double s = C::score(values, missing, nd);
        if (s > best.score) {
            ++best.updates;
            best.score = s;
            best.feature = f;
            best.bin = present[count - 1];
            best.missing_left = false;
            best.left = values;
            best.right = missing;
        }
    }
}

// An ordered feature is scanned in code order. A categorical one is scanned
// in the order of its codes' mean response at this node (ties by code), and
// the winning prefix becomes the set of codes going left.
template <class C>
template <class Present>
void TreeBuilder<C>::scan_feature(std::uint16_t f, std::uint8_t* present, std::size_t count, const Present& moments,
                                  const Moments<K>& missing, const Moments<K>& total, const typename C::Node& nd,
                                  Best& best) const {
    const std::size_t before = best.updates;
    if (!cuts_.categorical(f)) {
        scan(f, present, moments, count, missing, total, nd, best);
        if (best.updates != before) best.categorical = false;
        return;
    }
    double key[256];
    for (std::size_t i = 0; i < count; ++i) key[present[i]] = C::order_key(moments[present[i]], nd);
    std::stable_sort(present, present + count, [&](std::uint8_t a, std::uint8_t b) { return key[a] < key[b]; });
    scan(f, present, moments, count, missing, total, nd, best);
    if (best.updates == before) return;
    best.categorical = true;
    best.set = CategorySet{};
    for (std::size_t i = 0; i < count; ++i) {
        best.set.add(present[i]);
        if (present[i] == best.bin) break;
    }
    if (best.missing_left) best.set.add(cuts_.missing_code());
}

// Two ordered features' prefix sums at once: each is a chain of dependent
// additions, and two chains fill the time one waits. They are then scored in
// their order, as two scans would.
template <class C>
template <class Table>
void TreeBuilder<C>::scan_two(const Listed& a, Table table_a, const Listed& b, Table table_b, const Moments<K>& total,
                              const typename C::Node& nd, Best& best) const {
    const std::size_t ta = a.count > 0 ? a.count - 1 : 0, tb = b.count > 0 ? b.count - 1 : 0;
    // Where every threshold is scored (the regression's, eight at a time) and
    // no row lacks either value, b's thresholds follow a's in one run of
    // columns, scored in one pass: the run is in evaluation order, so the
    // winner is its first largest score, if that beats the best so far.
    if constexpr (C::kCounts == 1) {
        if (kOctLanes && ta + tb <= 256 && a.missing.count() == 0.0 && b.missing.count() == 0.0) {
            alignas(16) double pre[K][256];
            alignas(16) double scores[256];
            PrefixRun<K, Table> run_a(a.present, table_a, pre), run_b(b.present, table_b, pre, ta);
            run_both(run_a, a.count, run_b, b.count);
            const double top = C::score_top(pre, 0, ta + tb, total, nullptr, nd, scores, best.score);
            if (!(top > best.score)) return;
            const std::size_t j = first_equal(scores, 0, ta + tb, top);
            const Listed& l = j < ta ? a : b;
            ++best.updates;
            best.score = scores[j];
            best.feature = l.feature;
            best.bin = l.present[j < ta ? j : j - ta];
            best.missing_left = false;
            best.categorical = false;
            for (std::size_t k = 0; k < K; ++k) best.left.v[k] = pre[k][j];
            best.right = total - best.left;
            return;
        }
    }
    alignas(16) double pre[2][K][256];
    PrefixRun<K, Table> run_a(a.present, table_a, pre[0]), run_b(b.present, table_b, pre[1]);
    run_both(run_a, a.count, run_b, b.count);
    for (int k = 0; k < 2; ++k) {
        const Listed& l = k == 0 ? a : b;
        const std::size_t before = best.updates;
        choose(l.feature, l.present, l.count, pre[k], l.missing, total, nd, best);
        if (best.updates != before) best.categorical = false;
    }
}

template <class C>
void TreeBuilder<C>::search_dense(const Moments<K>* h, const typename C::Node& nd, const Moments<K>& total,
                                  Best& best) const {
    std::uint8_t present[2][256];
    auto list = [&](std::uint16_t f, std::uint8_t* out) {
        const Moments<K>* hf = h + static_cast<std::size_t>(f) * n_codes_;
        return Listed{f, out, counted_codes(hf, cuts_.value_codes(f), out), hf[cuts_.missing_code()]};
    };
    const std::size_t m_try = std::min(options_.mtry, p_);
    for (std::size_t c = 0; c < m_try;) {
        const std::uint16_t f = features_[c];
        const Listed a = list(f, present[0]);
        const Moments<K>* hf = h + static_cast<std::size_t>(f) * n_codes_;
        if (c + 1 < m_try && !cuts_.categorical(f) && !cuts_.categorical(features_[c + 1])) {
            const std::uint16_t g = features_[c + 1];
            scan_two(a, hf, list(g, present[1]), h + static_cast<std::size_t>(g) * n_codes_, total, nd, best);
            c += 2;
        } else {
            scan_feature(f, present[0], a.count, hf, a.missing, total, nd, best);
            ++c;
        }
    }
}

// A small node accumulates each candidate's codes in a 256-entry table and
// marks the codes present in a bitmap, which then gives them in ascending
// order: no sorting, no branch per row, and only the touched entries are
// cleared, by the scan as it reads them.
template <class C>
void TreeBuilder<C>::search_sparse(std::size_t lo, std::size_t hi, const typename C::Node& nd, const Moments<K>& total,
                                   Best& best) {
    const Record* rec = records_->data();
    const std::size_t p = p_;
    const std::uint8_t missing_code = cuts_.missing_code();
    // Moments stores may alias anything, so the row loop reads only locals.
    const std::uint8_t* codes = local_ ? codes_.data() : nullptr;
    const std::uint8_t* x = x_.codes.data();
    const std::uint32_t* rows = rows_.data();
    Moments<K>* tables = table_.data();  // two of 256, all zero between uses
    std::uint8_t present[2][256];
    std::uint64_t seen[2][4];
    auto each_row = [&](auto&& body) {
        if (codes != nullptr)
            for (std::size_t i = lo; i < hi; ++i) body(i, codes + i * p);
        else
            for (std::size_t i = lo; i < hi; ++i) body(i, x + std::size_t{rows[i]} * p);
    };
    // Takes the missing code's sums out of table s and lists the codes
    // present in it into present[s]; returns their count.
    auto list = [&](std::size_t s, Moments<K>& missing) {
        Moments<K>* table = tables + s * 256;
        missing = table[missing_code];
        table[missing_code] = Moments<K>{};
        seen[s][missing_code >> 6] &= ~(std::uint64_t{1} << (missing_code & 63));
        return set_bits(seen[s], present[s]);
    };
    const std::size_t m_try = std::min(options_.mtry, p);
    for (std::size_t c = 0; c < m_try;) {
        const std::uint16_t f = features_[c];
        const bool paired = c + 1 < m_try && !cuts_.categorical(f) && !cuts_.categorical(features_[c + 1]);
        std::memset(seen, 0, sizeof seen);
        if (!paired) {
            each_row([&](std::size_t i, const std::uint8_t* row) {
                seen[0][row[f] >> 6] |= std::uint64_t{1} << (row[f] & 63);
                tables[row[f]].add(rec[i].m);
            });
            Moments<K> missing;
            const std::size_t count = list(0, missing);
            scan_feature(f, present[0], count, tables, missing, total, nd, best);  // clears the table
            ++c;
            continue;
        }
        // Two ordered features from one pass over the rows.
        const std::uint16_t g = features_[c + 1];
        each_row([&](std::size_t i, const std::uint8_t* row) {
            const std::uint8_t a = row[f], b = row[g];
            const Moments<K> m = rec[i].m;
            seen[0][a >> 6] |= std::uint64_t{1} << (a & 63);
            seen[1][b >> 6] |= std::uint64_t{1} << (b & 63);
            tables[a].add(m);
            tables[256 + b].add(m);
        });
        Moments<K> missing, missing_g;
        const std::size_t count = list(0, missing), count_g = list(1, missing_g);
        scan_two(Listed{f, present[0], count, missing}, tables, Listed{g, present[1], count_g, missing_g}, tables + 256,
                 total, nd, best);
        c += 2;
    }
}

template <class C>
std::size_t TreeBuilder<C>::partition(std::size_t lo, std::size_t hi, const Best& best) {
    Record* rec = records_->data();
    Record* scratch = scratch_.data();
    const std::size_t p = p_, f = best.feature;
    const std::uint8_t missing_code = cuts_.missing_code();
    auto goes_left = [&](std::uint8_t c) {
        return best.categorical ? best.set.has(c) : c == missing_code ? best.missing_left : c <= best.bin;
    };
    std::size_t w = lo, r = 0;
    if (local_) {
        std::uint8_t* codes = codes_.data();
        std::uint8_t* code_scratch = code_scratch_.data();
        // Every row goes to both places and only the side it belongs to
        // moves on: no branch to mispredict on a coin-flip split.
        auto run = [&](auto left_of) {
            for (std::size_t i = lo; i < hi; ++i) {
                const bool left = left_of(codes[i * p + f]);
                const Record m = rec[i];
                copy_codes(code_scratch + r * p, codes + i * p, p);
                // memcpy onto itself is undefined; w == i only until the first right row.
                if (w != i) copy_codes(codes + w * p, codes + i * p, p);
                scratch[r] = m;
                rec[w] = m;
                w += left;
                r += !left;
            }
        };
        if (best.categorical)
            run([&](std::uint8_t c) { return best.set.has(c); });
        else
            run([bin = best.bin, missing_code, missing_left = best.missing_left](std::uint8_t c) {
                return c == missing_code ? missing_left : c <= bin;
            });
        std::memcpy(codes + w * p, code_scratch, r * p);
    } else {
        const std::uint8_t* x = x_.codes.data();
        std::uint32_t* rows = rows_.data();
        std::uint32_t* row_scratch = row_scratch_.data();
        for (std::size_t i = lo; i < hi; ++i) {
            const std::uint32_t row = rows[i];
            if (goes_left(x[std::size_t{row} * p + f])) {
                rows[w] = row;
                rec[w++] = rec[i];
            } else {
                row_scratch[r] = row;
                scratch[r++] = rec[i];
            }
        }
        std::copy(row_scratch, row_scratch + r, rows + w);
    }
    std::copy(scratch, scratch + r, rec + w);
    return w;
}

template <class C>
int TreeBuilder<C>::take_buffer() {
    if (!free_.empty()) {
        const int b = free_.back();
        free_.pop_back();
        return b;
    }
    buffers_.emplace_back(p_ * n_codes_);
    free_.reserve(buffers_.size());  // release() then never allocates
    return static_cast<int>(buffers_.size() - 1);
}

template <class C>
void TreeBuilder<C>::release(int buffer) noexcept {
    if (buffer >= 0) free_.push_back(buffer);
}

template <class C>
void TreeBuilder<C>::build_hist(int buffer, std::size_t lo, std::size_t hi, bool all_features) {
    Moments<K>* h = hist(buffer);
    const Record* rec = records_->data();
    const std::size_t p = p_, n_codes = n_codes_;
    if (all_features) {
        std::memset(static_cast<void*>(h), 0, p * n_codes * sizeof(Moments<K>));
        add_rows(h, p, n_codes, rec, lo, hi, local_ ? codes_.data() : nullptr, x_.codes.data(), rows_.data());
        return;
    }
    const std::size_t m_try = std::min(options_.mtry, p);
    const std::uint16_t* features = features_.data();
    for (std::size_t c = 0; c < m_try; ++c)
        std::memset(static_cast<void*>(h + static_cast<std::size_t>(features[c]) * n_codes), 0,
                    n_codes * sizeof(Moments<K>));
    for (std::size_t i = lo; i < hi; ++i) {
        const std::uint8_t* codes = codes_at(i);
        const Moments<K> m = rec[i].m;
        for (std::size_t c = 0; c < m_try; ++c) {
            const std::size_t f = features[c];
            h[f * n_codes + codes[f]].add(m);
        }
    }
}

template <class C>
void TreeBuilder<C>::fill_and_prune(const std::vector<std::uint32_t>& est_rows, const std::vector<Moments<K>>& est) {
    const std::size_t g = grown_.size();
    std::vector<Moments<K>> sums(g);
    // Each leaf adds its rows in their order.
    find_leaves(est_rows);
    for (std::size_t i = 0; i < est_rows.size(); ++i) sums[leaf_of_[i]].add(est[i]);
    // Children come after their parent, so a reverse sweep sees them first.
    // A leaf without estimation rows gives its parent's place to its
    // sibling; two of them make the parent an empty leaf.
    std::vector<std::uint32_t> resolved(g);
    std::vector<char> empty_leaf(g, 0);
    for (std::size_t k = g; k-- > 0;) {
        const TreeNode& nd = grown_[k].node;
        resolved[k] = static_cast<std::uint32_t>(k);
        if (nd.flags & kLeafNode) {
            empty_leaf[k] = sums[k].count() == 0.0;
            continue;
        }
        const std::uint32_t l = resolved[nd.next], r = resolved[nd.next + 1];
        if (empty_leaf[l] && empty_leaf[r]) {
            grown_[k].node.flags = kLeafNode;
            empty_leaf[k] = 1;
        } else if (empty_leaf[l]) {
            resolved[k] = r;
        } else if (empty_leaf[r]) {
            resolved[k] = l;
        }
    }
    final_nodes_.assign(1, TreeNode{});
    final_leaves_.clear();
    final_sets_.clear();
    final_depth_.assign(1, 1);
    struct Slot {
        std::uint32_t grown, slot, depth;
    };
    std::vector<Slot> queue{{resolved[0], 0, 1}};
    for (std::size_t q = 0; q < queue.size(); ++q) {
        const Slot s = queue[q];
        const TreeNode& nd = grown_[s.grown].node;
        if (nd.flags & kLeafNode) {
            final_nodes_[s.slot] = TreeNode{static_cast<std::uint32_t>(final_leaves_.size()), 0, 0, kLeafNode};
            final_leaves_.push_back(sums[s.grown]);
            continue;
        }
        const auto child = static_cast<std::uint32_t>(final_nodes_.size());
        final_nodes_.resize(final_nodes_.size() + 2);
        final_depth_.resize(final_nodes_.size(), s.depth + 1);
        TreeNode out = nd;
        out.next = child;
        final_nodes_[s.slot] = out;
        // The queue visits slots in ascending order, so sets come in node order.
        if (nd.flags & kCategorical) final_sets_.push_back(sets_[grown_[s.grown].set]);
        queue.push_back({resolved[nd.next], child, s.depth + 1});
        queue.push_back({resolved[nd.next + 1], child + 1, s.depth + 1});
    }
}

// The estimation rows' leaves in the grown tree, leaf_of_[i] for
// est_rows[i], by the forest's walks: sixteen rows to a vector where the
// processor has it, else eight in registers.
template <class C>
void TreeBuilder<C>::find_leaves(const std::vector<std::uint32_t>& est_rows) {
    const std::size_t g = grown_.size(), n = est_rows.size();
    walk_nodes_.resize(g);
    walk_sets_.clear();
    for (std::size_t k = 0; k < g; ++k) {
        TreeNode nd = grown_[k].node;
        if (nd.flags & kLeafNode)
            nd.next = static_cast<std::uint32_t>(k);
        else if (nd.flags & kCategorical)
            walk_sets_.push_back(sets_[grown_[k].set]);
        walk_nodes_[k] = nd;
    }
    walk_.set_nodes(walk_nodes_, cuts_.missing_code(), walk_sets_);
    leaf_of_.resize(n);
    walk_at_.resize(n);
    walk_found_.resize(n);
    std::size_t wide = 0;
#ifdef QUORVANTIS_WIDE_WALK
    // The vector walk reads three bytes past a row's codes and takes 32-bit
    // offsets: the matrix's last rows, and matrices past 2^31 codes, walk in
    // registers.
    if (walk_.left.empty() && ForestTree<RegressionLeaf>::wide_walks() && p_ <= (std::size_t{1} << 16) &&
        x_.rows * p_ < (std::size_t{1} << 31)) {
        const std::size_t tail = (p_ + 2) / p_;
        const std::size_t inside = x_.rows > tail ? x_.rows - tail : 0;
        walk_offset_.resize(n);
        for (std::size_t i = 0; i < n; ++i)
            if (est_rows[i] < inside) {
                walk_offset_[wide] = static_cast<std::uint32_t>(est_rows[i] * p_);
                walk_at_[wide++] = static_cast<std::uint32_t>(i);
            }
        // In slices, so that the walks' scratch stays small beside the rows.
        constexpr std::size_t kSlice = std::size_t{1} << 16;
        walk_scratch_.resize(ForestTree<RegressionLeaf>::wide_scratch(std::min(wide, kSlice), p_));
        for (std::size_t at = 0; at < wide; at += kSlice)
            walk_.leaves_wide(x_.codes.data(), walk_offset_.data() + at, std::min(kSlice, wide - at),
                              walk_found_.data() + at, walk_scratch_.data(), p_);
        for (std::size_t q = 0; q < wide; ++q) leaf_of_[walk_at_[q]] = walk_found_[q];
        if (wide == n) return;
    }
#endif
    walk_rows_.resize(n);
    std::size_t rest = 0;
    for (std::size_t i = 0, q = 0; i < n; ++i) {
        if (q < wide && walk_at_[q] == i) {
            ++q;
            continue;
        }
        walk_rows_[rest] = x_.row(est_rows[i]);
        walk_at_[wide + rest++] = static_cast<std::uint32_t>(i);
    }
    walk_.leaves_of(walk_rows_.data(), rest, walk_found_.data());
    for (std::size_t q = 0; q < rest; ++q) leaf_of_[walk_at_[wide + q]] = walk_found_[q];
}

template <class C>
void TreeBuilder<C>::count_splits(SplitCounts& counts) const {
    if (counts.at.size() < SplitCounts::kDepths * p_) counts.at.assign(SplitCounts::kDepths * p_, 0.0);
    for (std::size_t i = 0; i < final_nodes_.size(); ++i) {
        const TreeNode& nd = final_nodes_[i];
        if ((nd.flags & kLeafNode) || final_depth_[i] > SplitCounts::kDepths) continue;
        counts.at[(final_depth_[i] - 1) * p_ + nd.feature] += 1.0;
    }
}

template class TreeBuilder<CausalCriterion>;
template class TreeBuilder<RegressionCriterion>;
template class TreeBuilder<WeightedCausalCriterion>;
template class TreeBuilder<WeightedRegressionCriterion>;

}  // namespace quorvantis::engine

#include "quorvantis/engine/sampling/row_sampler.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "quorvantis/base/cpu_features.hpp"
#include "quorvantis/base/random.hpp"

namespace quorvantis::engine {
namespace {

constexpr std::uint64_t kGroupStream = 0x67726f7570ULL;
constexpr std::uint64_t kTreeStream = 0x74726565ULL;
constexpr std::uint64_t kHonestyStream = 0x686f6e657374ULL;

// k of the n items uniformly without replacement: a partial Fisher-Yates over
// `items`, whose first k entries are then the choice.
template <class T>
void choose(std::vector<T>& items, std::size_t k, Rng& rng) {
    // A local generator stays in registers; through the reference its state
    // went to memory and back at every draw.
    Rng local = rng;
    const std::size_t n = items.size();
    T* v = items.data();
    for (std::size_t i = 0; i < k && i + 1 < n; ++i) {
        const std::size_t j = i + static_cast<std::size_t>(local.bounded(n - i));
        std::swap(v[i], v[j]);
    }
    rng = local;
}

#if defined(__x86_64__) && defined(__GNUC__)
// set_rows sixteen bits at a time: the positions of the set ones compressed
// into `out`, which takes 16 entries past the last.
__attribute__((target("avx512f"))) void set_rows_wide(const std::uint64_t* bits, std::size_t words,
                                                      std::uint32_t* out) noexcept {
    const __m512i sixteen = _mm512_set1_epi32(16);
    __m512i at = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    for (std::size_t w = 0; w < words; ++w) {
        const std::uint64_t word = bits[w];
        for (int part = 0; part < 4; ++part) {
            const auto set = static_cast<__mmask16>(word >> (16 * part));
            _mm512_storeu_si512(out, _mm512_maskz_compress_epi32(set, at));
            out += std::popcount(static_cast<unsigned>(set));
            at = _mm512_add_epi32(at, sixteen);
        }
    }
}
#endif

// Appends the rows whose bits are set, in ascending order. Every position is
// written and the cursor moves on set bits only: rows are dense in the bits,
// and a loop per set bit would miss its exit once per word.
void set_rows(const std::vector<std::uint64_t>& bits, std::vector<std::uint32_t>& rows) {
    std::size_t count = 0;
    for (const std::uint64_t word : bits) count += static_cast<std::size_t>(std::popcount(word));
    const std::size_t start = rows.size();
#if defined(__x86_64__) && defined(__GNUC__)
    if (cpu::features().avx512f) {
        rows.resize(start + count + 16);
        set_rows_wide(bits.data(), bits.size(), rows.data() + start);
        rows.resize(start + count);
        return;
    }
#endif
    rows.resize(start + count + 1);
    std::uint32_t* out = rows.data() + start;
    std::size_t k = 0;
    for (std::size_t w = 0; w < bits.size(); ++w) {
        const std::uint64_t word = bits[w];
        if (word == 0) continue;
        const auto base = static_cast<std::uint32_t>(w * 64);
        for (std::uint32_t b = 0; b < 64; ++b) {
            out[k] = base + b;
            k += (word >> b) & 1;
        }
    }
    rows.resize(start + count);
}

std::size_t ceil_fraction(std::size_t n, double fraction) {
    const double v = std::ceil(static_cast<double>(n) * fraction);
    return std::min(n, static_cast<std::size_t>(v));
}

}  // namespace

RowSampler::RowSampler(std::size_t n, const SampleOptions& options, std::uint64_t seed,
                       const std::vector<std::uint32_t>* clusters)
    : n_(n), options_(options), seed_(seed) {
    if (clusters == nullptr || clusters->empty()) return;
    std::uint32_t count = 0;
    for (const std::uint32_t c : *clusters) count = std::max(count, c + 1);
    start_.assign(std::size_t{count} + 1, 0);
    for (const std::uint32_t c : *clusters) ++start_[c + 1];
    for (std::size_t c = 0; c < count; ++c) start_[c + 1] += start_[c];
    members_.resize(clusters->size());
    std::vector<std::uint32_t> next(start_.begin(), start_.end() - 1);
    for (std::size_t r = 0; r < clusters->size(); ++r) members_[next[(*clusters)[r]]++] = static_cast<std::uint32_t>(r);
}

std::vector<std::uint32_t> RowSampler::rows_of(const std::vector<std::uint32_t>& clusters) const {
    std::vector<std::uint32_t> rows;
    for (const std::uint32_t c : clusters)
        rows.insert(rows.end(), members_.begin() + start_[c], members_.begin() + start_[c + 1]);
    std::sort(rows.begin(), rows.end());
    return rows;
}

std::vector<std::uint64_t> RowSampler::group_pool(std::size_t group) const {
    std::vector<std::uint64_t> bits((n_ + 63) / 64, 0);
    if (options_.ci_group_size <= 1) {
        std::fill(bits.begin(), bits.end(), ~std::uint64_t{0});
        if (n_ % 64 != 0) bits.back() = (std::uint64_t{1} << (n_ % 64)) - 1;
        return bits;
    }
    if (!start_.empty()) {
        const std::size_t count = start_.size() - 1;
        std::vector<std::uint32_t> all(count);
        for (std::size_t c = 0; c < count; ++c) all[c] = static_cast<std::uint32_t>(c);
        Rng rng = Rng::stream(seed_ ^ kGroupStream, group);
        choose(all, count / 2, rng);
        all.resize(count / 2);
        for (const std::uint32_t r : rows_of(all)) set_bit(bits, r);
        return bits;
    }
    std::vector<std::uint32_t> all(n_);
    for (std::size_t r = 0; r < n_; ++r) all[r] = static_cast<std::uint32_t>(r);
    Rng rng = Rng::stream(seed_ ^ kGroupStream, group);
    const std::size_t half = n_ / 2;
    choose(all, half, rng);
    for (std::size_t i = 0; i < half; ++i) set_bit(bits, all[i]);
    return bits;
}

void RowSampler::tree_rows(std::size_t tree, const std::vector<std::uint64_t>& pool, TreeRows& out) const {
    std::vector<std::uint32_t> members;
    std::size_t pooled = 0;
    for (const std::uint64_t word : pool) pooled += static_cast<std::size_t>(__builtin_popcountll(word));
    members.reserve(pooled);
    set_rows(pool, members);
    // Within a group the trees share a half, of which each takes twice the
    // overall fraction: every tree then sees sample_fraction of all rows.
    const double fraction = options_.ci_group_size > 1 ? 2.0 * options_.sample_fraction : options_.sample_fraction;
    Rng rng = Rng::stream(seed_ ^ kTreeStream, tree);
    if (!start_.empty()) {
        // The pool holds whole clusters: draw the fraction of those.
        std::vector<std::uint32_t> in_pool;
        for (std::size_t c = 0; c + 1 < start_.size(); ++c)
            if (start_[c] < start_[c + 1] && bit(pool, members_[start_[c]]))
                in_pool.push_back(static_cast<std::uint32_t>(c));
        const std::size_t k = ceil_fraction(in_pool.size(), fraction);
        choose(in_pool, k, rng);
        in_pool.resize(k);
        members = rows_of(in_pool);
    }
    const std::size_t k = start_.empty() ? ceil_fraction(members.size(), fraction) : members.size();
    out.in_bag.assign(pool.size(), 0);
    if (k < members.size()) {
        // The chosen rows in ascending order: read back from their bits
        // rather than sorted.
        choose(members, k, rng);
        for (std::size_t i = 0; i < k; ++i) set_bit(out.in_bag, members[i]);
        members.clear();
        set_rows(out.in_bag, members);
    } else if (start_.empty()) {
        out.in_bag = pool;  // the whole pool
    } else {
        for (const std::uint32_t r : members) set_bit(out.in_bag, r);
    }
    out.split.clear();
    out.estimation.clear();
    if (!options_.honesty) {
        out.split = members;
        out.estimation = members;
        return;
    }
    // Split rows: the first ceil(h * k) of a uniform order of the members.
    std::vector<std::uint32_t> order(members.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
    Rng honest = Rng::stream(seed_ ^ kHonestyStream, tree);
    const std::size_t n_split = ceil_fraction(members.size(), options_.honesty_fraction);
    choose(order, n_split, honest);
    std::vector<char> is_split(members.size(), 0);
    for (std::size_t i = 0; i < n_split; ++i) is_split[order[i]] = 1;
    // Each row is written to both lists and kept in one, without a branch:
    // the lists interleave at random. Each list has one entry to spare.
    const std::size_t n_estimation = members.size() - n_split;
    out.split.resize(n_split + 1);
    out.estimation.resize(n_estimation + 1);
    std::uint32_t *split = out.split.data(), *estimation = out.estimation.data();
    std::size_t a = 0, b = 0;
    for (std::size_t i = 0; i < members.size(); ++i) {
        const std::size_t s = is_split[i] != 0;
        split[a] = members[i];
        estimation[b] = members[i];
        a += s;
        b += 1 - s;
    }
    out.split.resize(n_split);
    out.estimation.resize(n_estimation);
}

}  // namespace quorvantis::engine

#include "quorvantis/engine/sampling/row_sampler.hpp"

#include <algorithm>
#include <cmath>

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
    const std::size_t n = items.size();
    for (std::size_t i = 0; i < k && i + 1 < n; ++i) {
        const std::size_t j = i + static_cast<std::size_t>(rng.bounded(n - i));
        std::swap(items[i], items[j]);
    }
}

// Appends the rows whose bits are set, in ascending order.
void set_rows(const std::vector<std::uint64_t>& bits, std::vector<std::uint32_t>& rows) {
    for (std::size_t w = 0; w < bits.size(); ++w)
        for (std::uint64_t word = bits[w]; word != 0; word &= word - 1)
            rows.push_back(static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(__builtin_ctzll(word))));
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
        for (std::size_t r = 0; r < n_; ++r) set_bit(bits, r);
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
    out.split.reserve(n_split);
    out.estimation.reserve(members.size() - n_split);
    for (std::size_t i = 0; i < members.size(); ++i) (is_split[i] ? out.split : out.estimation).push_back(members[i]);
}

}  // namespace quorvantis::engine

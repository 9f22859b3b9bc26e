// Which training rows each tree sees. Trees come in confidence groups of
// ci_group_size: a group draws half the rows without replacement, each of its
// trees a subsample of that half (the whole half at sample_fraction 0.5);
// without groups a tree draws sample_fraction of all rows. With honesty a
// tree's rows are split again into the rows that choose the splits and the
// rows that fill the leaves. Everything follows from (seed, tree index).
// With clusters, halves and subsamples take whole clusters (a cluster is in
// a tree's bag or out of it as a whole), so that out-of-bag estimates and the
// groups' variance see the clusters as the units that were drawn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace quorvantis::engine {

struct SampleOptions {
    double sample_fraction = 0.5;
    std::size_t ci_group_size = 2;
    bool honesty = true;
    double honesty_fraction = 0.5;
};

// Rows of one tree, each list ascending.
struct TreeRows {
    std::vector<std::uint32_t> split;       // choose the splits
    std::vector<std::uint32_t> estimation;  // fill the leaves (the split rows again without honesty)
    std::vector<std::uint64_t> in_bag;      // bit r set: row r is in the tree's subsample
};

class RowSampler {
public:
    RowSampler(std::size_t n, const SampleOptions& options, std::uint64_t seed) noexcept
        : n_(n), options_(options), seed_(seed) {}
    // `clusters[r]`: row r's cluster, numbered 0..C-1 (null or empty: none).
    RowSampler(std::size_t n, const SampleOptions& options, std::uint64_t seed,
               const std::vector<std::uint32_t>* clusters);

    // The group's half (all rows without groups), as in-bag bits.
    std::vector<std::uint64_t> group_pool(std::size_t group) const;
    // The rows of tree `tree` of its group, drawn from the group's pool.
    void tree_rows(std::size_t tree, const std::vector<std::uint64_t>& pool, TreeRows& out) const;

    std::size_t rows() const noexcept { return n_; }

private:
    // The rows of the given clusters, ascending.
    std::vector<std::uint32_t> rows_of(const std::vector<std::uint32_t>& clusters) const;

    std::size_t n_;
    SampleOptions options_;
    std::uint64_t seed_;
    // Rows by cluster: cluster c holds members_[start_[c] .. start_[c + 1]).
    std::vector<std::uint32_t> start_, members_;
};

// Per tree, bit r set when row r was in its subsample; trees of a group
// that share the group's whole half share the bits.
using InBag = std::vector<std::shared_ptr<const std::vector<std::uint64_t>>>;

inline bool bit(const std::vector<std::uint64_t>& bits, std::size_t r) noexcept {
    return (bits[r >> 6] >> (r & 63)) & 1;
}
inline void set_bit(std::vector<std::uint64_t>& bits, std::size_t r) noexcept {
    bits[r >> 6] |= std::uint64_t{1} << (r & 63);
}

}  // namespace quorvantis::engine

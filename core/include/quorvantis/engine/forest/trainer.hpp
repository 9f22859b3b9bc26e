// Grows a forest of the general engine on the pool, a confidence group per
// task and each tree on one thread, so the forest is the same for any number
// of threads and any scheduling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "quorvantis/engine/data/binned_matrix.hpp"
#include "quorvantis/engine/forest/forest_options.hpp"
#include "quorvantis/engine/sampling/row_sampler.hpp"
#include "quorvantis/engine/tree/forest_tree.hpp"
#include "quorvantis/engine/tree/tree_builder.hpp"

namespace quorvantis::engine {

template <class C>
struct TrainedForest {
    using Leaf = typename C::Leaf;
    std::vector<ForestTree<Leaf>> trees;
    // Per tree, bit r set when training row r was in its subsample; trees of
    // a group that share the group's whole half share the bits.
    InBag in_bag;
    SplitCounts splits;
};

// Called on a worker after each finished group with the number of trees done.
using TreeProgress = std::function<void(std::size_t trees_done)>;

// `rows[r]` holds training row r's moments (its record without the row id).
// Grows the trees of confidence groups [first, last) (clamped to the groups
// the options make). `clusters` (row -> cluster, or null) makes the samples
// take whole clusters. Without `keep_in_bag` the in-bag bits are left empty
// (rebuild_in_bag gives them again), so they are not held while trees grow.
template <class C>
TrainedForest<C> train_forest(const CodedRows& x, const BinCuts& cuts, const std::vector<Moments<C::K>>& rows,
                              const ForestOptions& options, const TreeProgress& progress = {}, std::size_t first = 0,
                              std::size_t last = ~std::size_t{0}, const std::vector<std::uint32_t>* clusters = nullptr,
                              bool keep_in_bag = true);

// The in-bag rows of the trees of groups [first, last), from the seeds alone.
InBag rebuild_in_bag(std::size_t n, const ForestOptions& options, std::size_t first, std::size_t last,
                     const std::vector<std::uint32_t>* clusters = nullptr);

}  // namespace quorvantis::engine

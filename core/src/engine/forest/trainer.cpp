#include "quorvantis/engine/forest/trainer.hpp"

#include <atomic>
#include <memory>
#include <mutex>

#include "quorvantis/base/parallel.hpp"
#include "quorvantis/base/random.hpp"

namespace quorvantis::engine {
namespace {

constexpr std::uint64_t kSplitStream = 0x73706c6974ULL;

template <class C>
struct GroupTrees {
    std::vector<ForestTree<typename C::Leaf>> trees;
    std::vector<std::shared_ptr<const std::vector<std::uint64_t>>> in_bag;
    SplitCounts splits;
};

}  // namespace

template <class C>
TrainedForest<C> train_forest(const CodedRows& x, const BinCuts& cuts, const std::vector<Moments<C::K>>& rows,
                              const ForestOptions& options, const TreeProgress& progress, std::size_t first,
                              std::size_t last, const std::vector<std::uint32_t>* clusters, bool keep_in_bag) {
    constexpr std::size_t K = C::K;
    const std::size_t group = std::max<std::size_t>(1, options.ci_group_size);
    last = std::min(last, options.n_trees / group);
    first = std::min(first, last);
    const std::size_t groups = last - first;
    SampleOptions sampling{options.sample_fraction, group, options.honesty, options.honesty_fraction};
    const RowSampler sampler(x.rows, sampling, options.seed, clusters);
    TreeOptions tree_options;
    tree_options.criterion = {options.min_samples_leaf, options.alpha, options.imbalance_penalty};
    tree_options.max_depth = options.max_depth;
    tree_options.mtry = options.candidates(x.cols);
    std::atomic<std::size_t> done{0};
    // Builders are handed from group to group: their buffers are sized once
    // per thread, not once per group.
    std::mutex spare_mu;
    std::vector<std::unique_ptr<TreeBuilder<C>>> spare;

    std::vector<GroupTrees<C>> grown = parallel::parallel_map(groups, [&](std::size_t k) {
        const std::size_t g = first + k;
        parallel::checkpoint();
        GroupTrees<C> out;
        auto pool = std::make_shared<const std::vector<std::uint64_t>>(sampler.group_pool(g));
        std::unique_ptr<TreeBuilder<C>> held;
        {
            const std::lock_guard<std::mutex> lock(spare_mu);
            if (!spare.empty()) {
                held = std::move(spare.back());
                spare.pop_back();
            }
        }
        if (held)
            held->restart();
        else
            held = std::make_unique<TreeBuilder<C>>(x, cuts, tree_options);
        TreeBuilder<C>& builder = *held;
        TreeRows tree_rows;
        std::vector<SplitRecord<K>> records;
        std::vector<Moments<K>> est;
        for (std::size_t j = 0; j < group; ++j) {
            const std::size_t b = g * group + j;
            sampler.tree_rows(b, *pool, tree_rows);
            records.resize(tree_rows.split.size());
            for (std::size_t i = 0; i < records.size(); ++i) records[i] = {rows[tree_rows.split[i]]};
            est.resize(tree_rows.estimation.size());
            for (std::size_t i = 0; i < est.size(); ++i) est[i] = rows[tree_rows.estimation[i]];
            Rng rng = Rng::stream(options.seed ^ kSplitStream, b);
            RandomCandidates candidates(rng);
            builder.grow(records, tree_rows.split, tree_rows.estimation, est, candidates);
            builder.count_splits(out.splits);
            ForestTree<typename C::Leaf> tree;
            tree.set_nodes(builder.nodes(), cuts.missing_code(), builder.sets());
            tree.leaves.reserve(builder.leaf_sums().size());
            for (const auto& s : builder.leaf_sums()) tree.leaves.push_back(C::leaf(s));
            out.trees.push_back(std::move(tree));
            if (keep_in_bag)
                out.in_bag.push_back(tree_rows.in_bag == *pool ? pool
                                                               : std::make_shared<const std::vector<std::uint64_t>>(
                                                                     std::move(tree_rows.in_bag)));
        }
        {
            const std::lock_guard<std::mutex> lock(spare_mu);
            spare.push_back(std::move(held));
        }
        const std::size_t now = done.fetch_add(group) + group;
        if (progress) progress(now);
        return out;
    });

    TrainedForest<C> forest;
    forest.trees.reserve(groups * group);
    forest.in_bag.reserve(groups * group);
    forest.splits.at.assign(SplitCounts::kDepths * x.cols, 0.0);
    for (GroupTrees<C>& g : grown) {
        for (auto& t : g.trees) forest.trees.push_back(std::move(t));
        for (auto& b : g.in_bag) forest.in_bag.push_back(std::move(b));
        for (std::size_t i = 0; i < g.splits.at.size(); ++i) forest.splits.at[i] += g.splits.at[i];
    }
    return forest;
}

InBag rebuild_in_bag(std::size_t n, const ForestOptions& options, std::size_t first, std::size_t last,
                     const std::vector<std::uint32_t>* clusters) {
    const std::size_t group = std::max<std::size_t>(1, options.ci_group_size);
    last = std::min(last, options.n_trees / group);
    first = std::min(first, last);
    // The bits do not depend on the honest split, which is skipped.
    SampleOptions sampling{options.sample_fraction, group, false, options.honesty_fraction};
    const RowSampler sampler(n, sampling, options.seed, clusters);
    std::vector<InBag> per_group = parallel::parallel_map(last - first, [&](std::size_t k) {
        parallel::checkpoint();
        const std::size_t g = first + k;
        auto pool = std::make_shared<const std::vector<std::uint64_t>>(sampler.group_pool(g));
        InBag bits;
        TreeRows rows;
        for (std::size_t j = 0; j < group; ++j) {
            sampler.tree_rows(g * group + j, *pool, rows);
            bits.push_back(rows.in_bag == *pool
                               ? pool
                               : std::make_shared<const std::vector<std::uint64_t>>(std::move(rows.in_bag)));
        }
        return bits;
    });
    InBag out;
    for (auto& b : per_group)
        for (auto& t : b) out.push_back(std::move(t));
    return out;
}

#define QUORVANTIS_TRAIN(C)                                                                                        \
    template TrainedForest<C> train_forest<C>(const CodedRows&, const BinCuts&, const std::vector<Moments<C::K>>&, \
                                              const ForestOptions&, const TreeProgress&, std::size_t, std::size_t, \
                                              const std::vector<std::uint32_t>*, bool);
QUORVANTIS_TRAIN(CausalCriterion)
QUORVANTIS_TRAIN(RegressionCriterion)
QUORVANTIS_TRAIN(WeightedCausalCriterion)
QUORVANTIS_TRAIN(WeightedRegressionCriterion)
#undef QUORVANTIS_TRAIN

}  // namespace quorvantis::engine

// Grows one tree of the general engine from its split rows, then fills its
// leaves from its estimation rows. Splits are searched on histograms of the
// codes (per bin the criterion's raw moments); a child's histogram is its
// parent's minus its smaller sibling's, which is built from its rows. Nodes
// with few rows sort their rows by code instead. Each tree runs on one
// thread, with its own random stream, so it is a pure function of its rows
// and its seed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quorvantis/engine/data/binned_matrix.hpp"
#include "quorvantis/base/random.hpp"
#include "quorvantis/engine/splitting/criterion.hpp"
#include "quorvantis/engine/splitting/moments.hpp"
#include "quorvantis/engine/tree/forest_tree.hpp"

namespace quorvantis::engine {

struct TreeOptions {
    CriterionOptions criterion;
    std::uint64_t max_depth = 0;  // 0: no limit
    std::size_t mtry = 1;         // candidate features per node
};

// Split counts per depth (1 = the root's level) and feature, for importances.
struct SplitCounts {
    static constexpr std::size_t kDepths = 4;
    std::vector<double> at;  // [depth - 1][feature]
};

// Chooses each node's candidate features: the first `count` entries of
// `features` after the call (a permutation of 0..p-1 on entry, kept between
// calls). Nodes ask in the order they are grown: depth first, left first.
class CandidateDrawer {
public:
    virtual ~CandidateDrawer() = default;
    virtual void draw(std::vector<std::uint16_t>& features, std::size_t count) = 0;
};

// The production drawer: a partial Fisher-Yates shuffle from the tree's stream.
class RandomCandidates final : public CandidateDrawer {
public:
    explicit RandomCandidates(Rng& rng) noexcept : rng_(rng) {}
    void draw(std::vector<std::uint16_t>& features, std::size_t count) override;

private:
    Rng& rng_;
};

template <class C>
class TreeBuilder {
public:
    static constexpr std::size_t K = C::K;
    using Record = SplitRecord<K>;

    TreeBuilder(const CodedRows& x, const BinCuts& cuts, const TreeOptions& options);

    // Grows on `records` (reordered in place; records[i] is row split_rows[i]),
    // fills the leaves from the estimation rows' moments (est_rows[i] with
    // est[i]) and prunes leaves without estimation rows into their parents.
    // The leaves hold the sums; finish() of the caller turns them into what
    // the forest keeps.
    void grow(std::vector<Record>& records, const std::vector<std::uint32_t>& split_rows,
              const std::vector<std::uint32_t>& est_rows, const std::vector<Moments<K>>& est,
              CandidateDrawer& candidates);

    // The most bytes of split-row codes copied beside the records; larger
    // trees read the matrix. Lowered by tests to reach that path.
    void set_local_limit(std::size_t bytes) noexcept { local_limit_ = bytes; }

    // Back to the state of a new builder, keeping the buffers: the candidate
    // order starts again from 0..p-1.
    void restart() noexcept;

    // The grown tree: nodes and, per leaf, the summed moments of its estimation rows.
    const std::vector<TreeNode>& nodes() const noexcept { return final_nodes_; }
    const std::vector<Moments<K>>& leaf_sums() const noexcept { return final_leaves_; }
    // The sets of the categorical splits among nodes(), in node order.
    const std::vector<CategorySet>& sets() const noexcept { return final_sets_; }
    void count_splits(SplitCounts& counts) const;

private:
    struct Best {
        double score = kNoSplit;
        std::uint16_t feature = 0;
        std::uint8_t bin = 0;
        bool missing_left = false;
        bool categorical = false;
        CategorySet set;          // categorical: the codes going left
        std::size_t updates = 0;  // times a candidate won, to see whether a scan changed it
        Moments<K> left, right;
    };
    struct Pending {
        std::uint32_t node;
        std::size_t lo, hi;
        std::uint32_t depth;
        Moments<K> total;
        int hist;  // buffer holding this node's histogram, or -1
    };
    struct Grown {
        TreeNode node;
        std::uint32_t depth = 0;
        std::uint32_t set = 0;  // categorical: its entry in sets_
    };

    void process(const Pending& task, CandidateDrawer& candidates);
    void search_dense(const Moments<K>* hist, const typename C::Node& nd, const Moments<K>& total, Best& best) const;
    void search_sparse(std::size_t lo, std::size_t hi, const typename C::Node& nd, const Moments<K>& total, Best& best);
    // Table is const Moments<K>* for a histogram; a mutable table is cleared.
    template <class Table>
    void scan(std::uint16_t f, const std::uint8_t* present, Table table, std::size_t count, const Moments<K>& missing,
              const Moments<K>& total, const typename C::Node& nd, Best& best) const;
    // A feature's present codes (ascending), their count and its missing rows' sums.
    struct Listed {
        std::uint16_t feature;
        const std::uint8_t* present;
        std::size_t count;
        Moments<K> missing;
    };
    // scan() of two ordered features, a then b.
    template <class Table>
    void scan_two(const Listed& a, Table table_a, const Listed& b, Table table_b, const Moments<K>& total,
                  const typename C::Node& nd, Best& best) const;
    // scan() after the prefix sums: the window, the scores and the winner.
    void choose(std::uint16_t f, const std::uint8_t* present, std::size_t count, const double (*pre)[256],
                const Moments<K>& missing, const Moments<K>& total, const typename C::Node& nd, Best& best) const;
    template <class Present>
    void scan_feature(std::uint16_t f, std::uint8_t* present, std::size_t count, const Present& moments,
                      const Moments<K>& missing, const Moments<K>& total, const typename C::Node& nd, Best& best) const;
    std::size_t partition(std::size_t lo, std::size_t hi, const Best& best);
    int take_buffer();
    void release(int buffer) noexcept;
    void build_hist(int buffer, std::size_t lo, std::size_t hi, bool all_features);
    const std::uint8_t* codes_at(std::size_t i) const noexcept {
        return local_ ? codes_.data() + i * p_ : x_.row(rows_[i]);
    }
    Moments<K>* hist(int buffer) noexcept { return buffers_[static_cast<std::size_t>(buffer)].data(); }
    void fill_and_prune(const std::vector<std::uint32_t>& est_rows, const std::vector<Moments<K>>& est);
    void find_leaves(const std::vector<std::uint32_t>& est_rows);

    const CodedRows& x_;
    const BinCuts& cuts_;
    TreeOptions options_;
    std::size_t p_, n_codes_;
    bool local_ = false;  // codes_ holds the split rows' codes, in record order
    std::size_t local_limit_;
    std::vector<std::uint8_t> codes_, code_scratch_;
    // The records' rows, when their codes are read from the matrix.
    std::vector<std::uint32_t> rows_, row_scratch_;
    bool full_;  // histograms over every feature, so children can subtract
    std::vector<Record>* records_ = nullptr;
    std::vector<Record> scratch_;
    std::vector<std::uint16_t> features_;  // a permutation; its first mtry are the node's candidates
    std::vector<std::vector<Moments<K>>> buffers_;
    std::vector<int> free_;
    std::vector<Pending> stack_;
    std::vector<Grown> grown_;
    std::vector<CategorySet> sets_;
    std::vector<Moments<K>> table_;  // small nodes: per code, for two features at once
    std::vector<TreeNode> final_nodes_;
    std::vector<Moments<K>> final_leaves_;
    std::vector<CategorySet> final_sets_;
    std::vector<std::uint32_t> final_depth_;
    // The estimation rows' walks: the grown nodes as a walk table whose
    // leaves' slots are their grown indices, and the walks' scratch.
    ForestTree<RegressionLeaf> walk_;
    std::vector<TreeNode> walk_nodes_;
    std::vector<CategorySet> walk_sets_;
    std::vector<const std::uint8_t*> walk_rows_;
    std::vector<std::uint32_t> leaf_of_, walk_at_, walk_offset_, walk_found_, walk_scratch_;
};

}  // namespace quorvantis::engine

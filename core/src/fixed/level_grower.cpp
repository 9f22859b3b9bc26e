#include "quorvantis/fixed/level_grower.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <type_traits>

#include "quorvantis/fixed/honest_sampling.hpp"
#include "quorvantis/base/page_buffer.hpp"
#include "quorvantis/base/parallel.hpp"

namespace quorvantis::fixed {
namespace {

// Rows of a chunk are handled tree after tree: its matrix lines stay cached
// for all trees, and each tree walks a compacted list of its active rows.
constexpr std::size_t kChunk = 2048;
// Blocks are the unit of parallel work and of partial sums. Their bounds
// depend only on the data's size and the level's shape, never on the pool,
// so every sum, and with it every tree, is the same on any number of threads.
constexpr std::size_t kBlockRows = 65536;
constexpr std::size_t kHistBudget = std::size_t{16} << 20;  // bytes of block histograms per level

bool can_split(std::uint64_t depth, std::uint64_t max_depth, std::size_t n_split, std::uint64_t msl) {
    return depth < max_depth && n_split / 2 >= msl;  // n_split >= 2 * msl without overflow
}

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

// Blocks of at most kBlockRows rows, fewer when the level's histograms would
// not fit the budget; a whole number of chunks each.
struct Blocks {
    std::size_t count = 0, rows = 0;
    Blocks(std::size_t n, std::size_t bytes_per_block) {
        std::size_t want = std::max<std::size_t>(1, (n + kBlockRows - 1) / kBlockRows);
        want = std::min(want, std::max<std::size_t>(1, kHistBudget / std::max<std::size_t>(1, bytes_per_block)));
        rows = (n + want - 1) / want;
        rows = std::max(kChunk, (rows + kChunk - 1) / kChunk * kChunk);
        count = n == 0 ? 0 : (n + rows - 1) / rows;
    }
};

struct LevelNode {
    std::uint32_t grown = 0;
    std::uint64_t key = 0;
    std::size_t n = 0;                  // split rows
    std::vector<ThresholdSet> cand;     // in candidate order
    std::vector<std::uint64_t> ranks;   // drawn ranks, candidate-major, n_draws per candidate
    std::vector<std::uint64_t> wanted;  // distinct drawn ranks, ascending
    std::vector<std::size_t> found;     // split row at each wanted rank
    std::size_t hist = 0;               // offset in a block's histogram area
    std::size_t first_scan = 0;         // first of its candidates in the level's scan table
    int win = -1, pos = -1;             // chosen candidate and its last left bin
    double theta = 0.0;                 // the chosen threshold and its column's byte offset
    std::ptrdiff_t offset = 0;
    std::size_t child[2] = {0, 0};  // next-level index, or `none`
    bool has_child[2] = {false, false};
};

// What the scan needs of a candidate, packed to stay in L1 across a chunk.
struct ScanCand {
    alignas(16) double sorted[16];
    std::ptrdiff_t offset;
    int n_sorted;
};

struct ScanNode {
    std::size_t hist;
    std::size_t first;
};

// Routing a row to its child either re-reads the winner's value from the
// matrix or, with few candidates, uses the bins the scan stored, four bits
// per candidate (Bins is then uint16_t or uint32_t; NoBins re-reads).
struct NoBins {};

template <class Id, class Bins>
class LevelGrower {
public:
    static constexpr Id kDone = std::numeric_limits<Id>::max();
    static constexpr bool kStored = !std::is_same_v<Bins, NoBins>;

    LevelGrower(const MatrixView& x, const VectorView& t, const VectorView& y, std::uint64_t max_depth,
                std::uint64_t msl, std::span<const TreeChoices* const> choices)
        : x_(x), t_(t), y_(y), max_depth_(max_depth), msl_(msl), m_(candidate_count(x.cols)), trees_(choices.size()) {
        for (std::size_t i = 0; i < choices.size(); ++i) trees_[i].choices = choices[i];
    }

    void grow() {
        const std::size_t n = x_.rows, T = trees_.size();
        parallel::parallel_for(T, [&](std::size_t i) {
            Tree& tr = trees_[i];
            tr.est_bits = tr.choices->estimation_rows(n);
            tr.nodes.push_back(GrownNode{});
            if (m_ > 0 && can_split(0, max_depth_, n / 2, msl_)) {
                LevelNode root;
                root.key = tr.choices->root_key();
                root.n = n / 2;
                plan_draws(tr, root);
                select_split_rows(tr.est_bits, n, root.wanted, root.found);
                set_thresholds(root);
                tr.level.push_back(std::move(root));
            }
        });
        ids_ = PageBuffer<Id>(n * T);
        if constexpr (kStored) bins_ = PageBuffer<Bins>(n * T);
        parallel::parallel_for(T, [&](std::size_t i) {
            Id* id = ids_.data() + i * n;
            const bool growing = !trees_[i].level.empty();
            for (std::size_t lo = 0; lo < n; lo += kBlockRows) {
                parallel::checkpoint();
                for (std::size_t r = lo, hi = std::min(n, lo + kBlockRows); r < hi; ++r)
                    id[r] = growing && !is_estimation(trees_[i].est_bits, r) ? Id{0} : kDone;
            }
        });
        for (std::uint32_t depth = 0;; ++depth) {
            std::size_t area = 0;
            for (Tree& tr : trees_)
                for (LevelNode& nd : tr.level) {
                    nd.hist = area;
                    area += m_ * kThresholdBins;
                }
            if (area == 0) break;
            const Blocks blocks(n, area * sizeof(ArmSums));
            hist_ = PageBuffer<ArmSums>(blocks.count * area);
            build_scan_table();
            parallel::parallel_for(blocks.count, [&](std::size_t b) { scan(b, blocks, area); });
            decide(depth, blocks, area);
            if (depth + 1 >= max_depth_) break;
            std::vector<std::vector<LevelNode>> next = children(depth, blocks, area);
            route(blocks, area, next);
            for (std::size_t i = 0; i < T; ++i) {
                for (LevelNode& nd : next[i]) set_thresholds(nd);
                trees_[i].level = std::move(next[i]);
            }
        }
        ids_ = {};
        if constexpr (kStored) bins_ = {};
        hist_ = {};
        scan_cands_ = {};
        scan_nodes_ = {};
    }

    // The grown trees with the estimation-row sums below every node.
    std::vector<GrownTree> finish() {
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
                    walk[i][g] = Step{
                        nd.threshold, static_cast<std::ptrdiff_t>(nd.feature) * x_.col_stride, {nd.left, nd.right}};
                } else {
                    walk[i][g] = Step{0.0, 0, {g, g}};
                    levels[i] = std::max(levels[i], nd.depth);
                }
            }
        }
        const std::size_t blocks = (n + kBlockRows - 1) / kBlockRows;
        PageBuffer<ArmSums> per_block(blocks * offset[T]);
        parallel::parallel_for(blocks, [&](std::size_t blk) {
            ArmSums* sums = per_block.data() + blk * offset[T];
            Chunk chunk;
            Prefetch ahead;
            std::uint16_t rows[kChunk];
            for (std::size_t lo = blk * kBlockRows, hi = std::min(n, lo + kBlockRows); lo < hi; lo += kChunk) {
                parallel::checkpoint();
                const std::size_t len = chunk.load(t_, y_, lo, std::min(hi, lo + kChunk));
                ahead.start(x_, lo + len, std::min(hi, lo + len + kChunk));
                for (std::size_t i = 0; i < T; ++i) {
                    const Step* steps = walk[i].data();
                    ArmSums* tree_sums = sums + offset[i];
                    std::size_t k = 0;
                    for (std::size_t w = 0; w * 64 < len; ++w) {
                        std::uint64_t word = trees_[i].est_bits[(lo >> 6) + w];
                        while (word != 0) {
                            rows[k++] =
                                static_cast<std::uint16_t>(w * 64 + static_cast<std::size_t>(__builtin_ctzll(word)));
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
        std::vector<GrownTree> out(T);
        for (std::size_t i = 0; i < T; ++i) {
            GrownTree& g = out[i];
            g.nodes = std::move(trees_[i].nodes);
            g.estimation.assign(g.nodes.size(), ArmSums{});
            for (std::size_t blk = 0; blk < blocks; ++blk)
                for (std::size_t k = 0; k < g.nodes.size(); ++k)
                    g.estimation[k].merge(per_block[blk * offset[T] + offset[i] + k]);
            // Children come after their parent, so a reverse sweep sums subtrees.
            for (std::size_t k = g.nodes.size(); k-- > 0;) {
                const GrownNode& nd = g.nodes[k];
                if (!nd.split) continue;
                g.estimation[k].merge(g.estimation[nd.left]);
                g.estimation[k].merge(g.estimation[nd.right]);
            }
        }
        return out;
    }

private:
    struct Tree {
        const TreeChoices* choices = nullptr;
        std::vector<std::uint64_t> est_bits;
        std::vector<GrownNode> nodes;
        std::vector<LevelNode> level;
    };

    // Candidate features and drawn ranks of a node that may split.
    void plan_draws(const Tree& tr, LevelNode& nd) const {
        const std::vector<std::uint64_t> features = tr.choices->candidates(nd.key, x_.cols);
        if (features.size() != m_) throw std::logic_error("TreeChoices::candidates must give floor(sqrt(p)) features");
        const std::size_t n_draws = std::min<std::size_t>(nd.n, kMaxDraws);
        nd.cand.resize(m_);
        nd.ranks.resize(m_ * n_draws);
        for (std::size_t c = 0; c < m_; ++c) {
            nd.cand[c].feature = features[c];
            nd.cand[c].n_draws = static_cast<int>(n_draws);
            tr.choices->draws(nd.key, c, n_draws, nd.n, nd.ranks.data() + c * n_draws);
        }
        nd.wanted = nd.ranks;
        std::sort(nd.wanted.begin(), nd.wanted.end());
        nd.wanted.erase(std::unique(nd.wanted.begin(), nd.wanted.end()), nd.wanted.end());
        nd.found.assign(nd.wanted.size(), 0);
    }

    void set_thresholds(LevelNode& nd) const {
        for (std::size_t c = 0; c < nd.cand.size(); ++c) {
            ThresholdSet& cd = nd.cand[c];
            const auto n_draws = static_cast<std::size_t>(cd.n_draws);
            double theta[kMaxDraws];
            const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(cd.feature) * x_.col_stride;
            for (std::size_t j = 0; j < n_draws; ++j) {
                const auto at = std::lower_bound(nd.wanted.begin(), nd.wanted.end(), nd.ranks[c * n_draws + j]);
                theta[j] = load_double(x_.row_ptr(nd.found[static_cast<std::size_t>(at - nd.wanted.begin())]) + offset);
            }
            cd.set(cd.feature, theta, cd.n_draws);
        }
    }

    // Rows of the given ranks among the split rows (ascending) of a tree.
    static void select_split_rows(const std::vector<std::uint64_t>& est_bits, std::size_t n,
                                  const std::vector<std::uint64_t>& wanted, std::vector<std::size_t>& found) {
        std::size_t k = 0;
        std::uint64_t rank = 0;
        for (std::size_t w = 0; w < est_bits.size() && k < wanted.size(); ++w) {
            std::uint64_t split = ~est_bits[w];
            if (w * 64 + 64 > n) split &= (std::uint64_t{1} << (n - w * 64)) - 1;
            const auto count = static_cast<std::uint64_t>(__builtin_popcountll(split));
            while (k < wanted.size() && wanted[k] < rank + count) {
                std::uint64_t bits = split;
                for (std::uint64_t skip = wanted[k] - rank; skip > 0; --skip) bits &= bits - 1;
                found[k++] = w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits));
            }
            rank += count;
        }
    }

    void build_scan_table() {
        scan_nodes_.clear();
        scan_cands_.clear();
        tree_first_.assign(trees_.size() + 1, 0);
        for (std::size_t i = 0; i < trees_.size(); ++i) {
            tree_first_[i] = scan_nodes_.size();
            for (LevelNode& nd : trees_[i].level) {
                nd.first_scan = scan_cands_.size();
                scan_nodes_.push_back(ScanNode{nd.hist, nd.first_scan});
                for (const ThresholdSet& c : nd.cand) {
                    ScanCand sc;
                    std::copy(c.sorted, c.sorted + 16, sc.sorted);
                    sc.offset = static_cast<std::ptrdiff_t>(c.feature) * x_.col_stride;
                    sc.n_sorted = c.n_sorted;
                    scan_cands_.push_back(sc);
                }
            }
        }
        tree_first_[trees_.size()] = scan_nodes_.size();
    }

    void scan(std::size_t blk, const Blocks& blocks, std::size_t area) {
        switch (m_) {
            case 1:
                return scan_block<1>(blk, blocks, area);
            case 2:
                return scan_block<2>(blk, blocks, area);
            case 3:
                return scan_block<3>(blk, blocks, area);
            case 4:
                return scan_block<4>(blk, blocks, area);
            case 5:
                return scan_block<5>(blk, blocks, area);
            case 6:
                return scan_block<6>(blk, blocks, area);
            case 7:
                return scan_block<7>(blk, blocks, area);
            case 8:
                return scan_block<8>(blk, blocks, area);
            default:
                return scan_block<0>(blk, blocks, area);
        }
    }

    // M candidates per node, or m_ of them when M is 0.
    template <std::size_t M>
    void scan_block(std::size_t blk, const Blocks& blocks, std::size_t area) {
        const std::size_t n = x_.rows, T = trees_.size();
        const std::size_t m = M > 0 ? M : m_;
        ArmSums* hist = hist_.data() + blk * area;
        Chunk chunk;
        Prefetch ahead;
        std::uint16_t active[kChunk];
        for (std::size_t lo = blk * blocks.rows, hi = std::min(n, lo + blocks.rows); lo < hi; lo += kChunk) {
            parallel::checkpoint();
            const std::size_t len = chunk.load(t_, y_, lo, std::min(hi, lo + kChunk));
            ahead.start(x_, lo + len, std::min(hi, lo + len + kChunk));
            for (std::size_t i = 0; i < T; ++i) {
                const Id* id = ids_.data() + i * n + lo;
                [[maybe_unused]] Bins* bins = nullptr;
                if constexpr (kStored) bins = bins_.data() + i * n + lo;
                const ScanNode* level = scan_nodes_.data() + tree_first_[i];
                std::size_t k = 0;
                for (std::size_t j = 0; j < len; ++j) {
                    active[k] = static_cast<std::uint16_t>(j);
                    k += id[j] != kDone;
                }
                for (std::size_t q = 0; q < k; ++q) {
                    ahead.step();
                    const std::size_t j = active[q];
                    const ScanNode& nd = level[id[j]];
                    const ScanCand* cands = scan_cands_.data() + nd.first;
                    const std::byte* row = x_.row_ptr(lo + j);
                    ArmSums* h = hist + nd.hist;
                    const bool arm = chunk.arm[j];
                    const double yy = chunk.y[j];
                    [[maybe_unused]] unsigned packed = 0;
                    for (std::size_t c = 0; c < m; ++c) {
                        const unsigned b =
                            bin_of(load_double(row + cands[c].offset), cands[c].sorted, cands[c].n_sorted);
                        h[c * kThresholdBins + b].add(arm, yy);
                        if constexpr (kStored) packed |= b << (4 * c);
                    }
                    if constexpr (kStored) bins[j] = static_cast<Bins>(packed);
                }
            }
        }
    }

    // Best split of every node on the level: the higher score wins, ties go
    // to the later candidate.
    void decide(std::uint32_t depth, const Blocks& blocks, std::size_t area) {
        merged_.assign(area, ArmSums{});
        for (std::size_t blk = 0; blk < blocks.count; ++blk) {
            const ArmSums* h = hist_.data() + blk * area;
            for (std::size_t k = 0; k < area; ++k) merged_[k].merge(h[k]);
        }
        parallel::parallel_for(trees_.size(), [&](std::size_t i) {
            Tree& tr = trees_[i];
            for (LevelNode& nd : tr.level) {
                DrawChoice best;
                for (std::size_t c = 0; c < nd.cand.size(); ++c)
                    best = later_wins_ties(
                        best, best_draw(nd.cand[c], merged_.data() + nd.hist + c * kThresholdBins, msl_, c));
                if (best.draw < 0) continue;
                const ThresholdSet& win = nd.cand[best.candidate];
                nd.win = static_cast<int>(best.candidate);
                nd.pos = win.position[best.draw];
                nd.theta = win.theta[best.draw];
                nd.offset = static_cast<std::ptrdiff_t>(win.feature) * x_.col_stride;
                GrownNode& g = tr.nodes[nd.grown];
                g.split = true;
                g.feature = win.feature;
                g.threshold = nd.theta;
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

    std::size_t left_in(const ArmSums* h, const LevelNode& nd) const {
        h += nd.hist + static_cast<std::size_t>(nd.win) * kThresholdBins;
        std::size_t l = 0;
        for (int b = 0; b <= nd.pos; ++b) l += h[b].total();
        return l;
    }
    std::size_t rows_in(const ArmSums* h, const LevelNode& nd) const {
        h += nd.hist;
        std::size_t l = 0;
        for (std::size_t b = 0; b < kThresholdBins; ++b) l += h[b].total();
        return l;
    }

    // Next level's nodes: children that may split, with their draws planned.
    std::vector<std::vector<LevelNode>> children(std::uint32_t depth, const Blocks&, std::size_t) {
        std::vector<std::vector<LevelNode>> next(trees_.size());
        parallel::parallel_for(trees_.size(), [&](std::size_t i) {
            Tree& tr = trees_[i];
            for (LevelNode& nd : tr.level) {
                if (nd.win < 0) continue;
                const std::size_t n_left = left_in(merged_.data(), nd);
                const std::size_t sizes[2] = {n_left, nd.n - n_left};
                const GrownNode& g = tr.nodes[nd.grown];
                for (int side = 0; side < 2; ++side) {
                    if (!can_split(depth + 1, max_depth_, sizes[side], msl_)) continue;
                    LevelNode ch;
                    ch.grown = side == 0 ? g.left : g.right;
                    ch.key = tr.choices->child_key(nd.key, side == 1);
                    ch.n = sizes[side];
                    plan_draws(tr, ch);
                    nd.child[side] = next[i].size();
                    nd.has_child[side] = true;
                    next[i].push_back(std::move(ch));
                }
            }
        });
        return next;
    }

    // Moves every split row to its child and records the rows at the drawn
    // ranks. A block's starting rank in each child comes from the block
    // histograms of the blocks before it.
    void route(const Blocks& blocks, std::size_t area, std::vector<std::vector<LevelNode>>& next) {
        const std::size_t T = trees_.size();
        std::vector<std::size_t> child_base(T + 1, 0);
        for (std::size_t i = 0; i < T; ++i) child_base[i + 1] = child_base[i] + next[i].size();
        const std::size_t C = child_base[T];
        std::vector<std::uint64_t> start(blocks.count * C, 0);
        for (std::size_t i = 0; i < T; ++i) {
            for (const LevelNode& nd : trees_[i].level) {
                if (nd.win < 0) continue;
                std::uint64_t before[2] = {0, 0};
                for (std::size_t blk = 0; blk < blocks.count; ++blk) {
                    const ArmSums* h = hist_.data() + blk * area;
                    const std::size_t l = left_in(h, nd);
                    const std::size_t counts[2] = {l, rows_in(h, nd) - l};
                    for (int side = 0; side < 2; ++side) {
                        if (nd.has_child[side]) start[blk * C + child_base[i] + nd.child[side]] = before[side];
                        before[side] += counts[side];
                    }
                }
            }
        }
        parallel::parallel_for(blocks.count, [&](std::size_t blk) {
            std::vector<std::uint64_t> rank(start.begin() + static_cast<std::ptrdiff_t>(blk * C),
                                            start.begin() + static_cast<std::ptrdiff_t>((blk + 1) * C));
            std::vector<std::size_t> cursor(C);
            for (std::size_t i = 0; i < T; ++i)
                for (std::size_t u = 0; u < next[i].size(); ++u) {
                    const auto& w = next[i][u].wanted;
                    cursor[child_base[i] + u] = static_cast<std::size_t>(
                        std::lower_bound(w.begin(), w.end(), rank[child_base[i] + u]) - w.begin());
                }
            const std::size_t n = x_.rows, lo = blk * blocks.rows, hi = std::min(n, lo + blocks.rows);
            std::uint32_t active[kChunk];
            for (std::size_t c_lo = lo; c_lo < hi; c_lo += kChunk) {
                parallel::checkpoint();
                const std::size_t c_hi = std::min(hi, c_lo + kChunk);
                for (std::size_t i = 0; i < T; ++i) {
                    Id* id = ids_.data() + i * n;
                    [[maybe_unused]] const Bins* bins = nullptr;
                    if constexpr (kStored) bins = bins_.data() + i * n;
                    const LevelNode* level = trees_[i].level.data();
                    std::uint64_t* tree_rank = rank.data() + child_base[i];
                    std::size_t* tree_cursor = cursor.data() + child_base[i];
                    std::size_t k = 0;
                    for (std::size_t r = c_lo; r < c_hi; ++r) {
                        active[k] = static_cast<std::uint32_t>(r - c_lo);
                        k += id[r] != kDone;
                    }
                    for (std::size_t q = 0; q < k; ++q) {
                        const std::size_t r = c_lo + active[q];
                        const LevelNode& nd = level[id[r]];
                        if (nd.win < 0) {
                            id[r] = kDone;
                            continue;
                        }
                        int side;
                        if constexpr (kStored) {
                            side = static_cast<int>((bins[r] >> (4 * nd.win)) & 15) > nd.pos;
                        } else {
                            side = !(load_double(x_.row_ptr(r) + nd.offset) <= nd.theta);
                        }
                        if (!nd.has_child[side]) {
                            id[r] = kDone;
                            continue;
                        }
                        const std::size_t u = nd.child[side];
                        id[r] = static_cast<Id>(u);
                        LevelNode& ch = next[i][u];
                        const std::size_t at = tree_cursor[u];
                        if (at < ch.wanted.size() && ch.wanted[at] == tree_rank[u]) {
                            ch.found[at] = r;
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
    std::size_t m_;
    std::vector<Tree> trees_;
    PageBuffer<Id> ids_;  // [tree][row]: the row's node on the level, kDone once out of the growth
    PageBuffer<std::conditional_t<kStored, Bins, char>> bins_;  // [tree][row], when stored
    PageBuffer<ArmSums> hist_;                                  // [block][level area]
    std::vector<ArmSums> merged_;
    std::vector<ScanNode> scan_nodes_;
    std::vector<ScanCand> scan_cands_;
    std::vector<std::size_t> tree_first_;
};

// Nodes on one level: at most 2^depth, and at most one per row plus one per
// split above (children may be empty when min_samples_leaf is 0).
std::uint64_t level_width_bound(std::size_t n, std::uint64_t max_depth) {
    const std::uint64_t by_rows = 2 * static_cast<std::uint64_t>(n) + 1;
    if (max_depth == 0) return 1;
    if (max_depth - 1 >= 63) return by_rows;
    return std::min<std::uint64_t>(std::uint64_t{1} << (max_depth - 1), by_rows);
}

template <class Id>
std::vector<GrownTree> grow_with(const MatrixView& x, const VectorView& t, const VectorView& y, std::uint64_t max_depth,
                                 std::uint64_t msl, std::span<const TreeChoices* const> choices) {
    auto run = [&](auto grower) {
        grower.grow();
        return grower.finish();
    };
    const std::size_t m = candidate_count(x.cols);
    if (m <= 4) return run(LevelGrower<Id, std::uint16_t>(x, t, y, max_depth, msl, choices));
    if (m <= 8) return run(LevelGrower<Id, std::uint32_t>(x, t, y, max_depth, msl, choices));
    return run(LevelGrower<Id, NoBins>(x, t, y, max_depth, msl, choices));
}

}  // namespace

std::vector<GrownTree> grow_trees(const MatrixView& features, const VectorView& treatment, const VectorView& outcome,
                                  std::uint64_t max_depth, std::uint64_t min_samples_leaf,
                                  std::span<const TreeChoices* const> choices) {
    // The narrowest node id that holds a level's width and the "done" mark.
    const std::uint64_t width = level_width_bound(features.rows, max_depth);
    if (width < 0xff)
        return grow_with<std::uint8_t>(features, treatment, outcome, max_depth, min_samples_leaf, choices);
    if (width < 0xffff)
        return grow_with<std::uint16_t>(features, treatment, outcome, max_depth, min_samples_leaf, choices);
    return grow_with<std::uint64_t>(features, treatment, outcome, max_depth, min_samples_leaf, choices);
}

}  // namespace quorvantis::fixed

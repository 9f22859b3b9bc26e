#include "quorvantis/estimators/causal_forest.hpp"

#include <algorithm>
#include <optional>

#include "quorvantis/estimators/regression_forest.hpp"
#include "quorvantis/forest/trainer.hpp"
#include "quorvantis/parallel.hpp"
#include "quorvantis/random.hpp"
#include "quorvantis/serial_io.hpp"

namespace quorvantis::engine {
namespace {

constexpr std::uint16_t kFormat = 1;
constexpr unsigned char kCausalForestKind = 3;
constexpr std::uint64_t kOutcomeStream = 0x6f7574636f6d65ULL;
constexpr std::uint64_t kTreatmentStream = 0x74726561746dULL;
constexpr std::uint64_t kCausalStream = 0x63617573616cULL;

ForestOptions nuisance_options(const ForestOptions& o, std::uint64_t stream) {
    ForestOptions n = o;
    n.n_trees = std::max<std::size_t>(50, o.n_trees / 4);
    n.ci_group_size = 1;
    n.seed = derive_seed(o.seed, stream);
    return n;
}

TreeProgress counting(FitProgress* progress) {
    if (progress == nullptr) return {};
    return [progress](std::size_t done) { progress->trees_done.store(done, std::memory_order_relaxed); };
}

void begin(FitProgress* progress, FitProgress::Stage stage, std::size_t total) {
    if (progress == nullptr) return;
    progress->trees_done.store(0, std::memory_order_relaxed);
    progress->trees_total.store(total, std::memory_order_relaxed);
    progress->stage.store(stage, std::memory_order_relaxed);
}

void write_doubles(ByteWriter& w, const std::vector<double>& v) {
    w.u64(v.size());
    for (const double d : v) w.f64(d);
}

bool read_doubles(ByteReader& r, std::vector<double>& v, std::size_t expected) {
    const std::uint64_t n = r.u64();
    if (r.failed || n != expected || n > r.remaining() / 8) return false;
    v.resize(static_cast<std::size_t>(n));
    for (double& d : v) d = r.f64();
    return !r.failed;
}

}  // namespace

std::vector<double> depth_weighted_importance(const std::vector<double>& counts, std::size_t p) {
    std::vector<double> out(p, 0.0);
    for (std::size_t d = 0; d < SplitCounts::kDepths && (d + 1) * p <= counts.size(); ++d) {
        double at_depth = 0.0;
        for (std::size_t f = 0; f < p; ++f) at_depth += counts[d * p + f];
        const double weight = 1.0 / static_cast<double>((d + 1) * (d + 1));
        if (at_depth == 0.0) continue;
        for (std::size_t f = 0; f < p; ++f) out[f] += weight * counts[d * p + f] / at_depth;
    }
    double total = 0.0;
    for (const double v : out) total += v;
    if (total > 0.0)
        for (double& v : out) v /= total;
    return out;
}

Result<CausalForestModel> CausalForestModel::fit(const FitInput& in, const ForestOptions& options,
                                                 FitProgress* progress, const Interrupt& interrupt) {
    const std::size_t n = in.x.rows, p = in.x.cols;
    if (const std::string why = options.check(n, p); !why.empty()) return QuorvantisError::internal(why);
    if (in.w.size < n || in.y.size < n || (in.y_hat && in.y_hat->size < n) || (in.w_hat && in.w_hat->size < n))
        return QuorvantisError::internal("every vector needs an entry for each row of x");
    CausalForestModel model;
    parallel::JobOptions job;
    job.interrupt = interrupt;
    job.max_threads = options.n_threads;
    const std::optional<Halt> halt = parallel::run_job(
        [&] {
            begin(progress, FitProgress::Binning, 0);
            model.cuts_ = BinCuts::fit(in.x, options.max_bins);
            const CodedRows codes = model.cuts_.encode(in.x);
            model.group_ = options.ci_group_size;
            std::vector<double> w(n), y(n);
            for (std::size_t i = 0; i < n; ++i) {
                w[i] = in.w[i];
                y[i] = in.y[i];
            }
            const VectorView wv = VectorView::of(w.data(), n), yv = VectorView::of(y.data(), n);
            if (in.y_hat != nullptr) {
                model.y_hat_.resize(n);
                for (std::size_t i = 0; i < n; ++i) model.y_hat_[i] = (*in.y_hat)[i];
            } else {
                const ForestOptions o = nuisance_options(options, kOutcomeStream);
                begin(progress, FitProgress::OutcomeModel, o.n_trees);
                model.y_hat_ = out_of_bag_regression(codes, model.cuts_, yv, o, counting(progress));
            }
            if (in.w_hat != nullptr) {
                model.w_hat_.resize(n);
                for (std::size_t i = 0; i < n; ++i) model.w_hat_[i] = (*in.w_hat)[i];
            } else {
                const ForestOptions o = nuisance_options(options, kTreatmentStream);
                begin(progress, FitProgress::TreatmentModel, o.n_trees);
                model.w_hat_ = out_of_bag_regression(codes, model.cuts_, wv, o, counting(progress));
            }
            std::vector<Moments<CausalCriterion::K>> rows(n);
            for (std::size_t i = 0; i < n; ++i)
                rows[i] = CausalCriterion::record(w[i] - model.w_hat_[i], y[i] - model.y_hat_[i], w[i] > 0.5);
            ForestOptions causal = options;
            causal.seed = derive_seed(options.seed, kCausalStream);
            begin(progress, FitProgress::CausalTrees, causal.n_trees);
            TrainedForest<CausalCriterion> forest =
                train_forest<CausalCriterion>(codes, model.cuts_, rows, causal, counting(progress));
            rows = {};
            begin(progress, FitProgress::OutOfBag, 0);
            model.oob_tau_ =
                predict_causal(forest.trees, model.group_, codes, model.cuts_.missing_code(), false, &forest.in_bag)
                    .tau;
            // A row that no tree left out keeps no out-of-bag effect; the
            // average effects use the forest's effect there instead.
            std::vector<double> tau = model.oob_tau_;
            bool missing = false;
            for (const double t : tau) missing |= std::isnan(t);
            if (missing) {
                const std::vector<double> all =
                    predict_causal(forest.trees, model.group_, codes, model.cuts_.missing_code(), false).tau;
                for (std::size_t i = 0; i < n; ++i)
                    if (std::isnan(tau[i])) tau[i] = all[i];
            }
            model.importance_ = depth_weighted_importance(forest.splits.at, p);
            model.trees_ = std::move(forest.trees);
            for (const EffectTarget t : {EffectTarget::All, EffectTarget::Treated, EffectTarget::Control})
                model.ate_[static_cast<int>(t)] = average_effect(t, w, y, model.y_hat_, model.w_hat_, tau);
            model.outside_ = share_outside(model.w_hat_);
            begin(progress, FitProgress::Done, 0);
        },
        job);
    if (halt) return *halt;
    return model;
}

Result<CausalPrediction> CausalForestModel::predict(const MatrixView& x, bool variance, std::size_t n_threads,
                                                    const Interrupt& interrupt) const {
    if (x.cols < features()) return QuorvantisError::feature_out_of_bounds(x.cols);
    CausalPrediction out;
    parallel::JobOptions job;
    job.interrupt = interrupt;
    job.max_threads = n_threads;
    const std::optional<Halt> halt = parallel::run_job(
        [&] {
            const CodedRows codes = cuts_.encode(x);
            out = predict_causal(trees_, group_, codes, cuts_.missing_code(), variance && group_ > 1);
        },
        job);
    if (halt) return *halt;
    return out;
}

std::vector<unsigned char> CausalForestModel::serialize() const {
    ByteWriter w;
    w.u64(group_);
    cuts_.write(w);
    w.u64(trees_.size());
    for (const auto& t : trees_) {
        const std::vector<TreeNode> nodes = t.nodes();
        w.u64(nodes.size());
        for (const TreeNode& nd : nodes) {
            w.u32(nd.next);
            w.u16(nd.feature);
            w.u8(nd.bin);
            w.u8(nd.flags);
        }
        w.u64(t.leaves.size());
        for (const CausalLeaf& l : t.leaves) {
            w.f64(l.n);
            w.f64(l.w);
            w.f64(l.y);
            w.f64(l.wy);
            w.f64(l.ww);
        }
    }
    write_doubles(w, importance_);
    write_doubles(w, oob_tau_);
    write_doubles(w, y_hat_);
    write_doubles(w, w_hat_);
    for (const AverageEffect& a : ate_) {
        w.f64(a.estimate);
        w.f64(a.std_error);
    }
    w.f64(outside_);
    return seal(kFormat, kCausalForestKind, w.out);
}

Result<CausalForestModel> CausalForestModel::deserialize(std::span<const unsigned char> bytes) {
    auto refuse = [](const std::string& why) { return QuorvantisError::internal("invalid serialised forest: " + why); };
    const Unsealed frame = unseal(bytes, kFormat);
    if (!frame.error.empty()) return refuse(frame.error);
    if (frame.kind != kCausalForestKind) return refuse("not a causal forest (kind " + std::to_string(frame.kind) + ")");
    ByteReader r(frame.payload);
    CausalForestModel m;
    m.group_ = static_cast<std::size_t>(r.u64());
    std::string error;
    if (r.failed || m.group_ < 1 || m.group_ > 1024) return refuse("bad confidence group size");
    if (!m.cuts_.read(r, error)) return refuse(error);
    const std::size_t p = m.cuts_.features();
    const std::uint64_t n_trees = r.u64();
    if (r.failed || n_trees == 0 || n_trees % m.group_ != 0 || n_trees > r.remaining() / 24)
        return refuse("bad tree count");
    m.trees_.resize(static_cast<std::size_t>(n_trees));
    for (auto& t : m.trees_) {
        const std::uint64_t nodes = r.u64();
        if (r.failed || nodes == 0 || nodes > r.remaining() / 8) return refuse("tree nodes truncated");
        std::vector<TreeNode> stored(static_cast<std::size_t>(nodes));
        for (TreeNode& nd : stored) {
            nd.next = r.u32();
            nd.feature = r.u16();
            nd.bin = r.u8();
            nd.flags = r.u8();
        }
        const std::uint64_t leaves = r.u64();
        if (r.failed || leaves == 0 || leaves > r.remaining() / 40) return refuse("tree leaves truncated");
        t.leaves.resize(static_cast<std::size_t>(leaves));
        for (CausalLeaf& l : t.leaves) {
            l.n = r.f64();
            l.w = r.f64();
            l.y = r.f64();
            l.wy = r.f64();
            l.ww = r.f64();
        }
        // Every walk must end in a leaf of this tree: splits point forward
        // to two nodes, features exist, leaves index the leaf table.
        for (std::size_t i = 0; i < stored.size(); ++i) {
            const TreeNode& nd = stored[i];
            if (nd.flags & kLeafNode) {
                if (nd.next >= t.leaves.size()) return refuse("leaf index out of range");
            } else if (nd.next <= i || nd.next + 1 >= stored.size() || nd.feature >= p) {
                return refuse("split node out of range");
            }
        }
        t.set_nodes(stored);
    }
    if (!read_doubles(r, m.importance_, p)) return refuse("importances truncated");
    const std::uint64_t rows = r.u64();
    if (r.failed || rows > r.remaining() / 8) return refuse("training estimates truncated");
    auto read_rows = [&](std::vector<double>& v) {
        v.resize(static_cast<std::size_t>(rows));
        for (double& d : v) d = r.f64();
    };
    read_rows(m.oob_tau_);
    if (!read_doubles(r, m.y_hat_, static_cast<std::size_t>(rows)) ||
        !read_doubles(r, m.w_hat_, static_cast<std::size_t>(rows)))
        return refuse("training estimates truncated");
    for (AverageEffect& a : m.ate_) {
        a.estimate = r.f64();
        a.std_error = r.f64();
    }
    m.outside_ = r.f64();
    if (r.failed) return refuse("truncated");
    if (r.remaining() != 0) return refuse(std::to_string(r.remaining()) + " bytes left over");
    return m;
}

}  // namespace quorvantis::engine

#include "quorvantis/engine/estimators/staged_fit.hpp"

#include <algorithm>
#include <type_traits>

#include "quorvantis/engine/estimators/calibration.hpp"
#include "quorvantis/engine/forest/forest_codec.hpp"
#include "quorvantis/base/random.hpp"
#include "quorvantis/base/serial_frame.hpp"

namespace quorvantis::engine {
namespace {

// Format 2 holds categorical features and category sets; see causal_forest.cpp.
constexpr std::uint16_t kFormat = 1;
constexpr std::uint16_t kNewestFormat = 2;
constexpr unsigned char kTrainingKind = 4;
constexpr unsigned char kBatchKind = 5;
constexpr unsigned char kSumsKind = 6;
constexpr std::uint64_t kOutcomeStream = 0x6f7574636f6d65ULL;
constexpr std::uint64_t kTreatmentStream = 0x74726561746dULL;
constexpr std::uint64_t kCausalStream = 0x63617573616cULL;

template <class C>
void keep(TreeBatch& batch, TrainedForest<C>&& forest) {
    if constexpr (std::is_same_v<typename C::Leaf, CausalLeaf>)
        batch.causal = std::move(forest.trees);
    else
        batch.regression = std::move(forest.trees);
    batch.splits = std::move(forest.splits);
    batch.in_bag = std::move(forest.in_bag);
}

}  // namespace

const char* stage_name(FitStage stage) noexcept {
    switch (stage) {
        case FitStage::Outcome:
            return "outcome";
        case FitStage::Treatment:
            return "treatment";
        case FitStage::Causal:
            break;
    }
    return "causal";
}

TrainingData prepare_training(const MatrixView& x, const VectorView& w, const VectorView& y,
                              const ForestOptions& options, std::span<const std::uint16_t> categories) {
    TrainingData data;
    data.cuts = BinCuts::fit(x, options.max_bins, categories);
    data.codes = data.cuts.encode(x);
    data.w.resize(x.rows);
    data.y.resize(x.rows);
    for (std::size_t i = 0; i < x.rows; ++i) {
        data.w[i] = w[i];
        data.y[i] = y[i];
    }
    return data;
}

ForestOptions stage_options(const ForestOptions& o, FitStage stage) {
    ForestOptions s = o;
    switch (stage) {
        case FitStage::Outcome:
        case FitStage::Treatment:
            s.n_trees = std::max<std::size_t>(50, o.n_trees / 4);
            s.ci_group_size = 1;
            s.seed = derive_seed(o.seed, stage == FitStage::Outcome ? kOutcomeStream : kTreatmentStream);
            if (!o.smooth_nuisance) {
                // Less smoothing than with the causal trees' settings, whose wide
                // leaves pull the propensity toward 0.5 at small n and bias the
                // average effects. Still honest: adaptive leaves reach 0 and 1 where
                // one arm dominates, and the inverse weights explode.
                // (Measured in bench/causal/ate_coverage.py.)
                s.honesty = true;
                s.min_samples_leaf = 2;
                s.sample_fraction = 0.8;
            }
            break;
        case FitStage::Causal:
            s.seed = derive_seed(o.seed, kCausalStream);
            break;
    }
    return s;
}

std::size_t stage_groups(const ForestOptions& o, FitStage stage) {
    const ForestOptions s = stage_options(o, stage);
    return s.n_trees / std::max<std::size_t>(1, s.ci_group_size);
}

TreeBatch grow_batch(const TrainingData& data, FitStage stage, const ForestOptions& options,
                     std::span<const double> y_hat, std::span<const double> t_hat, std::size_t first, std::size_t last,
                     const TreeProgress& progress, bool keep_in_bag) {
    const ForestOptions o = stage_options(options, stage);
    const std::size_t n = data.codes.rows;
    TreeBatch batch;
    batch.stage = stage;
    batch.last = std::min(last, stage_groups(options, stage));
    batch.first = std::min(first, batch.last);
    const std::vector<std::uint32_t>* clusters = data.cluster_rows();
    const bool weighted = !data.weights.empty();
    if (stage == FitStage::Causal && weighted) {
        using C = WeightedCausalCriterion;
        std::vector<Moments<C::K>> rows(n);
        for (std::size_t i = 0; i < n; ++i)
            rows[i] = C::record(data.w[i] - t_hat[i], data.y[i] - y_hat[i], data.w[i] > 0.5, data.weights[i]);
        keep(batch,
             train_forest<C>(data.codes, data.cuts, rows, o, progress, batch.first, batch.last, clusters, keep_in_bag));
    } else if (stage == FitStage::Causal) {
        std::vector<Moments<CausalCriterion::K>> rows(n);
        for (std::size_t i = 0; i < n; ++i)
            rows[i] = CausalCriterion::record(data.w[i] - t_hat[i], data.y[i] - y_hat[i], data.w[i] > 0.5);
        keep(batch, train_forest<CausalCriterion>(data.codes, data.cuts, rows, o, progress, batch.first, batch.last,
                                                  clusters, keep_in_bag));
    } else if (weighted) {
        using C = WeightedRegressionCriterion;
        const std::vector<double>& response = stage == FitStage::Outcome ? data.y : data.w;
        std::vector<Moments<C::K>> rows(n);
        for (std::size_t i = 0; i < n; ++i) rows[i] = C::record(response[i], data.weights[i]);
        keep(batch,
             train_forest<C>(data.codes, data.cuts, rows, o, progress, batch.first, batch.last, clusters, keep_in_bag));
    } else {
        const std::vector<double>& response = stage == FitStage::Outcome ? data.y : data.w;
        std::vector<Moments<RegressionCriterion::K>> rows(n);
        for (std::size_t i = 0; i < n; ++i) rows[i] = RegressionCriterion::record(response[i]);
        keep(batch, train_forest<RegressionCriterion>(data.codes, data.cuts, rows, o, progress, batch.first, batch.last,
                                                      clusters, keep_in_bag));
    }
    return batch;
}

Result<std::vector<TreeBatch>> order_batches(std::vector<TreeBatch> batches, FitStage stage,
                                             const ForestOptions& options, std::size_t first, bool complete) {
    std::sort(batches.begin(), batches.end(), [](const TreeBatch& a, const TreeBatch& b) { return a.first < b.first; });
    const std::size_t groups = stage_groups(options, stage);
    const std::size_t per_group = std::max<std::size_t>(1, stage_options(options, stage).ci_group_size);
    std::size_t next = first;
    for (const TreeBatch& b : batches) {
        if (b.stage != stage) return QuorvantisError::internal("a tree batch of another stage");
        if (b.first != next)
            return QuorvantisError::internal(b.first < next ? "tree batches overlap at group " + std::to_string(b.first)
                                                            : "no tree batch holds group " + std::to_string(next));
        const std::size_t trees = stage == FitStage::Causal ? b.causal.size() : b.regression.size();
        if (trees != (b.last - b.first) * per_group)
            return QuorvantisError::internal("a tree batch lacks trees of groups " + std::to_string(b.first) + " to " +
                                             std::to_string(b.last));
        next = b.last;
    }
    if (next > groups || (complete && next != groups))
        return QuorvantisError::internal("no tree batch holds group " + std::to_string(next));
    return batches;
}

namespace {

std::vector<double> calibrated(std::vector<double> out, const TrainingData& data, FitStage stage,
                               const ForestOptions& options) {
    if (!options.smooth_nuisance) {
        if (stage == FitStage::Treatment)
            calibrate_propensity(out, data.w);
        else
            calibrate_outcome(out, data.y);
    }
    return out;
}

// Groups of a nuisance stage grown at a time when the trees are folded in as
// they come: a slice's trees are all that is held (at 1M rows the whole
// stage would hold more than 1 GiB), and the pool waits for the slice's last
// group only a few times per stage.
constexpr std::size_t kSliceGroups = 64;
// Smaller trees take larger slices, up to about this many bytes at some 8
// bytes a row a tree: a fit on a few thousand rows grows each stage at once,
// without the wait for a slice's last tree.
constexpr std::size_t kSliceBytes = std::size_t{64} << 20;

std::size_t slice_groups(std::size_t rows) {
    return std::max(kSliceGroups, kSliceBytes / (8 * std::max<std::size_t>(rows, 1)));
}

}  // namespace

Result<NuisanceSums> add_nuisance(const TrainingData& data, FitStage stage, const ForestOptions& options,
                                  const NuisanceSums* sums, std::vector<TreeBatch> batches, bool complete) {
    const std::size_t n = data.codes.rows;
    if (sums != nullptr && (sums->stage != stage || sums->oob.rows() != n))
        return QuorvantisError::internal("nuisance sums of another stage or other rows");
    Result<std::vector<TreeBatch>> ordered =
        order_batches(std::move(batches), stage, options, sums != nullptr ? sums->next : 0, complete);
    if (!ordered) return ordered.take_error();
    NuisanceSums out = sums != nullptr ? *sums : NuisanceSums{stage, 0, RegressionOob(n)};
    const ForestOptions o = stage_options(options, stage);
    for (TreeBatch& b : ordered.value()) {
        if (b.in_bag.empty()) b.in_bag = rebuild_in_bag(n, o, b.first, b.last, data.cluster_rows());
        out.oob.add(b.regression, b.in_bag, data.codes);
        out.next = b.last;
        b = TreeBatch{};
    }
    return out;
}

std::vector<double> nuisance_estimates(const TrainingData& data, const ForestOptions& options,
                                       const NuisanceSums& sums) {
    return calibrated(sums.oob.finish(), data, sums.stage, options);
}

std::vector<double> grow_nuisance(const TrainingData& data, FitStage stage, const ForestOptions& options,
                                  const TreeProgress& progress) {
    const std::size_t groups = stage_groups(options, stage), slice = slice_groups(data.codes.rows);
    RegressionOob oob(data.codes.rows);
    for (std::size_t first = 0; first < groups; first += slice) {
        TreeProgress slice_progress;
        if (progress) slice_progress = [&progress, first](std::size_t done) { progress(first + done); };
        const TreeBatch b = grow_batch(data, stage, options, {}, {}, first, first + slice, slice_progress);
        oob.add(b.regression, b.in_bag, data.codes);
    }
    return calibrated(oob.finish(), data, stage, options);
}

std::vector<unsigned char> TrainingData::serialize() const {
    ByteWriter w;
    w.out.reserve(kSerialHeader + codes.rows * (codes.cols + 16) + weights.size() * 8 + clusters.size() * 8 +
                  (1 << 16));
    w.out.resize(kSerialHeader);
    cuts.write(w);
    if (cuts.any_categorical()) cuts.write_categories(w);
    w.u64(codes.rows);
    w.bytes(codes.codes.data(), codes.rows * codes.cols);
    w.f64s(this->w);
    w.f64s(y);
    w.u64(weights.size());
    w.f64s(weights);
    w.u64(clusters.size());
    for (const std::uint32_t c : clusters) w.u64(c);
    return seal_in_place(cuts.any_categorical() ? kNewestFormat : kFormat, kTrainingKind, std::move(w.out));
}

Result<TrainingData> TrainingData::deserialize(std::span<const unsigned char> bytes) {
    auto refuse = [](const std::string& why) { return QuorvantisError::internal("invalid training data: " + why); };
    const Unsealed frame = unseal(bytes, kFormat, kNewestFormat);
    if (!frame.error.empty()) return refuse(frame.error);
    if (frame.kind != kTrainingKind) return refuse("not training data");
    ByteReader r(frame.payload);
    TrainingData d;
    std::string error;
    if (!d.cuts.read(r, error)) return refuse(error);
    if (frame.version >= kFirstSetFormat && !d.cuts.read_categories(r, error)) return refuse(error);
    const std::uint64_t n = r.u64();
    const std::size_t p = d.cuts.features();
    if (r.failed || (p > 0 && n > r.remaining() / (p + 16))) return refuse("truncated");
    d.codes.rows = static_cast<std::size_t>(n);
    d.codes.cols = p;
    d.codes.codes = PageBuffer<std::uint8_t>(d.codes.rows * p);
    std::uint8_t* codes = d.codes.codes.data();
    r.bytes(codes, d.codes.rows * p);
    if (std::any_of(codes, codes + d.codes.rows * p, [&](std::uint8_t c) { return c > d.cuts.missing_code(); }))
        return refuse("a code above the missing code");
    d.w.resize(d.codes.rows);
    d.y.resize(d.codes.rows);
    r.f64s(d.w);
    r.f64s(d.y);
    const std::uint64_t n_weights = r.u64();
    if (r.failed || (n_weights != 0 && n_weights != n)) return refuse("bad weights");
    d.weights.resize(static_cast<std::size_t>(n_weights));
    r.f64s(d.weights);
    const std::uint64_t n_clusters = r.u64();
    if (r.failed || (n_clusters != 0 && n_clusters != n)) return refuse("bad clusters");
    d.clusters.resize(static_cast<std::size_t>(n_clusters));
    for (std::uint32_t& c : d.clusters) {
        const std::uint64_t v = r.u64();
        if (v >= n) return refuse("a cluster number above the rows");
        c = static_cast<std::uint32_t>(v);
    }
    if (r.failed || r.remaining() != 0) return refuse("truncated or trailing bytes");
    return d;
}

std::vector<unsigned char> TreeBatch::serialize() const {
    bool sets = false;
    std::size_t size = kSerialHeader + 64 + splits.at.size() * 8 + kSerialTrailer;
    auto count = [&](const auto& trees) {
        for (const auto& t : trees) {
            sets |= !t.sets.empty();
            size += 24 + t.walk.size() * sizeof(TreeNode) + t.leaves.size() * sizeof(t.leaves[0]) + t.sets.size() * 32;
        }
    };
    count(causal);
    count(regression);
    ByteWriter w;
    w.out.reserve(size);
    w.out.resize(kSerialHeader);
    w.u8(static_cast<unsigned char>(stage));
    w.u64(first);
    w.u64(last);
    w.u64(splits.at.size());
    for (const double v : splits.at) w.f64(v);
    if (stage == FitStage::Causal) {
        w.u64(causal.size());
        for (const auto& t : causal) write_tree(w, t, sets);
    } else {
        w.u64(regression.size());
        for (const auto& t : regression) write_tree(w, t, sets);
    }
    return seal_in_place(sets ? kNewestFormat : kFormat, kBatchKind, std::move(w.out));
}

std::vector<unsigned char> NuisanceSums::serialize() const {
    ByteWriter w;
    w.u8(static_cast<unsigned char>(stage));
    w.u64(next);
    oob.write(w);
    return seal(kFormat, kSumsKind, w.out);
}

Result<NuisanceSums> NuisanceSums::deserialize(std::span<const unsigned char> bytes) {
    auto refuse = [](const std::string& why) { return QuorvantisError::internal("invalid nuisance sums: " + why); };
    const Unsealed frame = unseal(bytes, kFormat);
    if (!frame.error.empty()) return refuse(frame.error);
    if (frame.kind != kSumsKind) return refuse("not nuisance sums");
    ByteReader r(frame.payload);
    NuisanceSums s;
    const unsigned char stage = r.u8();
    if (stage > 1) return refuse("not a nuisance stage");
    s.stage = static_cast<FitStage>(stage);
    s.next = static_cast<std::size_t>(r.u64());
    if (r.failed || !s.oob.read(r)) return refuse("bad sums");
    if (r.remaining() != 0) return refuse("trailing bytes");
    return s;
}

Result<TreeBatch> TreeBatch::deserialize(std::span<const unsigned char> bytes, std::size_t features,
                                         std::uint8_t missing) {
    auto refuse = [](const std::string& why) { return QuorvantisError::internal("invalid tree batch: " + why); };
    const Unsealed frame = unseal(bytes, kFormat, kNewestFormat);
    const bool sets = frame.version >= kFirstSetFormat;
    if (!frame.error.empty()) return refuse(frame.error);
    if (frame.kind != kBatchKind) return refuse("not a tree batch");
    ByteReader r(frame.payload);
    TreeBatch b;
    const unsigned char stage = r.u8();
    if (stage > 2) return refuse("unknown stage");
    b.stage = static_cast<FitStage>(stage);
    b.first = static_cast<std::size_t>(r.u64());
    b.last = static_cast<std::size_t>(r.u64());
    const std::uint64_t counts = r.u64();
    if (r.failed || b.first > b.last || counts != SplitCounts::kDepths * features || counts > r.remaining() / 8)
        return refuse("bad header");
    b.splits.at.resize(static_cast<std::size_t>(counts));
    for (double& v : b.splits.at) v = r.f64();
    const std::uint64_t trees = r.u64();
    if (r.failed || trees > r.remaining() / 24) return refuse("bad tree count");
    std::string error;
    auto read_all = [&](auto& list) {
        list.resize(static_cast<std::size_t>(trees));
        for (auto& t : list)
            if (!read_tree(r, features, missing, t, error, sets)) return false;
        return true;
    };
    if (!(b.stage == FitStage::Causal ? read_all(b.causal) : read_all(b.regression))) return refuse(error);
    if (r.failed || r.remaining() != 0) return refuse("truncated or trailing bytes");
    return b;
}

}  // namespace quorvantis::engine

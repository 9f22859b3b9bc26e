#include "quorvantis/engine/estimators/causal_forest.hpp"

#include <algorithm>
#include <optional>

#include "quorvantis/engine/estimators/staged_fit.hpp"
#include "quorvantis/engine/forest/forest_codec.hpp"
#include "quorvantis/engine/forest/trainer.hpp"
#include "quorvantis/base/parallel.hpp"
#include "quorvantis/base/random.hpp"
#include "quorvantis/base/serial_frame.hpp"

namespace quorvantis::engine {
namespace {

// Format 2 adds categorical features (after the cuts) and the trees' category
// sets; a forest without categorical features is still written as format 1.
constexpr std::uint16_t kFormat = 1;
constexpr std::uint16_t kNewestFormat = 2;
constexpr unsigned char kCausalForestKind = 3;
// In-bag bits of the causal trees up to this size are kept from the growing
// for the out-of-bag pass (a group's trees share theirs).
constexpr std::size_t kKeptBagBytes = std::size_t{16} << 20;

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

const char* progress_label(int stage) noexcept {
    switch (stage) {
        case FitProgress::Binning:
            return "binning";
        case FitProgress::OutcomeModel:
            return "outcome model";
        case FitProgress::TreatmentModel:
            return "treatment model";
        case FitProgress::CausalTrees:
            return "causal trees";
        case FitProgress::OutOfBag:
            return "out-of-bag effects";
        default:
            return "done";
    }
}

std::vector<PlannedStep> fit_plan(const ForestOptions& options, bool have_y_hat, bool have_t_hat) {
    std::vector<PlannedStep> plan{{FitStep::Prepare}};
    auto grow = [&](FitStage stage, int shown) {
        plan.push_back(
            {FitStep::Grow, stage, 0, stage_groups(options, stage), stage_options(options, stage).n_trees, shown});
    };
    if (!have_y_hat) grow(FitStage::Outcome, FitProgress::OutcomeModel);
    if (!have_t_hat) grow(FitStage::Treatment, FitProgress::TreatmentModel);
    grow(FitStage::Causal, FitProgress::CausalTrees);
    plan.push_back({FitStep::Assemble, FitStage::Causal, 0, 0, 0, FitProgress::OutOfBag});
    return plan;
}

Result<CausalForestModel> CausalForestModel::fit(const FitInput& in, const ForestOptions& options,
                                                 FitProgress* progress, const Interrupt& interrupt) {
    const std::size_t n = in.x.rows, p = in.x.cols;
    if (const std::string why = options.check(n, p); !why.empty()) return QuorvantisError::internal(why);
    if (in.w.size < n || in.y.size < n || (in.y_hat && in.y_hat->size < n) || (in.t_hat && in.t_hat->size < n))
        return QuorvantisError::internal("every vector needs an entry for each row of x");
    auto given = [n](const VectorView* v) {
        std::vector<double> out(v != nullptr ? n : 0);
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = (*v)[i];
        return out;
    };
    std::vector<double> y_hat = given(in.y_hat), t_hat = given(in.t_hat);
    std::optional<Result<CausalForestModel>> model;
    parallel::JobOptions job;
    job.interrupt = interrupt;
    job.max_threads = options.n_threads;
    const std::optional<Halt> halt = parallel::run_job(
        [&] {
            TrainingData data;
            std::vector<TreeBatch> causal;
            for (const PlannedStep& s : fit_plan(options, in.y_hat != nullptr, in.t_hat != nullptr)) {
                begin(progress, static_cast<FitProgress::Stage>(s.progress), s.trees);
                if (s.step == FitStep::Prepare) {
                    data = prepare_training(in.x, in.w, in.y, options, in.categories);
                    if (in.weights != nullptr) data.weights = *in.weights;
                    if (in.clusters != nullptr) data.clusters = *in.clusters;
                } else if (s.step == FitStep::Assemble) {
                    model.emplace(assemble(data, options, y_hat, t_hat, std::move(causal)));
                } else if (s.stage == FitStage::Causal) {
                    // The in-bag bits (125 MB at 1M rows) are drawn again for the
                    // out-of-bag pass rather than held under the growing trees,
                    // unless they are few.
                    const bool keep = (n / 8 + 8) * s.trees <= kKeptBagBytes;
                    causal.push_back(
                        grow_batch(data, s.stage, options, y_hat, t_hat, s.first, s.last, counting(progress), keep));
                } else {
                    (s.stage == FitStage::Outcome ? y_hat : t_hat) =
                        grow_nuisance(data, s.stage, options, counting(progress));
                }
            }
            begin(progress, FitProgress::Done, 0);
        },
        job);
    if (halt) return *halt;
    return std::move(*model);
}

Result<CausalForestModel> CausalForestModel::assemble(const TrainingData& data, const ForestOptions& options,
                                                      std::vector<double> y_hat, std::vector<double> t_hat,
                                                      std::vector<TreeBatch> causal_batches) {
    const std::size_t n = data.codes.rows, p = data.codes.cols;
    if (y_hat.size() != n || t_hat.size() != n)
        return QuorvantisError::internal("nuisance estimates of another length");
    Result<std::vector<TreeBatch>> ordered = order_batches(std::move(causal_batches), FitStage::Causal, options);
    if (!ordered) return ordered.take_error();
    const ForestOptions causal = stage_options(options, FitStage::Causal);
    CausalForestModel model;
    model.cuts_ = data.cuts;
    model.group_ = causal.ci_group_size;
    InBag in_bag;
    std::vector<double> splits(SplitCounts::kDepths * p, 0.0);
    for (TreeBatch& b : ordered.value()) {
        if (b.in_bag.empty()) b.in_bag = rebuild_in_bag(n, causal, b.first, b.last, data.cluster_rows());
        for (auto& t : b.causal) model.trees_.push_back(std::move(t));
        for (auto& bits : b.in_bag) in_bag.push_back(std::move(bits));
        for (std::size_t i = 0; i < splits.size() && i < b.splits.at.size(); ++i) splits[i] += b.splits.at[i];
    }
    model.oob_tau_ = predict_causal(model.trees_, model.group_, data.codes, false, &in_bag).tau;
    in_bag.clear();
    // A row that no tree left out keeps no out-of-bag effect; the average
    // effects use the forest's effect there instead.
    std::vector<double> tau = model.oob_tau_;
    std::vector<std::size_t> unanswered;
    for (std::size_t i = 0; i < n; ++i)
        if (std::isnan(tau[i])) unanswered.push_back(i);
    if (!unanswered.empty()) {
        // Only those rows: a pass of every tree over all of them costs as
        // much as the out-of-bag pass itself.
        CodedRows few;
        few.rows = unanswered.size();
        few.cols = data.codes.cols;
        few.codes = PageBuffer<std::uint8_t>(few.rows * few.cols);
        for (std::size_t k = 0; k < few.rows; ++k)
            std::copy_n(data.codes.row(unanswered[k]), few.cols, few.codes.data() + k * few.cols);
        const std::vector<double> all = predict_causal(model.trees_, model.group_, few, false).tau;
        for (std::size_t k = 0; k < few.rows; ++k) tau[unanswered[k]] = all[k];
    }
    model.importance_ = depth_weighted_importance(splits, p);
    model.y_hat_ = std::move(y_hat);
    model.t_hat_ = std::move(t_hat);
    for (const EffectTarget t : {EffectTarget::All, EffectTarget::Treated, EffectTarget::Control})
        model.ate_[static_cast<int>(t)] =
            data.weights.empty() && data.clusters.empty()
                ? average_effect(t, data.w, data.y, model.y_hat_, model.t_hat_, tau)
                : average_effect(t, data.w, data.y, model.y_hat_, model.t_hat_, tau, data.weights, data.clusters);
    model.outside_ = share_outside(model.t_hat_);
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
            out = predict_causal(trees_, group_, codes, variance && group_ > 1);
        },
        job);
    if (halt) return *halt;
    return out;
}

std::vector<unsigned char> CausalForestModel::serialize() const {
    const bool sets = cuts_.any_categorical();
    ByteWriter w;
    w.u64(group_);
    cuts_.write(w);
    if (sets) cuts_.write_categories(w);
    w.u64(trees_.size());
    for (const auto& t : trees_) write_tree(w, t, sets);
    write_doubles(w, importance_);
    write_doubles(w, oob_tau_);
    write_doubles(w, y_hat_);
    write_doubles(w, t_hat_);
    for (const AverageEffect& a : ate_) {
        w.f64(a.estimate);
        w.f64(a.std_error);
    }
    w.f64(outside_);
    return seal(sets ? kNewestFormat : kFormat, kCausalForestKind, w.out);
}

Result<CausalForestModel> CausalForestModel::deserialize(std::span<const unsigned char> bytes) {
    auto refuse = [](const std::string& why) { return QuorvantisError::internal("invalid serialised forest: " + why); };
    const Unsealed frame = unseal(bytes, kFormat, kNewestFormat);
    if (!frame.error.empty()) return refuse(frame.error);
    const bool sets = frame.version >= kFirstSetFormat;
    if (frame.kind != kCausalForestKind) return refuse("not a causal forest (kind " + std::to_string(frame.kind) + ")");
    ByteReader r(frame.payload);
    CausalForestModel m;
    m.group_ = static_cast<std::size_t>(r.u64());
    std::string error;
    // Whatever a fit accepts must load again.
    if (r.failed || m.group_ < 1 || m.group_ > ForestOptions::kMaxTrees) return refuse("bad confidence group size");
    if (!m.cuts_.read(r, error)) return refuse(error);
    if (sets && !m.cuts_.read_categories(r, error)) return refuse(error);
    const std::size_t p = m.cuts_.features();
    const std::uint64_t n_trees = r.u64();
    if (r.failed || n_trees == 0 || n_trees > ForestOptions::kMaxTrees || n_trees % m.group_ != 0 ||
        n_trees > r.remaining() / 24)
        return refuse("bad tree count");
    m.trees_.resize(static_cast<std::size_t>(n_trees));
    for (auto& t : m.trees_)
        if (!read_tree(r, p, m.cuts_.missing_code(), t, error, sets)) return refuse(error);
    if (!read_doubles(r, m.importance_, p)) return refuse("importances truncated");
    const std::uint64_t rows = r.u64();
    if (r.failed || rows > r.remaining() / 8) return refuse("training estimates truncated");
    auto read_rows = [&](std::vector<double>& v) {
        v.resize(static_cast<std::size_t>(rows));
        for (double& d : v) d = r.f64();
    };
    read_rows(m.oob_tau_);
    if (!read_doubles(r, m.y_hat_, static_cast<std::size_t>(rows)) ||
        !read_doubles(r, m.t_hat_, static_cast<std::size_t>(rows)))
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

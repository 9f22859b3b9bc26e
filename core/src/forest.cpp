#include "quorvantis/forest.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "quorvantis/parallel.hpp"
#include "quorvantis/random.hpp"

namespace quorvantis {
namespace {

constexpr double kBinaryTolerance = 2.220446049250313e-16;
constexpr std::uint64_t kPlaceboStream = 0x706c616365626fULL;
constexpr std::uint64_t kPlaceboFitStream = 0x706c6163656669ULL;

bool finite(double v) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits & 0x7ff0000000000000ULL) != 0x7ff0000000000000ULL;
}

bool all_finite_rows(const MatrixView& m) {
    const auto width = static_cast<std::ptrdiff_t>(m.cols * sizeof(double));
    if (m.col_stride == static_cast<std::ptrdiff_t>(sizeof(double)) && (m.row_stride == width || m.rows == 1)) {
        // One contiguous block: a flat scan the compiler can vectorise.
        const std::byte* p = m.data;
        const std::size_t count = m.rows * m.cols;
        bool ok = true;
        for (std::size_t i = 0; i < count; ++i) ok &= finite(load_double(p + i * sizeof(double)));
        return ok;
    }
    for (std::size_t r = 0; r < m.rows; ++r) {
        const std::byte* row = m.row_ptr(r);
        bool ok = true;
        for (std::size_t c = 0; c < m.cols; ++c)
            ok &= finite(load_double(row + static_cast<std::ptrdiff_t>(c) * m.col_stride));
        if (!ok) return false;
    }
    return true;
}

// Large matrices are checked in row blocks on the pool; the answer does not
// depend on the order.
bool all_finite(const MatrixView& m) {
    constexpr std::size_t kRows = 65536;
    if (m.rows <= kRows) return all_finite_rows(m);
    const std::size_t blocks = (m.rows + kRows - 1) / kRows;
    return parallel::parallel_reduce(
        blocks, true,
        [&](std::size_t b) {
            MatrixView part = m;
            part.data = m.row_ptr(b * kRows);
            part.rows = std::min(kRows, m.rows - b * kRows);
            return all_finite_rows(part);
        },
        [](bool a, bool b) { return a && b; });
}

bool all_finite(const VectorView& v) {
    bool ok = true;
    for (std::size_t i = 0; i < v.size; ++i) ok &= finite(v[i]);
    return ok;
}

}  // namespace

Status CausalForest::fit_result(const MatrixView& features, const VectorView& treatment,
                                const VectorView& outcome, const Interrupt& interrupt) {
    return fit_result(features, treatment, outcome, entropy_seed(), interrupt);
}

Status CausalForest::fit_result(const MatrixView& features, const VectorView& treatment,
                                const VectorView& outcome, std::uint64_t seed, const Interrupt& interrupt) {
    if (features.rows == 0 || features.cols == 0) return QuorvantisError::empty_data();
    if (!all_finite(features) || !all_finite(treatment) || !all_finite(outcome))
        return QuorvantisError::invalid_data();
    for (std::size_t i = 0; i < treatment.size; ++i) {
        const double t = treatment[i];
        if (!(std::fabs(t) <= kBinaryTolerance) && !(std::fabs(t - 1.0) <= kBinaryTolerance))
            return QuorvantisError::invalid_treatment(t);
    }
    // The trees read one treatment and one outcome per row.
    if (treatment.size < features.rows || outcome.size < features.rows)
        return QuorvantisError::internal("treatment and outcome need an entry for every row of the features");

    const std::uint64_t p = features.cols;
    std::vector<std::uint64_t> seeds(static_cast<std::size_t>(n_trees));
    for (std::size_t i = 0; i < seeds.size(); ++i) seeds[i] = derive_seed(seed, i);
    std::vector<CausalTree> grown;
    try {
        // One task on the pool holds the whole fit, so that the caller only
        // waits and polls its interrupt while the work fans out inside.
        parallel::parallel_for(
            1,
            [&](std::size_t) {
                grown = CausalTree::fit_batch(features, treatment, outcome, max_depth, min_samples_leaf, seeds);
            },
            interrupt);
    } catch (const Cancelled&) {
        return QuorvantisError::internal("interrupted");
    }
    trees = std::move(grown);
    n_features = p;
    return Status::success();
}

Status CausalForest::fit_placebo_result(const MatrixView& features, const VectorView& treatment,
                                        const VectorView& outcome, const Interrupt& interrupt) {
    return fit_placebo_result(features, treatment, outcome, entropy_seed(), interrupt);
}

Status CausalForest::fit_placebo_result(const MatrixView& features, const VectorView& treatment,
                                        const VectorView& outcome, std::uint64_t seed,
                                        const Interrupt& interrupt) {
    std::vector<double> placebo(treatment.size);
    for (std::size_t i = 0; i < treatment.size; ++i) placebo[i] = treatment[i];
    Rng rng = Rng::stream(seed, kPlaceboStream);
    rng.shuffle(std::span<double>(placebo));
    return fit_result(features, VectorView::of(placebo.data(), placebo.size()), outcome,
                      derive_seed(seed, kPlaceboFitStream), interrupt);
}

Result<InferenceResult> CausalForest::predict_result(const MatrixView& features) const {
    if (trees.empty()) return QuorvantisError::model_not_fitted();
    const std::size_t n = features.rows;
    if (n == 0) return QuorvantisError::empty_data();
    // Splits may test any training column; a narrower matrix would be read
    // past its rows.
    if (features.cols < n_features) return QuorvantisError::feature_out_of_bounds(features.cols);

    InferenceResult out;
    out.predictions.resize(n);
    const double count = static_cast<double>(trees.size());
    // Small blocks of rows, trees in index order within each block: every row
    // gets the same additions as when whole per-tree prediction arrays are
    // summed, but its matrix lines are fetched once and stay in cache while
    // all trees walk them.
    constexpr std::size_t kBlock = 128;
    double sums[kBlock];
    const std::byte* rows[kBlock];
    for (std::size_t lo = 0; lo < n; lo += kBlock) {
        const std::size_t len = std::min(kBlock, n - lo);
        for (std::size_t j = 0; j < len; ++j) {
            sums[j] = 0.0;
            rows[j] = features.row_ptr(lo + j);
        }
        for (const CausalTree& tree : trees) tree.add_effects(rows, len, features.col_stride, sums);
        for (std::size_t j = 0; j < len; ++j) out.predictions[lo + j] = sums[j] / count;
    }
    double total = 0.0;
    for (const double v : out.predictions) total += v;
    out.mean_effect = total / static_cast<double>(n);
    out.confidence_intervals.resize(n);
    for (std::size_t r = 0; r < n; ++r)
        out.confidence_intervals[r] = {out.predictions[r] + (-kIntervalHalfWidth),
                                       out.predictions[r] + kIntervalHalfWidth};
    out.feature_importance.assign(static_cast<std::size_t>(n_features), 0.0);
    for (const CausalTree& tree : trees) {
        const std::size_t k = std::min(out.feature_importance.size(), tree.feature_importance.size());
        for (std::size_t f = 0; f < k; ++f) out.feature_importance[f] += tree.feature_importance[f];
    }
    double importance_total = 0.0;
    for (const double v : out.feature_importance) importance_total += v;
    if (importance_total > 0.0)
        for (double& v : out.feature_importance) v /= importance_total;
    return out;
}

InferenceResult CausalForest::predict_infallible(const MatrixView& features) const {
    Result<InferenceResult> result = predict_result(features);
    if (result.ok()) return std::move(result).value();
    InferenceResult neutral;
    neutral.predictions.assign(features.rows, 0.0);
    neutral.confidence_intervals.assign(features.rows, {0.0, 0.0});
    neutral.feature_importance.assign(static_cast<std::size_t>(n_features), 0.0);
    return neutral;
}

}  // namespace quorvantis

#include "quorvantis/fixed/fixed_forest.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <optional>

#include "quorvantis/base/parallel.hpp"
#include "quorvantis/base/random.hpp"

namespace quorvantis::fixed {
namespace {

constexpr double kBinaryTolerance = 2.220446049250313e-16;
constexpr std::uint64_t kPlaceboStream = 0x706c616365626fULL;
constexpr std::uint64_t kPlaceboFitStream = 0x706c6163656669ULL;
// Elements per unit of the input checks: one checkpoint each.
constexpr std::size_t kCheckElements = std::size_t{1} << 20;

bool finite(double v) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits & 0x7ff0000000000000ULL) != 0x7ff0000000000000ULL;
}

// Rows [r0, r1) and columns [c0, c1) of the matrix.
bool finite_part(const MatrixView& m, std::size_t r0, std::size_t r1, std::size_t c0, std::size_t c1) {
    const auto width = static_cast<std::ptrdiff_t>(m.cols * sizeof(double));
    if (c0 == 0 && c1 == m.cols && m.col_stride == static_cast<std::ptrdiff_t>(sizeof(double)) &&
        (m.row_stride == width || r1 - r0 == 1)) {
        // One contiguous run: a flat scan the compiler can vectorise.
        const std::byte* p = m.row_ptr(r0);
        const std::size_t count = (r1 - r0) * m.cols;
        bool ok = true;
        for (std::size_t i = 0; i < count; ++i) ok &= finite(load_double(p + i * sizeof(double)));
        return ok;
    }
    for (std::size_t r = r0; r < r1; ++r) {
        const std::byte* row = m.row_ptr(r);
        bool ok = true;
        for (std::size_t c = c0; c < c1; ++c)
            ok &= finite(load_double(row + static_cast<std::ptrdiff_t>(c) * m.col_stride));
        if (!ok) return false;
    }
    return true;
}

// Units of about kCheckElements elements, on the pool; the answer does not
// depend on the order, and a huge matrix stays interruptible.
bool all_finite(const MatrixView& m) {
    if (m.rows == 0 || m.cols == 0) return true;
    const std::size_t col_chunks = (m.cols + kCheckElements - 1) / kCheckElements;
    const std::size_t rows_per_unit = col_chunks > 1 ? 1 : std::max<std::size_t>(1, kCheckElements / m.cols);
    const std::size_t row_units = (m.rows + rows_per_unit - 1) / rows_per_unit;
    return parallel::parallel_reduce(
        row_units * col_chunks, true,
        [&](std::size_t u) {
            const std::size_t rb = u / col_chunks, cc = u % col_chunks;
            const std::size_t r0 = rb * rows_per_unit, r1 = std::min(m.rows, r0 + rows_per_unit);
            const std::size_t c0 = cc * kCheckElements, c1 = std::min(m.cols, c0 + kCheckElements);
            return finite_part(m, r0, r1, c0, c1);
        },
        [](bool a, bool b) { return a && b; });
}

bool all_finite(const VectorView& v) {
    return parallel::parallel_reduce(
        (v.size + kCheckElements - 1) / kCheckElements, true,
        [&](std::size_t u) {
            bool ok = true;
            for (std::size_t i = u * kCheckElements, end = std::min(v.size, i + kCheckElements); i < end; ++i)
                ok &= finite(v[i]);
            return ok;
        },
        [](bool a, bool b) { return a && b; });
}

bool binary(double t) noexcept {
    return std::fabs(t) <= kBinaryTolerance || std::fabs(t - 1.0) <= kBinaryTolerance;
}

// Index of the first treatment value that is neither 0 nor 1, or size.
std::size_t first_non_binary(const VectorView& t) {
    return parallel::parallel_reduce(
        (t.size + kCheckElements - 1) / kCheckElements, t.size,
        [&](std::size_t u) {
            for (std::size_t i = u * kCheckElements, end = std::min(t.size, i + kCheckElements); i < end; ++i)
                if (!binary(t[i])) return i;
            return t.size;
        },
        [](std::size_t a, std::size_t b) { return std::min(a, b); });
}

// Calls the interrupt at most every 20 ms from a loop on the calling thread.
class Poller {
public:
    explicit Poller(const Interrupt& interrupt) : interrupt_(interrupt), next_(Clock::now() + kEvery) {}
    bool stop() {
        if (!interrupt_ || Clock::now() < next_) return false;
        next_ = Clock::now() + kEvery;
        return interrupt_();
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kEvery = std::chrono::milliseconds(20);
    const Interrupt& interrupt_;
    Clock::time_point next_;
};

}  // namespace

Status FixedForest::fit_result(const MatrixView& features, const VectorView& treatment, const VectorView& outcome,
                               const Interrupt& interrupt) {
    return fit_result(features, treatment, outcome, entropy_seed(), interrupt);
}

Status FixedForest::fit_result(const MatrixView& features, const VectorView& treatment, const VectorView& outcome,
                               std::uint64_t seed, const Interrupt& interrupt) {
    std::optional<QuorvantisError> failure;
    std::vector<FixedTree> grown;
    const std::optional<Halt> halt = parallel::run_job(
        [&] {
            if (features.rows == 0 || features.cols == 0) {
                failure = QuorvantisError::empty_data();
                return;
            }
            if (!all_finite(features) || !all_finite(treatment) || !all_finite(outcome)) {
                failure = QuorvantisError::invalid_data();
                return;
            }
            if (const std::size_t bad = first_non_binary(treatment); bad < treatment.size) {
                failure = QuorvantisError::invalid_treatment(treatment[bad]);
                return;
            }
            // The trees read one treatment and one outcome per row.
            if (treatment.size < features.rows || outcome.size < features.rows) {
                failure =
                    QuorvantisError::internal("treatment and outcome need an entry for every row of the features");
                return;
            }
            std::vector<std::uint64_t> seeds(static_cast<std::size_t>(n_trees));
            for (std::size_t i = 0; i < seeds.size(); ++i) seeds[i] = derive_seed(seed, i);
            grown = FixedTree::fit_batch(features, treatment, outcome, max_depth, min_samples_leaf, seeds);
        },
        {interrupt});
    if (halt) return *halt;
    if (failure) return std::move(*failure);
    trees = std::move(grown);
    n_features = features.cols;
    return Status::success();
}

Status FixedForest::fit_placebo_result(const MatrixView& features, const VectorView& treatment,
                                       const VectorView& outcome, const Interrupt& interrupt) {
    return fit_placebo_result(features, treatment, outcome, entropy_seed(), interrupt);
}

Status FixedForest::fit_placebo_result(const MatrixView& features, const VectorView& treatment,
                                       const VectorView& outcome, std::uint64_t seed, const Interrupt& interrupt) {
    std::vector<double> placebo(treatment.size);
    for (std::size_t i = 0; i < treatment.size; ++i) placebo[i] = treatment[i];
    Rng rng = Rng::stream(seed, kPlaceboStream);
    rng.shuffle(std::span<double>(placebo));
    return fit_result(features, VectorView::of(placebo.data(), placebo.size()), outcome,
                      derive_seed(seed, kPlaceboFitStream), interrupt);
}

Result<InferenceResult> FixedForest::predict_result(const MatrixView& features, const Interrupt& interrupt) const {
    if (trees.empty()) return QuorvantisError::model_not_fitted();
    const std::size_t n = features.rows;
    if (n == 0) return QuorvantisError::empty_data();
    // Splits may test any training column; a narrower matrix would be read
    // past its rows.
    if (features.cols < n_features) return QuorvantisError::feature_out_of_bounds(features.cols);

    InferenceResult out;
    // Filled block by block, without zeroing first: for tens of millions of
    // rows the arrays alone take long enough to need the polls.
    out.predictions.reserve(n);
    out.confidence_intervals.reserve(n);
    const double count = static_cast<double>(trees.size());
    // Small blocks of rows, trees in index order within each block: every row
    // gets the same additions as when whole per-tree prediction arrays are
    // summed, but its matrix lines are fetched once and stay in cache while
    // all trees walk them.
    constexpr std::size_t kBlock = 128;
    double sums[kBlock];
    const std::byte* rows[kBlock];
    Poller poller(interrupt);
    double total = 0.0;
    for (std::size_t lo = 0; lo < n; lo += kBlock) {
        if (lo % (kBlock * 64) == 0 && poller.stop()) return Halt::Interrupted;
        const std::size_t len = std::min(kBlock, n - lo);
        for (std::size_t j = 0; j < len; ++j) {
            sums[j] = 0.0;
            rows[j] = features.row_ptr(lo + j);
        }
        for (const FixedTree& tree : trees) tree.add_effects(rows, len, features.col_stride, sums);
        for (std::size_t j = 0; j < len; ++j) {
            const double v = sums[j] / count;
            out.predictions.push_back(v);
            total += v;
            out.confidence_intervals.emplace_back(v + (-kIntervalHalfWidth), v + kIntervalHalfWidth);
        }
    }
    out.mean_effect = total / static_cast<double>(n);
    out.feature_importance.assign(static_cast<std::size_t>(n_features), 0.0);
    for (const FixedTree& tree : trees) {
        const std::size_t k = std::min(out.feature_importance.size(), tree.feature_importance.size());
        for (std::size_t f = 0; f < k; ++f) out.feature_importance[f] += tree.feature_importance[f];
    }
    double importance_total = 0.0;
    for (const double v : out.feature_importance) importance_total += v;
    if (importance_total > 0.0)
        for (double& v : out.feature_importance) v /= importance_total;
    return out;
}

}  // namespace quorvantis::fixed

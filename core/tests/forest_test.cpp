#include "quorvantis/fixed/fixed_forest.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <vector>

#include "quorvantis/base/random.hpp"

namespace quorvantis {
namespace fixed {}
namespace report {}
using namespace fixed;
using namespace report;
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Effect 1 + 2 * [x0 > 0.5]; x1 shifts the outcome in both arms.
struct Planted {
    std::size_t n, p;
    std::vector<double> x, t, y;

    Planted(std::size_t rows, std::size_t cols, std::uint64_t seed) : n(rows), p(cols), x(n * p), t(n), y(n) {
        Rng rng(seed);
        for (double& v : x) v = rng.uniform();
        for (std::size_t i = 0; i < n; ++i) {
            t[i] = rng.uniform() < 0.5 ? 1.0 : 0.0;
            y[i] = x[i * p + 1] + t[i] * (1.0 + 2.0 * (x[i * p] > 0.5)) + 0.2 * (rng.uniform() - 0.5);
        }
    }
    MatrixView features() const { return MatrixView::of(x.data(), n, p); }
    VectorView treatment() const { return VectorView::of(t.data(), t.size()); }
    VectorView outcome() const { return VectorView::of(y.data(), y.size()); }
};

struct Bad {
    const char* name;
    void (*spoil)(Planted&);
    ErrorKind kind;
    double value;  // payload of InvalidTreatment
};

class FitChecks : public ::testing::TestWithParam<Bad> {};

TEST_P(FitChecks, FirstFailingCheckWinsAndForestIsKept) {
    const Bad bad = GetParam();
    const Planted good(200, 3, 1);
    FixedForest forest;
    ASSERT_TRUE(forest.fit_result(good.features(), good.treatment(), good.outcome(), 9).ok());
    const auto before = forest.predict_result(good.features()).value().predictions;

    Planted d = good;
    bad.spoil(d);
    const Status s = forest.fit_result(d.features(), d.treatment(), d.outcome(), 10);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind(), bad.kind);
    if (bad.kind == ErrorKind::InvalidTreatment) {
        EXPECT_EQ(s.error().value(), bad.value);
    }
    EXPECT_EQ(forest.n_features, 3u);
    EXPECT_EQ(forest.predict_result(good.features()).value().predictions, before);
}

INSTANTIATE_TEST_SUITE_P(
    Forest, FitChecks,
    ::testing::Values(Bad{"no_rows", [](Planted& d) { d.n = 0; }, ErrorKind::EmptyData, 0},
                      Bad{"no_columns", [](Planted& d) { d.p = 0; }, ErrorKind::EmptyData, 0},
                      Bad{"nan_feature_before_bad_treatment",
                          [](Planted& d) {
                              d.x[7] = kNaN;
                              d.t[0] = 0.5;
                          },
                          ErrorKind::InvalidData, 0},
                      Bad{"inf_treatment", [](Planted& d) { d.t[3] = kInf; }, ErrorKind::InvalidData, 0},
                      Bad{"nan_outcome", [](Planted& d) { d.y[199] = kNaN; }, ErrorKind::InvalidData, 0},
                      Bad{"half_then_nan",
                          [](Planted& d) {
                              d.t[2] = 0.5;
                              d.t[150] = kNaN;
                          },
                          ErrorKind::InvalidData, 0},
                      Bad{"half", [](Planted& d) { d.t[5] = 0.5; }, ErrorKind::InvalidTreatment, 0.5},
                      Bad{"first_bad_value_reported",
                          [](Planted& d) {
                              d.t[5] = 1e-15;
                              d.t[6] = 0.5;
                          },
                          ErrorKind::InvalidTreatment, 1e-15},
                      Bad{"just_above_one", [](Planted& d) { d.t[5] = 1.0 + 4.5e-16; }, ErrorKind::InvalidTreatment,
                          1.0 + 4.5e-16},
                      Bad{"nan_treatment_past_rows",
                          [](Planted& d) {
                              d.n = 150;
                              d.t[180] = kNaN;
                          },
                          ErrorKind::InvalidData, 0},
                      Bad{"two_past_rows",
                          [](Planted& d) {
                              d.n = 150;
                              d.t[180] = 2.0;
                          },
                          ErrorKind::InvalidTreatment, 2.0},
                      Bad{"nan_outcome_past_rows",
                          [](Planted& d) {
                              d.n = 150;
                              d.y[199] = kNaN;
                          },
                          ErrorKind::InvalidData, 0},
                      Bad{"short_outcome", [](Planted& d) { d.y.resize(150); }, ErrorKind::Internal, 0},
                      Bad{"short_treatment", [](Planted& d) { d.t.resize(10); }, ErrorKind::Internal, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Forest, TreatmentWithinEpsilonIsAccepted) {
    Planted d(100, 2, 2);
    d.t[0] = 1e-20;
    d.t[1] = 1.0 - 1e-16;
    FixedForest forest;
    EXPECT_TRUE(forest.fit_result(d.features(), d.treatment(), d.outcome(), 1).ok());
}

TEST(Forest, PredictionErrors) {
    const Planted d(100, 3, 3);
    FixedForest forest;
    EXPECT_EQ(forest.predict_result(MatrixView::of(d.x.data(), 0, 3)).error().kind(), ErrorKind::ModelNotFitted);
    ASSERT_TRUE(forest.fit_result(d.features(), d.treatment(), d.outcome(), 4).ok());
    EXPECT_EQ(forest.predict_result(MatrixView::of(d.x.data(), 0, 3)).error().kind(), ErrorKind::EmptyData);
    const auto narrow = forest.predict_result(MatrixView::of(d.x.data(), 10, 2));
    ASSERT_FALSE(narrow.ok());
    EXPECT_EQ(narrow.error().kind(), ErrorKind::FeatureOutOfBounds);
    EXPECT_EQ(narrow.error().index(), 2u);
}

TEST(Forest, SmallDataGivesOneValueAndNoImportance) {
    const Planted d(19, 4, 5);
    FixedForest forest;
    ASSERT_TRUE(forest.fit_result(d.features(), d.treatment(), d.outcome(), 6).ok());
    ASSERT_EQ(forest.trees.size(), 10u);
    const InferenceResult r = forest.predict_result(d.features()).value();
    double leaves = 0.0;
    for (const auto& tree : forest.trees) leaves += std::get<Leaf>(tree.nodes()[0]).effect;
    for (const double v : r.predictions) EXPECT_EQ(v, leaves / 10.0);
    EXPECT_EQ(r.feature_importance, std::vector<double>(4, 0.0));
}

TEST(Forest, RecoversPlantedEffect) {
    const Planted d(20000, 5, 7);
    FixedForest forest;
    ASSERT_TRUE(forest.fit_result(d.features(), d.treatment(), d.outcome(), 8).ok());
    const InferenceResult r = forest.predict_result(d.features()).value();
    double low = 0, high = 0, n_low = 0, n_high = 0, sum = 0;
    for (std::size_t i = 0; i < d.n; ++i) {
        const double pred = r.predictions[i];
        sum += pred;
        (d.x[i * d.p] > 0.5 ? high : low) += pred;
        (d.x[i * d.p] > 0.5 ? n_high : n_low) += 1;
        EXPECT_EQ(r.confidence_intervals[i].first, pred + -0.1);
        EXPECT_EQ(r.confidence_intervals[i].second, pred + 0.1);
    }
    EXPECT_NEAR(low / n_low, 1.0, 0.2);
    EXPECT_NEAR(high / n_high, 3.0, 0.2);
    EXPECT_DOUBLE_EQ(r.mean_effect, sum / static_cast<double>(d.n));
    double total = 0;
    for (std::size_t f = 0; f < d.p; ++f) {
        total += r.feature_importance[f];
        if (f > 0) {
            EXPECT_GT(r.feature_importance[0], r.feature_importance[f]);
        }
    }
    EXPECT_NEAR(total, 1.0, 1e-12);
}

TEST(Forest, SeededFitsRepeatAndStridedViewsAgree) {
    const Planted d(3000, 4, 11);
    FixedForest a, b, c;
    ASSERT_TRUE(a.fit_result(d.features(), d.treatment(), d.outcome(), 42).ok());
    ASSERT_TRUE(b.fit_result(d.features(), d.treatment(), d.outcome(), 42).ok());
    EXPECT_EQ(a.predict_result(d.features()).value().predictions, b.predict_result(d.features()).value().predictions);

    // Column-major copy read backwards: negative row stride, column stride n.
    std::vector<double> fortran(d.n * d.p), t_rev(d.n), y_rev(d.n);
    for (std::size_t i = 0; i < d.n; ++i) {
        for (std::size_t f = 0; f < d.p; ++f) fortran[f * d.n + i] = d.x[i * d.p + f];
    }
    MatrixView reversed{reinterpret_cast<const std::byte*>(fortran.data() + d.n - 1), d.n, d.p,
                        -static_cast<std::ptrdiff_t>(sizeof(double)),
                        static_cast<std::ptrdiff_t>(d.n * sizeof(double))};
    for (std::size_t i = 0; i < d.n; ++i) {
        t_rev[i] = d.t[d.n - 1 - i];
        y_rev[i] = d.y[d.n - 1 - i];
    }
    ASSERT_TRUE(c.fit_result(reversed, VectorView::of(t_rev.data(), d.n), VectorView::of(y_rev.data(), d.n), 42).ok());
    // Same data, rows in another order: a different but equally valid forest;
    // predictions through the strided view must match a contiguous copy.
    std::vector<double> contiguous(d.n * d.p);
    for (std::size_t i = 0; i < d.n; ++i)
        for (std::size_t f = 0; f < d.p; ++f) contiguous[i * d.p + f] = reversed(i, f);
    EXPECT_EQ(c.predict_result(reversed).value().predictions,
              c.predict_result(MatrixView::of(contiguous.data(), d.n, d.p)).value().predictions);
}

TEST(Forest, InterruptHaltsFitAndPredictionAndKeepsForest) {
    const Planted d(200000, 8, 12);
    FixedForest forest;
    ASSERT_TRUE(forest.fit_result(d.features(), d.treatment(), d.outcome(), 1).ok());
    const auto before = forest.predict_result(d.features()).value().predictions;
    std::atomic<int> polls{0};
    const Interrupt stop = [&] { return ++polls >= 1; };
    const Status s = forest.fit_result(d.features(), d.treatment(), d.outcome(), 2, stop);
    ASSERT_TRUE(s.halted());
    EXPECT_EQ(s.halt(), Halt::Interrupted);
    EXPECT_EQ(forest.predict_result(d.features()).value().predictions, before);
    // Prediction polls between row blocks on the calling thread.
    const Planted big(2000000, 8, 13);
    const auto predicted = forest.predict_result(big.features(), stop);
    ASSERT_TRUE(predicted.halted());
}

TEST(Forest, PlaceboRemovesTheEffectAndCopiesAreDeep) {
    const Planted d(6000, 3, 13);
    FixedForest forest;
    ASSERT_TRUE(forest.fit_result(d.features(), d.treatment(), d.outcome(), 3).ok());
    const double real = forest.predict_result(d.features()).value().mean_effect;
    FixedForest placebo = forest;
    ASSERT_TRUE(placebo.fit_placebo_result(d.features(), d.treatment(), d.outcome(), 4).ok());
    EXPECT_NEAR(real, 2.0, 0.15);
    EXPECT_LT(std::fabs(placebo.predict_result(d.features()).value().mean_effect), 0.15);
    EXPECT_EQ(forest.predict_result(d.features()).value().mean_effect, real);

    Planted bad = d;
    bad.t[0] = 0.25;
    const auto kept = placebo.predict_result(d.features()).value().predictions;
    const Status s = placebo.fit_placebo_result(bad.features(), bad.treatment(), bad.outcome());
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind(), ErrorKind::InvalidTreatment);
    EXPECT_EQ(s.error().value(), 0.25);
    EXPECT_EQ(placebo.predict_result(d.features()).value().predictions, kept);
}

}  // namespace
}  // namespace quorvantis

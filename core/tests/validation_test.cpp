#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "quorvantis/fixed/placebo_check.hpp"
#include "names.hpp"

namespace {

const std::string kRobust = "Causal structure looks robust. Placebo effect (";
const std::string kWarning = "Warning: Causal structure may NOT be robust. Placebo effect (";

TEST(PlaceboVerdict, ThresholdBoundaries) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Row {
        double placebo, estimated;
        bool robust;
    } rows[] = {
        {0.0999, 0.5, true}, {0.1, 0.5, false},  {-0.0999, -0.5, true}, {0.1, -0.5, false},
        {0.04, 0.0, true},   {0.05, 0.0, false}, {0.04, -0.0, true},    {0.04, nan, true},
        {0.05, nan, false},  {nan, 0.5, false},  {0.0, 0.0, true},      {1.0, 1e9, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.placebo) + " vs " + std::to_string(r.estimated));
        const q::ValidationOutcome v = q::placebo_verdict(r.placebo, r.estimated, 5);
        EXPECT_EQ(v.is_robust, r.robust);
        EXPECT_EQ(v.message.rfind(r.robust ? kRobust : kWarning, 0), 0u);
    }
}

TEST(PlaceboVerdict, MessagesShowAbsoluteValuesAndFolds) {
    EXPECT_EQ(q::placebo_verdict(0.01, -0.5, 10).message,
              "Causal structure looks robust. Placebo effect (0.0100) is significantly lower than "
              "estimated effect (0.5000). Verified using 10 folds.");
    EXPECT_EQ(q::placebo_verdict(-0.123456, 0.2, 5).message,
              "Warning: Causal structure may NOT be robust. Placebo effect (0.1235) is too high "
              "compared to estimated effect (0.2000).");
    EXPECT_EQ(q::placebo_verdict(0.0, 0.0, 18446744073709551615ull).message,
              "Causal structure looks robust. Placebo effect (0.0000) is significantly lower than "
              "estimated effect (0.0000). Verified using 18446744073709551615 folds.");
}

TEST(ValidateCausalStructure, LeavesForestUntouchedAndFailedRefitKeepsCopy) {
    const std::size_t n = 400;
    std::vector<double> x(n * 2), t(n), y(n);
    for (std::size_t i = 0; i < n; ++i) {
        x[2 * i] = static_cast<double>(i % 97) / 97.0;
        x[2 * i + 1] = static_cast<double>(i % 13);
        t[i] = static_cast<double>(i % 2);
        y[i] = t[i] * (x[2 * i] > 0.5 ? 3.0 : 1.0);
    }
    const auto X = q::MatrixView::of(x.data(), n, 2);
    q::FixedForest forest;
    ASSERT_TRUE(forest.fit_result(X, q::VectorView::of(t.data(), n), q::VectorView::of(y.data(), n), 7).ok());
    const auto before = forest.predict_result(X).value().predictions;
    const auto v =
        q::validate_causal_structure(forest, X, q::VectorView::of(t.data(), n), q::VectorView::of(y.data(), n), 5);
    EXPECT_EQ(forest.predict_result(X).value().predictions, before);
    ASSERT_TRUE(v.ok());
    EXPECT_FALSE(v.value().message.empty());
    // A refit that fails (treatment changed to 0.5) leaves the copy as it was:
    // placebo equals estimate, so the verdict is "not robust".
    std::vector<double> broken = t;
    broken[0] = 0.5;
    const auto same =
        q::validate_causal_structure(forest, X, q::VectorView::of(broken.data(), n), q::VectorView::of(y.data(), n), 5);
    ASSERT_TRUE(same.ok());
    EXPECT_FALSE(same.value().is_robust);
    // Features the forest cannot predict on: its error, not a verdict on zeros.
    const auto narrow = q::validate_causal_structure(forest, q::MatrixView::of(x.data(), n, 1),
                                                     q::VectorView::of(t.data(), n), q::VectorView::of(y.data(), n), 5);
    ASSERT_FALSE(narrow.ok());
    EXPECT_EQ(narrow.error().message(), "Missing feature data: feature index 1 out of bounds");
}

// A stop asked mid-check ends the check there: no later stage (which would
// poll again) and no verdict. Polls come every 20 ms of work, so the stop is
// asked at the first: on a fast machine the model's own prediction ends
// before any poll and the stop lands in the refit, the longest stage.
TEST(ValidateCausalStructure, StopDuringTheCheckHaltsIt) {
    const std::size_t n = 300000;
    std::vector<double> x(n * 4), t(n), y(n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t f = 0; f < 4; ++f) x[4 * i + f] = static_cast<double>((i * (f + 7)) % 101) / 101.0;
        t[i] = static_cast<double>(i % 2);
        y[i] = t[i] * (x[4 * i] > 0.5 ? 3.0 : 1.0);
    }
    const auto X = q::MatrixView::of(x.data(), n, 4);
    const auto T = q::VectorView::of(t.data(), n), Y = q::VectorView::of(y.data(), n);
    q::FixedForest forest;
    ASSERT_TRUE(forest.fit_result(X, T, Y, 7).ok());
    int polls_after_stop = 0;
    bool stopped = false;
    const q::Interrupt interrupt = [&] {
        if (stopped) ++polls_after_stop;
        stopped = true;
        return true;
    };
    const auto v = q::validate_causal_structure(forest, X, T, Y, 5, interrupt);
    ASSERT_TRUE(v.halted());
    EXPECT_EQ(v.halt(), q::Halt::Interrupted);
    EXPECT_EQ(polls_after_stop, 0);
}

}  // namespace

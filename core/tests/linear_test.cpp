#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "quorvantis/fixed/linear_model.hpp"
#include "names.hpp"

namespace {

double fitted_effect(const std::vector<double>& t, const std::vector<double>& y) {
    q::LinearCausalModel m;
    const std::vector<double> x(t.size(), 0.0);
    EXPECT_TRUE(m.fit(q::MatrixView::of(x.data(), t.size(), 1), q::VectorView::of(t.data(), t.size()),
                      q::VectorView::of(y.data(), y.size()))
                    .ok());
    return m.effect;
}

TEST(LinearCausalModel, DifferenceOfMeans) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(fitted_effect({1, 0, 1, 0}, {3, 1, 5, 1}), 3.0);
    EXPECT_EQ(fitted_effect({0.7, 0.5}, {4, 1}), 3.0);  // 0.7 treated, 0.5 control
    EXPECT_EQ(fitted_effect({1, nan}, {4, 1}), 3.0);    // NaN counts as control
    EXPECT_EQ(fitted_effect({1, 1}, {4, 1}), 0.0);      // one arm empty
    EXPECT_EQ(fitted_effect({0, 0}, {4, 1}), 0.0);
    EXPECT_EQ(fitted_effect({}, {}), 0.0);
    EXPECT_EQ(fitted_effect({1, 0}, {4, 1, 99}), 3.0);  // extra outcomes ignored
    EXPECT_TRUE(std::isnan(fitted_effect({1, 0}, {nan, 1})));
}

TEST(LinearCausalModel, RefusesOutcomeShorterThanTreatment) {
    q::LinearCausalModel m;
    const std::vector<double> t = {1, 0, 1}, y = {1, 2};
    const double x = 0;
    q::Status s = m.fit(q::MatrixView::of(&x, 0, 1), q::VectorView::of(t.data(), 3), q::VectorView::of(y.data(), 2));
    EXPECT_FALSE(s.ok());
    EXPECT_EQ(m.effect, 0.0);
}

TEST(LinearCausalModel, PredictionRecord) {
    q::LinearCausalModel m;
    m.effect = 3.0;
    const std::vector<double> x(8, 1.0);
    auto r = m.predict(q::MatrixView::of(x.data(), 4, 2));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().predictions, std::vector<double>(4, 3.0));
    EXPECT_EQ(r.value().mean_effect, 3.0);
    ASSERT_EQ(r.value().confidence_intervals.size(), 4u);
    EXPECT_EQ(r.value().confidence_intervals[0].first, 3.0 + (-0.1));
    EXPECT_EQ(r.value().confidence_intervals[0].second, 3.0 + 0.1);
    EXPECT_EQ(r.value().feature_importance, std::vector<double>(2, 0.0));

    auto empty = m.predict(q::MatrixView::of(x.data(), 0, 3));
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty.value().predictions.empty());
    EXPECT_TRUE(empty.value().confidence_intervals.empty());
    EXPECT_EQ(empty.value().feature_importance, std::vector<double>(3, 0.0));
    EXPECT_EQ(empty.value().mean_effect, 3.0);
}

}  // namespace

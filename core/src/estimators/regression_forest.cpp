#include "quorvantis/estimators/regression_forest.hpp"

#include "quorvantis/forest/predictor.hpp"

namespace quorvantis::engine {

std::vector<double> out_of_bag_regression(const CodedRows& x, const BinCuts& cuts, const VectorView& response,
                                          const ForestOptions& options, const TreeProgress& progress) {
    std::vector<Moments<RegressionCriterion::K>> rows(x.rows);
    for (std::size_t r = 0; r < x.rows; ++r) rows[r] = RegressionCriterion::record(response[r]);
    TrainedForest<RegressionCriterion> forest = train_forest<RegressionCriterion>(x, cuts, rows, options, progress);
    return predict_regression(forest.trees, x, cuts.missing_code(), &forest.in_bag);
}

}  // namespace quorvantis::engine

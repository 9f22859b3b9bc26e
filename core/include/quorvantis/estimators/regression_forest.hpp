// Nuisance regressions for the causal forest: honest regression forests of a
// response (the outcome, or the treatment) on the binned features, of which
// only the out-of-bag predictions at the training rows are kept.
#pragma once

#include <vector>

#include "quorvantis/data/binned_matrix.hpp"
#include "quorvantis/forest/forest_options.hpp"
#include "quorvantis/forest/trainer.hpp"
#include "quorvantis/views.hpp"

namespace quorvantis::engine {

// Out-of-bag estimates of E[response | X] at every training row; `options`
// as for the causal forest (its tree count and seed are used as given).
std::vector<double> out_of_bag_regression(const CodedRows& x, const BinCuts& cuts, const VectorView& response,
                                          const ForestOptions& options, const TreeProgress& progress = {});

}  // namespace quorvantis::engine

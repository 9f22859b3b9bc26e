// Recalibration of out-of-bag nuisance estimates. Forest estimates average over
// leaves that span the gradient of the target, so at small n they are pulled
// toward the middle (a true propensity of 0.01 shows as 0.1). A two-parameter
// refit on the same rows undoes most of that pull; each row's own influence on
// the two parameters is of order 1/n, so the estimates stay out-of-bag in effect.
#pragma once

#include <span>
#include <vector>

namespace quorvantis::engine {

// Replaces each e by 1 / (1 + exp(-(a + b logit(e)))), the logistic regression
// of w on logit(e). Left unchanged when the fit does not converge.
void calibrate_propensity(std::vector<double>& t_hat, std::span<const double> w);

// Replaces each m by a + b m, the least-squares line of y on m.
void calibrate_outcome(std::vector<double>& y_hat, std::span<const double> y);

}  // namespace quorvantis::engine

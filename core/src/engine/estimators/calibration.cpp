#include "quorvantis/engine/estimators/calibration.hpp"

#include <algorithm>
#include <cmath>

namespace quorvantis::engine {
namespace {

// Keeps logit(e) finite where a leaf average is exactly 0 or 1.
constexpr double kEdge = 1e-3;
constexpr int kNewtonSteps = 50;

double logit(double e) {
    e = std::clamp(e, kEdge, 1.0 - kEdge);
    return std::log(e / (1.0 - e));
}

double expit(double z) {
    return z >= 0.0 ? 1.0 / (1.0 + std::exp(-z)) : std::exp(z) / (1.0 + std::exp(z));
}

}  // namespace

void calibrate_propensity(std::vector<double>& t_hat, std::span<const double> w) {
    const std::size_t n = t_hat.size();
    if (n < 2 || w.size() < n) return;
    std::vector<double> z(n);
    for (std::size_t i = 0; i < n; ++i) z[i] = logit(t_hat[i]);
    double a = 0.0, b = 1.0;  // the identity: no change
    bool converged = false;
    for (int step = 0; step < kNewtonSteps && !converged; ++step) {
        // Gradient and Hessian of the log-likelihood in (a, b).
        double ga = 0.0, gb = 0.0, haa = 0.0, hab = 0.0, hbb = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double q = expit(a + b * z[i]), v = q * (1.0 - q), r = w[i] - q;
            ga += r;
            gb += r * z[i];
            haa += v;
            hab += v * z[i];
            hbb += v * z[i] * z[i];
        }
        const double det = haa * hbb - hab * hab;
        if (!(det > 1e-12 * haa * hbb)) return;  // no spread in z: nothing to fit
        const double da = (hbb * ga - hab * gb) / det, db = (haa * gb - hab * ga) / det;
        a += da;
        b += db;
        if (!std::isfinite(a) || !std::isfinite(b)) return;
        converged = std::fabs(da) + std::fabs(db) < 1e-10 * (1.0 + std::fabs(a) + std::fabs(b));
    }
    // Separated arms drive b without bound: keep the forest's estimates then.
    if (!converged) return;
    for (std::size_t i = 0; i < n; ++i) t_hat[i] = expit(a + b * z[i]);
}

void calibrate_outcome(std::vector<double>& y_hat, std::span<const double> y) {
    const std::size_t n = y_hat.size();
    if (n < 2 || y.size() < n) return;
    double mean_m = 0.0, mean_y = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        mean_m += y_hat[i];
        mean_y += y[i];
    }
    mean_m /= static_cast<double>(n);
    mean_y /= static_cast<double>(n);
    double sxy = 0.0, sxx = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        sxy += (y_hat[i] - mean_m) * (y[i] - mean_y);
        sxx += (y_hat[i] - mean_m) * (y_hat[i] - mean_m);
    }
    if (!(sxx > 0.0)) return;
    const double b = sxy / sxx;
    for (double& m : y_hat) m = mean_y + b * (m - mean_m);
}

}  // namespace quorvantis::engine

#include "quorvantis/engine/estimators/ate.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace quorvantis::engine {
namespace {

// Weights divide by the propensity: keep it off 0 and 1, where a forest's
// leaf averages can land exactly.
constexpr double kPropensityFloor = 1e-3;

double clipped(double e) noexcept {
    return std::fmin(std::fmax(e, kPropensityFloor), 1.0 - kPropensityFloor);
}

// Mean and standard error of the mean of per-row scores.
AverageEffect mean_and_error(const std::vector<double>& scores, double scale) {
    const std::size_t n = scores.size();
    AverageEffect out;
    if (n == 0) return {std::nan(""), std::nan("")};
    double sum = 0.0;
    for (const double s : scores) sum += s;
    const double mean = sum / static_cast<double>(n);
    double ss = 0.0;
    for (const double s : scores) ss += (s - mean) * (s - mean);
    out.estimate = mean * scale;
    out.std_error = n > 1 ? std::sqrt(ss / static_cast<double>(n - 1) / static_cast<double>(n)) * scale : std::nan("");
    return out;
}

}  // namespace

AverageEffect average_effect(EffectTarget target, std::span<const double> w, std::span<const double> y,
                             std::span<const double> y_hat, std::span<const double> t_hat,
                             std::span<const double> tau) {
    const std::size_t n = w.size();
    std::vector<double> scores(n);
    if (target == EffectTarget::All) {
        for (std::size_t i = 0; i < n; ++i) {
            const double e = clipped(t_hat[i]), r = w[i] - e;
            scores[i] = tau[i] + r / (e * (1.0 - e)) * (y[i] - y_hat[i] - r * tau[i]);
        }
        return mean_and_error(scores, 1.0);
    }
    // Effect on the treated: (1/n1) sum [W (Y - mu0 - theta) - (1 - W) e/(1 - e) (Y - mu0)],
    // solved for theta; per-row scores scaled by n/n1 give its standard error.
    const bool treated = target == EffectTarget::Treated;
    double n_target = 0.0;
    for (std::size_t i = 0; i < n; ++i) n_target += treated ? w[i] : 1.0 - w[i];
    if (n_target == 0.0) return {std::nan(""), std::nan("")};
    std::vector<double> residual(n);
    double numerator = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double e = clipped(t_hat[i]);
        if (treated) {
            const double mu0 = y_hat[i] - e * tau[i];
            residual[i] = y[i] - mu0;
            numerator += w[i] * residual[i] - (1.0 - w[i]) * e / (1.0 - e) * residual[i];
        } else {
            const double mu1 = y_hat[i] + (1.0 - e) * tau[i];
            residual[i] = y[i] - mu1;
            numerator += w[i] * (1.0 - e) / e * residual[i] - (1.0 - w[i]) * residual[i];
        }
    }
    const double theta = numerator / n_target;
    for (std::size_t i = 0; i < n; ++i) {
        const double e = clipped(t_hat[i]);
        if (treated) {
            scores[i] = w[i] * (residual[i] - theta) - (1.0 - w[i]) * e / (1.0 - e) * residual[i];
        } else {
            scores[i] = w[i] * (1.0 - e) / e * residual[i] - (1.0 - w[i]) * (residual[i] + theta);
        }
    }
    AverageEffect out = mean_and_error(scores, static_cast<double>(n) / n_target);
    out.estimate = theta;
    return out;
}

AverageEffect average_effect(EffectTarget target, std::span<const double> w, std::span<const double> y,
                             std::span<const double> y_hat, std::span<const double> t_hat, std::span<const double> tau,
                             std::span<const double> weights, std::span<const std::uint32_t> clusters) {
    const std::size_t n = w.size();
    auto weight = [&](std::size_t i) { return weights.empty() ? 1.0 : weights[i]; };
    // Per row the score s_i(theta) whose weighted sum is zero at the estimate,
    // and the weighted count the estimate divides by.
    std::vector<double> residual(n), scores(n);
    double numerator = 0.0, denominator = 0.0;
    const bool treated = target == EffectTarget::Treated;
    for (std::size_t i = 0; i < n; ++i) {
        const double e = clipped(t_hat[i]), v = weight(i);
        if (target == EffectTarget::All) {
            const double r = w[i] - e;
            residual[i] = tau[i] + r / (e * (1.0 - e)) * (y[i] - y_hat[i] - r * tau[i]);
            numerator += v * residual[i];
            denominator += v;
        } else if (treated) {
            residual[i] = y[i] - (y_hat[i] - e * tau[i]);
            numerator += v * (w[i] * residual[i] - (1.0 - w[i]) * e / (1.0 - e) * residual[i]);
            denominator += v * w[i];
        } else {
            residual[i] = y[i] - (y_hat[i] + (1.0 - e) * tau[i]);
            numerator += v * (w[i] * (1.0 - e) / e * residual[i] - (1.0 - w[i]) * residual[i]);
            denominator += v * (1.0 - w[i]);
        }
    }
    if (!(denominator > 0.0)) return {std::nan(""), std::nan("")};
    const double theta = numerator / denominator;
    std::size_t units = clusters.empty() ? n : 0;
    for (const std::uint32_t c : clusters) units = std::max<std::size_t>(units, std::size_t{c} + 1);
    std::vector<double> influence(units, 0.0), mass(units, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const double e = clipped(t_hat[i]), v = weight(i);
        double s = 0.0;
        if (target == EffectTarget::All) {
            s = residual[i] - theta;
        } else if (treated) {
            s = w[i] * (residual[i] - theta) - (1.0 - w[i]) * e / (1.0 - e) * residual[i];
        } else {
            s = w[i] * (1.0 - e) / e * residual[i] - (1.0 - w[i]) * (residual[i] + theta);
        }
        const std::size_t unit = clusters.empty() ? i : clusters[i];
        influence[unit] += v * s / denominator;
        mass[unit] += v;
    }
    double m = 0.0, ss = 0.0;
    for (std::size_t c = 0; c < units; ++c) {
        if (!(mass[c] > 0.0)) continue;
        m += 1.0;
        ss += influence[c] * influence[c];
    }
    return {theta, m > 1.0 ? std::sqrt(m / (m - 1.0) * ss) : std::nan("")};
}

double share_outside(std::span<const double> t_hat, double lo, double hi) {
    if (t_hat.empty()) return 0.0;
    std::size_t outside = 0;
    for (const double e : t_hat) outside += !(e >= lo && e <= hi);
    return static_cast<double>(outside) / static_cast<double>(t_hat.size());
}

}  // namespace quorvantis::engine

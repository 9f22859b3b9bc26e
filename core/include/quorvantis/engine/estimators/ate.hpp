// Doubly robust (AIPW) average effects from out-of-bag estimates.
//
// All rows: Gamma_i = tau_i + (W_i - e_i) / (e_i (1 - e_i)) (Y_i - m_i - (W_i - e_i) tau_i),
// the estimate is mean Gamma and its standard error sd(Gamma) / sqrt(n).
// Treated (control) rows: the doubly robust effect on the treated (control),
// with the control (treated) outcome regression mu_0 = m - e tau
// (mu_1 = m + (1 - e) tau) and the matching propensity weights.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

namespace quorvantis::engine {

enum class EffectTarget { All = 0, Treated = 1, Control = 2 };

// The targets by the names the Python layer takes.
inline constexpr std::array<std::pair<std::string_view, EffectTarget>, 3> kEffectTargets = {{
    {"all", EffectTarget::All},
    {"treated", EffectTarget::Treated},
    {"control", EffectTarget::Control},
}};

// Propensities outside these bounds leave the average effects leaning on few
// comparable rows; the share of such rows is reported.
inline constexpr double kPropensityLow = 0.05;
inline constexpr double kPropensityHigh = 0.95;

struct AverageEffect {
    double estimate = 0.0;
    double std_error = 0.0;
};

// w binary (0/1), all spans of the same length.
AverageEffect average_effect(EffectTarget target, std::span<const double> w, std::span<const double> y,
                             std::span<const double> y_hat, std::span<const double> t_hat, std::span<const double> tau);

// The same over weighted rows (`weights` empty: 1 each) in clusters
// (`clusters` empty: every row its own): sum_i v_i Gamma_i / sum_i v_i, and
// the standard error from the influence terms summed within each cluster,
// sqrt(m / (m - 1) sum_c (sum_{i in c} u_i)^2) over the m clusters of
// positive weight. Unweighted and unclustered it is the plain one.
AverageEffect average_effect(EffectTarget target, std::span<const double> w, std::span<const double> y,
                             std::span<const double> y_hat, std::span<const double> t_hat, std::span<const double> tau,
                             std::span<const double> weights, std::span<const std::uint32_t> clusters);

// Share of rows whose propensity lies outside [lo, hi].
double share_outside(std::span<const double> t_hat, double lo = kPropensityLow, double hi = kPropensityHigh);

}  // namespace quorvantis::engine

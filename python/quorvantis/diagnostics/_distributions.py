"""Tail probabilities of the t and normal distributions, with NumPy as the only dependency."""

from __future__ import annotations

import math

import numpy as np

_TINY = 1e-300
_EPS = 1e-15


def _beta_fraction(a: float, b: float, x: float) -> float:
    """Continued fraction of the incomplete beta function, evaluated by the modified Lentz method."""
    # The fraction needs O(sqrt(max(a, b))) terms to converge, so large degrees
    # of freedom get a larger budget than the usual fixed hundred.
    max_terms = 200 + int(20 * math.sqrt(max(a, b)))
    qab, qap, qam = a + b, a + 1.0, a - 1.0
    c, d = 1.0, 1.0 - qab * x / qap
    d = 1.0 / (d if abs(d) > _TINY else _TINY)
    h = d
    for m in range(1, max_terms + 1):
        m2 = 2 * m
        # Even step.
        aa = m * (b - m) * x / ((qam + m2) * (a + m2))
        d = 1.0 + aa * d
        d = 1.0 / (d if abs(d) > _TINY else _TINY)
        c = 1.0 + aa / c
        c = c if abs(c) > _TINY else _TINY
        h *= d * c
        # Odd step.
        aa = -(a + m) * (qab + m) * x / ((a + m2) * (qap + m2))
        d = 1.0 + aa * d
        d = 1.0 / (d if abs(d) > _TINY else _TINY)
        c = 1.0 + aa / c
        c = c if abs(c) > _TINY else _TINY
        delta = d * c
        h *= delta
        if abs(delta - 1.0) < _EPS:
            return h
    raise ArithmeticError(f"incomplete beta fraction did not converge for a={a}, b={b}, x={x}")


def regularized_beta(a: float, b: float, x: float, x_complement: float | None = None) -> float:
    """I_x(a, b), the regularized incomplete beta function, for a, b > 0 and x in [0, 1].

    ``x_complement`` is 1 - x when the caller knows it more precisely than 1 - x rounds.
    """
    if not (a > 0.0 and b > 0.0):
        raise ValueError(f"a and b must be > 0, got a={a}, b={b}")
    if not 0.0 <= x <= 1.0:
        raise ValueError(f"x must be in [0, 1], got {x}")
    y = 1.0 - x if x_complement is None else x_complement
    if x == 0.0 or y == 0.0:
        return 0.0 if x == 0.0 else 1.0
    log_front = a * math.log(x) + b * math.log(y) - (math.lgamma(a) + math.lgamma(b) - math.lgamma(a + b))
    front = math.exp(log_front)
    # The fraction converges fast only below the mean of the beta distribution;
    # above it, use the symmetry I_x(a, b) = 1 - I_{1-x}(b, a).
    if x < (a + 1.0) / (a + b + 2.0):
        return front * _beta_fraction(a, b, x) / a
    return 1.0 - front * _beta_fraction(b, a, y) / b


def t_upper_tail(t: float, df: float) -> float:
    """P(T > t) for T with a Student t distribution of ``df`` degrees of freedom."""
    if math.isnan(t) or not df > 0:
        return math.nan
    if math.isinf(t):
        return 0.0 if t > 0 else 1.0
    # P(|T| > |t|) = I_x(df/2, 1/2) with x = df / (df + t^2); both x and 1 - x are
    # formed directly, so that tails far out keep their relative precision.
    t2 = t * t
    two_sided = regularized_beta(df / 2.0, 0.5, df / (df + t2), t2 / (df + t2))
    half = 0.5 * two_sided
    return half if t > 0 else 1.0 - half


def t_one_sided_p(t: np.ndarray | float, df: float) -> np.ndarray:
    """P(T > t) element-wise: the p-value against H1 that the coefficient is above 0."""
    values = np.atleast_1d(np.asarray(t, dtype=np.float64))
    return np.array([t_upper_tail(float(v), df) for v in values])


def t_two_sided_p(t: np.ndarray | float, df: float) -> np.ndarray:
    """P(|T| > |t|) element-wise."""
    values = np.atleast_1d(np.asarray(t, dtype=np.float64))
    return np.array([math.nan if math.isnan(v) else min(1.0, 2.0 * t_upper_tail(abs(v), df)) for v in values])


def t_quantile(p: float, df: float) -> float:
    """The t quantile with upper tail ``p`` in (0, 0.5], by bisection on the tail."""
    lo, hi = 0.0, 1.0
    while t_upper_tail(hi, df) > p:
        hi *= 2.0
    for _ in range(200):
        mid = 0.5 * (lo + hi)
        if mid in (lo, hi):
            break
        if t_upper_tail(mid, df) > p:
            lo = mid
        else:
            hi = mid
    return 0.5 * (lo + hi)


def normal_two_sided_p(z: float) -> float:
    """P(|Z| > |z|) for a standard normal Z."""
    return math.nan if math.isnan(z) else math.erfc(abs(z) / math.sqrt(2.0))

"""Standard normal quantiles without SciPy."""

from __future__ import annotations

import math


def normal_upper_quantile(q: float) -> float:
    """z with P(Z > z) = q for a standard normal Z and q in (0, 0.5], by bisection on erfc."""
    lo, hi = 0.0, 40.0  # P(Z > 40) is 0 in doubles, so the root lies inside
    for _ in range(200):
        mid = 0.5 * (lo + hi)
        if mid in (lo, hi):
            break
        if 0.5 * math.erfc(mid / math.sqrt(2.0)) > q:
            lo = mid
        else:
            hi = mid
    return 0.5 * (lo + hi)

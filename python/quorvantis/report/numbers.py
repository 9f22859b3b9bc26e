"""Numbers rounded for a reader: about four significant digits, thousands separated."""

import math


def num(value: float, digits: int = 4) -> str:
    """``1,592``, ``0.1023``, ``-3.2e-05``; ``n/a`` for NaN."""
    if value is None or not math.isfinite(value):
        return "n/a" if value is None or math.isnan(value) else ("inf" if value > 0 else "-inf")
    if value == 0:
        return "0"
    size = abs(value)
    if size >= 10 ** (digits - 1):
        return f"{value:,.0f}"
    if size < 1e-3:
        return f"{value:.{digits - 2}e}"
    decimals = digits - 1 - math.floor(math.log10(size))
    text = f"{value:,.{decimals}f}"
    return text.rstrip("0").rstrip(".") if "." in text else text


def count(value: int) -> str:
    return f"{value:,}"


def share(value: float) -> str:
    """A share as a percentage: ``12.3%``, ``0.04%``, ``0%``."""
    if not math.isfinite(value):
        return "n/a"
    percent = 100.0 * value
    if percent == 0 or percent >= 0.1:
        return f"{percent:.1f}%"
    return f"{percent:.2g}%"


def p_value(value: float) -> str:
    if not math.isfinite(value):
        return "n/a"
    return "< 0.001" if value < 0.001 else f"{value:.3f}"


def interval(low: float, high: float) -> str:
    return f"[{num(low)}, {num(high)}]"


def level(alpha: float) -> str:
    """The coverage of an interval at ``alpha``: ``95%``, ``90%``, ``99.5%``."""
    return f"{100 * (1 - alpha):.6g}%"

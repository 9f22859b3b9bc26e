"""The diagnostics the report calls, by name, from quorvantis.diagnostics.

Kept in one place so the report depends on a small, stated contract:
calibration_test(forest), best_linear_projection(forest, A=None),
rank_average_treatment_effect(forest, priorities=None, target="AUTOC") and
doubly_robust_scores(forest). Imported at call time: the diagnostics may import
the estimator module, which imports the report.
"""

from __future__ import annotations

import importlib
from typing import Any


def _function(name: str) -> Any:
    try:
        module = importlib.import_module("quorvantis.diagnostics")
    except ImportError as error:
        raise ImportError(f"quorvantis.diagnostics is not available ({error})") from error
    return getattr(module, name)


def calibration_test(forest: Any) -> Any:
    return _function("calibration_test")(forest)


def best_linear_projection(forest: Any, A: Any = None) -> Any:
    return _function("best_linear_projection")(forest, A)


def rank_average_treatment_effect(forest: Any, priorities: Any = None, target: str = "AUTOC") -> Any:
    return _function("rank_average_treatment_effect")(forest, priorities, target=target)


def doubly_robust_scores(forest: Any) -> Any:
    return _function("doubly_robust_scores")(forest)

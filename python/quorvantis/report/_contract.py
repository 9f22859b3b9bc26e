"""The diagnostics the report calls, by name, from quorvantis.diagnostics.

Kept in one place so the report depends on a small, stated contract:
calibration_test(forest), best_linear_projection(forest, A=None),
rank_average_treatment_effect(forest, priorities=None, target="AUTOC", *,
priority_trees, priority_rows) and
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


# The report's RATE grows its ranking forest from 50 trees and at most 20,000 rows (the
# default: 100 trees, half the rows) and ranks all other rows: on 100,000 rows that halves
# its cost, keeping summary() within about twice effect_interval. Still valid, as the
# ranked rows stay unseen; its size and power are in bench/diagnostics.py.
REPORT_RATE = {"priority_trees": 50, "priority_rows": 20_000}


def rank_average_treatment_effect(forest: Any, priorities: Any = None, target: str = "AUTOC") -> Any:
    return _function("rank_average_treatment_effect")(forest, priorities, target=target, **REPORT_RATE)


def doubly_robust_scores(forest: Any) -> Any:
    return _function("doubly_robust_scores")(forest)

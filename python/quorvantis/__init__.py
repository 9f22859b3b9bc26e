"""Heterogeneous treatment effects from observational data, and charts of them."""

from _quorvantis import (
    InferenceResult,
    Model,
    ValidationResult,
    analyze_flow,
    create_model,
    plot_model,
)

from .causal_forest import CausalForest, NotFittedError
from .diagnostics import (
    CalibrationResult,
    Coefficient,
    LinearProjection,
    RankAverageEffect,
    Refutation,
)
from .policy import PolicyTree
from .report import CausalForestReport

__version__ = "0.1.0"

__all__ = [
    "analyze_flow",
    "create_model",
    "plot_model",
    "Model",
    "InferenceResult",
    "ValidationResult",
    "CausalForest",
    "NotFittedError",
    "CausalForestReport",
    "PolicyTree",
    "CalibrationResult",
    "Coefficient",
    "LinearProjection",
    "RankAverageEffect",
    "Refutation",
]

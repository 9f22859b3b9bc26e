from collections.abc import Sequence
from typing import Any, final

import numpy as np
import numpy.typing as npt

__all__ = [
    "analyze_flow",
    "create_model",
    "plot_model",
    "Model",
    "InferenceResult",
    "ValidationResult",
]

_Matrix = npt.NDArray[np.float64]
_Vector = npt.NDArray[np.float64]

class InternalFailure(BaseException): ...

def analyze_flow() -> str: ...
def create_model(
    features: _Matrix,
    treatment: _Vector,
    outcome: _Vector,
    method: str = "forest",
    feature_names: Sequence[str] | None = None,
) -> Model: ...
def plot_model(model: Model, plot: str = "graph") -> Any: ...
@final
class Model:
    def estimate_effects(self, x: _Matrix) -> InferenceResult: ...
    def validate(self, n_folds: int = 5, is_time_series: bool = False) -> ValidationResult: ...

@final
class InferenceResult:
    @property
    def mean_effect(self) -> float: ...
    @property
    def predictions(self) -> _Vector: ...
    @property
    def confidence_intervals(self) -> list[tuple[float, float]]: ...
    @property
    def feature_importance(self) -> list[float]: ...
    def summary(self) -> str: ...

@final
class ValidationResult:
    @property
    def is_robust(self) -> bool: ...
    @property
    def message(self) -> str: ...

"""What every diagnostic reads from a fitted forest: its out-of-bag estimates and its seed."""

from __future__ import annotations

import math
import os
import warnings
import zlib
from typing import Any

import numpy as np

# The engine keeps propensities this far from 0 and 1 wherever it divides by
# them (average_treatment_effect); the scores must divide the same way.
PROPENSITY_FLOOR = 1e-3


def show(value: Any) -> str:
    """A short rendering of a given value for error messages."""
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def training(forest: Any, method: str) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The forest's training rows (X, T, y); NotFittedError naming ``method`` before fit."""
    X, T, y = forest._training_data(method)
    return X, T, y


def oob_effects(forest: Any, method: str) -> np.ndarray:
    """Out-of-bag effects of the training rows, each NaN replaced by the whole forest's effect.

    A row that every tree saw has no out-of-bag effect; the engine's average effects use
    the forest's effect there, and so do the diagnostics, so that mean scores match it.
    """
    X, _, _ = training(forest, method)
    tau = np.array(forest.oob_effect(), dtype=np.float64)
    missing = np.flatnonzero(np.isnan(tau))
    if len(missing):
        with warnings.catch_warnings():
            # The stored rows are a plain array even when the fit saw a DataFrame.
            warnings.filterwarnings("ignore", message="X has no feature names", category=UserWarning)
            tau[missing] = forest.effect(X[missing])
    return tau


def clipped_propensities(forest: Any) -> np.ndarray:
    return np.clip(np.asarray(forest.T_hat_, dtype=np.float64), PROPENSITY_FLOOR, 1.0 - PROPENSITY_FLOOR)


def rng_for(forest: Any, purpose: str) -> np.random.Generator:
    """A generator for one diagnostic, derived from the forest's ``random_state``.

    An int gives the same stream on every call (one per ``purpose``); a Generator or
    RandomState gives one draw's worth of seed, advancing it as a fit would; None draws
    fresh entropy.
    """
    state = forest.random_state
    if isinstance(state, np.random.Generator):
        entropy = int(state.integers(0, 1 << 63))
    elif isinstance(state, np.random.RandomState):
        entropy = int(state.randint(0, 1 << 63, dtype=np.int64))
    elif state is None:
        entropy = int.from_bytes(os.urandom(8), "little")
    else:
        entropy = int(state)
    return np.random.default_rng(np.random.SeedSequence(entropy, spawn_key=(zlib.crc32(purpose.encode()),)))


def rounded(value: float, digits: int = 3) -> str:
    """A number for a reader: a few significant digits."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "nan"
    return f"{value:.{digits}g}"

"""Repeated calls leave no references, objects or memory behind."""

import gc
import subprocess
import sys
import threading

import numpy as np
import pytest

import _quorvantis as q
from conftest import UNDER_SANITIZER


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def swallow(call):
    def run():
        try:
            call()
        except (TypeError, ValueError, OverflowError, RuntimeError):
            pass

    return run


@pytest.fixture(scope="module")
def setup():
    rng = np.random.default_rng(9)
    X = rng.random((60, 3))
    t = (np.arange(60) % 2).astype(float)
    y = rng.random(60)
    forest = q.create_model(X, t, y, feature_names=["a", "b"])
    linear = q.create_model(X, t, y, method="linear")
    return X, t, y, forest, linear, forest.estimate_effects(X)


def entry_points(setup):
    X, t, y, forest, linear, result = setup
    bad_t = t.copy()
    bad_t[0] = 0.5
    calls = {
        "analyze_flow": lambda: q.analyze_flow(),
        "create_model linear": lambda: q.create_model(X, t, y, method="linear", feature_names=("a", "b")),
        "create_model forest": lambda: q.create_model(X[:30], t[:30], y[:30]),
        "estimate_effects": lambda: forest.estimate_effects(X),
        "validate linear": lambda: linear.validate(n_folds=3),
        "properties": lambda: (
            result.mean_effect,
            result.predictions,
            result.confidence_intervals,
            result.feature_importance,
        ),
        "summary": lambda: (result.summary(), repr(result)),
        "visuals": lambda: (
            result.to_dict(),
            result.to_visual_tag("effect_dist"),
            result.to_html(),
            forest.to_visual_tag("importance"),
            linear.to_html("effect_dist"),
            q.plot_model(forest),
        ),
    }
    errors = {
        "bad features": lambda: q.create_model([[1.0]], t, y),
        "bad names": lambda: q.create_model(X, t, y, feature_names=["a", 1]),
        "names str": lambda: q.create_model(X, t, y, feature_names="ab"),
        "bad method": lambda: q.create_model(X, t, y, method="nope"),
        "method None": lambda: q.create_model(X, t, y, method=None),
        "fit error": lambda: q.create_model(X, bad_t, y),
        "short vector": lambda: q.create_model(X, t[:5], y),
        "binding": lambda: q.create_model(X),
        "predict error": lambda: forest.estimate_effects(X[:0]),
        "predict columns": lambda: forest.estimate_effects(X[:, :1]),
        "bad x": lambda: forest.estimate_effects(np.zeros(3)),
        "validate args": lambda: linear.validate(n_folds=-1),
        "validate bool": lambda: linear.validate(is_time_series=1),
        "plot type": lambda: result.to_dict(None),
        "plot_model": lambda: q.plot_model(1),
        "constructor": lambda: q.Model(),
    }
    return {**calls, **{k: swallow(v) for k, v in errors.items()}}


@pytest.mark.parametrize("rounds", [2000])
def test_no_leaks(setup, rounds):
    for name, call in entry_points(setup).items():
        for _ in range(50):  # warm caches and free lists
            call()
        gc.collect()
        objects, memory = len(gc.get_objects()), rss_bytes()
        refs = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
        for _ in range(rounds):
            call()
        gc.collect()
        grown_objects = len(gc.get_objects()) - objects
        grown_memory = rss_bytes() - memory
        assert grown_objects <= 10, (name, grown_objects)
        assert UNDER_SANITIZER or grown_memory <= 1 << 20, (name, grown_memory)
        if refs is not None:
            assert sys.gettotalrefcount() - refs < 100, name


def test_validate_forest_repeatedly_keeps_model_intact(setup):
    X, t, y, forest, _, _ = setup
    before = forest.estimate_effects(X).predictions.copy()
    for _ in range(20):
        assert isinstance(forest.validate().is_robust, bool)
    assert np.array_equal(forest.estimate_effects(X).predictions, before)


def test_many_threads_share_one_model(setup):
    X, _, _, forest, _, _ = setup
    expected = forest.estimate_effects(X).predictions.copy()
    failures = []

    def work():
        for _ in range(200):
            if not np.array_equal(forest.estimate_effects(X).predictions, expected):
                failures.append("mismatch")
            forest.to_visual_tag("graph")

    threads = [threading.Thread(target=work) for _ in range(8)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not failures


def test_both_modules_share_one_worker_pool():
    # Each extension once linked its own copy of the core, and with it a second pool.
    script = (
        "import os, numpy as np, _quorvantis\n"
        "from quorvantis import CausalForest\n"
        "before = len(os.listdir('/proc/self/task'))\n"
        "rng = np.random.default_rng(0)\n"
        "X = rng.normal(size=(400, 3)); t = (rng.random(400) < 0.5) * 1.0; y = X[:, 0] + t\n"
        "_quorvantis.create_model(X, t, y)\n"
        "CausalForest(n_estimators=20, random_state=0).fit(X, t, y)\n"
        "print(len(os.listdir('/proc/self/task')) - before, len(os.sched_getaffinity(0)))\n"
    )
    added, cpus = map(
        int,
        subprocess.run(
            [sys.executable, "-c", script], capture_output=True, text=True, check=True
        ).stdout.split(),
    )
    assert 1 <= added <= cpus

"""Threads sharing models for a bounded time, and fits in forked children."""

import collections
import json
import multiprocessing
import os
import pickle
import threading
import time

import numpy as np
import pytest

import _quorvantis as q

SECONDS = float(os.environ.get("QUORVANTIS_STRESS_SECONDS", "5"))
ROBUST = "Causal structure looks robust. Placebo effect ("
WEAK = "Warning: Causal structure may NOT be robust. Placebo effect ("


def data(seed, n=400, p=4):
    rng = np.random.default_rng(seed)
    X = rng.random((n, p))
    t = (rng.random(n) < 0.5).astype(float)
    return X, t, X[:, 0] + t * (1 + X[:, 1]) + rng.normal(scale=0.1, size=n)


def check_predictions(result, rows):
    assert result.predictions.shape == (rows,) and np.isfinite(result.predictions).all()


def worker(index, shared, deadline, counts, failures):
    X, t, y = data(100 + index)
    step, kind = 0, "setup"
    try:
        own = q.create_model(X, t, y, method="forest" if index % 2 else "linear")
        while time.monotonic() < deadline:
            kind = ("fit", "predict", "validate", "render")[step % 4]
            step += 1
            model = (shared["forest"], own)[step % 2]
            if kind == "fit":
                own = q.create_model(X, t, y, method=("forest", "linear")[step % 3 == 0])
                check_predictions(own.estimate_effects(X), len(X))
            elif kind == "predict":
                result = shared["forest"].estimate_effects(shared["X"])
                assert np.array_equal(result.predictions, shared["expected"])
                check_predictions(model.estimate_effects(X[: 1 + step % 50]), 1 + step % 50)
            elif kind == "validate":
                message = model.validate(n_folds=3).message
                assert (
                    message.startswith(WEAK)
                    or message.startswith(ROBUST)
                    and message.endswith("Verified using 3 folds.")
                    or message == "Validation not implemented for this model type yet."
                ), message
            else:
                result = model.estimate_effects(X)
                for plot in ("graph", "importance", "effect_dist"):
                    assert result.to_dict(plot) == json.loads(
                        result.to_visual_tag(plot).split("\n", 1)[1].rsplit("\n", 1)[0]
                    )
                    assert model.to_html(plot).endswith("</script>\n")
                    json.dumps(q.plot_model(model, plot))
                assert result.summary().endswith("\n")
                assert pickle.loads(pickle.dumps(result)).summary() == result.summary()
            counts[kind] += 1
    except BaseException as error:  # noqa: BLE001 - reported by the test
        failures.append((index, kind, repr(error)))


def test_threads_share_and_own_models():
    X, t, y = data(0)
    forest = q.create_model(X, t, y, feature_names=["a", "b"])
    shared = {"forest": forest, "X": X, "expected": forest.estimate_effects(X).predictions.copy()}
    counts = [collections.Counter() for _ in range(8)]
    failures = []
    deadline = time.monotonic() + SECONDS
    threads = [
        threading.Thread(target=worker, args=(i, shared, deadline, counts[i], failures), daemon=True)
        for i in range(8)
    ]
    for th in threads:
        th.start()
    for th in threads:
        th.join(timeout=SECONDS + 120)
    assert not any(th.is_alive() for th in threads), "a worker is stuck"
    assert not failures, failures[:3]
    total = sum(counts, collections.Counter())
    print(f"\nstress {SECONDS:g}s, 8 threads: {dict(total)}")
    assert all(total[k] > 0 for k in ("fit", "predict", "validate", "render"))


def fit_in_child(queue):
    X, t, y = data(7, n=3000, p=6)
    result = q.create_model(X, t, y).estimate_effects(X)
    queue.put((result.predictions.shape, bool(np.isfinite(result.predictions).all())))


@pytest.mark.parametrize("busy", [False, True], ids=["idle", "while-fitting"])
def test_fit_in_forked_child(busy):
    X, t, y = data(1, n=20000, p=8)
    q.create_model(X, t, y)  # the parent's worker pool exists from here on
    stop = threading.Event()

    def keep_fitting():
        while not stop.is_set():
            q.create_model(X, t, y)

    background = threading.Thread(target=keep_fitting, daemon=True)
    if busy:
        background.start()
        time.sleep(0.05)
    context = multiprocessing.get_context("fork")
    results = context.Queue()
    children = [context.Process(target=fit_in_child, args=(results,)) for _ in range(4)]
    try:
        for child in children:
            child.start()
        answers = [results.get(timeout=60) for _ in children]
    finally:
        stop.set()
        for child in children:
            child.join(timeout=10)
            if child.is_alive():
                child.kill()
        if busy:
            background.join(timeout=60)
    assert answers == [((3000,), True)] * 4
    assert all(child.exitcode == 0 for child in children)

import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import _quorvantis as q
from conftest import UNDER_SANITIZER

TREATMENT_MESSAGE = "Invalid treatment: treatment values must be binary (0 or 1), found "
INVALID_DATA = "Invalid data: input contains NaN or Infinity"
EMPTY_DATA = "Empty data: training or inference data cannot be empty"


def data(n=200, p=3, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.random((n, p))
    t = (rng.random(n) < 0.5).astype(float)
    y = X[:, 0] + t * (1.0 + 2.0 * (X[:, 0] > 0.5)) + rng.normal(scale=0.1, size=n)
    return X, t, y


def with_treatment(values, n=40):
    X, t, y = data(n)
    t = t.copy()
    for i, v in values.items():
        t[i] = v
    return X, t, y


@pytest.mark.parametrize(
    "make,message",
    [
        (lambda: with_treatment({3: 2.0}), TREATMENT_MESSAGE + "2"),
        (lambda: with_treatment({3: 0.5}), TREATMENT_MESSAGE + "0.5"),
        (lambda: with_treatment({3: -1.0}), TREATMENT_MESSAGE + "-1"),
        (lambda: with_treatment({3: 1e-15}), TREATMENT_MESSAGE + "0.000000000000001"),
        (lambda: with_treatment({3: 0.5, 9: np.nan}), INVALID_DATA),
        (lambda: with_treatment({3: 0.5, 9: np.inf}), INVALID_DATA),
        (lambda: (np.zeros((0, 3)), np.zeros(0), np.zeros(0)), EMPTY_DATA),
        (lambda: (np.zeros((5, 0)), np.zeros(5), np.zeros(5)), EMPTY_DATA),
    ],
)
def test_fit_errors(make, message):
    with pytest.raises(ValueError) as info:
        q.create_model(*make())
    assert str(info.value) == message


@pytest.mark.parametrize("where", ["features", "treatment", "outcome"])
@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_non_finite_values_are_refused(where, bad):
    X, t, y = data(40)
    {"features": X[7], "treatment": t[7:8], "outcome": y[7:8]}[where][0] = bad
    with pytest.raises(ValueError, match="^" + INVALID_DATA + "$"):
        q.create_model(X, t, y)


def test_entries_past_the_row_count_are_checked_but_unused():
    X, t, y = data(40)
    t_long, y_long = np.append(t, [0.0, 1.0]), np.append(y, [5.0, 6.0])
    q.create_model(X, t_long, y_long)
    with pytest.raises(ValueError, match="found 2$"):
        q.create_model(X, np.append(t, 2.0), y)
    with pytest.raises(ValueError, match=INVALID_DATA):
        q.create_model(X, t, np.append(y, np.nan))


def test_tiny_treatment_deviation_is_accepted():
    X, t, y = with_treatment({3: 1e-20, 4: 1.0 - 1e-17})
    q.create_model(X, t, y)


@pytest.mark.parametrize("which", ["treatment", "outcome"])
def test_short_vectors_are_refused_before_fitting(which):
    X, t, y = data(40)
    args = {"treatment": t, "outcome": y}
    args[which] = args[which][:39]
    with pytest.raises(ValueError) as info:
        q.create_model(X, args["treatment"], args["outcome"])
    assert str(info.value).startswith(f"{which} has 39 entries but features has 40 rows")


def test_prediction_errors():
    X, t, y = data(100, p=4)
    model = q.create_model(X, t, y)
    with pytest.raises(ValueError, match="^" + EMPTY_DATA + "$"):
        model.estimate_effects(np.zeros((0, 4)))
    with pytest.raises(ValueError) as info:
        model.estimate_effects(X[:, :2])
    assert str(info.value) == "Missing feature data: feature index 2 out of bounds"
    assert model.estimate_effects(np.hstack([X, X])).predictions.shape == (100,)


def test_planted_effect_is_recovered():
    X, t, y = data(4000, p=5, seed=3)
    model = q.create_model(X, t, y, feature_names=[f"x{j}" for j in range(5)])
    result = model.estimate_effects(X)
    high = result.predictions[X[:, 0] > 0.5].mean()
    low = result.predictions[X[:, 0] <= 0.5].mean()
    assert high - low > 1.0
    assert int(np.argmax(result.feature_importance)) == 0
    assert sum(result.feature_importance) == pytest.approx(1.0)
    lower, upper = zip(*result.confidence_intervals, strict=True)
    assert np.allclose(np.array(upper) - result.predictions, 0.1)
    assert result.mean_effect == pytest.approx(result.predictions.mean())


def test_small_data_gives_one_leaf_per_tree():
    X, t, y = data(19)
    result = q.create_model(X, t, y).estimate_effects(X)
    assert np.all(result.predictions == result.predictions[0])
    assert result.feature_importance == [0.0, 0.0, 0.0]


def test_layouts_are_read_in_place():
    X, t, y = data(300, p=4)
    model = q.create_model(X, t, y)
    expected = model.estimate_effects(X).predictions
    for view in (np.asfortranarray(X), X[::-1][::-1], np.repeat(X, 2, axis=0)[::2]):
        assert np.array_equal(model.estimate_effects(view).predictions, expected)
    raw = np.zeros(X.nbytes + 1, np.uint8)[1:].view(np.float64).reshape(X.shape)
    raw[...] = X
    raw.flags.writeable = False
    assert np.array_equal(model.estimate_effects(raw).predictions, expected)
    q.create_model(np.asfortranarray(X), t[::-1].copy()[::-1], y, method="forest")


def test_fit_does_not_change_inputs_and_model_ignores_later_changes():
    X, t, y = data(300)
    copies = [a.copy() for a in (X, t, y)]
    model = q.create_model(X, t, y)
    assert all(np.array_equal(a, b) for a, b in zip((X, t, y), copies, strict=True))
    before = model.estimate_effects(copies[0]).predictions
    X[:] = 0.0
    assert np.array_equal(model.estimate_effects(copies[0]).predictions, before)


def test_forest_validation_message():
    X, t, y = data(2000)
    v = q.create_model(X, t, y).validate(n_folds=10)
    assert isinstance(v.is_robust, bool)
    if v.is_robust:
        assert v.message.startswith("Causal structure looks robust. Placebo effect (")
        assert v.message.endswith("Verified using 10 folds.")
    else:
        assert v.message.startswith("Warning: Causal structure may NOT be robust.")


def test_fits_from_several_threads():
    results, errors = [], []

    def work(seed):
        try:
            X, t, y = data(3000, p=6, seed=seed)
            results.append(q.create_model(X, t, y).estimate_effects(X).predictions.shape)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(s,)) for s in range(6)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not errors and results == [(3000,)] * 6


def run_child(code, timeout=120):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env={**os.environ, "PYTHONFAULTHANDLER": "1"},
    )


def test_fit_after_fork():
    proc = run_child(
        """
        import os, numpy as np, _quorvantis as q
        rng = np.random.default_rng(0)
        X = rng.random((5000, 8)); t = (rng.random(5000) < .5) * 1.0; y = rng.random(5000)
        q.create_model(X, t, y)
        pid = os.fork()
        if pid == 0:
            m = q.create_model(X, t, y)
            os._exit(0 if m.estimate_effects(X).predictions.shape == (5000,) else 3)
        _, status = os.waitpid(pid, 0)
        print("child", os.waitstatus_to_exitcode(status))
        import multiprocessing as mp
        def job(_):
            return q.create_model(X, t, y).estimate_effects(X).mean_effect
        with mp.get_context("fork").Pool(2) as pool:
            print("pool", len(pool.map(job, range(4))))
    """,
        timeout=60,
    )
    assert proc.stdout.split() == ["child", "0", "pool", "4"], proc.stderr


def test_ctrl_c_interrupts_a_fit():
    proc = run_child("""
        import os, signal, threading, time, numpy as np, _quorvantis as q
        rng = np.random.default_rng(0)
        n = 2_000_000
        X = rng.random((n, 16)); t = (rng.random(n) < .5) * 1.0; y = rng.random(n)
        fits = 0
        def interrupt():
            time.sleep(0.3)
            global sent
            sent = time.perf_counter()
            os.kill(os.getpid(), signal.SIGINT)
        threading.Thread(target=interrupt).start()
        model = None
        try:
            while True:
                model = q.create_model(X, t, y)
                fits += 1
        except KeyboardInterrupt:
            print("interrupted", round(time.perf_counter() - sent, 3))
    """)
    words = proc.stdout.split()
    assert words[:1] == ["interrupted"], proc.stderr
    assert float(words[1]) < 0.5


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer reserves address space of its own")
def test_allocation_failure_becomes_memory_error():
    proc = run_child("""
        import resource, numpy as np, _quorvantis as q
        rng = np.random.default_rng(0)
        n = 16_000_000
        X = rng.random((n, 1)); t = (rng.random(n) < .5) * 1.0; y = rng.random(n)
        q.create_model(X[:1000], t[:1000], y[:1000])  # the pool exists from here on
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (1 << 20), resource.RLIM_INFINITY))
        try:
            q.create_model(X, t, y)
            print("fitted")
        except MemoryError:
            print("memory-error")
    """)
    assert proc.stdout.split() == ["memory-error"], proc.stderr


# Ctrl-C must reach every long stretch of a call: the input checks of a huge
# (zero-stride) matrix, a prediction over tens of millions of rows, and
# both halves of validate().
LONG_CALLS = {
    "fit checks": """
        n = 10**9
        X = np.lib.stride_tricks.as_strided(np.zeros(1), (n, 20), (0, 0))
        v = np.lib.stride_tricks.as_strided(np.zeros(1), (n,), (0,))
        call = lambda: q.create_model(X, v, v)
    """,
    "prediction": """
        m = q.create_model(rng.random((2000, 3)), (rng.random(2000) < .5) * 1.0, rng.random(2000))
        X = np.lib.stride_tricks.as_strided(np.zeros(1), (10**8, 3), (0, 0))
        call = lambda: m.estimate_effects(X)
    """,
    "validate": """
        n = 3_000_000
        X = rng.random((n, 16)); t = (rng.random(n) < .5) * 1.0
        m = q.create_model(X, t, rng.random(n))
        call = lambda: [m.validate() for _ in range(100)]
    """,
}


@pytest.mark.parametrize("setup", LONG_CALLS.values(), ids=LONG_CALLS.keys())
def test_ctrl_c_reaches_every_long_call(setup):
    proc = run_child(
        textwrap.dedent("""
        import os, signal, threading, time, numpy as np, _quorvantis as q
        rng = np.random.default_rng(0)
    """)
        + textwrap.dedent(setup)
        + textwrap.dedent("""
        # A timer signal, since no other thread runs while the call holds
        # the interpreter lock; its handler raises as Ctrl-C does.
        signal.signal(signal.SIGALRM, signal.default_int_handler)
        sent = time.perf_counter() + 0.4
        signal.setitimer(signal.ITIMER_REAL, 0.4)
        try:
            call()
            print("finished")
        except KeyboardInterrupt:
            print("interrupted", round(time.perf_counter() - sent, 3))
    """)
    )
    words = proc.stdout.split()
    assert words[:1] == ["interrupted"], proc.stdout + proc.stderr
    assert float(words[1]) < 0.5


# A signal handler that frees the arrays a call reads (resize without the
# reference check) must stop the call with a clear error, never crash it.
@pytest.mark.parametrize("call", ["q.create_model(X, t, y)", "model.validate()"])
def test_signal_handler_resizing_the_arrays_stops_the_call(call):
    proc = run_child(
        """
        import signal, numpy as np, _quorvantis as q
        rng = np.random.default_rng(0)
        n = 1_000_000
        X = rng.random((n, 16)); t = (rng.random(n) < .5) * 1.0; y = rng.random(n)
        model = q.create_model(X, t, y)
        def shrink(*_):
            X.resize((10, 16), refcheck=False)
        signal.signal(signal.SIGALRM, shrink)
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        try:
            CALL
            print("finished" if X.shape[0] == n else "finished-after-resize")
        except ValueError as e:
            print("stopped:", e)
    """.replace("CALL", call)
    )
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout.strip()
    assert out == "finished" or (out.startswith("stopped:") and "changed size, shape or dtype" in out), out


def test_fork_inside_a_signal_handler_during_a_fit():
    proc = run_child(
        """
        import os, signal, time, numpy as np, _quorvantis as q
        rng = np.random.default_rng(0)
        n = 2_000_000
        X = rng.random((n, 16)); t = (rng.random(n) < .5) * 1.0; y = rng.random(n)
        q.create_model(X[:100], t[:100], y[:100])  # the pool runs
        child = []
        def fork(*_):
            pid = os.fork()
            child.append(pid)
            if pid == 0:
                signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, fork)
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        start = time.perf_counter()
        try:
            q.create_model(X, t, y)
            outcome = "fitted"
        except RuntimeError as e:
            outcome = "runtime-error"
        if child and child[0] == 0:
            ok = outcome == "runtime-error" and time.perf_counter() - start < 5
            m = q.create_model(X[:5000], t[:5000], y[:5000])
            os._exit(0 if ok and m.estimate_effects(X[:10]).predictions.shape == (10,) else 3)
        _, status = os.waitpid(child[0], 0)
        print(outcome, os.waitstatus_to_exitcode(status))
    """,
        timeout=60,
    )
    assert proc.stdout.split() == ["fitted", "0"], proc.stdout + proc.stderr


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer reserves address space of its own")
def test_no_worker_threads_is_an_ordinary_error_or_a_fit():
    proc = run_child("""
        import resource, numpy as np, _quorvantis as q
        rng = np.random.default_rng(0)
        X = rng.random((20000, 4)); t = (rng.random(20000) < .5) * 1.0; y = rng.random(20000)
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        # Room for the fit's buffers, not for an 8 MiB thread stack.
        resource.setrlimit(resource.RLIMIT_AS, (used + (6 << 20), resource.RLIM_INFINITY))
        try:
            q.create_model(X, t, y)
            first = "fitted"
        except (MemoryError, RuntimeError) as e:
            first = type(e).__name__
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        m = q.create_model(X, t, y)
        print(first, m.estimate_effects(X).predictions.shape[0])
    """)
    words = proc.stdout.split()
    assert words[:1] and words[0] in ("fitted", "MemoryError", "RuntimeError"), proc.stdout + proc.stderr
    assert words[1:] == ["20000"]

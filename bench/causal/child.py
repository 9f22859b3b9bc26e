"""One measurement in its own process, so its peak memory is its own.

argv[1] is a JSON task; the last stdout line is "RESULT <json>".
"""

import json
import os
import sys
import threading
import time
import warnings

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from designs import draw, nsw_cps  # noqa: E402
from methods import METHODS  # noqa: E402

MIB = 2.0**20


def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    return 0


class Peak:
    """Highest resident memory of this process and any workers it forks: the
    kernel's high-water mark for itself, a 20 ms sampler for the process tree."""

    def __init__(self):
        try:
            import psutil

            self.proc = psutil.Process()
        except ImportError:
            self.proc = None
        self.tree = 0
        self.stop = threading.Event()

    def _sample(self):
        while not self.stop.wait(0.02):
            try:
                total = self.proc.memory_info().rss
                for c in self.proc.children(recursive=True):
                    try:
                        total += c.memory_info().rss
                    except Exception:
                        pass
                self.tree = max(self.tree, total)
            except Exception:
                pass

    def __enter__(self):
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets VmHWM to the current RSS
        self.base = status("VmRSS")
        if self.proc is not None:
            self.thread = threading.Thread(target=self._sample, daemon=True)
            self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        if self.proc is not None:
            self.thread.join()
        self.hwm = status("VmHWM")
        self.peak = max(self.hwm, self.tree)
        self.above = self.peak - self.base


def timed(f, *args):
    s = time.perf_counter()
    out = f(*args)
    return out, time.perf_counter() - s


def wager_athey_setup(task):
    """Training and test rows of the Wager-Athey design, the method, and a
    record holding the input's size."""
    X, w, y, _ = draw("WA", task["n"], task["p"], task["seed"])
    Xt, _, _, _ = draw("WA", task["n_test"], task["p"], task["seed"] + 1)
    m = METHODS[task["method"]](task["n_estimators"], task["seed"])
    return X, w, y, Xt, m, {"input_mib": (X.nbytes + w.nbytes + y.nbytes) / MIB}


def speed(task):
    X, w, y, Xt, m, r = wager_athey_setup(task)
    with Peak() as pk:
        _, r["fit_s"] = timed(m.fit, X, w, y)
        _, r["effect_s"] = timed(m.effect, Xt)
        if m.interval is not None:
            _, r["predict_s"] = timed(m.interval, Xt)
            r["predict_what"] = "effect + 95% interval"
        else:
            _, r["predict_s"] = timed(m.effect, Xt)
            r["predict_what"] = "effect only (no intervals)"
    r.update(peak_mib=pk.peak / MIB, above_mib=pk.above / MIB, base_mib=pk.base / MIB)
    return r


def accuracy(task):
    n, nt = task["n"], task["n_test"]
    X, w, y, tau = draw(task["design"], n + nt, task["p"], task["seed"])
    m = METHODS[task["method"]](task["n_estimators"], task["seed"])
    r = {}
    _, r["fit_s"] = timed(m.fit, X[:n], w[:n], y[:n])
    s = time.perf_counter()
    est = m.effect(X[n:])
    r["rmse"] = float(np.sqrt(np.mean((est - tau[n:]) ** 2)))
    if m.interval is not None:
        lo, hi = m.interval(X[n:])
        r["coverage"] = float(np.mean((lo <= tau[n:]) & (tau[n:] <= hi)))
        r["mean_width"] = float(np.mean(hi - lo))
    r["predict_s"] = time.perf_counter() - s
    ate, se = m.ate()
    r["ate"], r["ate_se"] = ate, se
    r["true_ate"] = float(tau[:n].mean())
    r["ate_abs_bias"] = abs(ate - r["true_ate"])
    if se is not None:
        r["ate_covered"] = bool(abs(ate - r["true_ate"]) <= 1.959964 * se)
    return r


def scale(task):
    X, w, y, Xt, m, r = wager_athey_setup(task)
    with Peak() as pk:
        _, r["fit_s"] = timed(m.fit, X, w, y)
    r.update(fit_peak_mib=pk.peak / MIB, fit_above_mib=pk.above / MIB)
    with Peak() as pk2:
        _, r["interval_s"] = timed(m.interval, Xt)
    r["interval_above_mib"] = pk2.above / MIB
    return r


def dask_pairs(task):
    """Local fits (n_jobs=2) and fits on a local cluster of two one-thread worker
    processes, alternating in one process so both see the same load; the cluster
    starts, and its workers import and warm up, before anything is timed. CPU
    seconds of this process and the workers, summed, say how much of a gap is
    work rather than waiting: the load of a shared machine moves them little."""
    import logging

    import psutil
    from dask.distributed import Client, LocalCluster

    from quorvantis import CausalForest

    X, w, y, _ = draw("WA", task["n"], task["p"], task["seed"])
    m = CausalForest(n_estimators=task["n_estimators"], random_state=task["seed"], n_jobs=2)
    local, spread, cpu_local, cpu_spread, same = [], [], [], [], True
    cluster = LocalCluster(
        n_workers=2, threads_per_worker=1, dashboard_address=None, silence_logs=logging.CRITICAL
    )
    with cluster, Client(cluster) as client:
        m.fit(X[:2000], w[:2000], y[:2000], dask_client=client)
        procs = [psutil.Process()] + [psutil.Process(pid) for pid in client.run(os.getpid).values()]

        def cpu():
            return sum(sum(p.cpu_times()[:2]) for p in procs)

        for _ in range(task["pairs"]):
            start = cpu()
            local.append(timed(m.fit, X, w, y)[1])
            cpu_local.append(cpu() - start)
            forest = m._forest.to_bytes()
            start = cpu()
            spread.append(timed(lambda: m.fit(X, w, y, dask_client=client))[1])
            cpu_spread.append(cpu() - start)
            same = same and m._forest.to_bytes() == forest
    ratios = [d / s for d, s in zip(spread, local, strict=True)]
    return {
        "cpu_ratio": float(np.median([d / s for d, s in zip(cpu_spread, cpu_local, strict=True)])),
        "local_s": float(np.median(local)),
        "dask_s": float(np.median(spread)),
        "ratio": float(np.median(ratios)),
        "ratios": ratios,
        "identical": same,
    }


def effect_calls(task):
    X, w, y, Xt, m, r = wager_athey_setup(task)
    _, r["fit_s"] = timed(m.fit, X, w, y)
    r["effect_s"] = float(np.median([timed(m.effect, Xt)[1] for _ in range(task["repeat"])]))
    return r


def goals(task):
    return {"dask": dask_pairs, "effect": effect_calls}.get(task["goal"], accuracy)(task)


def nsw(task):
    X, w, y, facts = nsw_cps()
    m = METHODS[task["method"]](task["n_estimators"], task["seed"])
    r = dict(facts)
    _, r["fit_s"] = timed(m.fit, X, w, y)
    if m.att is None:
        raise SystemExit("no ATT estimate")
    att, se = m.att()
    r.update(att=att, att_se=se, lower=att - 1.959964 * se, upper=att + 1.959964 * se)
    r["covers_benchmark"] = bool(r["lower"] <= facts["benchmark"] <= r["upper"])
    if hasattr(m, "effect_on"):
        r["mean_effect_treated"] = m.effect_on(X[w == 1])
    return r


def main():
    warnings.simplefilter("ignore")
    task = json.loads(sys.argv[1])
    load = os.getloadavg()[0]
    sections = {"speed": speed, "accuracy": accuracy, "scale": scale, "nsw": nsw, "goals": goals}
    r = sections[task["section"]](task)
    # Other work on the machine slows every library alike; keep it on record.
    r["load_before"], r["load_after"] = load, os.getloadavg()[0]
    print("RESULT " + json.dumps(r), flush=True)


if __name__ == "__main__":
    main()

"""Growing a CausalForest's trees as tasks on a dask.distributed cluster.

The engine grows each range of confidence groups as a pure function of the binned
training data, the options and the range, so tasks can run on any worker, in any
order, and be recomputed after a worker is lost; the client merges the batches into
the forest a local fit would grow.
"""

from __future__ import annotations

import contextlib
import ctypes
import functools
import itertools
import os
import platform
import threading
from collections.abc import Callable, Iterator, Sequence
from typing import Any

import numpy as np

import _quorvantis_engine as _engine

# Tasks shrink as a stage goes on (each a share of the groups left), so the
# workers end it together even when one runs slower; each is large enough that
# scheduling costs little next to growing, and small enough that a lost worker
# or an interrupt leaves little work to redo or to wait for. The last ones are
# small: what one worker still grows while the others wait is at most such a task.
_SHARES_PER_THREAD = 2
_MIN_GROUPS_PER_TASK = 2
_MAX_GROUPS_PER_TASK = 64
# A nuisance stage's out-of-bag sums over its first groups are taken while the
# rest still grow; only this share of its groups is left to add at the end,
# while the causal trees wait.
_LEFT_FOR_THE_END = 0.25
# Retries cover a task that raised on a worker (memory, a broken process);
# a lost worker's tasks are rescheduled by the scheduler anyway.
_RETRIES = 2

# Dask's nanny starts workers with MALLOC_TRIM_THRESHOLD_ set, which also fixes
# glibc's mmap threshold at 128 KiB: every buffer a tree needs is then mapped,
# faulted in page by page and unmapped again, some 5% of a task's time. While
# tasks run, freed memory up to these sizes is kept for the next tree, and for
# the next task (a fit's tasks follow one another closely, and trimming between
# them faulted in some 20 MB afresh per task); the worker's own settings come back
# once it has run no task for a while.
_M_TRIM_THRESHOLD, _M_MMAP_THRESHOLD = -1, -3
_KEEP_FREED = 256 << 20
_MAP_ABOVE = 64 << 20
_GLIBC_MMAP_THRESHOLD = 128 << 10
_IDLE_BEFORE_RESTORE = 2.0
_tasks_running = 0
_tasks_lock = threading.Lock()
_kept = False
_restore_timer: threading.Timer | None = None


@functools.cache
def _glibc() -> Any:
    if platform.libc_ver()[0] != "glibc":
        return None
    try:
        return ctypes.CDLL(None)
    except OSError:
        return None


def _mallopt() -> Any:
    """glibc's mallopt when the worker's allocator runs on fixed thresholds, else None."""
    libc = _glibc() if "MALLOC_TRIM_THRESHOLD_" in os.environ else None
    return getattr(libc, "mallopt", None)


def _threshold(name: str, default: int) -> int:
    try:
        return int(os.environ[name])
    except (KeyError, ValueError):
        return default


def _restore(mallopt: Any) -> None:
    global _kept
    with _tasks_lock:
        # A timer cancelled too late, after a task came and went, is not the current one.
        if _tasks_running or not _kept or threading.current_thread() is not _restore_timer:
            return
        mallopt(_M_MMAP_THRESHOLD, _threshold("MALLOC_MMAP_THRESHOLD_", _GLIBC_MMAP_THRESHOLD))
        mallopt(_M_TRIM_THRESHOLD, _threshold("MALLOC_TRIM_THRESHOLD_", 0))
        trim = getattr(_glibc(), "malloc_trim", None)
        if trim is not None:
            trim(0)
        _kept = False


@contextlib.contextmanager
def _reused_memory() -> Iterator[None]:
    global _tasks_running, _kept, _restore_timer
    mallopt = _mallopt()
    if mallopt is None:
        yield
        return
    with _tasks_lock:
        _tasks_running += 1
        if _restore_timer is not None:
            _restore_timer.cancel()
            _restore_timer = None
        if not _kept:
            mallopt(_M_MMAP_THRESHOLD, _MAP_ABOVE)
            mallopt(_M_TRIM_THRESHOLD, _KEEP_FREED)
            _kept = True
    try:
        yield
    finally:
        with _tasks_lock:
            _tasks_running -= 1
            if _tasks_running == 0:
                _restore_timer = threading.Timer(_IDLE_BEFORE_RESTORE, _restore, (mallopt,))
                _restore_timer.daemon = True
                _restore_timer.start()


def _grow(*args: Any) -> bytes:
    with _reused_memory():
        return _engine.grow(*args)


def _nuisance_sums(data: Any, stage: int, batches: list[bytes], options: dict[str, Any]) -> Any:
    with _reused_memory():
        return _engine.nuisance_sums(data, stage, batches, options)


def _nuisance(data: Any, stage: int, batches: list[bytes], sums: Any, options: dict[str, Any]) -> np.ndarray:
    with _reused_memory():
        return _engine.nuisance(data, stage, batches, options, sums)


# Sent by value (its module is not importable anywhere), so a worker can run it
# even when quorvantis is missing there: that is what it checks.
_PROBE_SOURCE = """
def probe():
    try:
        import _quorvantis_engine
        import quorvantis
    except BaseException as exc:
        return ("missing", f"{type(exc).__name__}: {exc}")
    return ("ok", str(getattr(quorvantis, "__version__", "unknown")))
"""


def _make_probe() -> Callable[[], tuple[str, str]]:
    namespace: dict[str, Any] = {"__name__": "_quorvantis_worker_probe"}
    exec(_PROBE_SOURCE, namespace)
    probe: Callable[[], tuple[str, str]] = namespace["probe"]
    return probe


def check_client(client: Any) -> Any:
    """The client if it is a running, synchronous dask.distributed Client; else TypeError or ValueError."""
    try:
        from distributed import Client
    except ImportError:
        installed = False
    else:
        installed = True
    if not installed or not isinstance(client, Client):
        hint = ""
        if type(client).__name__.endswith("Cluster"):
            hint = "; pass Client(cluster) rather than the cluster"
        elif not installed:
            hint = " (dask.distributed is not installed here)"
        raise TypeError(
            f"dask_client must be a dask.distributed.Client or None, got {type(client).__name__}{hint}"
        )
    if getattr(client, "asynchronous", False):
        raise TypeError("dask_client must be a synchronous Client, got one created with asynchronous=True")
    status = getattr(client, "status", "running")
    if status != "running":
        raise ValueError(
            f"dask_client must be connected to a scheduler, but its status is {status!r}; "
            "pass a running Client"
        )
    return client


def _missing(addresses: Sequence[str], why: str) -> ImportError:
    shown = ", ".join(sorted(addresses)[:5]) + (
        f" and {len(addresses) - 5} more" if len(addresses) > 5 else ""
    )
    where = f"dask worker(s) {shown}" if shown else "a dask worker that joined during the fit"
    return ImportError(
        f"the package 'quorvantis' cannot be imported on {where} ({why}); "
        "install quorvantis (the same version as here) in the workers' Python environment, "
        "or fit without dask_client"
    )


def probe_workers(client: Any) -> int:
    """The number of worker threads, once every worker has been seen to import quorvantis."""
    from quorvantis import __version__

    nthreads: dict[str, int] = client.nthreads()
    if not nthreads:
        raise ValueError(
            "dask_client's cluster has no workers; start some (or wait with client.wait_for_workers(n)) "
            "before fit"
        )
    answers = client.run(_make_probe(), on_error="return")
    missing = {}
    other = {}
    for address, answer in answers.items():
        if isinstance(answer, BaseException):
            missing[address] = f"{type(answer).__name__}: {answer}"
        elif answer[0] != "ok":
            missing[address] = answer[1]
        elif answer[1] != __version__:
            other[address] = answer[1]
    if missing:
        raise _missing(list(missing), next(iter(missing.values())))
    if other:
        version = next(iter(other.values()))
        raise ImportError(
            f"dask worker(s) {', '.join(sorted(other))} run quorvantis {version}, but this process runs "
            f"{__version__}; install the same quorvantis version on the workers"
        )
    return max(1, sum(nthreads.values()))


def _ranges(groups: int, threads: int) -> list[tuple[int, int]]:
    ranges: list[tuple[int, int]] = []
    first = 0
    while first < groups:
        share = -(-(groups - first) // (_SHARES_PER_THREAD * threads))
        last = first + min(_MAX_GROUPS_PER_TASK, max(_MIN_GROUPS_PER_TASK, share))
        # The last task takes what a full-size one would leave behind.
        last = groups if groups - last < _MIN_GROUPS_PER_TASK else last
        ranges.append((first, last))
        first = last
    return ranges


class _Run:
    """The futures of one fit, so that an interrupt or an error can cancel them all."""

    def __init__(self, client: Any, threads: int, options: dict[str, Any], progress: Any) -> None:
        from dask.base import tokenize

        self.client = client
        self.threads = threads
        self.options = options
        # One engine thread per task: the workers' threads are the parallelism.
        self.task_options = dict(options, n_jobs=1)
        self.progress = progress
        self.tokenize = tokenize
        self.futures: list[Any] = []
        # Workers take tasks in the order submitted, the largest first, rather
        # than in the scheduler's order among tasks submitted together.
        self.priority = 0

    def scatter(self, value: Any) -> Any:
        # A fresh key per fit, not a content hash: the release of an earlier fit's
        # copy of the same data can reach the scheduler after this fit scattered it.
        [future] = self.client.scatter([value], broadcast=True, hash=False)
        self.futures.append(future)
        return future

    def token(self, *keys: Any) -> str:
        return str(self.tokenize(*keys, sorted(self.task_options.items())))

    def submit(
        self, data: Any, steps: list[dict[str, Any]], y_hat: Any, t_hat: Any
    ) -> list[tuple[list[Any], list[int]]]:
        """The tasks growing grow steps of the fit plan, over ranges of their groups, and the
        ranges' sizes, per step; the steps' tasks take turns, so that the steps end together."""
        token = self.token(data.key, getattr(y_hat, "key", None), getattr(t_hat, "key", None))
        ranges = [_ranges(step["last"] - step["first"], self.threads) for step in steps]
        submitted: list[list[Any]] = [[] for _ in steps]
        for turn in itertools.zip_longest(*ranges):
            for step, tasks, task in zip(steps, submitted, turn, strict=True):
                if task is None:
                    continue
                stage, first, last = step["stage"], task[0] + step["first"], task[1] + step["first"]
                key = f"quorvantis-grow-{stage}-{first}-{last}-{token}"
                tasks.append(self.task(key, _grow, data, stage, y_hat, t_hat, first, last))
        return [
            (tasks, [last - first for first, last in r]) for tasks, r in zip(submitted, ranges, strict=True)
        ]

    def estimate(self, data: Any, stage: int, grown: list[Any], groups: list[int]) -> Any:
        """Tasks turning one nuisance stage's batches (of `groups` groups each) into its
        estimates on the workers, so the batches never travel to this process: one
        adding up the first batches as soon as they are grown, one adding the rest
        and ending, which the causal tasks wait for."""
        total, first = sum(groups), 0
        while first < len(grown) - 1 and sum(groups[first:]) > _LEFT_FOR_THE_END * total:
            first += 1
        sums = None
        if first > 0:
            token = self.token(data.key, [f.key for f in grown[:first]])
            # Not named as the estimates: the scheduler queues the grow tasks, and
            # hands each to the next free worker, only while their dependencies'
            # key groups stay small.
            sums = self.task(f"quorvantis-sums-{stage}-{token}", _nuisance_sums, data, stage, grown[:first])
        token = self.token(data.key, [f.key for f in grown])
        return self.task(f"quorvantis-nuisance-{stage}-{token}", _nuisance, data, stage, grown[first:], sums)

    def task(self, key: str, function: Callable[..., Any], *args: Any) -> Any:
        # The same task has the same key, so a recomputed one replaces the lost one.
        self.priority -= 1
        future = self.client.submit(
            function, *args, self.task_options, key=key, retries=_RETRIES, priority=self.priority
        )
        self.futures.append(future)
        return future

    def wait(self, futures: list[Any], label: str, fetch: bool) -> list[Any]:
        """Once every task has finished, reporting progress: their results if fetched
        (each as it finishes, while the others still run), else none; raises a task's error."""
        from distributed import as_completed

        results = []
        total = len(futures)
        if self.progress is not None:
            self.progress(label, 0, total, "tasks")
        for done, future in enumerate(as_completed(futures), start=1):  # type: ignore[no-untyped-call]
            if fetch or future.status != "finished":
                results.append(self.result(future))
            if self.progress is not None:
                self.progress(label, done, total, "tasks", done == total)
        return results

    def result(self, future: Any) -> Any:
        try:
            return future.result()
        except ImportError as exc:  # a worker that joined after the probe
            raise _missing([], f"{type(exc).__name__}: {exc}") from exc

    def cancel(self) -> None:
        try:
            self.client.cancel(self.futures)
        except Exception:  # the cluster may be gone already; nothing is left to stop then
            pass


def fit(
    client: Any,
    X: np.ndarray,
    T: np.ndarray,
    y: np.ndarray,
    Y_hat: np.ndarray | None,
    T_hat: np.ndarray | None,
    options: dict[str, Any],
    progress: Any,
    weights: np.ndarray | None = None,
    clusters: np.ndarray | None = None,
    categories: list[int] | None = None,
) -> _engine.Forest:
    """The forest ``_engine.fit`` would grow, its trees grown as tasks on the client's cluster.

    Runs the engine's plan of the fit, the one a local fit runs: binning here,
    then the whole graph at once: the nuisance stages not given (independent, so
    their tasks take turns and the stages end together), per nuisance stage
    tasks turning its trees into estimates (most of the work while the last
    trees grow, the stages' ends side by side), the causal stage behind them;
    the assembly here.
    """
    threads = probe_workers(client)
    plan = _engine.fit_plan(options, Y_hat is not None, T_hat is not None)
    given: dict[str, Any] = {"Y_hat": Y_hat, "T_hat": T_hat}
    run = _Run(client, threads, options, progress)
    data: Any = None
    data_future: Any = None
    estimates: dict[str, Any] = {}
    nuisance: list[dict[str, Any]] = []
    causal: list[Any] = []
    causal_label = ""
    try:
        for step in plan:
            kind = step["step"]
            if kind == "prepare":
                if progress is not None:
                    progress(step["label"], 0, 0)
                data = _engine.prepare(X, T, y, options, weights, clusters, categories)
                data_future = run.scatter(data)
            elif kind == "grow" and step["estimates"] is not None:
                nuisance.append(step)
            elif kind == "grow":
                grown = run.submit(data_future, nuisance, None, None) if nuisance else []
                for s, (batches, groups) in zip(nuisance, grown, strict=True):
                    estimates[s["estimates"]] = run.estimate(data_future, s["stage"], batches, groups)
                for name, value in given.items():
                    if value is not None:
                        estimates[name] = run.scatter(value)
                [(causal, _)] = run.submit(data_future, [step], estimates["Y_hat"], estimates["T_hat"])
                causal_label = f"{step['label']} on dask"
                if nuisance:
                    names = [s["name"] for s in nuisance]
                    label = f"{' and '.join(names)} model{'s' if len(names) > 1 else ''} on dask"
                    run.wait([f for batches, _ in grown for f in batches], label, fetch=False)
            else:
                trees = run.wait(causal, causal_label, fetch=True)
                y_hat, t_hat = (
                    run.result(estimates[name]) if given[name] is None else given[name]
                    for name in ("Y_hat", "T_hat")
                )
                if progress is not None:
                    progress(step["label"], 0, 0)
                return _engine.assemble(data, y_hat, t_hat, trees, options)
        raise RuntimeError("the engine's fit plan ends without assembling the forest")
    except BaseException:
        run.cancel()
        raise

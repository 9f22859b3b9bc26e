"""CausalForest.fit(..., dask_client=...): the same forest as a local fit, after a lost worker too."""

import logging
import os
import signal
import time

import numpy as np
import pytest

from quorvantis import CausalForest

distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")

pytestmark = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""), reason="worker processes under ASan"
)

FITTED = ["T_hat_", "Y_hat_", "feature_importances_", "n_features_in_"]


def cluster(**kwargs):
    kwargs.setdefault("n_workers", 2)
    return distributed.LocalCluster(
        threads_per_worker=1,
        processes=True,
        dashboard_address=None,
        # Without a dashboard the scheduler still serves HTTP, by default on 8787: any free port will do.
        scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
        silence_logs=logging.CRITICAL,
        **kwargs,
    )


@pytest.fixture(scope="module")
def client():
    with cluster() as c, distributed.Client(c) as client:
        yield client


def design(n, seed=3):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 4))
    T = (rng.random(n) < 1 / (1 + np.exp(-X[:, 0]))).astype(float)
    y = X[:, 1] + T * (1 + X[:, 2]) + rng.normal(size=n)
    return X, T, y


def settled(client, seconds=30):
    """True once the cluster holds and runs nothing; releasing keys is asynchronous."""
    deadline = time.monotonic() + seconds
    while client.who_has() or any(client.processing().values()):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def same_forest(a, b, X):
    assert a._forest.to_bytes() == b._forest.to_bytes()
    assert np.array_equal(a.effect_interval(X), b.effect_interval(X))
    assert np.array_equal(a.T_hat_, b.T_hat_) and np.array_equal(a.Y_hat_, b.Y_hat_)


@pytest.mark.parametrize("weighted", [False, True])
def test_dask_fit_grows_the_local_forest_with_categories(client, weighted):
    X, T, y = design(1500)
    frame = pd.DataFrame({"g": np.where(X[:, 2] > 0, "u", np.where(X[:, 3] > 0, "v", "w")), "x": X[:, 0]})
    # The scattered training data carries the weights and clusters next to the categories.
    kw = {"sample_weight": np.arange(1500) % 3 + 0.5, "groups": np.arange(1500) // 10} if weighted else {}
    local = CausalForest(60, random_state=5).fit(frame, T, y, **kw)
    spread = CausalForest(60, random_state=5).fit(frame, T, y, dask_client=client, **kw)
    same_forest(spread, local, frame)


@pytest.mark.parametrize("given", [(), ("Y_hat",), ("Y_hat", "T_hat")])
def test_dask_fit_grows_the_local_forest(client, capsys, given):
    X, T, y = design(2000)
    nuisance = {"Y_hat": X[:, 1] + 0.5, "T_hat": np.clip(1 / (1 + np.exp(-X[:, 0])), 0.05, 0.95)}
    kw = {name: nuisance[name] for name in given}
    local = CausalForest(100, random_state=5).fit(X, T, y, **kw)
    spread = CausalForest(100, random_state=5, verbose=1).fit(X, T, y, dask_client=client, **kw)
    same_forest(spread, local, X)
    if given:
        assert np.array_equal(spread.Y_hat_, nuisance["Y_hat"])
    err = capsys.readouterr().err
    lines = [line for line in err.splitlines() if line.startswith("CausalForest: ")]
    assert any("causal trees on dask 10/10 tasks" in line for line in lines), err
    assert lines[-1].startswith("CausalForest: done, 100 causal trees in ")
    assert ("outcome and treatment models on dask" in err) == (not given)
    assert settled(client), f"the fit left {client.who_has()} on the cluster"


def test_back_to_back_fits_of_the_same_data(client):
    # Each fit releases its copy of the data as the next one sends the same rows.
    X, T, y = design(1000)
    for seed in range(10):
        spread = CausalForest(20, random_state=seed).fit(X, T, y, dask_client=client)
        same_forest(spread, CausalForest(20, random_state=seed).fit(X, T, y), X)


def kill_on_task(marker, prefix, after):
    """A worker plugin: the first worker to finish its `after`-th task whose key starts
    with `prefix` kills its own process."""

    class KillOnTask(distributed.WorkerPlugin):
        name = "kill-on-task"

        def __init__(self):
            self.done = 0

        def transition(self, key, start, finish, **kwargs):
            if finish != "memory" or not str(key).startswith(prefix):
                return
            self.done += 1
            if self.done == after:
                try:  # one worker only, once: the restarted one finds the marker
                    fd = os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY)
                except FileExistsError:
                    return
                os.write(fd, str(os.getpid()).encode())
                os.close(fd)
                os.kill(os.getpid(), signal.SIGKILL)

    return KillOnTask()


# After a causal-tree task, or holding the first nuisance estimates (and its
# share of their trees) that the causal tasks wait for.
@pytest.mark.parametrize("prefix, after", [("quorvantis-grow-2-", 2), ("quorvantis-nuisance-", 1)])
def test_a_worker_killed_mid_fit_changes_nothing(client, tmp_path, prefix, after):
    X, T, y = design(4000, seed=8)
    pids = set(client.run(os.getpid).values())
    marker = tmp_path / "killed"
    client.register_plugin(kill_on_task(str(marker), prefix, after))
    try:
        spread = CausalForest(400, random_state=9).fit(X, T, y, dask_client=client)
    finally:
        client.unregister_worker_plugin("kill-on-task")
    assert int(marker.read_text()) in pids  # a worker process did die mid-fit
    same_forest(spread, CausalForest(400, random_state=9).fit(X, T, y), X)
    client.wait_for_workers(2, timeout=120)


def test_ctrl_c_cancels_the_tasks_and_leaves_the_forest_unfitted(client):
    X, T, y = design(3000)
    forest = CausalForest(100, random_state=1).fit(X, T, y, dask_client=client)
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    signal.setitimer(signal.ITIMER_REAL, 0.5)
    try:
        # Kept, as a notebook keeps the last traceback: its frames must not keep the tasks alive.
        with pytest.raises(KeyboardInterrupt) as interrupted:
            forest.set_params(n_estimators=40_000).fit(X, T, y, dask_client=client)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert [name for name in vars(forest) if name.endswith("_")] == []
    assert settled(client) and interrupted.traceback
    # The same keys can be grown again right after the cancel.
    refit = forest.set_params(n_estimators=100).fit(X, T, y, dask_client=client)
    same_forest(refit, CausalForest(100, random_state=1).fit(X, T, y), X)


# A None entry in sys.modules makes every import of that name fail, as if it were not installed.
BLOCK_IMPORT = """
import sys

sys.modules["quorvantis"] = sys.modules["_quorvantis_engine"] = None
"""


def test_workers_without_quorvantis_are_named_before_any_data_is_sent(tmp_path):
    preload = tmp_path / "block_quorvantis.py"
    preload.write_text(BLOCK_IMPORT)
    X, T, y = design(500)
    forest = CausalForest(10, random_state=0)
    with cluster(n_workers=1, preload=[str(preload)]) as c, distributed.Client(c) as client:
        [address] = client.nthreads()
        with pytest.raises(ImportError) as raised:
            forest.fit(X, T, y, dask_client=client)
        assert not client.who_has()
    with pytest.raises(
        ValueError, match="dask_client must be connected to a scheduler, but its status is 'closed'"
    ):
        forest.fit(X, T, y, dask_client=client)
    message = str(raised.value)
    assert "'quorvantis'" in message and address in message and "install quorvantis" in message
    assert "ModuleNotFoundError: import of _quorvantis_engine halted" in message
    assert not hasattr(forest, "_forest")


def test_a_dask_client_that_is_not_a_running_client_is_refused(client):
    X, T, y = design(200)
    forest = CausalForest(10)
    with pytest.raises(TypeError, match="dask_client must be a dask.distributed.Client or None, got str$"):
        forest.fit(X, T, y, dask_client="tcp://127.0.0.1:8786")
    with pytest.raises(TypeError, match=r"got LocalCluster; pass Client\(cluster\) rather than the cluster"):
        forest.fit(X, T, y, dask_client=client.cluster)


def test_dask_fit_with_weights_and_groups_grows_the_local_forest(client):
    X, T, y = design(1000)
    kw = {"sample_weight": np.arange(1000) % 3 + 0.5, "groups": np.arange(1000) // 10}
    local = CausalForest(100, random_state=6).fit(X, T, y, **kw)
    spread = CausalForest(100, random_state=6).fit(X, T, y, dask_client=client, **kw)
    same_forest(spread, local, X)
    assert spread.average_treatment_effect() == local.average_treatment_effect()


def test_worker_allocator_settings_come_back_after_the_last_task_even_on_error(monkeypatch):
    from quorvantis import _dask

    calls = []
    monkeypatch.setattr(_dask, "_mallopt", lambda: lambda option, value: calls.append((option, value)))
    monkeypatch.setenv("MALLOC_TRIM_THRESHOLD_", "65536")
    monkeypatch.setattr(_dask, "_IDLE_BEFORE_RESTORE", 60.0)
    kept = [(_dask._M_MMAP_THRESHOLD, 64 << 20), (_dask._M_TRIM_THRESHOLD, 256 << 20)]
    with _dask._reused_memory():
        with pytest.raises(RuntimeError), _dask._reused_memory():  # a second task in the same worker
            raise RuntimeError
        assert calls == kept
    with _dask._reused_memory():  # the next task, soon after: the memory is still kept
        pass
    assert calls == kept
    monkeypatch.setattr(_dask, "_IDLE_BEFORE_RESTORE", 0.0)
    with _dask._reused_memory():
        pass
    _dask._restore_timer.join()
    assert calls[2:] == [(_dask._M_MMAP_THRESHOLD, 128 << 10), (_dask._M_TRIM_THRESHOLD, 65536)]
    assert _dask._tasks_running == 0 and not _dask._kept


@pytest.mark.parametrize("groups, threads", [(1, 1), (7, 2), (50, 2), (1000, 2), (1000, 64)])
def test_task_ranges_cover_every_group_once_and_shrink(groups, threads):
    from quorvantis._dask import _ranges

    ranges = _ranges(groups, threads)
    assert [first for first, _ in ranges] == [0] + [last for _, last in ranges[:-1]]
    assert ranges[-1][1] == groups
    sizes = [last - first for first, last in ranges]
    assert sizes[:-1] == sorted(sizes[:-1], reverse=True) and max(sizes) <= 64

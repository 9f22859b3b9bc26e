import importlib.util
import os
import pathlib

import pytest

pytest.importorskip("dask.array")
pytest.importorskip("distributed")

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "dask_scoring.py"


# Worker processes start slowly under the sanitizer's preloaded runtime.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="worker processes under ASan")
def test_chunked_scoring_on_worker_processes_matches_one_call(capsys):
    spec = importlib.util.spec_from_file_location("dask_scoring", EXAMPLE)
    example = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(example)
    out = example.run(n_rows=60_000, chunk_rows=10_000)
    assert out["equal"] and out["chunks"] == 6 and out["workers"] == 2
    assert os.getpid() not in out["worker_pids"]
    assert "identical to one estimate_effects call: True" in capsys.readouterr().out

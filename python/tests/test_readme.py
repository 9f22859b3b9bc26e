"""Every Python block of the README runs as pasted, top to bottom in one interpreter."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def test_readme_python_blocks_run(tmp_path):
    pytest.importorskip("pandas")
    pytest.importorskip("dask.distributed")
    blocks = re.findall(r"^```python\n(.*?)^```$", README.read_text(), flags=re.S | re.M)
    assert len(blocks) >= 4
    script = tmp_path / "readme_blocks.py"
    script.write_text("\n".join(blocks))
    env = dict(os.environ, BROWSER="true")  # preview() opens nothing
    done = subprocess.run(
        [sys.executable, str(script)], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=900
    )
    assert done.returncode == 0, done.stderr[-3000:]

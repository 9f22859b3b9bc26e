import subprocess
import sys

import pytest


def test_stubs_match_the_module():
    pytest.importorskip("mypy")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_quorvantis"], capture_output=True, text=True
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr

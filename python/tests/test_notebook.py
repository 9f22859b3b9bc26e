"""A result's HTML fragment shown through a real Jupyter kernel."""

import json
import os
import re
import sys
from pathlib import Path

import pytest

import _quorvantis
import quorvantis

nbformat = pytest.importorskip("nbformat", reason="nbformat is not installed")
nbclient = pytest.importorskip("nbclient", reason="nbclient is not installed")
pytest.importorskip("ipykernel", reason="ipykernel is not installed")

KERNEL = "quorvantis-test"

CODE = """\
import numpy as np
import quorvantis
from IPython.display import HTML, display

rng = np.random.default_rng(3)
X = rng.normal(size=(80, 2))
t = (rng.random(80) < 0.5).astype(float)
y = X[:, 0] + 1.5 * t
result = quorvantis.create_model(X, t, y, method="linear", feature_names=["dose", "age"]).estimate_effects(X)
display(HTML(result.to_html()))
"""


@pytest.fixture
def kernel_env(tmp_path, monkeypatch):
    """A kernelspec running this very interpreter, with the module on its path."""
    spec = tmp_path / "jupyter" / "kernels" / KERNEL
    spec.mkdir(parents=True)
    module_dirs = {str(Path(_quorvantis.__file__).parent), str(Path(quorvantis.__file__).parent.parent)}
    path = os.pathsep.join([*sorted(module_dirs), os.environ.get("PYTHONPATH", "")]).rstrip(os.pathsep)
    (spec / "kernel.json").write_text(
        json.dumps(
            {
                "argv": [sys.executable, "-m", "ipykernel_launcher", "-f", "{connection_file}"],
                "display_name": KERNEL,
                "language": "python",
                "env": {"PYTHONPATH": path},
            }
        )
    )
    # Keep the kernel's files out of the home directory.
    monkeypatch.setenv("JUPYTER_PATH", str(tmp_path / "jupyter"))
    monkeypatch.setenv("JUPYTER_RUNTIME_DIR", str(tmp_path / "runtime"))
    monkeypatch.setenv("IPYTHONDIR", str(tmp_path / "ipython"))


def test_fragment_in_notebook_output(kernel_env):
    notebook = nbformat.v4.new_notebook(cells=[nbformat.v4.new_code_cell(CODE)])
    nbclient.NotebookClient(notebook, kernel_name=KERNEL, timeout=30, startup_timeout=30).execute()

    outputs = notebook.cells[0].outputs
    assert [o.output_type for o in outputs] == ["display_data"]
    html = outputs[0].data["text/html"]
    element = re.fullmatch(
        r'\n<div id="(causal-plot-[0-9a-f]+)" [^\n]*></div>\n<script>\n.*</script>\n', html, re.DOTALL
    )
    assert element, html[:300]
    assert f"document.getElementById('{element.group(1)}')" in html
    assert "const chart = echarts.init(chartDom, 'dark');" in html
    assert '"visual_type": "feature_importance"' in html and '"dose"' in html

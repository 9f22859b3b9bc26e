"""examples/nsw_demo.py, which `make demo` runs: the figures it prints and how it words them."""

import pathlib
import runpy

import pytest

pytest.importorskip("pandas")
pytest.importorskip("causaldata")

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "nsw_demo.py"


def test_demo_prints_the_benchmark_and_the_estimates_beside_it(capsys, tmp_path):
    runpy.run_path(str(EXAMPLE))["main"](n_estimators=200, random_state=3, html_path=tmp_path / "r.html")
    lines = capsys.readouterr().out.splitlines()
    rows = {line[:43].strip(): line[43:].split() for line in lines[4:8]}
    # The experiment's difference of means is fixed by the data: 6,349.14 - 4,554.80.
    assert rows["experiment: NSW treated - NSW control"][:3] == ["1,794", "[479,", "3,109]"]
    assert rows["naive: NSW treated - CPS"][0] == "-8,498"
    assert rows["fixed forest (create_model), treated rows"][1:5] == ["none:", "fixed", "+/-0.1", "band"]
    att, low, high, verdict, benchmark = rows["CausalForest AIPW ATT, 200 trees"][:5]
    number = [float(v.strip("[],").replace(",", "")) for v in (att, low, high)]
    assert number[1] < number[0] < number[2] and benchmark == "1,794"
    assert verdict == ("covers" if number[1] <= 1794.34 <= number[2] else "misses")
    assert any("CausalForest used random_state=3" in line for line in lines)
    assert sum(line.startswith("Warning from average_treatment_effect: ") for line in lines) == 1
    assert any(line.startswith("Overlap: ") and "% of the CPS people" in line for line in lines)
    policy = next(
        i for i, line in enumerate(lines) if line.startswith("Whom to treat: PolicyTree(max_depth=2")
    )
    rule = lines[policy + 1 : lines.index("CausalForest report")]
    assert 2 <= sum(line.startswith("  if ") for line in rule) <= 4
    assert any(line.startswith("Mean gain per person over treating no one: ") for line in rule)
    assert "Policy: the depth-2 tree's rule" in lines and "  policy - treat everyone" in "\n".join(lines)
    assert lines[-1].endswith(str(tmp_path / "r.html"))
    assert 'data-qv-chart="policy_tree"' in (tmp_path / "r.html").read_text(encoding="utf-8")

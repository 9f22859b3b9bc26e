"""CausalForest.summary(): the report's errors, payloads, text, HTML, and charts drawn in Chromium."""

import json
import re
import warnings

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from test_browser import CDN_PATH, ECHARTS, NASTY, SCREENSHOTS, browser, page  # noqa: F401

import _quorvantis_engine as engine
import quorvantis as q
from quorvantis.report import charts

pd = pytest.importorskip("pandas")
KINDS = charts.KINDS
NAMES = ["age", NASTY, "größe ü", "tenure"]


@pytest.fixture(scope="module")
def forest():
    rng = np.random.default_rng(3)
    n = 800
    X = pd.DataFrame(rng.normal(size=(n, 4)), columns=NAMES)
    T = (rng.random(n) < 1 / (1 + np.exp(-3 * X["age"]))).astype(float)  # poor overlap on purpose
    y = X["tenure"] + T * (1 + (X["age"] > 0)) + rng.normal(size=n)
    return q.CausalForest(200, random_state=0).fit(X, T, y), X


@pytest.fixture(scope="module")
def tree(forest):
    return q.PolicyTree(max_depth=2, min_samples_leaf=20).fit_forest(forest[0])


@pytest.fixture(scope="module")
def report(forest, tree):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # overlap warnings belong in the report, not on stderr
        return forest[0].summary(policy=tree)


@pytest.mark.parametrize(
    "call,words",
    [
        (lambda f, r: f.summary(alpha=0), ["alpha", "(0, 1)", "got 0"]),
        (lambda f, r: f.summary(alpha="5%"), ["alpha", "number", "'5%'"]),
        (lambda f, r: r.to_dict("histogram"), ["kind", "'effect_dist'", "got 'histogram'"]),
        (lambda f, r: r.show(3), ["kind", "got 3"]),
        (lambda f, r: r.to_html("dependence", feature="height"), ["feature", "'age'", "got 'height'"]),
        (lambda f, r: r.to_dict("dependence", feature=4), ["feature", "[0, 4)", "got 4"]),
        (lambda f, r: r.to_dict("dependence", feature=1.5), ["feature", "got float"]),
        (
            lambda f, r: r.to_visual_tag("effects", feature=0),
            ["feature", "kind='dependence'", "kind='effects'"],
        ),
        (lambda f, r: q.CausalForest().summary(), ["summary", "fit"]),
        (lambda f, r: f.summary().to_dict("policy_tree"), ["kind", "policy=", "summary()"]),
        (lambda f, r: f.summary(policy="tree"), ["policy", "PolicyTree", "got str"]),
        (lambda f, r: f.summary(policy=q.PolicyTree()), ["policy", "fitted", "unfitted"]),
        (
            lambda f, r: f.summary(policy=q.PolicyTree().fit(np.zeros((9, 2)), np.eye(9)[:, :2])),
            ["policy", "4 features", "fitted on 2"],
        ),
    ],
)
def test_errors_name_the_argument(forest, report, call, words):
    with pytest.raises(ValueError) as caught:
        call(forest[0], report)
    assert all(w in str(caught.value) for w in words), str(caught.value)


def test_text_is_rounded_and_holds_the_overlap_warning(report):
    text = str(report)
    assert repr(report) == text
    for heading in ("Data", "Average effects", "Heterogeneity", "Best linear projection", "Effects per row"):
        assert f"\n{heading}" in text
    assert "Heterogeneity: " in text and "Overlap: " in text
    assert "average_treatment_effect: " in text and "propensities outside [0.05, 0.95]" in text
    assert not re.search(r"\d\.\d{6,}|\d{5,}\.\d", text), text  # no long labels
    assert "800" in text.split("Data")[1].split("\n")[2]


@given(st.text())
def test_script_json_cannot_end_a_script_and_reads_back(value):
    dumped = json.dumps({"name": value}, ensure_ascii=False)
    safe = engine.script_json(dumped)
    assert "<" not in safe and json.loads(safe) == {"name": value}


@pytest.mark.parametrize("kind", KINDS)
def test_payloads_agree_with_their_fenced_block_and_the_forest(forest, tree, report, kind):
    payload = report.to_dict(kind)
    assert payload["visual_type"] == kind and set(payload) == {"visual_type", "title", "data"}
    head, body, tail = report.to_visual_tag(kind).split("\n")
    assert (head, tail) == ("```json:causal-plot", "```") and json.loads(body) == payload
    d = payload["data"]
    arrays = [v for v in d.values() if isinstance(v, list)]
    if kind == "effect_dist":
        assert sum(d["counts"]) == 800 and len(d["edges"]) == len(d["counts"]) + 1
    elif kind in ("importance", "blp"):
        assert len({len(a) for a in arrays}) == 1 and NASTY in d["labels"]
        if kind == "blp":  # per standard deviation of the feature, from the projection's own result
            X = forest[1]
            blp = q.diagnostics.best_linear_projection(forest[0])
            per_sd = {n: b * X[n].std(ddof=0) for n, b in zip(blp.names[1:], blp.estimate[1:], strict=True)}
            assert d["estimate"] == pytest.approx([per_sd[n] for n in d["labels"]], rel=1e-3)
    elif kind == "policy_tree":  # rows per action against predict(), leaves' words
        actions = tree.predict(forest[1])
        leaves = [n for n in d["nodes"] if n["kind"] == "leaf"]
        for a, name in enumerate(d["actions"]):
            assert sum(n["rows"] for n in leaves if n["action"] == name) == int((actions == a).sum())
        assert all(f"\u2192 {n['action']}" in n["label"] and n["label"][0] != "all rows" for n in leaves)
    else:
        lengths = {len(d[k]) for k in d if k.startswith(("bin_",))} | {
            len(d[k]) for k in ("effect", "lower", "upper", "toc", "q", "rank", "x") if k in d
        }
        assert len(lengths) == 1 or kind == "dependence"
        if "lower" in d:
            assert all(lo <= hi for lo, hi in zip(d["lower"], d["upper"], strict=True))


def test_policy_section_values_from_the_scores(forest, tree, report):
    gamma = q.diagnostics.doubly_robust_scores(forest[0])
    gain = np.where(tree.predict(forest[1]) == 1, gamma, 0.0)
    rows = {s.title: s.rows for s in report._sections}["Policy value on 800 training rows"]
    table = {row[0]: row[1] for row in rows}
    expected = {
        "policy": gain.mean(),
        "treat everyone": gamma.mean(),
        "treat no one": 0.0,
        "policy - treat everyone": (gain - gamma).mean(),
    }
    for label, value in expected.items():
        assert float(table[label].replace(",", "")) == pytest.approx(value, rel=1e-3, abs=1e-9), label
    assert all(f"\n  {line}\n" in str(report) for line in tree.rule().split("\n"))


def test_given_rows_reuse_the_forest_intervals_thinned_in_order(forest):
    f, X = forest
    big = pd.concat([X] * 3, ignore_index=True)  # 2,400 rows: thinned to at most 2,000
    payload = f.summary(big, alpha=0.1).to_dict("effects")["data"]
    lower, upper = f.effect_interval(big, alpha=0.1)
    order = np.argsort(f.effect(big), kind="stable")
    assert payload["n_rows"] == 2400 and payload["n_shown"] <= 2000
    assert (
        payload["rank"][0] == 0 and payload["rank"][-1] == 100 and payload["rank"] == sorted(payload["rank"])
    )
    assert payload["lower"][0] == pytest.approx(lower[order[0]], rel=1e-3)
    assert payload["upper"][-1] == pytest.approx(upper[order[-1]], rel=1e-3)


@pytest.mark.parametrize("opened,words", [(True, "Opening visualization"), (False, "No web browser")])
def test_preview_writes_a_page_and_says_where(report, monkeypatch, tmp_path, capsys, opened, words):
    urls = []
    monkeypatch.setattr("webbrowser.open", lambda url, *a, **k: urls.append(url) or opened)
    monkeypatch.setattr("tempfile.tempdir", str(tmp_path))
    report.preview("toc")
    out = capsys.readouterr().out
    path = out.strip().split(": ", 1)[1]
    assert words in out and urls == [f"file://{path}"] and path.startswith(str(tmp_path))
    assert open(path, encoding="utf-8").read().startswith("<!DOCTYPE html>")


PROBE = """(() => {
    if (typeof echarts === 'undefined') return null;
    return [...document.querySelectorAll('[data-qv-chart]')].map(el => {
        const chart = echarts.getInstanceByDom(el), canvas = el.querySelector('canvas');
        if (!chart || !canvas) return null;
        const px = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
        let drawn = 0;
        for (let i = 0; i < px.length; i += 4) if (px[i] !== px[0] || px[i + 1] !== px[1]) drawn++;
        const title = chart.getOption().title[0].text;
        return { kind: el.dataset.qvChart, title: title, drawn: drawn / (px.length / 4) };
    });
})()"""


def _open(
    page,  # noqa: F811
    tmp_path,
    name,
    document,
    online=True,
):
    if online:
        page.routes[f"https://cdn.jsdelivr.net{CDN_PATH}"] = ("text/javascript", ECHARTS.read_bytes())
    path = tmp_path / f"{name}.html"
    path.write_text(document, encoding="utf-8")
    page.navigate(path.as_uri())


def test_two_reports_on_one_page_draw_their_own_charts(
    page,  # noqa: F811
    forest,
    tree,
    report,
    tmp_path,
):
    other = forest[0].summary(forest[1].iloc[:300], alpha=0.2, policy=tree)
    document = report.to_page() + "".join(other.to_html(k) for k in KINDS)  # a notebook's cells, in effect
    document += tree.to_html()
    _open(page, tmp_path, "two-reports", document)
    expected = [(k, report.to_dict(k)["title"]) for k in KINDS] + [
        (k, other.to_dict(k)["title"]) for k in KINDS
    ]
    expected.append(("policy_tree", tree.to_dict()["title"]))
    probes = page.wait_for(
        f"(() => {{ const p = {PROBE}; return p && p.length === {len(expected)} "
        "&& p.every(c => c && c.drawn > 0.01) ? p : null; })()",
        "every chart drawn",
    )
    assert [(p["kind"], p["title"]) for p in probes] == expected
    assert page.exceptions == [] and page.evaluate("typeof window.__pwned") == "undefined"
    assert sum(u.endswith(CDN_PATH) for u in page.requests) == 1
    SCREENSHOTS.mkdir(parents=True, exist_ok=True)
    page.screenshot(SCREENSHOTS / "report-two-reports.png")


def test_offline_page_shows_the_tables_and_says_why_no_chart(
    page,  # noqa: F811
    report,
    tmp_path,
):
    _open(page, tmp_path, "offline", report._repr_html_(), online=False)
    messages = page.wait_for(
        "(() => { const m = [...document.querySelectorAll('.qv-nolib')]"
        ".filter(e => e.offsetHeight > 0 && e.textContent.includes('could not be loaded'));"
        " return m.length ? m.length : null; })()",
        "the offline messages",
    )
    assert messages == len(KINDS) and page.evaluate("document.querySelectorAll('table').length") >= 5
    assert page.evaluate("typeof window.__pwned") == "undefined"
    assert NASTY in page.evaluate("document.body.innerText")

"""The generated HTML, drawn by ECharts in headless Chromium.

The CDN request is answered with the vendored library, so the HTML under test
stays byte-identical to what the module produced.
"""

import os
import re
import webbrowser
from pathlib import Path
from urllib.parse import unquote, urlsplit

import numpy as np
import pytest

import devtools
import quorvantis as q

REPO = Path(__file__).resolve().parents[2]
ECHARTS = Path(
    os.environ.get("QUORVANTIS_ECHARTS", REPO.parent / "shared/vendor/echarts-5.4.3/echarts.min.js")
)
CDN_PATH = "/npm/echarts@5.4.3/dist/echarts.min.js"
SCREENSHOTS = REPO / "build" / "screenshots"
SERIES_TYPE = {"causal_graph": "graph", "effect_dist": "bar", "feature_importance": "bar"}
NASTY = "c</script><script>window.__pwned=1</script>"

# Per chart container: the ECharts instance's first series and a count of the
# canvas pixels that differ from the top-left (background) pixel.
PROBE = """(() => {
    if (typeof echarts === 'undefined') return null;
    const found = [];
    for (const el of document.querySelectorAll('[id^="causal-plot-"], #chart')) {
        const chart = echarts.getInstanceByDom(el);
        const canvas = el.querySelector('canvas');
        if (!chart || !canvas || !canvas.width || !canvas.height) { found.push(null); continue; }
        const px = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
        let drawn = 0;
        for (let i = 0; i < px.length; i += 4)
            if (px[i] !== px[0] || px[i + 1] !== px[1] || px[i + 2] !== px[2]) drawn++;
        const option = chart.getOption();
        const series = option.series[0] || {};
        found.push({
            id: el.id, type: series.type, length: (series.data || []).length,
            names: (series.data || []).map(d => d && d.name),
            categories: (option.yAxis || []).flatMap(axis => axis.data || []),
            drawn: drawn / (canvas.width * canvas.height),
        });
    }
    return found;
})()"""


def _need(available, reason):
    if not available:
        pytest.skip(reason)


@pytest.fixture(scope="module")
def browser():
    executable = devtools.find_chromium()
    _need(executable, "Chromium is not installed (apt-get install chromium, or set CHROMIUM)")
    _need(ECHARTS.is_file(), f"vendored ECharts 5.4.3 not found at {ECHARTS}")
    instance = devtools.Browser(executable)
    yield instance
    instance.close()


@pytest.fixture
def page(browser):
    tab = browser.new_page()
    yield tab
    tab.close()


def _model(names=None):
    rng = np.random.default_rng(7)
    X = rng.normal(size=(120, 3))
    t = (rng.random(120) < 0.5).astype(float)
    y = X[:, 0] + 2.0 * t + rng.normal(scale=0.1, size=120)
    model = q.create_model(X, t, y, method="linear", feature_names=names or ["age", "income", "score"])
    return model, model.estimate_effects(X)


def _payload(source, plot_type):
    """The visual as the module describes it, for the expected chart contents."""
    return q.plot_model(source, plot_type) if isinstance(source, q.Model) else source.to_dict(plot_type)


def _expected(payload):
    data = payload["data"]
    length = len(
        {
            "causal_graph": data.get("nodes"),
            "effect_dist": data.get("counts"),
            "feature_importance": data.get("values"),
        }[payload["visual_type"]]
    )
    return SERIES_TYPE[payload["visual_type"]], length


def _preview_url(source, plot_type, monkeypatch, tmp_path, capfd):
    """Runs preview with the browser launcher replaced; returns the URL it was given."""
    opened = []
    monkeypatch.setattr(webbrowser, "open", lambda url, *a, **k: opened.append(url) or True)
    monkeypatch.setattr("tempfile.tempdir", str(tmp_path))
    source.preview(plot_type)
    printed = capfd.readouterr().out
    assert len(opened) == 1 and opened[0].startswith("file:///") and opened[0].endswith(".html")
    assert printed.rstrip("\n").endswith(opened[0].removeprefix("file://"))
    return opened[0]


def _fragments_document(tmp_path, *fragments):
    path = tmp_path / "fragments.html"
    path.write_text(
        '<!DOCTYPE html>\n<html>\n<head><meta charset="UTF-8"></head>\n<body>\n'
        + "".join(fragments)
        + "</body>\n</html>\n",
        encoding="utf-8",
    )
    return path.as_uri()


def _draw(page, url, charts, name):
    """Loads the document, waits for every chart to draw, screenshots it; returns the probes."""
    page.routes.update(
        {f"https://{host}{CDN_PATH}": ("text/javascript", ECHARTS.read_bytes()) for host in _cdn_hosts(url)}
    )
    page.navigate(url)
    probes = page.wait_for(
        f"(() => {{ const p = {PROBE}; return p && p.length === {charts} "
        "&& p.every(c => c && c.drawn > 0.002) ? p : null; })()",
        f"{charts} drawn chart(s) in {url}",
    )
    assert page.exceptions == []
    library_requests = [u for u in page.requests if u.endswith(CDN_PATH)]
    assert len(library_requests) == 1, page.requests  # fetched once, however many charts
    assert all(u.startswith("https://") for u in library_requests)
    SCREENSHOTS.mkdir(parents=True, exist_ok=True)
    shot = page.screenshot(SCREENSHOTS / f"{name}.png")
    print(f"screenshot {shot} ({shot.stat().st_size} bytes)")
    return probes


def _cdn_hosts(url):
    """The library's host as written in the document: the choice of host is the module's."""
    text = Path(unquote(urlsplit(url).path)).read_text(encoding="utf-8")
    return set(re.findall(r"https://([^/'\"]+)" + re.escape(CDN_PATH), text))


CASES = [
    ("model", "graph"),
    ("model", "effect_dist"),
    ("model", "importance"),
    ("result", "importance"),
    ("result", "effect_dist"),
]


@pytest.mark.parametrize("form", ["fragment", "page"])
@pytest.mark.parametrize("owner,plot_type", CASES)
def test_visual_draws(page, owner, plot_type, form, monkeypatch, tmp_path, capfd):
    model, result = _model()
    source = model if owner == "model" else result
    if form == "fragment":
        url = _fragments_document(tmp_path, source.to_html(plot_type))
    else:
        url = _preview_url(source, plot_type, monkeypatch, tmp_path, capfd)
    [probe] = _draw(page, url, 1, f"{owner}-{plot_type}-{form}")
    assert (probe["type"], probe["length"]) == _expected(_payload(source, plot_type))


def test_two_fragments_both_draw(page, tmp_path):
    model, result = _model()
    first, second = model.to_html("graph"), result.to_html("effect_dist")
    ids = [re.search(r'<div id="(causal-plot-[0-9a-f]+)"', f).group(1) for f in (first, second)]
    assert ids[0] != ids[1]
    probes = _draw(page, _fragments_document(tmp_path, first, second), 2, "two-fragments")
    assert [p["id"] for p in probes] == ids
    assert [(p["type"], p["length"]) for p in probes] == [
        _expected(q.plot_model(model, "graph")),
        _expected(result.to_dict("effect_dist")),
    ]


@pytest.mark.parametrize("name", [NASTY, 'q "quoted" \\ & <b>bold</b> ü'])
@pytest.mark.parametrize(
    "owner,plot_type,form",
    [
        ("model", "graph", "fragment"),
        ("result", "importance", "fragment"),
        ("model", "graph", "page"),
        ("result", "importance", "page"),
    ],
)
def test_feature_name_is_text(page, name, owner, plot_type, form, monkeypatch, tmp_path, capfd):
    model, result = _model(["age", name, "score"])
    source = model if owner == "model" else result
    if form == "fragment":
        url = _fragments_document(tmp_path, source.to_html(plot_type))
    else:
        url = _preview_url(source, plot_type, monkeypatch, tmp_path, capfd)
    tag = re.sub(r"\W+", "_", name)[:12]
    [probe] = _draw(page, url, 1, f"name-{owner}-{plot_type}-{form}-{tag}")
    assert page.evaluate("typeof window.__pwned") == "undefined"
    assert page.evaluate("document.querySelectorAll('b').length") == 0
    labels = probe["names"] if plot_type == "graph" else probe["categories"]
    assert name in labels

"""CausalForestReport: the text, tables and charts of one summary() call."""

from __future__ import annotations

import os
import pathlib
import sys
import tempfile
import webbrowser
from typing import Any

import _quorvantis_engine as _engine

from . import charts, html
from .data import ReportData
from .tables import render_text, sections

NOTEBOOK_KINDS = charts.KINDS


class CausalForestReport:
    """The result of :meth:`CausalForest.summary`; every number is computed once, at summary().

    ``str()`` is the text report, ``_repr_html_`` the same tables with the charts
    for notebooks. Charts come as payloads (``to_dict``), fenced ``json:causal-plot``
    blocks (``to_visual_tag``, ``show``), HTML fragments (``to_html``) and pages
    (``preview``, ``save_html``). ``kind`` is one of ``"effect_dist"``, ``"effects"``,
    ``"importance"``, ``"toc"``, ``"blp"``, ``"dependence"`` (with ``feature=``, a
    name or column index; the most important feature by default) and ``"policy_tree"``
    (when summary() was given ``policy=``).
    """

    def __init__(self, data: ReportData) -> None:
        self._data = data
        self._sections = sections(data)
        self._text = render_text(data)

    def __str__(self) -> str:
        return self._text

    def __repr__(self) -> str:
        return self._text

    def _payloads(self) -> list[dict]:
        out = []
        for kind in NOTEBOOK_KINDS:
            try:
                out.append(charts.payload(self._data, kind))
            except ValueError:  # a diagnostic that failed (the notes say why), or no policy given
                pass
        return out

    def _repr_html_(self) -> str:
        return html.body(self._sections, self._payloads())

    def to_dict(self, kind: str = "effect_dist", feature: Any = None) -> dict:
        """The chart's payload: ``{"visual_type": kind, "title": ..., "data": {...}}``."""
        return charts.payload(self._data, kind, feature)

    def to_visual_tag(self, kind: str = "effect_dist", feature: Any = None) -> str:
        """The payload as a fenced block with the info string ``json:causal-plot``."""
        return _engine.fenced_block(html.payload_json(self.to_dict(kind, feature)))

    def show(self, kind: str = "effect_dist", feature: Any = None) -> None:
        """Prints :meth:`to_visual_tag` on standard output."""
        text = self.to_visual_tag(kind, feature)
        sys.stdout.write(text + "\n")
        sys.stdout.flush()

    def to_html(self, kind: str = "effect_dist", feature: Any = None) -> str:
        """An HTML fragment that loads ECharts 5.4.3 from the CDN and draws the chart."""
        return html.fragment(self.to_dict(kind, feature))

    def to_page(self, kind: str | None = None, feature: Any = None) -> str:
        """A complete HTML document: the tables, then one chart (``kind``) or all of them (None)."""
        payloads = self._payloads() if kind is None else [self.to_dict(kind, feature)]
        return html.page("Quorvantis: CausalForest report", self._sections, payloads)

    def save_html(self, path: str | os.PathLike, kind: str | None = None, feature: Any = None) -> str:
        """Writes :meth:`to_page` to ``path`` (UTF-8) and returns the absolute path."""
        document = self.to_page(kind, feature)
        target = os.path.abspath(os.fspath(path))
        with open(target, "w", encoding="utf-8") as f:
            f.write(document)
        return target

    def preview(self, kind: str = "effect_dist", feature: Any = None) -> None:
        """Writes the tables and the chart to a temporary page, opens it in the browser, prints its path."""
        document = self.to_page(kind, feature)
        fd, path = tempfile.mkstemp(suffix=".html")
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(document)
        path = os.path.abspath(path)
        opened = webbrowser.open(pathlib.PurePosixPath(path).as_uri())
        message = f"\n[Preview] Opening visualization in browser: {path}\n"
        if not opened:
            message = f"\n[Preview] No web browser could be opened; the page is at: {path}\n"
        sys.stdout.write(message)
        sys.stdout.flush()

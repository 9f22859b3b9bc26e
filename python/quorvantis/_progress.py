"""Fit progress lines on standard error."""

from __future__ import annotations

import math
import time
from typing import Any


class _Progress:
    """Fit progress on a text stream: one rewritten line on a terminal, plain lines elsewhere."""

    def __init__(self, stream: Any) -> None:
        self.stream = stream
        try:
            self.tty = bool(stream.isatty())
        except (AttributeError, OSError, ValueError):
            self.tty = False
        # Rewriting one line can be frequent; logs get a line a second at most.
        self.interval = 0.2 if self.tty else 1.0
        self.start = time.monotonic()
        self.last = -math.inf
        self.stage: str | None = None
        self.width = 0
        self.dirty = False

    def _write(self, text: str) -> None:
        if self.stream is None:
            return
        try:
            if self.tty:
                self.stream.write("\r" + text.ljust(self.width))
                self.width = len(text)
                self.dirty = True
            else:
                self.stream.write(text + "\n")
            self.stream.flush()
        except (OSError, ValueError, AttributeError):
            self.stream = None  # a closed or broken stream must not stop the fit

    def __call__(self, stage: str, done: int, total: int, unit: str = "trees", last: bool = False) -> None:
        if stage == "done":
            return  # close() writes the one closing line
        now = time.monotonic()
        if stage == self.stage and now - self.last < self.interval and not last:
            return
        self.stage, self.last = stage, now
        count = f" {done}/{total} {unit}" if total else ""
        self._write(f"CausalForest: {stage}{count}, {now - self.start:.1f} s")

    def close(self, trees: int | None) -> None:
        if trees is not None:
            self._write(f"CausalForest: done, {trees} causal trees in {time.monotonic() - self.start:.1f} s")
        if self.tty and self.dirty and self.stream is not None:
            try:
                self.stream.write("\n")
                self.stream.flush()
            except (OSError, ValueError, AttributeError):
                pass

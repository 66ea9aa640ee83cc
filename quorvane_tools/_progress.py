"""A one-line progress bar for long runs: items done, rate, time left. Drawn only on a terminal."""

from __future__ import annotations

import sys
import time


def _clock(seconds: float) -> str:
    seconds = int(round(seconds))
    h, rest = divmod(seconds, 3600)
    m, s = divmod(rest, 60)
    return f"{h}:{m:02d}:{s:02d}" if h else f"{m}:{s:02d}"


class Progress:
    """``Progress(total, "frames")``; call ``update(n)`` as work gets done and ``close()`` at the
    end (or use it as a context manager). Silent unless ``stream`` (default: stderr) is a
    terminal, so logs and pipes get no control characters."""

    def __init__(self, total: int, unit: str = "frames", stream=None, enabled: bool | None = None):
        self.total = max(int(total), 0)
        self.unit = unit
        self.stream = stream if stream is not None else sys.stderr
        if enabled is None:
            isatty = getattr(self.stream, "isatty", None)
            enabled = bool(isatty and isatty())
        self.enabled = enabled
        self.done = 0
        self._start = time.monotonic()
        self._drawn = 0.0
        self._width = 0
        self._shown = -1  # self.done when the line was last drawn

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def update(self, n: int = 1) -> None:
        self.done += n
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self._drawn >= 0.1 or self.done >= self.total:
            self._drawn = now
            self._draw(now)

    def line(self, now: float | None = None) -> str:
        """The bar as text, e.g. ``[#####-----]  120/240 frames  31.2 frames/s  0:04 left``."""
        now = time.monotonic() if now is None else now
        elapsed = max(now - self._start, 1e-9)
        rate = self.done / elapsed
        frac = self.done / self.total if self.total else 1.0
        bar = "#" * int(20 * frac) + "-" * (20 - int(20 * frac))
        if self.done >= self.total:
            tail = f"{_clock(elapsed)} in all"
        elif rate > 0:
            tail = f"{_clock((self.total - self.done) / rate)} left"
        else:
            tail = "time left unknown"
        width = len(str(self.total))
        return f"[{bar}] {self.done:>{width}}/{self.total} {self.unit}  {rate:.1f} {self.unit}/s  {tail}"

    def _draw(self, now: float) -> None:
        self._shown = self.done
        text = self.line(now)
        pad = " " * max(self._width - len(text), 0)
        self._width = len(text)
        self.stream.write("\r" + text + pad)
        self.stream.flush()

    def close(self) -> None:
        if self.enabled and self._width:
            if self._shown != self.done:
                self._draw(time.monotonic())
            self.stream.write("\n")
            self.stream.flush()
            self._width = 0

"""The error of quorvane_tools.live and the one-line reasons it carries."""

from __future__ import annotations


class LiveError(ValueError):
    """A source or a publishing target that cannot be used, with a one-line reason."""


def _why(e: BaseException) -> str:
    text = getattr(e, "strerror", None) or str(e) or type(e).__name__
    return " ".join(str(text).split())


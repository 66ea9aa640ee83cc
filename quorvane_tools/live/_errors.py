"""The error of quorvane_tools.live and the one-line reasons it carries."""

from __future__ import annotations


class LiveError(ValueError):
    """A source or a publishing target that cannot be used, with a one-line reason.

    A ValueError, so that the command line reports it as bad input.

    Examples
    --------
    >>> from quorvane_tools.live import LiveError, open_publisher
    >>> try:
    ...     open_publisher("udp://127.0.0.1")
    ... except LiveError as e:
    ...     print(e)
    --publish udp://127.0.0.1: give udp://HOST:PORT
    """


def _why(e: BaseException) -> str:
    text = getattr(e, "strerror", None) or str(e) or type(e).__name__
    return " ".join(str(text).split())


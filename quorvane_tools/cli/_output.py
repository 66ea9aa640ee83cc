"""What the commands print and write: tables, error lines, outputs checked before any work and
written all at once."""

from __future__ import annotations

import os
import sys
from pathlib import Path

from .._arrays import OutputError, atomic_output, output_target
from ._errors import PROG, CliError, WriteError


def fmt(v) -> str:
    return f"{v:.3f}"


def table(header, rows, align) -> str:
    """Columns as wide as their widest cell; align is a string of '<' and '>'."""
    widths = [max(len(str(r[k])) for r in [header, *rows]) for k in range(len(header))]
    out = []
    for r in [header, *rows]:
        out.append("  ".join(f"{str(c):{a}{wd}}" for c, a, wd in zip(r, align, widths)).rstrip())
    return "\n".join(out)


def say(message: str) -> None:
    """The one line of an error, on standard error."""
    text = " ".join(str(message).split()) or "(no message)"
    try:
        print(f"{PROG}: error: {text}", file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass  # standard error closed: nothing left to tell


def quiet_stdout() -> None:
    """After a closed pipe on standard output: point it at /dev/null, so that the interpreter's
    final flush does not fail again and print 'Exception ignored' (as the Python docs advise)."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (AttributeError, OSError, ValueError):
        pass


def absolute(path) -> Path:
    return Path(os.path.abspath(path))


def stdout_is_terminal() -> bool:
    try:
        return os.isatty(sys.stdout.fileno())
    except (AttributeError, OSError, ValueError):
        return False


def check_output(path, option, *, binary: bool = False):
    """Refuse, before any work is done, an output that atomic_output would refuse (a folder, a
    device, a pipe, a symbolic link loop, a missing folder...); with ``binary``, also '-' while
    standard output is a terminal. None (the option not given) passes."""
    if path is None:
        return
    try:
        target = output_target(path)
    except OutputError as e:
        raise CliError(f"{option} {e}") from None
    if target is None and binary and stdout_is_terminal():
        raise CliError(f"{option} {path}: standard output is a terminal; send the picture to a file "
                       "or a program (> found.png, | display)")


class writing:
    """atomic_output, with failures to create or replace the file reported as errors after
    the input was accepted (status 1)."""

    def __init__(self, path, mode):
        self.path, self.cm = path, atomic_output(path, mode)

    def __enter__(self):
        try:
            return self.cm.__enter__()
        except OutputError as e:
            raise CliError(str(e)) from None
        except OSError as e:
            raise WriteError(f"cannot write {self.path}: {e.strerror or e}") from None

    def __exit__(self, *exc):
        try:
            return self.cm.__exit__(*exc)
        except OutputError as e:
            raise CliError(str(e)) from None
        except OSError as e:
            if isinstance(e, BrokenPipeError):
                raise
            raise WriteError(f"cannot write {self.path}: {e.strerror or e}") from None

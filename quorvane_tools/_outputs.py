"""Outputs written all at once: the rule for what may be replaced, and the atomic write."""

from __future__ import annotations

import errno
import os
import stat
import sys
import tempfile
from contextlib import contextmanager
from pathlib import Path


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


class OutputError(ValueError):
    """An output that must not be written: a folder, a device, a pipe, a symbolic link loop, a
    folder that does not exist... ``reason`` is the one-line why, without the path."""

    def __init__(self, path, reason: str):
        self.path, self.reason = path, reason
        super().__init__(f"{path}: {reason}")


_KINDS = (
    (stat.S_ISDIR, "a folder"),
    (stat.S_ISFIFO, "a pipe (FIFO)"),
    (stat.S_ISCHR, "a device"),
    (stat.S_ISBLK, "a device"),
    (stat.S_ISSOCK, "a socket"),
)


def _kind(mode: int) -> str:
    for test, name in _KINDS:
        if test(mode):
            return name
    return "not a regular file"


def _why(e: OSError) -> str:
    if e.errno == errno.ELOOP:
        return "a loop of symbolic links"
    if e.errno == errno.ENOTDIR:
        return "a part of its folder is not a folder"
    if e.errno == errno.EACCES:
        return "permission denied"
    return e.strerror or str(e)


def _is_stdout(st) -> bool:
    try:
        out = os.fstat(1)
    except OSError:
        return False
    return (out.st_dev, out.st_ino) == (st.st_dev, st.st_ino)


def output_target(path) -> Path | None:
    """The file that writing ``path`` with ``atomic_output`` creates or replaces: ``path``
    itself, or where its symbolic links lead; None for standard output (``-``, or a name of
    the file or pipe standard output already goes to, such as /dev/stdout). Raises
    OutputError when that is not a regular file or a missing name in an existing folder."""
    name = os.fspath(path)
    if name == "-":
        return None
    if name == "":
        raise OutputError(path, "an empty name")
    try:
        st = os.stat(name)  # follows symbolic links
    except FileNotFoundError:
        st = None
    except OSError as e:
        raise OutputError(path, _why(e)) from None
    target = Path(os.path.realpath(name))
    if st is not None:
        if _is_stdout(st):  # /dev/stdout, or the file standard output was sent to
            return None
        if not stat.S_ISREG(st.st_mode):
            raise OutputError(path, f"is {_kind(st.st_mode)}; only a regular file is replaced")
        try:
            same = os.stat(target)
        except OSError:
            same = None
        if same is None or (same.st_dev, same.st_ino) != (st.st_dev, st.st_ino):
            # e.g. /dev/stdout on a file that was deleted: no name to rename over
            raise OutputError(path, "cannot tell which file it names")
        if not os.access(target, os.W_OK):
            raise OutputError(path, "permission denied (the file is not writable)")
    else:
        if os.path.lexists(target):  # the name resolves to something stat() cannot see
            raise OutputError(path, "cannot tell which file it names")
        try:
            folder = os.stat(target.parent)
        except FileNotFoundError:
            raise OutputError(path, f"the folder {target.parent} does not exist") from None
        except OSError as e:
            raise OutputError(path, f"its folder {target.parent}: {_why(e)}") from None
        if not stat.S_ISDIR(folder.st_mode):
            raise OutputError(path, f"{target.parent} is not a folder")
    if not os.access(target.parent, os.W_OK | os.X_OK):
        raise OutputError(path, f"cannot create files in {target.parent} (permission denied)")
    return target


@contextmanager
def atomic_output(path, mode: str = "wb"):
    """Write a file all at once.

    A context manager that yields a file object on a temporary file, renamed over the target
    when the block ends without an exception and removed otherwise, so that the target holds
    either its old content or the whole new one.

    The rule for every output of this package:

    - a regular file is replaced (its permission bits are kept) and a missing name is created
      (with 0666 less the umask);
    - a symbolic link is followed: the file it leads to is replaced or created, in that file's
      folder, and the link stays;
    - a folder, a device, a named pipe (FIFO), a socket, a loop of symbolic links or a name
      in a folder that does not exist is refused with OutputError, before the temporary file
      is made (call ``output_target(path)`` to refuse it before any work);
    - ``-`` is standard output (its text stream for mode "w", its binary one for "wb"),
      flushed at the end and never closed; so is a name of what standard output already
      goes to (/dev/stdout, or the file it was redirected to).

    Parameters
    ----------
    path : str or os.PathLike
        The file to write, or ``-``.
    mode : {"wb", "w", "wt"}, optional
        Binary (default) or text.

    Yields
    ------
    file object
        The temporary file (or standard output's stream).

    Examples
    --------
    >>> import pathlib, tempfile
    >>> path = pathlib.Path(tempfile.mkdtemp(), "out.txt")
    >>> with atomic_output(path, "w") as f:
    ...     _ = f.write("whole")
    >>> path.read_text()
    'whole'
    >>> try:
    ...     with atomic_output(path, "w") as f:
    ...         _ = f.write("half")
    ...         raise RuntimeError("failed")
    ... except RuntimeError:
    ...     pass
    >>> path.read_text()   # the old content, whole
    'whole'
    """
    if mode not in ("w", "wb", "wt"):
        raise ValueError(f"atomic_output writes new files: mode 'w' or 'wb', not {mode!r}")
    target = output_target(path)
    if target is None:
        stream = sys.stdout.buffer if "b" in mode else sys.stdout
        yield stream
        stream.flush()
        return
    try:
        bits = stat.S_IMODE(os.stat(target).st_mode) & 0o777
    except FileNotFoundError:
        bits = 0o666 & ~_umask()
    fd, tmp = tempfile.mkstemp(prefix=f".{target.name[:64]}.", suffix=".part", dir=target.parent)
    try:
        with os.fdopen(fd, mode) as f:
            yield f
        if output_target(path) != target:  # replaced by something else meanwhile
            raise OutputError(path, "changed while it was being written")
        os.chmod(tmp, bits)
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise

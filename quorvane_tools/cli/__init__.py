"""The ``quorvane`` command: look at a picture's colours, then find its shapes.

    quorvane probe coffee.png --box 250 120 70 40
    quorvane find coffee.png --box 250 120 70 40 --fit ellipse --radius 20 150 --out found.png

All the commands' options and printing are here, one module per command (``find`` holds probe
and find); the shared options, types and outputs are in ``_options`` and ``_output``. video,
live and tune are imported only when their command is the one run, so that `quorvane --help`
and `quorvane find` load no video, stream or server code (nor PyAV, Dask or SciPy).
"""

from __future__ import annotations

import argparse
import importlib
import sys

from .._arrays import ImageError, OutputError
from . import find as _commands
from ._errors import (  # noqa: F401 (the names of the command line, as before it was a package)
    EXIT_BAD_INPUT, EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK, EXIT_PIPE, PROG, CliError, WriteError,
)
from ._options import (  # noqa: F401
    EXIT_HELP, MAX_COORD, MAX_COUNT, MAX_DELTA, MAX_LINES, MAX_MAX_PIXELS, MAX_RADIUS, MAX_SEED, MODEL_HELP,
    OUTPUT_HELP, add_fit_options, add_limit_options, add_window_options, finite, fit_kwargs, whole,
    window_from_args,
)
from ._options import load as _load  # noqa: F401
from ._output import (  # noqa: F401
    absolute as _absolute, check_output, fmt as _fmt, quiet_stdout as _quiet_stdout, say as _say,
    stdout_is_terminal as _stdout_is_terminal, table as _table, writing as _writing,
)
from .find import STAGES, _picture_format, find_shapes, find as _find, probe as _probe  # noqa: F401

__all__ = [
    "main", "CliError", "check_output", "add_window_options", "add_fit_options", "add_limit_options",
    "window_from_args", "fit_kwargs", "whole", "finite",
]

# The commands of their own modules, imported when run, and their line in `quorvane --help`
# (the module registers its whole parser only when its command is the one run).
EXTRA_COMMANDS = {
    "video": "find shapes in every frame of a video (one process or a Dask cluster)",
    "live": "find shapes in a camera or a stream as the frames arrive; records out at once",
    "tune": "pick a colour window by eye on a local web page",
}


class _Parser(argparse.ArgumentParser):
    """argparse whose usage errors are one line: 'quorvane: error: find: <message>; see ...'."""

    def error(self, message):
        where = self.prog[len(PROG):].strip()
        self.exit(EXIT_BAD_INPUT, f"{PROG}: error: {where + ': ' if where else ''}{message}; "
                  f"see '{self.prog} --help'\n")


class _Version(argparse.Action):
    """--version: the release and the colour kernel, read from the extension only when asked."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS, help=None):
        super().__init__(option_strings=option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        import quorvane

        sys.stdout.write(f"{PROG} {quorvane.__version__} (colour kernel {quorvane.__color_kernel__})\n")
        parser.exit()


def _command_of(argv) -> str | None:
    """The subcommand named by the arguments (the first that is not an option), if any."""
    args = iter(argv)
    for a in args:
        if not isinstance(a, str):
            return None
        if a == "--":
            return next(args, None)
        if not a.startswith("-"):
            return a
    return None


def build_parser(argv=None):
    """The parser of every command; given ``argv``, one in which only the command that argv names
    among EXTRA_COMMANDS has its whole parser (its module imported), the others a line of help."""
    command = None if argv is None else _command_of(argv)
    parser = _Parser(
        prog=PROG,
        description="Find lines, circles and ellipses of one colour in pictures. Start with "
        "'probe' on a box drawn on the object to get a colour window, then 'find' the shapes.",
        epilog=MODEL_HELP + "\n\nexample:\n  quorvane probe coffee.png --box 250 120 70 40\n"
        "  quorvane find coffee.png --box 250 120 70 40 --fit ellipse --radius 20 150 --out found.png"
        "\n\n" + EXIT_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action=_Version, help="print the release and the colour kernel in use")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    _commands.register(sub)
    for name, line in EXTRA_COMMANDS.items():
        if argv is None or name == command:
            importlib.import_module(f".{name}", __name__).register(sub)
        else:
            sub.add_parser(name, help=line)
    return parser


def main(argv=None) -> int:
    """The ``quorvane`` command. Every failure ends as one 'quorvane: error: ...' line on standard
    error and a status (see EXIT_HELP); usage errors and --help leave through SystemExit."""
    try:
        args = build_parser(sys.argv[1:] if argv is None else argv).parse_args(argv)
        code = int(args.run(args) or 0)
        sys.stdout.flush()  # a closed pipe shows here, not at the interpreter's exit
        return code
    except CliError as e:
        _say(e)
        return EXIT_BAD_INPUT
    except (ImageError, OutputError) as e:  # raised by a command that did not turn them into CliError
        _say(e)
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        _say("interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of standard output went away (| head): stop quietly, with the status a
        # shell reports for a program that a closed pipe ended.
        _quiet_stdout()
        return EXIT_PIPE
    except WriteError as e:
        _say(e)
        return EXIT_FAILED
    except MemoryError:
        _say("out of memory (a smaller picture, or a lower --max-pixels, needs less)")
        return EXIT_FAILED
    except RecursionError as e:
        _say(f"internal error: RecursionError: {e}")
        return EXIT_FAILED
    except OSError as e:
        where = f"{e.filename}: " if getattr(e, "filename", None) else ""
        _say(f"{where}{e.strerror or e}")
        return EXIT_FAILED
    except Exception as e:  # a fault of this program: one line all the same, and say so
        _say(f"internal error: {type(e).__name__}: {e} (please report it)")
        return EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main())

"""The command's name, its exit statuses and the two errors that end a command in one line."""

from __future__ import annotations

PROG = "quorvane"

EXIT_OK, EXIT_FAILED, EXIT_BAD_INPUT, EXIT_INTERRUPTED, EXIT_PIPE = 0, 1, 2, 130, 141


class CliError(Exception):
    """Bad input: main prints 'quorvane: error: <message>' and exits with status 2."""


class WriteError(Exception):
    """A failure after the input was accepted: main prints the line and exits with status 1."""

"""The tune page: a local web server on which a colour window is chosen by eye (its command,
`quorvane tune`, is ``quorvane_tools.cli.tune``; the server, ``quorvane_tools.tune.server``)."""

from __future__ import annotations

import ipaddress

from ..cli._errors import CliError

__all__ = ["check_host"]


def check_host(host: str, allow_remote: bool) -> tuple[str, str | None]:
    """The address to bind and a warning to print (None for loopback); raises CliError."""
    if host == "localhost":
        host = "127.0.0.1"
    try:
        ip = ipaddress.ip_address(host)
    except ValueError:
        raise CliError(f"--host needs an IP address such as 127.0.0.1, got {host!r}") from None
    if ip.is_loopback:
        return ip.compressed, None
    if not allow_remote:
        raise CliError(
            f"--host {host} is not a loopback address; add --allow-remote to let other machines "
            "reach the page (or forward the port over SSH, see --help)"
        )
    return ip.compressed, (
        f"quorvane tune: warning: listening on {host}, which other machines may reach; anyone who "
        "can connect sees the picture. There is no password and no encryption."
    )


# The command's names, which lived here before the command had a module of its own.
_COMMAND = ("DESCRIPTION", "register", "run")


def __getattr__(name: str):
    if name in _COMMAND:
        from ..cli import tune as command  # the command imports this package: loaded when asked

        return getattr(command, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

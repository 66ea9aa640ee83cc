"""Running commands, printing, and what the build machine has."""

from __future__ import annotations

import glob
import hashlib
import os
import re
import shlex
import shutil
import subprocess
import threading
from pathlib import Path

# ---------------------------------------------------------------------------- plumbing

_print_lock = threading.Lock()


def say(*parts):
    with _print_lock:
        print(*parts, flush=True)


class Failure(Exception):
    pass


def run(cmd, *, log: Path | None = None, env=None, cwd=None, check=True, capture=False, timeout=None):
    """Runs a command; its output goes to `log` (appended) unless captured."""
    cmd = [str(c) for c in cmd]
    full_env = None if env is None else {**os.environ, **{k: str(v) for k, v in env.items()}}
    if capture:
        r = subprocess.run(cmd, env=full_env, cwd=cwd, capture_output=True, text=True, timeout=timeout)
        if check and r.returncode != 0:
            raise Failure(f"{shlex.join(cmd)} failed ({r.returncode}):\n{r.stdout[-3000:]}{r.stderr[-3000:]}")
        return r
    if log is None:
        r = subprocess.run(cmd, env=full_env, cwd=cwd, timeout=timeout)
    else:
        log.parent.mkdir(parents=True, exist_ok=True)
        with open(log, "a") as f:
            f.write(f"\n$ {shlex.join(cmd)}\n")
            f.flush()
            r = subprocess.run(cmd, env=full_env, cwd=cwd, stdout=f, stderr=subprocess.STDOUT, timeout=timeout)
    if check and r.returncode != 0:
        where = f" (log: {log})" if log else ""
        tail = ""
        if log is not None:
            tail = "\n" + "\n".join(log.read_text(errors="replace").splitlines()[-25:])
        raise Failure(f"{shlex.join(cmd[:6])}{' ...' if len(cmd) > 6 else ''} failed ({r.returncode}){where}{tail}")
    return r


def digest(*parts) -> str:
    return hashlib.sha256("\0".join(map(str, parts)).encode()).hexdigest()[:16]


def ensure_system_tools(emulated: bool):
    """qemu-user for the emulated suites (when they run), dpkg-deb for unpacking (Debian packages)."""
    needed = [("dpkg-deb", "dpkg"), ("apt-get", "apt")]
    if emulated:
        needed += [("qemu-aarch64", "qemu-user"), ("qemu-arm", "qemu-user")]
    missing = [pkg for prog, pkg in needed if shutil.which(prog) is None]
    if not missing:
        return
    if os.geteuid() != 0:
        raise Failure(f"missing tools; install the Debian packages {' '.join(sorted(set(missing)))} (needs root)")
    say(f"installing {' '.join(sorted(set(missing)))} with apt-get")
    run(["apt-get", "update", "-qq"])
    run(["apt-get", "install", "-y", "-qq", "-o", "DPkg::Lock::Timeout=300", "--no-install-recommends",
         *sorted(set(missing))], env={"DEBIAN_FRONTEND": "noninteractive"})


def host_python(version: str) -> Path | None:
    """The build machine's CPython `version` (pyenv's newest, else pythonX.Y on PATH)."""
    try:
        root = subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip()
    except OSError:
        root = ""
    cands = sorted(glob.glob(f"{root}/versions/{version}.*/bin/python{version}") if root else [],
                   key=lambda p: [int(x) for x in re.findall(r"\d+", Path(p).parts[-3])])
    if cands:
        return Path(cands[-1])
    found = shutil.which(f"python{version}")
    return Path(found) if found else None

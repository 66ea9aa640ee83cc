"""Each wheel installed in a fresh environment of its CPU, and its suite run there."""

from __future__ import annotations

import dataclasses
import os
import re
import shutil
import subprocess
import time
from pathlib import Path

from .cache import Cache
from .plumbing import Failure, host_python, run, say
from .targets import HERE, QUICK_DEPS, QUICK_TESTS, Target

# ---------------------------------------------------------------------------- testing


@dataclasses.dataclass
class Result:
    target: Target
    wheel: Path | None = None
    kernel: str = ""
    mode: str = ""
    counts: str = ""
    ok: bool = True
    seconds: float = 0.0


def test_tree(work: Path) -> Path:
    """The tests and what they read, without the packages' sources (the wheel's are tested)."""
    tree = work / "tests"
    shutil.rmtree(tree, ignore_errors=True)
    tree.mkdir(parents=True)
    for name in ("tests", "examples", "docs", "quorvane-stubs"):
        if (HERE / name).is_dir():
            shutil.copytree(HERE / name, tree / name,
                            ignore=shutil.ignore_patterns("__pycache__", "*.cpp", "*.h", "*.inc"))
    for name in ("README.md", "pyproject.toml", "CHANGELOG.md", "LICENSE"):
        if (HERE / name).exists():
            shutil.copy(HERE / name, tree / name)
    return tree


def root_glibc(root: Path) -> tuple[int, int]:
    """The glibc version of a Debian root (for the manylinux tags its pip may take)."""
    for libc in sorted(root.glob("usr/lib/*/libc.so.6")) + sorted(root.glob("lib/*/libc.so.6")):
        m = re.search(rb"release version (\d+)\.(\d+)", libc.read_bytes())
        if m:
            return int(m.group(1)), int(m.group(2))
    raise Failure(f"cannot tell the glibc version of {root}")


class Env:
    """A fresh environment of the target's CPU with the wheel installed."""

    def __init__(self, cache: Cache, tools: Path, t: Target, work: Path, log: Path):
        self.cache, self.tools, self.t, self.log = cache, tools, t, log
        self.dir = work / "envs" / t.key
        shutil.rmtree(self.dir, ignore_errors=True)
        self.root: Path | None = None
        self.python = self.dir / "bin/python"

    def create(self):
        t = self.t
        suite = t.suite
        if suite is None:
            py = host_python(t.py)
            if py is None:
                raise Failure(f"no CPython {t.py} on this machine")
            run([py, "-m", "venv", "--without-pip", self.dir], log=self.log)
            return
        self.root = self.cache.debian_root(suite, t.arch.debian, self.cache.root_packages(t.arch, suite))
        interp = self.root / f"usr/bin/python{t.py}"
        system_site = t.arch.debian == "armhf"  # Debian's NumPy
        if t.native:
            self._patch_native(interp)
            run([interp, "-m", "venv", "--without-pip", self.dir], log=self.log)
            return
        # Emulated: the venv's python is a script that runs the interpreter under qemu with
        # the venv's path as its name (so sys.executable, and the children the tests start,
        # are this environment).
        version = run([t.arch.qemu, "-cpu", t.arch.qemu_cpu, "-L", self.root, interp, "-c", "import platform; print(platform.python_version())"],
                      capture=True).stdout.strip()
        (self.dir / "bin").mkdir(parents=True)
        (self.dir / f"lib/python{t.py}/site-packages").mkdir(parents=True)
        (self.dir / "pyvenv.cfg").write_text(
            f"home = {interp.parent}\ninclude-system-site-packages = {'true' if system_site else 'false'}\n"
            f"version = {version}\nexecutable = {interp}\n")
        self.python.write_text(f'#!/bin/sh\nexec {t.arch.qemu} -cpu {t.arch.qemu_cpu} -L "{self.root}" -0 "$0" '
                               f'"{interp}" "$@"\n')
        self.python.chmod(0o755)
        for alias in ("python3", f"python{t.py}"):
            (self.dir / "bin" / alias).symlink_to("python")

    def _patch_native(self, interp: Path):
        """A newer suite's CPython on this machine: its own loader and libraries, not the system's."""
        loader = (self.root / "lib64/ld-linux-x86-64.so.2").resolve()
        libs = ":".join(str(self.root / d) for d in (f"usr/lib/{self.t.arch.triple}", f"lib/{self.t.arch.triple}"))
        patchelf = self.tools / "bin/patchelf"
        current = run([patchelf, "--print-interpreter", interp], capture=True).stdout.strip()
        if current != str(loader):
            run([patchelf, "--set-interpreter", loader, "--force-rpath", "--set-rpath", libs, interp], log=self.log)

    def install(self, wheel: Path, full: bool):
        t = self.t
        pip = [self.tools / "bin/python", "-m", "pip"]
        if t.native:
            extra = "[test]" if full else ""
            run([*pip, "--python", self.python, "install", "-q", f"{wheel}{extra}", *([] if full else QUICK_DEPS)],
                log=self.log)
            return
        # Emulated: the build machine's pip installs the target's wheels into the venv.
        glibc = root_glibc(self.root)
        target = self.dir / f"lib/python{t.py}/site-packages"
        tags = [f"manylinux_2_{m}_{t.arch.name}" for m in range(glibc[1], 16, -1)]
        tags += [f"manylinux2014_{t.arch.name}", f"linux_{t.arch.name}"]
        plat = [a for tag in tags for a in ("--platform", tag)]
        common = [*pip, "install", "-q", "--target", target, "--only-binary=:all:", *plat,
                  "--python-version", t.py, "--implementation", "cp", "--abi", t.tag, "--upgrade"]
        if t.arch.debian == "armhf":
            run([*common, "--no-deps", wheel], log=self.log)  # NumPy: Debian's
            run([*common, *QUICK_DEPS], log=self.log)
        else:
            run([*common, wheel, *QUICK_DEPS], log=self.log)

    def probe(self) -> str:
        r = run([self.python, "-c", "import quorvane as q, quorvane_tools as t; "
                                    "assert q.__version__ == t.__version__; print(q.__version__, q.__color_kernel__)"],
                capture=True, cwd=self.dir)
        version, kernel = r.stdout.split()[-2:]
        if self.t.native:  # the console script pip made
            said = run([self.dir / "bin/quorvane", "--version"], capture=True, cwd=self.dir).stdout.strip()
            if said != f"quorvane {version} (colour kernel {kernel})":
                raise Failure(f"quorvane --version says {said!r}")
        return kernel

    def pytest(self, tree: Path, quick: bool) -> tuple[bool, str]:
        files = [f"tests/{f}" for f in QUICK_TESTS] if quick else []
        env = {"PYTHONDONTWRITEBYTECODE": "1"}
        for k in [k for k in os.environ if k.startswith("QUORVANE_")]:
            env[k] = ""  # the default kernel choice
        r = run([self.python, "-m", "pytest", "-q", "-p", "no:cacheprovider", *files], log=self.log, cwd=tree,
                env=env, check=False)
        text = self.log.read_text(errors="replace")
        m = re.findall(r"^=* ?(\d+ (?:passed|failed).*?) in [\d.]+s", text, re.M)
        summary = m[-1] if m else f"pytest exit {r.returncode}"
        return r.returncode == 0, summary


def test_target(cache: Cache, tools: Path, t: Target, wheel: Path, tree: Path, work: Path, modes) -> Result:
    res = Result(t, wheel)
    started = time.monotonic()
    if t.arch.name == "aarch64" and t.py == "3.12":
        res.counts, res.mode = "not run: no Debian suite has CPython 3.12", "-"
        return res
    mode = modes["native"] if t.native else modes["emulated"]
    if mode == "none":
        res.counts, res.mode = "not run (by request)", "-"
        return res
    log = cache.logs / f"test-{t.key}.log"
    log.unlink(missing_ok=True)
    try:
        env = Env(cache, tools, t, work, log)
        env.create()
        env.install(wheel, mode == "full")
        res.kernel = env.probe()
        res.ok, res.counts = env.pytest(tree, mode == "quick")
        res.mode = mode + ("" if t.native else " (qemu)")
    except (Failure, subprocess.TimeoutExpired, OSError) as e:
        res.ok, res.counts = False, f"error: {str(e).splitlines()[0][:70]}"
        say(f"  {t.key}: {e}")
    res.seconds = time.monotonic() - started
    say(f"  tested {t.key}: {res.counts}, kernel {res.kernel or '?'} ({res.seconds:.0f} s)"
        f"{'' if res.ok else '  FAILED'}  [{log}]")
    return res

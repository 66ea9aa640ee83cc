"""The Pi estimate's tools: running commands, installing what is missing (clang, the aarch64
cross g++, an llvm-mca with the cores' models) and the module's compiler flags."""

import glob
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TRIPLE = "aarch64-linux-gnu"
CROSS_GXX = "aarch64-linux-gnu-g++"

_apt_updated = False


class Failure(Exception):
    pass


def run(cmd, **kw):
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, **kw)
    except OSError as e:
        raise Failure(f"cannot run {cmd[0]}: {e.strerror}") from None
    if proc.returncode != 0:
        first = (proc.stderr.strip() or proc.stdout.strip()).splitlines()[:1]
        raise Failure(f"{shlex.join(cmd[:1])} failed: {first[0] if first else 'exit ' + str(proc.returncode)}")
    return proc.stdout


def apt_install(*packages):
    global _apt_updated
    if os.geteuid() == 0:
        prefix = []
    elif shutil.which("sudo"):
        prefix = ["sudo"]
    else:
        raise Failure(f"missing tools: install the Debian packages {' '.join(packages)} (needs root)")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    print(f"installing {' '.join(packages)} with apt-get", file=sys.stderr)
    if not _apt_updated:
        subprocess.run(prefix + ["apt-get", "update", "-q"], stdout=sys.stderr, env=env, check=False)
        _apt_updated = True
    proc = subprocess.run(prefix + ["apt-get", "install", "-y", "-q", *packages], stdout=sys.stderr, env=env)
    if proc.returncode != 0:
        raise Failure(f"apt-get install {' '.join(packages)} failed")


# ---------------------------------------------------------------- tools


def find_clang():
    names = ["clang++"] + sorted(
        (os.path.basename(p) for p in glob.glob("/usr/bin/clang++-[0-9]*")),
        key=lambda n: -int(n.rsplit("-", 1)[1]))
    return next((shutil.which(n) for n in names if shutil.which(n)), None)


def mca_candidates():
    found = []
    for p in [shutil.which("llvm-mca")] + glob.glob("/usr/bin/llvm-mca-[0-9]*") + glob.glob(
            "/usr/lib/llvm-[0-9]*/bin/llvm-mca"):
        if p and os.path.exists(p):
            real = os.path.realpath(p)
            if real not in (os.path.realpath(f) for f in found):
                found.append(p)
    return sorted(((llvm_version(p), p) for p in found), reverse=True)


def llvm_version(tool):
    m = re.search(r"LLVM version (\d+)", run([tool, "--version"]))
    return int(m.group(1)) if m else 0


def sched_model(mca, cpu):
    """The prefix of the scheduling model's resource names (A57, N1, ...)."""
    with tempfile.NamedTemporaryFile("w", suffix=".s") as f:
        f.write("\tmul\tv0.4s, v1.4s, v2.4s\n")
        f.flush()
        out = run([mca, f"-mtriple={TRIPLE}", f"-mcpu={cpu}", "-iterations=1", f.name])
    m = re.search(r"^Resources:\n\[[\d.]+\]\s+- (\w+?)Unit", out, re.M)
    return m.group(1) if m else None


def choose_mca(explicit):
    """(llvm-mca path, version, A76 cpu name, its model, A72 model)."""
    def pick():
        for ver, mca in mca_candidates() if not explicit else [(llvm_version(explicit), explicit)]:
            a57 = sched_model(mca, "cortex-a57")
            for cpu in ("cortex-a76", "neoverse-n1"):
                model = sched_model(mca, cpu)
                if model and model != a57:
                    return mca, ver, cpu, model, sched_model(mca, "cortex-a72")
        return None

    got = pick()
    if got is None and not explicit:
        if not mca_candidates():
            apt_install("llvm")
            got = pick()
        if got is None:
            apt_install("llvm-19")
            got = pick()
    if got is None:
        raise Failure("no llvm-mca with a Cortex-A76 or Neoverse-N1 model (Debian's llvm-19 has one)")
    return got


def ensure_compilers(which):
    if not shutil.which(CROSS_GXX):  # clang needs its aarch64 C++ headers too
        apt_install("g++-aarch64-linux-gnu")
    compilers = {}
    if which in ("clang", "both"):
        clang = find_clang()
        if clang is None:
            apt_install("clang")
            clang = find_clang()
        if clang is None:
            raise Failure("clang++ not found after installing clang")
        compilers["clang"] = [clang, f"--target={TRIPLE}"]
    if which in ("gcc", "both"):
        compilers["gcc"] = [shutil.which(CROSS_GXX)]
    return compilers


def compiler_version(cmd):
    return run(cmd[:1] + ["--version"]).splitlines()[0]


def compiler_short(cname, cmd):
    """"g++ 12", "clang 14": the name and major version."""
    m = re.search(r"(\d+)\.\d+\.\d+", compiler_version(cmd))
    name = "g++" if cname == "gcc" else cname
    return f"{name} {m.group(1)}" if m else name


# ---------------------------------------------------------------- flags


def module_flags():
    """The flags the module's kernels are built with, from CMakeLists.txt."""
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        text = f.read()
    m = re.search(r"^set\(QV_FLAGS ([^)]*)\)", text, re.M)
    std = re.search(r"^set\(CMAKE_CXX_STANDARD (\d+)\)", text, re.M)
    if not m or not std or "-ffp-contract=off" not in m.group(1):
        raise Failure("CMakeLists.txt: QV_FLAGS or CMAKE_CXX_STANDARD not found where expected")
    return [f"-std=c++{std.group(1)}", "-O3", "-DNDEBUG", "-fPIC", "-fvisibility=hidden",
            "-fvisibility-inlines-hidden", *m.group(1).split(), "-I" + os.path.join(ROOT, "src")]

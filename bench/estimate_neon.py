"""Estimated colour-pass times on a Raspberry Pi 4 and 5, from an instruction-level model.

    python3 bench/estimate_neon.py [--compiler clang|gcc|both] [--iterations N] [--keep DIR]

No ARM machine is needed, and nothing runs on one: the NEON kernel table and
the scalar colour passes (src/kernels/neon.cpp, src/color/color_scalar.cpp) are cross-compiled
for aarch64 to assembly with the module's own flags (read from CMakeLists.txt:
C++20, -O3 -DNDEBUG as in a Release build, -fPIC, hidden visibility, and
QV_FLAGS with -ffp-contract=off). The steady-state loop of each pass is cut
out of the assembly (the innermost loop whose instructions come from the NEON
primitives; for the scalar kernel, the loop that handles the most pixels per
turn), and llvm-mca simulates it for the cores of both boards:

  Raspberry Pi 4   Cortex-A72, 1.5 GHz (1.8 GHz on boards from 2021 on):
                   llvm-mca -mcpu=cortex-a72 (LLVM models it with its
                   Cortex-A57 scheduling model)
  Raspberry Pi 5   Cortex-A76, 2.4 GHz: -mcpu=cortex-a76 where llvm-mca has a
                   model of its own for it, else -mcpu=neoverse-n1 (the server
                   core built on the A76)

Cycles per turn of the loop (llvm-mca's total cycles over --iterations turns)
divided by the pixels the turn stores (bytes stored: one per pixel) give
cycles per pixel, and so ms per 1920x1080 frame at each clock. These are
estimates of the core's throughput only: every load hits the L1 cache, no
branch is mispredicted, nothing else runs. A frame (6.2 MB in, 2.1 MB out)
streams from DRAM on both boards, so read them as lower bounds.

Tools: clang (aarch64 code with --target=aarch64-linux-gnu), Debian's aarch64
cross g++ (the other compiler, and the C++ headers clang needs), and an
llvm-mca that has a Neoverse-N1 (or Cortex-A76) model: Debian 12's default
llvm (14) has neither and maps both to the A57 model, so llvm-19 is installed
then. Missing tools are installed with apt-get (as root, or through sudo).

Prints a markdown table for the README's "Colour kernels per CPU" section and
the commands it ran. --keep DIR keeps the assembly and the extracted loops
(DIR/<compiler>-<source>.s, DIR/<compiler>-<pass>-<loop>.s) to look at with
e.g. `llvm-mca -mtriple=aarch64-linux-gnu -mcpu=cortex-a72 -timeline FILE`.
"""

import argparse
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
PIXELS = 1920 * 1080
TRIPLE = "aarch64-linux-gnu"
CROSS_GXX = "aarch64-linux-gnu-g++"

# Clocks in GHz: the Pi 4 (first boards, boards since 2021) and the Pi 5.
PI4_CLOCKS = (1.5, 1.8)
PI5_CLOCKS = (2.4,)

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


# ---------------------------------------------------------------- assembly

_FUNC = re.compile(r"^([A-Za-z_$][\w$.]*):")
_LABEL = re.compile(r"^(\.L[\w$.]*):")
_INSN = re.compile(r"^\s+([a-z][\w.]*)\b\s*(.*)$")
_BRANCH = re.compile(r"^(b(\.\w+)?|b(eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le)|cbn?z|tbn?z)$")
_REG_BYTES = {"q": 16, "d": 8, "s": 4, "h": 2, "b": 1, "x": 8, "w": 4}


def strip_comment(s):
    return s.split("//", 1)[0].rstrip()


def parse_functions(asm):
    """{function: [items]}, an item ("label", name) or ("insn", mnemonic, operands, source file)."""
    files, funcs, cur, loc = {}, {}, None, None
    for raw in asm.splitlines():
        line = strip_comment(raw)
        s = line.strip()
        if s.startswith(".file"):
            m = re.match(r"\.file\s+(\d+)\s+(.*)", s)
            if m:
                files[m.group(1)] = re.findall(r'"([^"]*)"', m.group(2))[-1]
            continue
        if s.startswith(".loc"):
            loc = files.get(s.split()[1])
            continue
        m = _FUNC.match(line)
        if m and not line.startswith(".L"):
            cur = m.group(1)
            funcs[cur] = []
            continue
        if cur is None:
            continue
        m = _LABEL.match(line)
        if m:
            funcs[cur].append(("label", m.group(1)))
            continue
        m = _INSN.match(line)
        if m and not s.startswith("."):
            funcs[cur].append(("insn", m.group(1), m.group(2).strip(), loc))
    return funcs


def instructions(asm):
    return [(i[1], i[2]) for items in parse_functions(asm).values() for i in items if i[0] == "insn"]


def innermost_loops(items):
    """[(label index, back-branch index)] of the innermost loops, in layout order."""
    where = {}
    loops = {}
    for k, it in enumerate(items):
        if it[0] == "label":
            where[it[1]] = k
        elif _BRANCH.match(it[1]):
            target = it[2].split(",")[-1].strip()
            if target in where:
                loops[target] = k
    spans = sorted((where[t], end) for t, end in loops.items())
    return [(a, b) for a, b in spans
            if not any((c, d) != (a, b) and a <= c and d <= b for c, d in spans)]


def stored_bytes(mnemonic, operands):
    """Bytes a store writes outside the stack frame (0 for other instructions)."""
    if not mnemonic.startswith("st"):
        return 0
    base = re.search(r"\[\s*(\w+)", operands)
    if not base or base.group(1) in ("sp", "x29"):
        return 0
    if re.match(r"st[1-4]$", mnemonic):
        regs = operands[operands.index("{") + 1:operands.index("}")]
        m = re.match(r"\s*v(\d+)\.\w+\s*-\s*v(\d+)", regs)
        count = int(m.group(2)) - int(m.group(1)) + 1 if m else regs.count(",") + 1
        arr = re.search(r"\.(\d*)([bhsd])", regs)
        elem = {"b": 1, "h": 2, "s": 4, "d": 8}[arr.group(2)]
        lanes = int(arr.group(1)) if arr.group(1) else 1  # a lane store names no count
        return count * elem * lanes
    if mnemonic in ("strb", "sturb", "stlrb"):
        return 1
    if mnemonic in ("strh", "sturh", "stlrh"):
        return 2
    reg = operands.split(",")[0].strip()
    size = _REG_BYTES.get(reg[:1], 0)
    return 2 * size if mnemonic in ("stp", "stnp") else size


class Loop:
    def __init__(self, func, body, files):
        self.func = func
        self.body = body  # [(mnemonic, operands)]
        self.files = files
        self.pixels = sum(stored_bytes(m, o) for m, o in body)
        names = {m for m, _ in body}
        self.vector = "ld3" in names
        self.narrow = bool(names & {"smull", "smull2", "smlal", "smlal2"})
        sel = re.search(r"Lb([01])E", func)
        self.pass_ = None if not sel else ("selective_grayscale" if sel.group(1) == "1" else "mask_image")

    def text(self):
        return "".join(f"\t{m}\t{o}\n" if o else f"\t{m}\n" for m, o in self.body)


def loops_of(asm):
    found = []
    for func, items in parse_functions(asm).items():
        for a, b in innermost_loops(items):
            body = [it for it in items[a:b + 1] if it[0] == "insn"]
            files = {os.path.basename(it[3]) for it in body if it[3]}
            found.append(Loop(func, [(it[1], it[2]) for it in body], files))
    return found


def steady_loops(compiler, source, asm):
    """{(pass, label): Loop} of the loops that run a 1080p frame."""
    chosen = {}
    loops = [lp for lp in loops_of(asm) if lp.pass_ and lp.pixels]
    if source == "neon.cpp":
        # The block loop is the one of the colour passes made of the NEON
        # primitives (its line table names isa_neon.h, or arm_neon.h where
        # the compiler's intrinsics are inline functions); the others are the
        # scalar range (pixels after the last block), vectorised or not.
        for lp in loops:
            if "color_pass" in lp.func and lp.vector and lp.files & {"isa_neon.h", "arm_neon.h"}:
                label = "NEON, entries in int16" if lp.narrow else "NEON, wide entries"
                if (lp.pass_, label) in chosen:
                    raise Failure(f"{compiler}: two NEON block loops for {lp.pass_} ({label})")
                chosen[(lp.pass_, label)] = lp
        want = {(p, k) for p in ("mask_image", "selective_grayscale")
                for k in ("NEON, entries in int16", "NEON, wide entries")}
        if set(chosen) != want:
            raise Failure(f"{compiler}: NEON block loops not found as expected (found {sorted(chosen)})")
    else:
        # The scalar pass: the loop that stores the most pixels per turn runs
        # all but the last few pixels of a frame.
        for p in ("mask_image", "selective_grayscale"):
            cands = [lp for lp in loops if lp.pass_ == p]
            if not cands:
                raise Failure(f"{compiler}: no loop found in the scalar {p} pass")
            best = max(cands, key=lambda lp: lp.pixels)
            label = "scalar, vectorised by the compiler" if best.vector else "scalar, one pixel a turn"
            chosen[(p, label)] = best
    for (p, label), lp in chosen.items():
        if lp.vector:
            ld3 = next(o for m, o in lp.body if m == "ld3")
            per_ld3 = 16 if ".16b" in ld3 else 8
            if lp.pixels != per_ld3 * sum(1 for m, _ in lp.body if m == "ld3"):
                raise Failure(f"{compiler}: {p} ({label}): stores {lp.pixels} bytes per turn, "
                              "its ld3 loads do not match")
    return chosen


# ---------------------------------------------------------------- llvm-mca


def mca_cycles(mca, cpu, path, iterations):
    out = run([mca, f"-mtriple={TRIPLE}", f"-mcpu={cpu}", f"-iterations={iterations}", path])
    it = int(re.search(r"^Iterations:\s+(\d+)", out, re.M).group(1))
    total = int(re.search(r"^Total Cycles:\s+(\d+)", out, re.M).group(1))
    bound = float(re.search(r"^Block RThroughput:\s+([\d.]+)", out, re.M).group(1))
    return total / it, bound


def cycles(x):
    return f"{x:.2f}" if x < 10 else f"{x:.1f}"


def ms_per_frame(cycles_per_px, ghz):
    return cycles_per_px * PIXELS / (ghz * 1e9) * 1e3


MODEL_NAMES = {"A57": "Cortex-A57", "N1": "Neoverse-N1"}


def main():
    ap = argparse.ArgumentParser(
        description=__doc__.splitlines()[0], epilog=__doc__.split("\n", 3)[3],
        formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--compiler", choices=("clang", "gcc", "both"), default="both",
                    help="which aarch64 compiler's code to model (default both)")
    ap.add_argument("--iterations", type=int, default=1000,
                    help="loop turns llvm-mca simulates (default 1000; the steady state needs a few hundred)")
    ap.add_argument("--llvm-mca", metavar="PATH", help="this llvm-mca instead of the newest suitable one")
    ap.add_argument("--keep", metavar="DIR", help="keep the assembly and the extracted loops in DIR")
    args = ap.parse_args()
    if args.iterations < 100:
        ap.error("--iterations must be at least 100")
    try:
        report(args)
    except Failure as e:
        print(f"estimate_neon: error: {e}", file=sys.stderr)
        sys.exit(2)


def report(args):
    compilers = ensure_compilers(args.compiler)
    mca, mca_ver, a76_cpu, a76_model, a72_model = choose_mca(args.llvm_mca)
    flags = module_flags()
    work = args.keep or tempfile.mkdtemp(prefix="estimate-neon-")
    os.makedirs(work, exist_ok=True)
    rows, commands, notes = [], [], []
    for cname, cmd in compilers.items():
        for source in ("neon.cpp", "color_scalar.cpp"):
            src = os.path.join(ROOT, "src", "kernels" if source == "neon.cpp" else "color", source)
            out = os.path.join(work, f"{cname}-{source[:-4]}.s")
            compile_cmd = cmd + flags + ["-g", "-S", src, "-o", out]
            run(compile_cmd)
            # -g only adds line tables (used to tell the block loop from the
            # scalar range); check that the code is the same without it.
            plain = run(cmd + flags + ["-S", src, "-o", "-"])
            with open(out) as f:
                asm = f.read()
            if instructions(plain) != instructions(asm):
                raise Failure(f"{cname}: -g changed the code of {source}")
            commands.append(shlex.join(compile_cmd))
            for (p, label), lp in sorted(steady_loops(cname, source, asm).items()):
                path = os.path.join(work, f"{cname}-{p}-{label.replace(', ', '-').replace(' ', '-')}.s")
                with open(path, "w") as f:
                    f.write(lp.text())
                a72, a72_bound = mca_cycles(mca, "cortex-a72", path, args.iterations)
                a76, a76_bound = mca_cycles(mca, a76_cpu, path, args.iterations)
                rows.append((p, label, cname, lp, a72, a72_bound, a76, a76_bound))
                calls = sorted({o for m, o in lp.body if m in ("bl", "blr")})
                if calls:
                    notes.append(f"{p}, {label}, {cname}: the loop calls {', '.join(calls)}; "
                                 "the callee's work is not in the estimate")

    m72 = MODEL_NAMES.get(a72_model, a72_model)
    m76 = MODEL_NAMES.get(a76_model, a76_model)
    print(f"llvm-mca {mca_ver} ({mca}); Pi 4: -mcpu=cortex-a72 ({m72} scheduling model), "
          f"Pi 5: -mcpu={a76_cpu} ({m76} scheduling model)")
    for cname, cmd in compilers.items():
        print(f"{cname}: {compiler_version(cmd)}")
    print(f"estimates for a {PIXELS} pixel (1920x1080) frame, throughput model only "
          "(all loads in L1, no mispredicted branch)")
    print()
    short = {cname: compiler_short(cname, cmd) for cname, cmd in compilers.items()}
    pi4 = " | ".join(f"Pi 4, {g:g} GHz" for g in PI4_CLOCKS)
    pi5 = " | ".join(f"Pi 5, {g:g} GHz" for g in PI5_CLOCKS)
    print(f"| pass | loop | compiler | pixels / turn | A72 cycles / pixel | {pi4} "
          f"| A76 ({m76} model) cycles / pixel | {pi5} |".replace("Neoverse-N1", "N1"))
    print("|---|---|---|---:|---:|" + "---:|" * len(PI4_CLOCKS) + "---:|" + "---:|" * len(PI5_CLOCKS))
    for p, label, cname, lp, a72, _, a76, _ in rows:
        c72, c76 = a72 / lp.pixels, a76 / lp.pixels
        t4 = " | ".join(f"{ms_per_frame(c72, g):.1f} ms" for g in PI4_CLOCKS)
        t5 = " | ".join(f"{ms_per_frame(c76, g):.1f} ms" for g in PI5_CLOCKS)
        print(f"| `{p}` | {label} | {short[cname]} | {lp.pixels} | {cycles(c72)} | {t4} "
              f"| {cycles(c76)} | {t5} |")
    print()
    print("cycles per turn (simulated / resource bound):")
    for p, label, cname, lp, a72, a72_bound, a76, a76_bound in rows:
        print(f"  {p}, {label}, {cname}: {len(lp.body)} instructions; "
              f"cortex-a72 {a72:.1f} / {a72_bound:g}, {a76_cpu} {a76:.1f} / {a76_bound:g}")
    if notes:
        print()
        print("\n".join(f"note: {n}" for n in notes))
    print()
    print("commands:")
    for c in commands:
        print(f"  {c}")
    print(f"  {mca} -mtriple={TRIPLE} -mcpu=cortex-a72|{a76_cpu} -iterations={args.iterations} LOOP.s")
    if args.keep:
        print(f"assembly and loops kept in {work}")
    else:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

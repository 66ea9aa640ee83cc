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
import os
import re
import shlex
import shutil
import sys
import tempfile

# The parts of the estimate; their names are this module's too.
from neon_asm import (Loop, innermost_loops, instructions, loops_of, parse_functions,  # noqa: F401
                      steady_loops, stored_bytes, strip_comment)
from neon_tools import (CROSS_GXX, HERE, ROOT, TRIPLE, Failure, apt_install, choose_mca,  # noqa: F401
                        compiler_short, compiler_version, ensure_compilers, find_clang, llvm_version,
                        mca_candidates, module_flags, run, sched_model)

PIXELS = 1920 * 1080

# Clocks in GHz: the Pi 4 (first boards, boards since 2021) and the Pi 5.
PI4_CLOCKS = (1.5, 1.8)
PI5_CLOCKS = (2.4,)


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

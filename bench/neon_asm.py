"""Reading the aarch64 assembly of the colour passes: functions, innermost loops, the bytes they
store, and the steady-state loop of each pass."""

import os
import re

from neon_tools import Failure


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

"""Scoring the photo benchmark's routes against the truths, and its targets."""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
from photos_cases import Case, centre, error, inside, tolerance
from photos_routes import (Outcome, Workspace, probe_flags, route_all, route_baseline, route_box, route_flags,
                           route_probe)

# ==========================================================================
# Scoring


@dataclass
class Verdict:
    """One route on one case, scored.

    For one-shape routes, ``verdict`` is "found" (within tolerance of the object the box is
    on; for lines, of any of the object's straight edges), "wrong" or "none"; ``error`` is
    that shape's error in px. For "all", ``matched`` truths are paired one to one with found
    shapes; ``duplicates`` are found shapes that also match an already matched truth or whose
    centre lies inside an earlier found circle or ellipse; ``false`` match no truth."""

    route: str
    verdict: str
    error: float | None = None
    warned: bool = False
    matched: int = 0
    truths: int = 1
    duplicates: int = 0
    false: int = 0
    right_warned: int = 0
    wrong_unwarned: int = 0
    wrong: int = 0
    status: str = "ok"
    message: str = ""
    seconds: float = 0.0
    shapes: list = field(default_factory=list)


def score_one(case: Case, route: str, outcome: Outcome) -> Verdict:
    v = Verdict(route, "none", status=outcome.status, message=outcome.message, seconds=outcome.seconds,
                shapes=outcome.shapes)
    if not outcome.shapes:
        return v
    shape = outcome.shapes[0]
    candidates = case.truths if case.kind == "line" else [case.truths[case.target()]]
    err, tol = min((error(shape, t), tolerance(t)) for t in candidates)
    v.error, v.warned = err, bool(shape.get("warning"))
    if err <= tol:
        v.verdict, v.matched, v.right_warned = "found", 1, int(v.warned)
    else:
        v.verdict, v.wrong, v.wrong_unwarned = "wrong", 1, int(not v.warned)
    return v


def score_all(case: Case, route: str, outcome: Outcome) -> Verdict:
    v = Verdict(route, "none", truths=len(case.truths), status=outcome.status, message=outcome.message,
                seconds=outcome.seconds, shapes=outcome.shapes)
    found = outcome.shapes
    if not found:
        return v
    errs = np.array([[error(f, t) for t in case.truths] for f in found])
    ok = errs <= np.array([tolerance(t) for t in case.truths])[None, :]
    pairs = sorted((errs[i, j], i, j) for i, j in zip(*np.nonzero(ok)))
    used_f, used_t = set(), set()
    for _, i, j in pairs:  # one to one, closest first
        if i not in used_f and j not in used_t:
            used_f.add(i)
            used_t.add(j)
    for i, f in enumerate(found):
        c = centre(f)
        nested = c is not None and any(inside(g, [c])[0] for g in found[:i])
        warned = bool(f.get("warning"))
        if i in used_f and not nested:
            v.right_warned += warned
        elif nested or ok[i].any():
            v.duplicates += 1
            v.wrong += 1
            v.wrong_unwarned += not warned
        else:
            v.false += 1
            v.wrong += 1
            v.wrong_unwarned += not warned
    v.matched = len(used_t)
    v.verdict = f"{v.matched}/{v.truths}"
    v.error = float(np.median([errs[i].min() for i in used_f])) if used_f else None
    return v


def run_case(ws: Workspace, case: Case, routes) -> dict:
    """Every selected route on one case: {route: Verdict}."""
    out = {}
    if "box" in routes:
        out["box"] = score_one(case, "box", route_box(ws, case))
    if "probe" in routes:
        flags = probe_flags(ws, case)
        out["probe"] = score_one(case, "probe", route_probe(ws, case, flags))
        out["flags"] = score_one(case, "flags", route_flags(ws, case, flags))
    if "all" in routes and case.every:
        out["all"] = score_all(case, "all", route_all(ws, case))
    if "baseline" in routes:
        base = route_baseline(ws, case)
        out["baseline"] = score_one(case, "baseline", Outcome(base.shapes[:1], seconds=base.seconds))
        if case.every:
            out["baseline-all"] = score_all(case, "baseline-all", base)
    return out


def summarise(results) -> dict:
    """Per route: objects, found, wrong, none, duplicates, false, right fits warned, wrong fits
    unwarned, seconds."""
    summary = {}
    for case, verdicts in results:
        for route, v in verdicts.items():
            s = summary.setdefault(route, dict(objects=0, found=0, wrong=0, none=0, duplicates=0, false=0,
                                               right_warned=0, wrong_unwarned=0, wrong_fits=0, seconds=0.0))
            s["objects"] += v.truths
            s["found"] += v.matched
            s["wrong"] += v.verdict == "wrong"
            s["none"] += v.verdict == "none" if v.truths == 1 else v.truths - v.matched
            s["duplicates"] += v.duplicates
            s["false"] += v.false
            s["right_warned"] += v.right_warned
            s["wrong_unwarned"] += v.wrong_unwarned
            s["wrong_fits"] += v.wrong
            s["seconds"] += v.seconds
    return summary


def thresholds(summary) -> list:
    """The targets of the rewrite: (what, holds)."""
    def share(route):
        s = summary.get(route)
        return s["found"] / s["objects"] if s and s["objects"] else 0.0

    ours = [r for r in ("box", "probe", "all") if r in summary]
    wrong = sum(summary[r]["wrong_fits"] for r in ours)
    unwarned = sum(summary[r]["wrong_unwarned"] for r in ours)
    checks = []
    if "box" in summary:
        checks.append((f">= 90 % found by find --box ({100 * share('box'):.0f} %)", share("box") >= 0.9))
    if "probe" in summary:
        checks.append((f">= 85 % found by probe then find ({100 * share('probe'):.0f} %)", share("probe") >= 0.85))
    dup = sum(summary[r]["duplicates"] for r in ours)
    checks.append((f"no duplicates ({dup})", dup == 0))
    warned = sum(summary[r]["right_warned"] for r in ours)
    checks.append((f"no right fit warned ({warned})", warned == 0))
    checks.append((f"at most one wrong fit in ten unwarned ({unwarned} of {wrong})", unwarned <= 0.1 * wrong))
    if "baseline" in summary:
        for route, base in (("box", "baseline"), ("probe", "baseline"), ("all", "baseline-all")):
            if route in summary and base in summary:
                a, b = summary[route]["found"], summary[base]["found"]
                checks.append((f"{route} finds more than the baseline ({a} vs {b})", a > b))
    return checks

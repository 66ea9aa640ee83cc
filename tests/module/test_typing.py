"""The typing stub: it matches the functions, and mypy accepts correct use and rejects misuse."""

import ast
import inspect
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import quorvane as qv

STUB = Path(__file__).resolve().parents[2] / "quorvane-stubs" / "__init__.pyi"

PRELUDE = """\
import numpy as np
import quorvane as qv
img = np.zeros((8, 10, 3), np.uint8)
ps = np.zeros((16, 2), np.int32)
ps64 = np.zeros((16, 2), np.int64)
ms = np.zeros(16, np.uint8)
bounds = qv.calculate_lch_bounds((-0.5, 0.5), (0.1, 0.6), (0.1, 0.9))
"""

GOOD = (
    PRELUDE
    + """\
mask = qv.mask_image(img, bounds)
same = qv.mask_image(img, bounds._asdict(), np.zeros((8, 10), np.bool_))
grey = qv.selective_grayscale(img, bounds)
pixels: int = qv.mask_image_cy_impl(img, mask, bounds._asdict())
pixels += qv.selective_grayscale_impl(img, grey, {"i": (0, 1), "c": (0, 1), "M": range(9)})
expr = qv.mask_image_py(img, bounds) + qv.mask_image_py(img, (bounds.M, (0, 1), (2, 3)))
inside: bool = bool(qv.mask_color((200, 100, 100), bounds))
n = qv.simple_edge(mask, ps, 4, np.int32(4)) + qv.simple_edge_hsv(img, ps, bounds._asdict(), 4, 4)
m = qv.simple_denoise(ps[:n], ps, 2.9)
line = qv.ransac_line(ps[:m], ms, 100, 2, 0.25)
k = qv.remove_inliers(ps[:m], ps, ms)
l1, l2 = qv.ransac_line2(ps[:k], ms, 100, 0.9, 2)
x: int = line["px"] + l1["nx"] + l2["ny"] + qv.ransac_circle(ps[:k], 100, 1, 50, 2)["r"]
theta: float = qv.ransac_ellipse(None, 0, 1, 50, 4, 2)["theta"]
unscaled = qv.calculate_lch_bounds([0.0, 1.0], np.array([0.1, 0.2]), (0, 1), rgb_bits=None)
"""
)

# Each statement fails at run time, and mypy must flag its line.
BAD = [
    "qv.ransac_circle(ps64, 100, 1, 10, 2)",  # 64-bit point list
    "qv.ransac_circle(ps, '10', 1, 10, 2)",  # a string count
    "qv.ransac_line(ps, ms, 100, 2)",  # slope_limit missing
    "qv.ransac_line(ps=ps, _ms=ms, count=100, delta=2, slope_limit=1.0)",  # the keyword is _ps
    "qv.ransac_circle(ps, 100, 1, 10, 2)['theta']",  # not a key of a circle
    "qv.mask_image_cy_impl(img, np.zeros((8, 10), np.uint8), bounds)",  # LCHBounds, not a mapping
    "qv.simple_edge_hsv(img, ps, bounds, 4, 4)",  # likewise
    "qv.mask_image_py(img, bounds._asdict())",  # a mapping, not (M, i, c)
    "qv.remove_inliers(ps, ps, np.zeros(16, np.int8))",  # signed mask
    "qv.mask_image(np.zeros((8, 10, 3)), bounds)",  # float64 image
    "qv.calculate_lch_bounds('ab', (0, 1), (0, 1))",  # hue limits as text
]


def test_stub_matches_the_functions():
    tree = ast.parse(STUB.read_text())
    stubbed = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            args = node.args
            defaults = [""] * (len(args.args) - len(args.defaults)) + [
                f"={ast.literal_eval(d)!r}" for d in args.defaults
            ]
            stubbed.setdefault(node.name, [a.arg + d for a, d in zip(args.args, defaults)])
            assert ast.get_docstring(node), node.name
    runtime = {
        name: [str(p) for p in inspect.signature(f).parameters.values()]
        for name, f in vars(qv).items()
        if type(f) is type(qv.ransac_line)
    }
    assert stubbed == runtime
    lch = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "LCHBounds")
    assert [n.target.id for n in lch.body if isinstance(n, ast.AnnAssign)] == list(qv.LCHBounds._fields)


@pytest.mark.parametrize("statement", BAD)
def test_bad_statements_fail_at_run_time(statement):
    scope = {}
    exec(PRELUDE, scope)
    with pytest.raises((TypeError, ValueError, KeyError, AttributeError)):
        exec(statement, scope)


def test_good_snippet_runs():
    exec(GOOD, {})


def test_mypy_accepts_good_and_rejects_bad(tmp_path):
    pytest.importorskip("mypy")
    # The layout of an installed wheel: a stub-only package beside the extension.
    shutil.copytree(STUB.parent, tmp_path / "site" / STUB.parent.name)
    (tmp_path / "good.py").write_text(GOOD)
    (tmp_path / "bad.py").write_text(PRELUDE + "\n".join(BAD) + "\n")
    env = {"PYTHONPATH": str(tmp_path / "site"), "PATH": "/usr/bin:/bin"}
    proc = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-error-summary",
            "--hide-error-context",
            "--cache-dir",
            str(tmp_path / "cache"),
            "good.py",
            "bad.py",
        ],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
    )
    assert proc.returncode == 1, proc.stdout + proc.stderr
    flagged = {(m[1], int(m[2])) for m in re.finditer(r"^(\w+)\.py:(\d+): error:", proc.stdout, re.M)}
    first_bad = PRELUDE.count("\n") + 1
    assert flagged == {("bad", first_bad + k) for k in range(len(BAD))}, proc.stdout

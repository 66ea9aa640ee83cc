"""The README's and docs/*.md's Python blocks run as pasted (a block that needs an extra that is
not installed is skipped, naming it), their command lines parse, and the README's first command
prints what the README shows."""

import ast
import importlib
import re
import shlex
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
TEXT = {page.relative_to(ROOT).as_posix(): page.read_text() for page in PAGES}
BLOCKS = [(name, code) for name, text in TEXT.items() for code in re.findall(r"```python\n(.*?)```", text, re.S)]

# Modules a block may import that come with an extra, not with the package: (extra, package).
EXTRAS = {
    "av": ("video", "av"),
    "PIL": ("demo", "Pillow"),
    "skimage": ("demo", "scikit-image"),
    "dask": ("dask", "dask[distributed]"),
    "distributed": ("dask", "dask[distributed]"),
    "paho": ("live", "paho-mqtt"),
    "cv2": ("bench", "opencv-python-headless"),
}


def missing_extra(code):
    """Why a block cannot run here ("needs the video extra (av)"), or None when it can."""
    tree = ast.parse(code)
    names = [a.name for node in ast.walk(tree) if isinstance(node, ast.Import) for a in node.names]
    names += [node.module for node in ast.walk(tree) if isinstance(node, ast.ImportFrom) and node.module]
    for top in dict.fromkeys(name.split(".")[0] for name in names):
        if top in EXTRAS:
            try:
                importlib.import_module(top)
            except ImportError:
                extra, package = EXTRAS[top]
                return f"needs the {extra} extra ({package})"
    return None


@pytest.mark.parametrize("page, code", BLOCKS, ids=[f"{name}-{k}" for k, (name, _) in enumerate(BLOCKS)])
def test_python_block_runs(page, code, tmp_path, monkeypatch):
    reason = missing_extra(code)
    if reason:
        pytest.skip(f"{page}: {reason}")
    monkeypatch.chdir(tmp_path)
    exec(compile(code, page, "exec"), {"__name__": "__readme__"})


@pytest.mark.parametrize(
    "hidden, code, reason",
    [
        ("av", "import av\nimport numpy", "needs the video extra (av)"),
        ("skimage", "import skimage.data\n", "needs the demo extra (scikit-image)"),
        ("paho", "from paho.mqtt import client\n", "needs the live extra (paho-mqtt)"),
        ("av", "import numpy as np\nprint(np.pi)\n", None),
    ],
)
def test_a_missing_extra_is_named(monkeypatch, hidden, code, reason):
    monkeypatch.setitem(sys.modules, hidden, None)  # importing it now raises ImportError
    assert missing_extra(code) == reason


def test_every_quorvane_command_parses():
    from quorvane_tools.cli import build_parser

    parser = build_parser()
    commands = [line for text in TEXT.values() for line in re.findall(r"^quorvane (\w.*)$", text, re.M)]
    assert len(commands) >= 10
    for line in commands:
        args = parser.parse_args(shlex.split(line))
        assert callable(args.run)


def test_first_command_prints_what_the_readme_shows(tmp_path, monkeypatch, capsys):
    pytest.importorskip("PIL")
    readme = TEXT["README.md"]
    command = re.search(r"^python3 -m pip install \"\.\[demo\]\" && (python3 examples/find_shapes\.py .*)$", readme, re.M)
    shown = re.search(r"```\n(built-in scene.*?)```", readme, re.S).group(1).splitlines()
    monkeypatch.syspath_prepend(str(ROOT / "examples"))
    monkeypatch.chdir(tmp_path)
    import find_shapes

    assert find_shapes.main(shlex.split(command.group(1))[2:]) == 0
    printed = capsys.readouterr().out.splitlines()
    stages = len(find_shapes.STAGES)  # the times vary; the shapes do not
    assert printed[0] == shown[0] and printed[-1] == shown[-1] == "wrote shapes.png"
    assert [row.split()[:-stages] for row in printed[1:-1]] == [row.split()[:-stages] for row in shown[1:-1]]
    assert (tmp_path / "shapes.png").is_file()


def anchor(heading):
    """The anchor a Markdown renderer gives a heading."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def test_links_lead_to_a_file_and_a_heading():
    links = [(name, target) for name, text in TEXT.items() for target in re.findall(r"\]\(([^)\s]+)\)", text)]
    assert links
    for name, target in links:
        if re.match(r"\w+://", target):
            continue
        path, _, fragment = target.partition("#")
        page = (ROOT / name).parent / path if path else ROOT / name
        assert page.exists(), f"{name}: {target}"
        if fragment:
            headings = re.findall(r"^#+ (.*)$", page.read_text(), re.M)
            assert fragment in {anchor(h) for h in headings}, f"{name}: {target}"

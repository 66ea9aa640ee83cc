"""The README's Python blocks run as pasted, and its command lines parse."""

import re
import shlex
from pathlib import Path

import pytest

README = (Path(__file__).resolve().parent.parent / "README.md").read_text()
PY_BLOCKS = re.findall(r"```python\n(.*?)```", README, re.S)


@pytest.mark.parametrize("code", PY_BLOCKS, ids=[f"block{k}" for k in range(len(PY_BLOCKS))])
def test_python_block_runs(code, tmp_path, monkeypatch, capsys):
    if "skimage" in code:
        pytest.importorskip("skimage")
    monkeypatch.chdir(tmp_path)
    exec(compile(code, "README.md", "exec"), {"__name__": "__readme__"})


def test_every_quorvane_command_parses():
    from quorvane_tools.cli import build_parser

    parser = build_parser()
    commands = re.findall(r"^quorvane (\w.*)$", README, re.M)
    assert commands
    for line in commands:
        args = parser.parse_args(shlex.split(line))
        assert callable(args.run)

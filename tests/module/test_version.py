"""One release number for everything: pyproject.toml's version is the
extension's __version__, the companion package's, the installed
distribution's, `quorvane --version` and the changelog's first entry."""

import importlib.metadata
import pathlib
import re

import pytest

import quorvane
import quorvane_tools
from quorvane_tools.cli import main

ROOT = pathlib.Path(__file__).resolve().parents[2]


def source_version():
    """The version line of pyproject.toml, when the tests run from the source tree."""
    path = ROOT / "pyproject.toml"
    if not path.exists():
        return None
    return re.search(r'^version = "([^"]+)"$', path.read_text(), re.M).group(1)


def test_both_packages_report_one_release():
    v = quorvane.__version__
    assert re.fullmatch(r"\d+\.\d+\.\d+((a|b|rc)\d+)?(\.post\d+)?(\.dev\d+)?", v), v
    assert quorvane_tools.__version__ == v
    if (want := source_version()) is not None:
        assert v == want, "the extension was built from another pyproject.toml: rebuild it"


def test_installed_distribution_has_the_version():
    try:
        dist = importlib.metadata.distribution("quorvane")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("quorvane is not installed (the extension comes from a build directory)")
    files = {pathlib.Path(dist.locate_file(f)).resolve() for f in dist.files or ()}
    if pathlib.Path(quorvane.__file__).resolve() not in files:
        pytest.skip("the quorvane imported is not the installed one")
    assert dist.version == quorvane.__version__


def test_command_prints_version_and_kernel(capsys):
    with pytest.raises(SystemExit) as e:
        main(["--version"])
    assert e.value.code == 0
    assert capsys.readouterr().out == (
        f"quorvane {quorvane.__version__} (colour kernel {quorvane.__color_kernel__})\n")


def test_changelog_starts_with_this_release():
    path = ROOT / "CHANGELOG.md"
    if not path.exists():
        pytest.skip("no source tree here")
    first = next(line for line in path.read_text().splitlines() if line.startswith("## "))
    assert first.split()[1] == quorvane.__version__, first

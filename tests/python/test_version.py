"""One version, seen the same way from every side: the package, the command
line (as a console entry point and as `python -m`), and the installed
distribution's metadata when the package runs from a wheel."""

import importlib.metadata
import re
from pathlib import Path

import pytest

import _quillmesh
import quillmesh
from test_cli import run

# A release segment of PEP 440, optionally followed by more.
VERSION = re.compile(r"\d+(\.\d+)*([.+-]?[0-9A-Za-z.]+)?")


def test_package_version_is_a_version():
    assert VERSION.fullmatch(quillmesh.__version__), quillmesh.__version__


def test_python_m_prints_the_package_version():
    done = run("--version")
    assert done.returncode == 0, done.stderr
    assert done.stdout == f"quillmesh {quillmesh.__version__}\n"


def test_console_entry_point_prints_the_package_version(capsys):
    # The `quillmesh` script calls quillmesh.cli:main (pyproject.toml).
    from quillmesh.cli import main

    with pytest.raises(SystemExit) as stop:
        main(["--version"])
    assert stop.value.code == 0
    assert capsys.readouterr().out == f"quillmesh {quillmesh.__version__}\n"


def test_installed_metadata_agrees():
    # From a wheel, the distribution's metadata is written by the build from
    # the same project version; from a source tree there is none to check.
    try:
        dist = importlib.metadata.distribution("quillmesh")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("the package runs from a source tree")
    files = {str(f) for f in dist.files or ()}
    here = Path(quillmesh.__file__).resolve()
    if "quillmesh/__init__.py" not in files or dist.locate_file("quillmesh/__init__.py").resolve() != here:
        pytest.skip("an installed distribution other than the package under test")
    assert dist.version == quillmesh.__version__
    assert "quillmesh/_version.py" in files


def test_extension_gains_no_attribute():
    assert sorted(n for n in vars(_quillmesh) if not n.startswith("__")) == ["PrefixSearch"]

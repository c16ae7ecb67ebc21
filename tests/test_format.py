"""The C++ sources stay clang-format clean."""

import pathlib
import os
import shutil
import subprocess
import sys

import pytest

SOURCES = sorted(
    p for p in (pathlib.Path(__file__).parent.parent / "src").rglob("*") if p.suffix in {".h", ".cpp"}
)


def test_sources_are_formatted() -> None:
    # The tool installed beside this interpreter (a venv need not be on PATH).
    tool = shutil.which("clang-format", path=os.path.dirname(sys.executable)) or shutil.which(
        "clang-format"
    )
    if tool is None:
        pytest.fail("clang-format is not installed (it comes with the test extra)")
    run = subprocess.run(
        [tool, "--dry-run", "--Werror", *map(str, SOURCES)], capture_output=True, text=True
    )
    assert run.returncode == 0, run.stderr[:3000]

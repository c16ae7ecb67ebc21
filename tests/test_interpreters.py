"""The module and the interpreter: first use that comes back into the module from a finalizer, and
sub-interpreters, which share the process's one exception type and so are refused. Each case runs in
a child process with a time limit, so that a deadlock or a crash is a failure with a name."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

REFUSAL = "vorn_native can only be imported in the main interpreter"


def run_child(code: str) -> str:
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr[-4000:]
    return proc.stdout.strip()


# A cycle whose finalizer makes the next cycle and comes back into the module: with a collection at
# every allocation, one runs while the module's first import creates its exception type.
REENTRANT = """
    import gc, importlib.util, sys

    class Again:
        def __init__(self):
            self.me = self

        def __del__(self):
            Again()
            module = sys.modules.get("vorn_native")
            if module is not None and hasattr(module, "loads_binary"):
                try:
                    module.loads_binary(b"")
                except ValueError:
                    pass
            if FRESH_COPY and not getattr(Again, "copied", False):
                Again.copied = True
                found = importlib.util.find_spec("vorn_native")
                copy = importlib.util.module_from_spec(found)
                found.loader.exec_module(copy)

    FRESH_COPY = {fresh}
    Again()
    gc.set_threshold(1)
    import vorn_native
    gc.set_threshold(700)
    try:
        vorn_native.loads_binary(b"")
    except vorn_native.VornError as error:
        assert (error.message, error.offset) == ("not a VORN binary document", 0)
        assert type(error) in ValueError.__subclasses__()
        print("ok")
"""


@pytest.mark.parametrize("fresh", [False, True], ids=["loads_binary", "fresh copy"])
def test_first_import_survives_a_finalizer_that_uses_the_module(fresh: bool) -> None:
    assert run_child(REENTRANT.format(fresh=fresh)) == "ok"


# Runs CODE in a sub-interpreter made by one of the interpreter's own APIs; CODE writes its
# outcome to the file OUT, since the APIs differ in how they report exceptions.
SUBINTERPRETERS = {
    "_testcapi.run_in_subinterp": (None, "import _testcapi; _testcapi.run_in_subinterp(CODE)"),
    "_xxsubinterpreters.create()": (
        (3, 10), "import _xxsubinterpreters as i; i.run_string(i.create(), CODE)"),
    "_xxsubinterpreters.create(isolated=False)": (
        (3, 12), "import _xxsubinterpreters as i; i.run_string(i.create(isolated=False), CODE)"),
    "_interpreters.create('legacy')": (
        (3, 13), "import _interpreters as i; i.exec(i.create('legacy'), CODE)"),
}


def available(name: str, since: tuple[int, int] | None) -> bool:
    module = name.split(".")[0]
    try:
        __import__(module)
    except ImportError:
        return False
    if since is None:
        return True
    # Each spelling of the legacy kind belongs to the versions from `since` until the next one.
    starts = sorted({s for s, _ in SUBINTERPRETERS.values() if s is not None and s[0] == 3})
    later = [s for s in starts if s > since]
    return since <= sys.version_info[:2] and (not later or sys.version_info[:2] < later[0])


CASES = [pytest.param(run, id=name, marks=pytest.mark.skipif(not available(name, since), reason=f"no {name} here"))
         for name, (since, run) in SUBINTERPRETERS.items()]

SUBINTERPRETER_CODE = """
import os, sys, tempfile
out = os.path.join(tempfile.mkdtemp(), "outcome")
CODE = f'''
try:
    import vorn_native
    outcome = "imported"
except ImportError as error:
    outcome = "ImportError: " + str(error)
with open({{out!r}}, "w") as file:
    file.write(outcome)
'''
{run}
with open(out) as file:
    print(file.read())
# The main interpreter imports the module afterwards and raises its own VornError.
import vorn_native
try:
    vorn_native.loads_binary(b"\\x0f\\x01\\x07\\x02\\x80")
except vorn_native.VornError as error:
    assert (error.message, error.offset) == ("truncated input", 4)
    assert vorn_native.VornError in ValueError.__subclasses__()
"""


@pytest.mark.parametrize("run", CASES)
def test_sub_interpreters_refuse_the_module(run: str) -> None:
    assert run_child(SUBINTERPRETER_CODE.format(run=run)) == f"ImportError: {REFUSAL}"


def isolated_run() -> str:
    """The run of CODE in an interpreter of the isolated kind, or a skip where there is none."""
    pytest.importorskip("_xxsubinterpreters" if sys.version_info < (3, 13) else "_interpreters")
    if sys.version_info < (3, 12):
        pytest.skip("sub-interpreters here are all of the legacy kind")
    return ("import _xxsubinterpreters as i; i.run_string(i.create(), CODE)" if sys.version_info < (3, 13)
            else "import _interpreters as i; i.exec(i.create(), CODE)")


def test_isolated_sub_interpreters_refuse_it_too() -> None:
    assert run_child(SUBINTERPRETER_CODE.format(run=isolated_run())).startswith("ImportError: ")


# Each extension module loaded on its own in a sub-interpreter, from its file, so that the package's
# own import of vorn_native does not answer for it; the package itself fails on vorn_native.
# Module -> the module that the refusal names.
MODULES = {"vorn_native": "vorn_native", "vorn._native": "vorn._native", "vorn._arrow": "vorn._arrow",
           "vorn": "vorn_native"}

MODULE_CODE = """
import importlib.machinery, os, sys, tempfile

def located(name):
    # What to import and from which folder: an extension module by its own file name.
    if name == "vorn" or "." not in name:
        return name, None
    package, _, leaf = name.rpartition(".")
    for entry in sys.path:
        folder = os.path.join(entry or ".", package)
        if any(os.path.exists(os.path.join(folder, leaf + suffix)) for suffix in importlib.machinery.EXTENSION_SUFFIXES):
            return leaf, folder
    raise AssertionError("no extension module " + name)

out = os.path.join(tempfile.mkdtemp(), "outcome")
CODE = f'''
NAME, FOLDER = {{located({module!r})!r}}
try:
    import importlib, sys
    if FOLDER is not None:
        sys.path.insert(0, FOLDER)
    importlib.import_module(NAME)
    outcome = "imported"
except ImportError as error:
    outcome = "ImportError: " + str(error)
with open({{out!r}}, "w") as file:
    file.write(outcome)
'''
{run}
with open(out) as file:
    print(file.read())
# Afterwards the main interpreter imports every module and uses each of them.
import vorn, vorn_native
rows = [{{"a": i, "b": str(i)}} for i in range(3)]
assert vorn.loads(vorn.dumps(rows)) == rows
assert vorn.loads_arrow(vorn.dumps(rows)).num_rows == 3
try:
    vorn.loads_arrow(b"\\x0f\\x01\\x07\\x02\\x80")
except vorn.VornError as error:
    assert (error.message, error.offset) == ("truncated input", 4)
    assert vorn.VornError is vorn_native.VornError
"""


@pytest.mark.parametrize("module", list(MODULES))
@pytest.mark.parametrize("run", CASES)
def test_sub_interpreters_refuse_each_extension_module(run: str, module: str) -> None:
    refusal = f"ImportError: {MODULES[module]} can only be imported in the main interpreter"
    assert run_child(MODULE_CODE.format(run=run, module=module)) == refusal


@pytest.mark.parametrize("module", list(MODULES))
def test_isolated_sub_interpreters_refuse_each_extension_module(module: str) -> None:
    assert run_child(MODULE_CODE.format(run=isolated_run(), module=module)).startswith("ImportError: ")

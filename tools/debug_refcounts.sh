#!/usr/bin/env bash
# Builds the extension against a debug build of CPython (Debian's
# python3.11-dbg, which counts every reference: sys.gettotalrefcount) and runs
# the leak tests under it.
#
#   tools/debug_refcounts.sh [pytest arguments...]
#
# By default it runs the leak and fault-injection tests (decoder and encoder): the rest of the suite
# holds too, except tests of the pure-Python encoder's deepest recursion (a
# debug interpreter's frames are larger) and the typing tests (no mypy here).
set -euo pipefail
cd "$(dirname "$0")/.."

PYDBG=${PYDBG:-python3.11-dbg}
VENV=build/venv-dbg

if ! command -v "$PYDBG" >/dev/null || ! "$PYDBG" -c 'import ensurepip' 2>/dev/null; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq python3.11-dbg python3.11-venv python3.11-dev >/dev/null
  else
    echo "debug_refcounts.sh: needs $PYDBG (apt-get install python3.11-dbg python3.11-venv)" >&2
    exit 2
  fi
fi

if [ ! -x "$VENV/bin/python" ]; then
  "$PYDBG" -m venv "$VENV"
fi
export PYTHONWARNINGS=ignore  # the debug interpreter warns about pip's own files
"$VENV/bin/pip" install -q --disable-pip-version-check \
  'scikit-build-core>=0.11' 'cmake>=3.26' 'ninja>=1.10' 'pytest>=7' 'pytest-timeout>=2' 'hypothesis>=6'
# Debian's python3.11d headers are links into the release ones, and Python.h's
# own "pyconfig.h" then resolves to the release configuration (no Py_DEBUG):
# include the debug configuration first so that references are counted.
pyconfig=$("$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_config_h_filename())')
"$VENV/bin/pip" install -q --disable-pip-version-check --no-build-isolation --no-deps --force-reinstall \
  --config-settings=build-dir=build/dbg \
  --config-settings=cmake.define.VORN_WERROR=ON \
  "--config-settings=cmake.define.CMAKE_CXX_FLAGS=-include $pyconfig" \
  .
unset PYTHONWARNINGS
"$VENV/bin/python" - <<'PY'
import sys
import vorn_native
assert hasattr(sys, "gettotalrefcount"), "not a debug interpreter"
# A module built without reference counting drifts by one per decode here.
before = sys.gettotalrefcount()
for _ in range(1000):
    vorn_native.loads_binary(b"\x0f\x01\x00")
assert abs(sys.gettotalrefcount() - before) < 10, "the module does not count its references"
from vorn import _native
before = sys.gettotalrefcount()
for _ in range(1000):
    _native.dumps([1, "ab"])
assert abs(sys.gettotalrefcount() - before) < 10, "the encoder does not count its references"
PY

if [ $# -eq 0 ]; then
  set -- -q tests/test_leaks.py tests/test_leak_sweep.py tests/test_faults.py
fi
exec "$VENV/bin/python" -m pytest -p no:cacheprovider "$@"

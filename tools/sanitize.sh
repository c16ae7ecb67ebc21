#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# (gcc; every report aborts) into its own venv, then runs the whole test suite
# against it. Any sanitizer report fails the run.
#
#   tools/sanitize.sh [pytest arguments...]
#
# The interpreter is not instrumented, so the ASan runtime is preloaded (and
# libstdc++ with it, so that ASan sees C++ exceptions thrown from the start);
# PYTHONMALLOC=malloc sends every Python allocation through ASan's malloc.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
VENV=build/venv-asan
CXX=${CXX:-g++}

if [ ! -x "$VENV/bin/python" ]; then
  "$PYTHON" -m venv "$VENV"
fi
"$VENV/bin/pip" install -q --disable-pip-version-check \
  'scikit-build-core>=0.11' 'cmake>=3.26' 'ninja>=1.10' 'pytest>=7' 'pytest-timeout>=2' 'hypothesis>=6' 'mypy>=1.5' 'clang-format' 'ruff' 'pyarrow'
"$VENV/bin/pip" install -q --disable-pip-version-check --no-build-isolation --no-deps \
  -Cbuild-dir=build/asan \
  -Ccmake.define.VORN_SANITIZE=ON \
  -Ccmake.define.VORN_WERROR=ON \
  -Ccmake.define.CMAKE_CXX_COMPILER="$CXX" \
  --force-reinstall .

asan_runtime=$("$CXX" -print-file-name=libasan.so)
cxx_runtime=$("$CXX" -print-file-name=libstdc++.so.6)
for lib in "$asan_runtime" "$cxx_runtime"; do
  if [ ! -e "$lib" ]; then
    echo "sanitize.sh: runtime not found: $lib" >&2
    exit 2
  fi
done

export LD_PRELOAD="$asan_runtime $cxx_runtime"
export PYTHONMALLOC=malloc
# Leak checking at exit would report the interpreter's own objects: leaks are
# tested by the suite itself (block and reference counts) instead.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export VORN_SANITIZED=1
# A fresh environment for bytecode, so no cached state from the normal venv.
export PYTHONDONTWRITEBYTECODE=1

# Python's streams only are captured: a report that aborts the process is
# written to file descriptor 2, and reaches the log instead of being lost
# with pytest's capture file.
exec "$VENV/bin/python" -m pytest -p no:cacheprovider --capture=sys "$@"

#!/usr/bin/env bash
# Instructions per native encode of one document, counted by callgrind with
# collection switched on only inside the encoder's entry point: start-up,
# imports and reading the JSON are not counted.
#
#   bench/encode_profile.sh [-n LOOPS] [-p] [-t] DOC...
#
# DOC: .json/.ndjson files (default: twitter.json of the shared corpus).
# -p encodes in plain mode (compact=False); -t prints the top functions.
# Function names need an unstripped build: SKBUILD_INSTALL_STRIP=false pip install .
# PYTHON picks the interpreter (default: the checkout's .venv, else python3).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(dirname "$here")"
loops=5
compact=True
top=0
while getopts "n:pth" opt; do
  case "$opt" in
    n) loops="$OPTARG" ;;
    p) compact=False ;;
    t) top=1 ;;
    *) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[[ $# -gt 0 ]] || set -- "$repo/../shared/corpus/twitter.json"
if [[ -n "${PYTHON:-}" ]]; then
  python="$PYTHON"
elif [[ -x "$repo/.venv/bin/python" ]]; then
  python="$repo/.venv/bin/python"
else
  python=python3
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export PYTHONHASHSEED=0 PYTHONDONTWRITEBYTECODE=1
for doc in "$@"; do
  out="$work/callgrind.out"
  valgrind --tool=callgrind --collect-atstart=no --toggle-collect='*encode_value*' \
    --callgrind-out-file="$out" "$python" - "$doc" "$loops" "$compact" "$here" \
    2>"$work/valgrind.log" <<'PY' || { cat "$work/valgrind.log" >&2; exit 1; }
import gc, sys
from pathlib import Path
sys.path.insert(0, sys.argv[4])
from documents import read_json_file
import vorn
value = read_json_file(Path(sys.argv[1]))
compact = sys.argv[3] == "True"
gc.collect()
gc.disable()
for _ in range(int(sys.argv[2])):
    vorn.dumps(value, compact=compact)
PY
  total="$(awk '/^(summary|totals):/ { print $2; exit }' "$out")"
  printf '%-28s %s %14.0f instructions per encode\n' "$(basename "$doc")" \
    "$([[ $compact == True ]] && echo compact || echo plain)" "$((total / loops))"
  if [[ "$top" == 1 ]]; then
    callgrind_annotate --inclusive=no --threshold=98 "$out" 2>/dev/null | sed -n '/^Ir/,$p' | head -30
  fi
done

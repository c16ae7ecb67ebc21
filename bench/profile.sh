#!/usr/bin/env bash
# Instructions per decode of one document, counted by callgrind: repeatable
# where wall-clock timings are not.
#
#   bench/profile.sh [-n LOOPS] [-d DECODER] [-r ROWS] [-k DIR] [-t] [DOC]
#
# DOC: a .json/.ndjson file (default: twitter.json of the shared corpus), or
# records-optional / records-dense (a generated table of ROWS rows, default
# 10000). DECODER: vorn-compact (default), vorn-plain, marshal, pickle, json,
# orjson, msgpack, ormsgpack, cbor2, pyarrow. The document is encoded once
# outside valgrind; then two processes run under callgrind, one that decodes
# it once (start-up, imports, warm-up) and one that decodes it 1 + LOOPS
# times. Their difference divided by LOOPS is one decode.
# -k DIR keeps the callgrind outputs there; -t prints the top functions of
# the looping run (callgrind_annotate, exclusive cost).
# PYTHON picks the interpreter (default: the checkout's .venv, else python3).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(dirname "$here")"
loops=20
decoder=vorn-compact
rows=10000
keep=""
top=0
while getopts "n:d:r:k:th" opt; do
  case "$opt" in
    n) loops="$OPTARG" ;;
    d) decoder="$OPTARG" ;;
    r) rows="$OPTARG" ;;
    k) keep="$OPTARG" ;;
    t) top=1 ;;
    *) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
doc="${1:-$repo/../shared/corpus/twitter.json}"

if [[ -n "${PYTHON:-}" ]]; then
  python="$PYTHON"
elif [[ -x "$repo/.venv/bin/python" ]]; then
  python="$repo/.venv/bin/python"
else
  python=python3
fi
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }
[[ "$loops" =~ ^[1-9][0-9]*$ ]] || { echo "-n wants a positive count" >&2; exit 2; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
out="${keep:-$work}"
mkdir -p "$out"

"$python" "$here/decode_loop.py" prepare "$doc" "$work/input.bin" --decoder "$decoder" --rows "$rows"

# Same hash seed in both runs, so that dict and set layouts match.
export PYTHONHASHSEED=0 PYTHONDONTWRITEBYTECODE=1
count() {  # count LOOPS: total instructions of a run that decodes 1 + LOOPS times
  local n="$1"
  local file="$out/callgrind.$decoder.$n.out"
  valgrind --tool=callgrind --callgrind-out-file="$file" \
    "$python" "$here/decode_loop.py" run "$work/input.bin" "$n" --decoder "$decoder" \
    2>"$out/valgrind.$n.log" || { cat "$out/valgrind.$n.log" >&2; exit 1; }
  awk '/^(summary|totals):/ { print $2; exit }' "$file"
}

base="$(count 0)"
looped="$(count "$loops")"
bytes="$(stat -c %s "$work/input.bin")"

report_args=("$base" "$looped" "$loops" "$bytes" "$decoder" "$doc")
if [[ "$top" == 1 ]]; then
  for n in 0 "$loops"; do
    callgrind_annotate --inclusive=no --threshold=100 "$out/callgrind.$decoder.$n.out" \
      >"$out/annotate.$n.txt" 2>/dev/null
  done
  report_args+=("$out/annotate.0.txt" "$out/annotate.$loops.txt")
fi

"$python" - "${report_args[@]}" <<'EOF'
import re
import sys

base, looped, loops, size = (int(x) for x in sys.argv[1:5])
decoder, doc = sys.argv[5:7]
per = (looped - base) / loops
print(f"document:            {doc}")
print(f"decoder:             {decoder} ({size:,} input bytes)")
print(f"setup + 1 decode:    {base:,} instructions")
print(f"setup + {1 + loops} decodes:  {looped:,} instructions")
print(f"per decode:          {per:,.0f} instructions ({per / size:.2f} per input byte)")

if len(sys.argv) > 7:
    # The two runs' difference per function: where one decode's
    # instructions go (exclusive counts).
    line = re.compile(r"^\s*([\d,]+) \([^)]*\)\s+(.*?)(?: \[[^\]]*\])?$")

    def functions(path):
        costs = {}
        for text in open(path, encoding="utf-8", errors="replace"):
            found = line.match(text)
            if found and "PROGRAM TOTALS" not in found.group(2):
                name = found.group(2).rsplit("/", 1)[-1]
                costs[name] = costs.get(name, 0) + int(found.group(1).replace(",", ""))
        return costs

    before, after = functions(sys.argv[7]), functions(sys.argv[8])
    diff = {name: (after.get(name, 0) - before.get(name, 0)) / loops for name in after}
    print("\ntop functions, instructions per decode:")
    for name, cost in sorted(diff.items(), key=lambda item: -item[1])[:25]:
        if cost <= 0:
            break
        print(f"{cost:14,.0f}  {100 * cost / per:5.1f}%  {name}")
EOF

#!/usr/bin/env python3
"""Helper of profile.sh: encode one document to a file, then decode it in a loop.

    decode_loop.py prepare DOC OUT [--decoder NAME] [--rows N]
        DOC is a .json/.ndjson file, or `records-optional` / `records-dense`
        (a generated table of --rows rows). Writes the decoder's input to OUT.
    decode_loop.py run FILE LOOPS [--decoder NAME]
        Reads FILE, decodes it once (warm-up), then LOOPS more times.

Two `run`s that differ only in LOOPS differ only by LOOPS decodes: under
callgrind, the difference of their instruction counts divided by LOOPS is
the cost of one decode, free of interpreter start-up and imports.
"""

from __future__ import annotations

import argparse
import gc
import importlib
import sys
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent


def contender(name: str):
    """The benchmark's contender (encoder and decoder) of that name."""
    sys.path.insert(0, str(BENCH_DIR))
    from contenders import CONTENDER_NAMES, Contender, all_contenders

    if name not in CONTENDER_NAMES:
        sys.exit(f"unknown decoder {name!r}; one of {', '.join(CONTENDER_NAMES)}")
    found = all_contenders({name})[0]
    if not isinstance(found, Contender):
        sys.exit(f"{name}: {found.reason}")
    return found


def prepare(args: argparse.Namespace) -> None:
    encode = contender(args.decoder).encode
    from documents import densify, generate_records, read_json_file

    if args.doc in ("records-optional", "records-dense"):
        value = generate_records(args.rows)
        if args.doc == "records-dense":
            value = densify(value)
    else:
        value = read_json_file(Path(args.doc))
    payload = encode(value)
    Path(args.out).write_bytes(memoryview(payload))
    print(f"{args.decoder} input: {memoryview(payload).nbytes:,} bytes", file=sys.stderr)


# The decoders by module and function, imported alone so that the set-up
# around the loop stays small.
DECODERS = {
    "vorn-compact": ("vorn_native", "loads_binary"),
    "vorn-plain": ("vorn_native", "loads_binary"),
    "marshal": ("marshal", "loads"),
    "pickle": ("pickle", "loads"),
    "json": ("json", "loads"),
    "orjson": ("orjson", "loads"),
    "msgpack": ("msgpack", "unpackb"),
    "ormsgpack": ("ormsgpack", "unpackb"),
    "cbor2": ("cbor2", "loads"),
}


def decoder_function(name: str):
    if name == "pyarrow":
        import pyarrow.ipc

        return lambda data: pyarrow.ipc.open_stream(data).read_all().to_pylist()
    if name not in DECODERS:
        sys.exit(f"unknown decoder {name!r}; one of {', '.join([*DECODERS, 'pyarrow'])}")
    module, function = DECODERS[name]
    return getattr(importlib.import_module(module), function)


def run(args: argparse.Namespace) -> None:
    decode = decoder_function(args.decoder)
    data = Path(args.file).read_bytes()
    decode(data)
    # As in the timed benchmark, the collector stays out of the loop.
    gc.collect()
    gc.disable()
    for _ in range(args.loops):
        decode(data)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    p = commands.add_parser("prepare")
    p.add_argument("doc")
    p.add_argument("out")
    p.add_argument("--decoder", default="vorn-compact")
    p.add_argument("--rows", type=int, default=100_000)
    r = commands.add_parser("run")
    r.add_argument("file")
    r.add_argument("loops", type=int)
    r.add_argument("--decoder", default="vorn-compact")
    args = parser.parse_args()
    prepare(args) if args.command == "prepare" else run(args)


if __name__ == "__main__":
    main()

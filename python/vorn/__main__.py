"""Command line: convert between VORN documents and JSON.

    vorn decode IN [-o OUT] [--indent N]   VORN to JSON
    vorn encode IN.json [-o OUT] [--plain] JSON to VORN

`-` stands for standard input or output (the default output). Exit status: 0
on success, 1 when the input cannot be converted or a file cannot be read or
written (a message on standard error, for a VORN document with a hex dump
around the failing offset), 2 for bad usage.
"""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any, BinaryIO, NoReturn, Sequence

from vorn_native import VornError, loads_binary

from vorn import dumps

PROG = "vorn"


class _Failure(Exception):
    """A failure the user can cause: its text is printed as is, exit status 1."""


def hex_dump(data: bytes, offset: int, context: int = 16) -> str:
    """The rows of 16 bytes around `offset`, with a caret under that byte.

    An offset at the end of the input is marked just past the last byte.
    """
    first = max(0, offset - context) // 16 * 16
    end = max(min(len(data), offset + context + 1), offset + 1)
    lines = []
    for start in range(first, end, 16):
        chunk = data[start : start + 16]
        hexes = " ".join(f"{b:02x}" for b in chunk)
        text = "".join(chr(b) if 0x20 <= b < 0x7F else "." for b in chunk)
        lines.append(f"  {start:08x}  {hexes:<47}  |{text}|")
        if start <= offset < start + 16:
            lines.append(" " * (12 + 3 * (offset - start)) + "^^")
    if offset >= len(data):
        lines.append(f"  (offset {offset} is the end of the input)")
    return "\n".join(lines)


def _read(path: str) -> bytes:
    if path == "-":
        return sys.stdin.buffer.read()
    try:
        with open(path, "rb") as file:
            return file.read()
    except OSError as error:
        raise _Failure(f"{PROG}: cannot read {path}: {error.strerror or error}") from None


def _write(path: str, data: bytes) -> None:
    if path == "-":
        out: BinaryIO = sys.stdout.buffer
        out.write(data)
        out.flush()
        return
    try:
        with open(path, "wb") as file:
            file.write(data)
    except OSError as error:
        raise _Failure(f"{PROG}: cannot write {path}: {error.strerror or error}") from None


def _refuse_constant(name: str) -> NoReturn:
    raise ValueError(f"{name} is not a JSON number and cannot be encoded")


def decode(source: str, target: str, indent: int | None) -> None:
    """Decode the VORN document at `source` and write it as JSON to `target`."""
    data = _read(source)
    try:
        value = loads_binary(data)
    except VornError as error:
        raise _Failure(f"{error}\n{hex_dump(data, error.offset)}") from None
    separators = (",", ": ") if indent is not None else (",", ":")
    try:
        text = json.dumps(value, ensure_ascii=False, indent=indent, separators=separators)
    except RecursionError:
        raise _Failure(f"{PROG}: the decoded value nests too deeply to be written as JSON") from None
    _write(target, text.encode("utf-8") + b"\n")


def encode(source: str, target: str, plain: bool) -> None:
    """Encode the JSON document at `source` and write it as VORN to `target`."""
    data = _read(source)
    try:
        value = json.loads(data, parse_constant=_refuse_constant)
    except RecursionError:
        raise _Failure(f"{PROG}: invalid JSON: nests too deeply to be read") from None
    except ValueError as error:  # JSONDecodeError, UnicodeDecodeError, NaN, huge ints
        raise _Failure(f"{PROG}: invalid JSON: {error}") from None
    try:
        document = dumps(value, compact=not plain)
    except (TypeError, ValueError, OverflowError) as error:
        raise _Failure(f"{PROG}: cannot encode: {error}") from None
    _write(target, document)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description="Convert between VORN documents and JSON.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    dec = commands.add_parser("decode", help="decode a VORN document to JSON")
    dec.add_argument("input", metavar="IN", help="VORN document, or - for standard input")
    dec.add_argument("-o", "--output", metavar="OUT", default="-", help="JSON output (default: standard output)")
    dec.add_argument("--indent", metavar="N", type=_indent, help="indent JSON by N spaces (default: one line)")
    enc = commands.add_parser("encode", help="encode a JSON document as VORN")
    enc.add_argument("input", metavar="IN.json", help="JSON document, or - for standard input")
    enc.add_argument("-o", "--output", metavar="OUT", default="-", help="VORN output (default: standard output)")
    enc.add_argument("--plain", action="store_true", help="write only plain values, lists and objects")
    return parser


def _indent(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"not a count of spaces: {text!r}")
    return value


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    args: Any = _parser().parse_args(argv)
    try:
        if args.command == "decode":
            decode(args.input, args.output, args.indent)
        else:
            encode(args.input, args.output, args.plain)
    except _Failure as failure:
        print(failure, file=sys.stderr)
        return 1
    except BrokenPipeError:
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

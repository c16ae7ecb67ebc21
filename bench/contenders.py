"""The decoders compared, each with the encoder that makes its input."""

from __future__ import annotations

import importlib
import json
import marshal
import os
import pickle
import sys
from dataclasses import dataclass
from importlib import metadata
from typing import Any, Callable

from documents import REPO_DIR

BASELINE = "marshal"


@dataclass
class Contender:
    name: str
    call: str  # what is timed, as a user would write it
    encode: Callable[[Any], Any]
    decode: Callable[[Any], Any]
    package: str  # where the decoder comes from, for the versions line
    version: str
    tables_only: bool = False  # only for tables whose rows all have every key
    integral_floats_as_ints: bool = False  # VORN's one change to values


@dataclass
class Unavailable:
    name: str
    reason: str


def _version(distribution: str) -> str:
    try:
        return metadata.version(distribution)
    except metadata.PackageNotFoundError:
        return "?"


def import_vorn():
    """The encoder of this checkout (python/vorn) when its native module is built there, else the
    installed package (the native encoder only exists where it was built and installed).

    An explicit PYTHONPATH is left to decide.
    """
    source = REPO_DIR / "python"
    if os.environ.get("PYTHONPATH"):
        return importlib.import_module("vorn")
    built_here = any((source / "vorn").glob("_native*.so"))
    if built_here and str(source) not in sys.path:
        sys.path.insert(0, str(source))
    return importlib.import_module("vorn")


def _vorn() -> list[Contender | Unavailable]:
    names = ("vorn-compact", "vorn-plain")
    try:
        import vorn_native

        vorn = import_vorn()
    except ImportError as error:
        return [Unavailable(n, f"not importable ({error})") for n in names]
    dumps = getattr(vorn, "dumps", None)
    if dumps is None:
        return [Unavailable(n, f"vorn.dumps is missing ({vorn.__file__})") for n in names]
    version = _version("vorn_native")

    def compact(value: Any) -> bytes:
        return dumps(value, compact=True)

    def plain(value: Any) -> bytes:
        return dumps(value, compact=False)

    loads = vorn_native.loads_binary
    call = "vorn_native.loads_binary"
    return [
        Contender("vorn-compact", call, compact, loads, "vorn_native", version, integral_floats_as_ints=True),
        Contender("vorn-plain", call, plain, loads, "vorn_native", version, integral_floats_as_ints=True),
    ]


def _stdlib() -> list[Contender]:
    version = sys.version.split()[0]
    python = "CPython" if sys.implementation.name == "cpython" else sys.implementation.name

    def json_dumps(value: Any) -> bytes:
        return json.dumps(value, ensure_ascii=False, separators=(",", ":")).encode()

    def pickle_dumps(value: Any) -> bytes:
        return pickle.dumps(value, protocol=5)

    return [
        Contender("marshal", "marshal.loads", marshal.dumps, marshal.loads, python, version),
        Contender("pickle", "pickle.loads (protocol 5)", pickle_dumps, pickle.loads, python, version),
        Contender("json", "json.loads", json_dumps, json.loads, python, version),
    ]


def _peer(name: str, build: Callable[[], Contender]) -> Contender | Unavailable:
    try:
        return build()
    except ImportError as error:
        return Unavailable(name, f"not installed ({error}); pip install '.[bench]'")


def _orjson() -> Contender:
    import orjson

    return Contender("orjson", "orjson.loads", orjson.dumps, orjson.loads, "orjson", _version("orjson"))


def _msgpack() -> Contender:
    import msgpack

    return Contender(
        "msgpack", "msgpack.unpackb", msgpack.packb, msgpack.unpackb, "msgpack", _version("msgpack")
    )


def _ormsgpack() -> Contender:
    import ormsgpack

    return Contender(
        "ormsgpack", "ormsgpack.unpackb", ormsgpack.packb, ormsgpack.unpackb, "ormsgpack", _version("ormsgpack")
    )


def _cbor2() -> Contender:
    import cbor2

    return Contender("cbor2", "cbor2.loads", cbor2.dumps, cbor2.loads, "cbor2", _version("cbor2"))


def _pyarrow() -> Contender:
    import pyarrow as pa
    import pyarrow.ipc

    def encode(rows: Any) -> Any:
        table = pa.Table.from_pylist(rows)
        sink = pa.BufferOutputStream()
        with pa.ipc.new_stream(sink, table.schema) as writer:
            writer.write_table(table)
        return sink.getvalue()

    def decode(buffer: Any) -> Any:
        return pa.ipc.open_stream(buffer).read_all().to_pylist()

    return Contender(
        "pyarrow",
        "pyarrow IPC stream read + Table.to_pylist()",
        encode,
        decode,
        "pyarrow",
        _version("pyarrow"),
        tables_only=True,
    )


def all_contenders(wanted: set[str] | None = None) -> list[Contender | Unavailable]:
    """The contenders named in `wanted` (all when None); peers are imported only when wanted."""
    Group = Callable[[], "list[Contender | Unavailable]"]
    groups: list[tuple[tuple[str, ...], Group]] = [
        (("vorn-compact", "vorn-plain"), _vorn),
        (("marshal", "pickle", "json"), lambda: list[Contender | Unavailable](_stdlib())),
    ]
    peers: list[tuple[str, Callable[[], Contender]]] = [
        ("orjson", _orjson),
        ("msgpack", _msgpack),
        ("ormsgpack", _ormsgpack),
        ("cbor2", _cbor2),
        ("pyarrow", _pyarrow),
    ]
    for peer, make in peers:
        groups.append(((peer,), lambda peer=peer, make=make: [_peer(peer, make)]))  # type: ignore[misc]
    found: list[Contender | Unavailable] = []
    for names, build in groups:
        if wanted is None or wanted.intersection(names):
            found.extend(c for c in build() if wanted is None or c.name in wanted)
    return found


CONTENDER_NAMES = (
    "vorn-compact",
    "vorn-plain",
    "marshal",
    "pickle",
    "json",
    "orjson",
    "msgpack",
    "ormsgpack",
    "cbor2",
    "pyarrow",
)


def encoded_size(payload: Any) -> int:
    return memoryview(payload).nbytes

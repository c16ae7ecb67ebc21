"""(name, bytes) documents, valid and invalid, grouped by the decoder readers they reach: for the
robustness tests (faults, leaks, threads) and as fuzzer seeds."""

from __future__ import annotations

import struct

from support import HEADER, bitmap, string_item, varint, zigzag

def none() -> bytes:
    return b"\x00"


def boolean(flag: bool) -> bytes:
    return b"\x02" if flag else b"\x01"


def integer(value: int) -> bytes:
    if 0 <= value < 128:
        return bytes([0x80 | value])
    return b"\x03" + zigzag(value)


def floating(value: float) -> bytes:
    return b"\x04" + struct.pack("<d", value)


def string(text: str) -> bytes:
    return string_item(text)


def long_string(text: str) -> bytes:
    raw = text.encode("utf-8")
    return b"\x05" + varint(len(raw)) + raw


def string_ref(index: int) -> bytes:
    return b"\x06" + varint(index)


def lst(*items: bytes) -> bytes:
    return b"\x07" + varint(len(items)) + b"".join(items)


def obj(*pairs: tuple[bytes, bytes]) -> bytes:
    return b"\x08" + varint(len(pairs)) + b"".join(k + v for k, v in pairs)


def anchor(value: bytes) -> bytes:
    return b"\x0a" + value


def ref(number: int) -> bytes:
    return b"\x0b" + varint(number)


def keys(*names: str) -> bytes:
    return varint(len(names)) + b"".join(string_item(n) for n in names)


def row_table(names: list[str], rows: int, *columns: bytes) -> bytes:
    return b"\x09" + keys(*names) + varint(rows) + b"".join(columns)


def column_table(names: list[str], rows: int, *columns: bytes) -> bytes:
    return b"\x0d" + keys(*names) + varint(rows) + b"".join(columns)


def full(body: bytes) -> bytes:
    return b"\x00" + body


def present(bits: list[int], body: bytes) -> bytes:
    return b"\x01" + bitmap(bits) + body


def typed(count: int, body: bytes) -> bytes:
    return b"\x0c" + varint(count) + body


def values_col(*items: bytes) -> bytes:
    return b"\x00" + b"".join(items)


def delta_col(*deltas: int) -> bytes:
    return b"\x01" + b"".join(zigzag(d) for d in deltas)


def decimal_col(scale: int, *mantissas: int) -> bytes:
    return b"\x02" + bytes([scale]) + b"".join(zigzag(m) for m in mantissas)


def dict_col(entries: list[bytes], *indexes: int) -> bytes:
    return b"\x03" + varint(len(entries)) + b"".join(entries) + b"".join(map(varint, indexes))


def bool_col(*bits: int) -> bytes:
    return b"\x04" + bitmap(list(bits))


def object_col(names: list[str], *columns: bytes) -> bytes:
    return b"\x05" + keys(*names) + b"".join(columns)


def doc(body: bytes) -> bytes:
    return HEADER + body


def object_column_tower(levels: int, rows: int) -> bytes:
    """A typed list of `rows` dicts: `levels` column bodies, ObjectColumns of one key around a Booleans column."""
    body = bool_col(*([1] * rows))
    for _ in range(levels - 1):
        body = object_col(["k"], body)
    return typed(rows, body)


def nested_lists(depth: int, inner: bytes = b"\x00") -> bytes:
    """`depth` lists around `inner`: the inner value stands at `depth`."""
    return b"\x07\x01" * depth + inner


SCALARS = [
    ("none", doc(none())),
    ("false", doc(boolean(False))),
    ("true", doc(boolean(True))),
    ("small-int", doc(integer(127))),
    ("int-negative", doc(integer(-5))),
    ("int-min", doc(integer(-(2**63)))),
    ("int-max", doc(integer(2**63 - 1))),
    ("float-integral", doc(floating(3.0))),
    ("float-fraction", doc(floating(-2.5))),
    ("float-big", doc(floating(2.0**60))),
    ("short-string", doc(string("héllo"))),
    ("long-string", doc(long_string("x" * 40 + "€"))),
    ("empty-string", doc(string(""))),
]

STRINGS_AND_LISTS = [
    ("list-mixed", doc(lst(integer(1), string("ab"), string_ref(0), none(), floating(0.5)))),
    ("list-nested", doc(lst(lst(lst(string("deep"))), lst(), lst(boolean(True))))),
    ("list-refs", doc(lst(string("ab"), string("cd"), string_ref(1), string_ref(0)))),
]

OBJECTS = [
    ("object-flat", doc(obj((string("a"), integer(1)), (string("bb"), string("xy"))))),
    ("object-nested", doc(obj((string("k1"), obj((string("k2"), lst(integer(3), none())))), (string_ref(1), none())))),
    ("object-empty", doc(obj())),
    ("object-long-key", doc(obj((long_string("k" * 40), integer(2)), (string("z"), string_ref(0))))),
]

ANCHORS = [
    ("anchor-string", doc(lst(anchor(string("a")), ref(0)))),
    ("anchor-list", doc(lst(anchor(lst(integer(0))), ref(0), ref(0)))),
    ("anchor-dict", doc(lst(anchor(obj((string("k"), lst(integer(1), integer(2))), (string("m"), obj()))), ref(0)))),
    ("anchor-nested", doc(lst(anchor(lst(anchor(string("a")))), ref(1), ref(0)))),
    ("anchor-chain",
     doc(lst(anchor(lst(integer(1))), anchor(lst(ref(0), ref(0))), anchor(obj((string("x"), ref(1)))), ref(2)))),
]

COLUMNS = [
    ("typed-values", doc(typed(3, values_col(integer(1), string("ab"), lst(none()))))),
    ("typed-delta", doc(typed(4, delta_col(5, -2, 10, 2**62)))),
    ("typed-delta-wrap", doc(typed(2, delta_col(2**63 - 1, 1)))),
    ("typed-decimal-0", doc(typed(2, decimal_col(0, 2**60, -3)))),
    ("typed-decimal-1", doc(typed(3, decimal_col(1, 150, -142, 155)))),
    ("typed-decimal-big", doc(typed(2, decimal_col(3, 10**16 + 7, -(10**17))))),
    ("typed-dict", doc(typed(4, dict_col([string("xy"), string("z"), string_ref(0)], 0, 1, 2, 0)))),
    ("typed-bool", doc(typed(11, bool_col(1, 0, 1, 1, 0, 0, 0, 1, 1, 0, 1)))),
    ("typed-empty-dict", doc(typed(0, dict_col([])))),
    ("typed-object-column", doc(typed(3, object_col(["a", "bb"], bool_col(1, 0, 1), delta_col(1, 1, 1))))),
    ("typed-object-nested", doc(typed(2, object_col(
        ["o"], object_col(["p", "q"], values_col(string("s1"), none()), decimal_col(2, 150, 5)))))),
]

TABLES = [
    ("row-table", doc(row_table(
        ["id", "name", "ok", "score"], 3, delta_col(1, 1, 1), dict_col([string("ann"), string("bob")], 0, 1, 0),
        bool_col(1, 0, 1), decimal_col(1, 10, 25, -3)))),
    ("row-table-values", doc(row_table(["v"], 2, values_col(lst(string("vv")), obj((string("k"), string_ref(0))))))),
    ("column-table", doc(column_table(
        ["a", "b", "c"], 5, full(delta_col(1, 2, 3, 4, 5)), present([1, 0, 1, 0, 0], values_col(string("x1"), string_ref(0))),
        present([0, 0, 0, 0, 1], object_col(["n"], bool_col(1)))))),
    ("column-table-sparse", doc(column_table(["a"], 9, present([0] * 8 + [1], dict_col([string("only")], 0))))),
    ("row-table-17-keys", doc(row_table([f"k{i}" for i in range(17)], 1, *[bool_col(i % 2) for i in range(17)]))),
    ("table-in-table", doc(row_table(["t"], 1, values_col(column_table(["a"], 1, full(bool_col(1))))))),
]

ERRORS = [
    ("err-empty", b""),
    ("err-magic", b"\x0e\x01\x00"),
    ("err-version", b"\x0f\x02\x00"),
    ("err-truncated", doc(b"")),
    ("err-trailing", doc(lst(string("ab")) + b"\x00")),
    ("err-bad-tag", doc(lst(b"\x0e"))),
    ("err-varint-overflow", doc(b"\x03" + b"\xff" * 9 + b"\x02")),
    ("err-utf8", doc(lst(string("ab"), b"\x42\xff\xfe"))),
    ("err-float-nan", doc(b"\x04" + struct.pack("<d", float("nan")))),
    ("err-string-ref", doc(lst(string("ab"), string_ref(1)))),
    ("err-object-dup", doc(obj((string("ab"), none()), (string_ref(0), none())))),
    ("err-object-key", doc(obj((integer(1), none())))),
    ("err-anchor-ref", doc(lst(anchor(lst(ref(0)))))),
    ("err-anchor-missing", doc(lst(anchor(string("ab")), ref(1)))),
    ("err-column-dup", doc(row_table(["a", "a"], 0))),
    ("err-column-dup-17", doc(row_table([f"k{i}" for i in range(16)] + ["k3"], 0))),
    ("err-object-column-dup", doc(typed(1, object_col(["ab", "cd", "ab"])))),
    ("err-empty-header", doc(b"\x09\x00")),
    ("err-empty-object-column", doc(typed(0, b"\x05\x00"))),
    ("err-decimal-scale", doc(typed(1, b"\x02\x07\x00"))),
    ("err-column-kind", doc(typed(0, b"\x06"))),
    ("err-dict-index", doc(typed(2, dict_col([string("ab")], 0, 1)))),
    ("err-presence-flag", doc(column_table(["a"], 1, b"\x02"))),
    ("err-presence-bitmap", doc(column_table(["a"], 3, b"\x01\x09" + bool_col(1)))),
    ("err-rows-truncated", doc(row_table(["a"], 17, b"\x04\x01"))),
    ("err-typed-late", doc(typed(3, values_col(integer(1), string("ab"), b"\x0e")))),
    ("err-table-late",
     doc(row_table(["a", "b"], 2, delta_col(1, 1), values_col(obj((string("k"), none())), b"\x0e")))),
    ("err-column-table-late",
     doc(column_table(["a", "b"], 2, full(bool_col(1, 1)), present([0, 1], object_col(["x"], b"\x09"))))),
    ("err-nesting", doc(nested_lists(513))),
]

TRUNCATED = [
    (f"{name}[:{n}]", data[:n])
    for name, data in OBJECTS + ANCHORS + COLUMNS + TABLES
    for n in range(2, len(data))
]

GROUPS = {
    "scalars": SCALARS,
    "strings-and-lists": STRINGS_AND_LISTS,
    "objects": OBJECTS,
    "anchors": ANCHORS,
    "columns": COLUMNS,
    "tables": TABLES,
    "errors": ERRORS,
    "truncated": TRUNCATED,
}

ALL = [entry for group in GROUPS.values() for entry in group]

VALID = SCALARS + STRINGS_AND_LISTS + OBJECTS + ANCHORS + COLUMNS + TABLES


def prefixes(data: bytes) -> list[bytes]:
    return [data[:n] for n in range(len(data))]


def byte_strings(obj: object, depth: int = 0):
    if depth > 6:
        return
    if isinstance(obj, (bytes, bytearray)):
        yield bytes(obj)
    elif isinstance(obj, (list, tuple, set, frozenset)):
        for item in obj:
            yield from byte_strings(item, depth + 1)
    elif isinstance(obj, dict):
        for item in obj.values():
            yield from byte_strings(item, depth + 1)
    elif hasattr(obj, "values") and hasattr(obj, "id") and hasattr(obj, "marks"):  # pytest.param
        yield from byte_strings(obj.values, depth + 1)


def from_test_tables(max_length: int = 1 << 16) -> list[bytes]:
    """Every byte string, once each, in the test modules' module-level values and parametrize arguments."""
    import importlib
    from pathlib import Path

    seen: dict[bytes, None] = {}
    for path in sorted(Path(__file__).resolve().parent.glob("test_*.py")):
        try:
            module = importlib.import_module(path.stem)
        except Exception:  # noqa: BLE001 - a module that cannot import has no tables to give
            continue
        for value in list(vars(module).values()):
            found = list(byte_strings(value))
            for mark in getattr(value, "pytestmark", []):
                if mark.name == "parametrize" and len(mark.args) > 1:
                    found += byte_strings(mark.args[1])
            for data in found:
                if len(data) <= max_length:
                    seen.setdefault(data, None)
    return list(seen)

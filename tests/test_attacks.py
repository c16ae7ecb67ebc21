"""Hostile documents decode or fail exactly, within the budgets. Heavy cases run in a child whose allocations
fail past a limit derived from the input and the budgets: excess work ends in MemoryError, no timing."""

from __future__ import annotations

import json
import subprocess
import sys
import textwrap
import unicodedata
from pathlib import Path

import pytest

import catalogue as d
import vorn_native
from support import HEADER, decode_error, string_item, varint

HERE = Path(__file__).resolve().parent
REFERENCE_BUDGET = 16_777_216
SIZE_BUDGET_BASE = 4_194_304


def size_budget(data: bytes) -> int:
    return 32 * len(data) + SIZE_BUDGET_BASE


CHILD = textwrap.dedent(
    """
    import json, sys
    import _testcapi, vorn_native
    data = sys.stdin.buffer.read()
    limit = int(sys.argv[1])
    loads, set_nomemory, remove = vorn_native.loads_binary, _testcapi.set_nomemory, _testcapi.remove_mem_hooks
    try:
        set_nomemory(limit, 0)
        value = loads(data)
    except BaseException as exc:
        remove()
        if isinstance(exc, vorn_native.VornError):
            out = {"kind": "error", "message": exc.message, "offset": exc.offset}
        else:
            out = {"kind": type(exc).__name__}
    else:
        remove()
        out = {"kind": "value", "type": type(value).__name__, "length": len(value)}
    print(json.dumps(out))
    """
)


def decode_within(data: bytes, allocations: int) -> dict:
    pytest.importorskip("_testcapi")
    proc = subprocess.run([sys.executable, "-c", CHILD, str(allocations)], input=data, capture_output=True, timeout=600)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")[-4000:]
    return json.loads(proc.stdout)


def allocation_limit(data: bytes) -> int:
    # Two allocations per budget unit (a container and its storage), plus some per input byte.
    return 2 * (size_budget(data) + REFERENCE_BUDGET) + 16 * len(data) + 1000


def doubling_bomb(container: str, levels: int) -> tuple[bytes, int]:
    """Anchor k holds two references to anchor k - 1; also the offset just past the first unpaid one."""

    def pair(a: bytes, b: bytes) -> bytes:
        return d.lst(a, b) if container == "list" else d.obj((d.string("a"), a), (d.string("b"), b))

    body = bytearray(b"\x07" + varint(levels + 1))
    body += d.anchor(pair(d.none(), d.none()))
    budget, cost, failing_at = REFERENCE_BUDGET, 3, None
    for k in range(levels):
        body += b"\x0a\x07\x02" if container == "list" else b"\x0a\x08\x02"
        for index in range(2):
            body += (d.string("ab"[index]) if container == "dict" else b"") + d.ref(k)
            budget -= cost
            if budget < 0 and failing_at is None:
                failing_at = len(HEADER) + len(body)
        cost = 3 + 2 * cost
    assert failing_at is not None
    return d.doc(bytes(body)), failing_at


@pytest.mark.parametrize("container", ["list", "dict"])
def test_doubling_reference_bombs_stop_at_the_budget(container: str) -> None:
    data, failing_at = doubling_bomb(container, 40)
    assert len(data) < 500
    outcome = decode_within(data, allocation_limit(data))
    assert outcome == {"kind": "error", "message": "reference expansion too large", "offset": failing_at}


BITMAP_BYTES = 1 << 17


@pytest.mark.parametrize(
    ("extra", "expected"),
    [
        (0, None),  # 8 items per bitmap byte: the longest list the bytes allow
        (1, ("truncated input", "bitmap")),  # passes the count test, bitmap short
        (8, ("truncated input", "bitmap")),
        (9, ("truncated input", "count")),  # more than 8 per remaining byte
    ],
)
def test_maximal_boolean_typed_list(extra: int, expected: tuple[str, str] | None) -> None:
    count = 8 * BITMAP_BYTES + extra
    bits = bytes([0b10100101]) * BITMAP_BYTES
    head = HEADER + b"\x0c" + varint(count)
    data = head + b"\x04" + bits
    if expected is None:
        value = vorn_native.loads_binary(data)
        assert len(value) == count and sum(value) == count // 2
        assert value[:8] == [True, False, True, False, False, True, False, True]
        assert {id(x) for x in value} == {id(True), id(False)}
    else:
        assert decode_error(data) == (expected[0], len(head) + (expected[1] == "bitmap"))


def test_object_column_tower_exhausts_the_size_budget_in_bounded_work() -> None:
    data = d.doc(d.object_column_tower(510, 8500))
    # Charges: 8,501 per column body; the first body that finds the budget
    # short fails at its kind byte, before it builds anything.
    budget = size_budget(data)
    failing_body = budget // 8501  # bodies 0..failing_body-1 are paid for
    kind_offset = len(HEADER) + 1 + len(varint(8500)) + 4 * failing_body  # 05 01 41 6b each
    outcome = {"kind": "error", "message": "decoded size too large", "offset": kind_offset}
    assert decode_within(data, allocation_limit(data)) == outcome


def collide_keys(count: int) -> list[str]:  # one length, one alphabet, differing in one place
    return [f"key{i:05d}" for i in range(count)]


KEY_SETS = [
    ("same length", collide_keys(40)), ("prefixes", ["k" * n for n in range(1, 41)]),
    ("empty and zero bytes", ["", "\x00", "\x00\x00", " ", "\x00 "] + [f"{i}" for i in range(20)]),
    # Canonically equivalent texts are different bytes, so different keys.
    ("normal forms", ["é", unicodedata.normalize("NFD", "é"), "e", "\u0301"] + [f"x{i}" for i in range(16)]),
    ("many", collide_keys(5000)),
    ("sixteen", ["", "k", "kk", "kK", "Kk", "k0", "0k"] + [f"key{i}" for i in range(9)]),
    ("eight-byte words", [("abcdefgh" * 3)[: n] + "!" for n in range(24)]),
]


def in_row_table(names: list[str]) -> bytes:
    return HEADER + b"\x09" + d.keys(*names) + b"\x01" + b"\x04\x01" * len(names)


def in_column_table(names: list[str]) -> bytes:
    return HEADER + b"\x0d" + d.keys(*names) + b"\x01" + b"\x00\x04\x01" * len(names)


def in_object_column(names: list[str]) -> bytes:
    return HEADER + b"\x0c\x01\x05" + d.keys(*names) + b"\x04\x01" * len(names)


CONTAINERS = [
    ("row table", in_row_table, "duplicate column"), ("column table", in_column_table, "duplicate column"),
    ("object column", in_object_column, "duplicate key"),
]


@pytest.mark.parametrize(("set_name", "names"), KEY_SETS, ids=[n for n, _ in KEY_SETS])
@pytest.mark.parametrize(("where", "build", "label"), CONTAINERS, ids=[c[0] for c in CONTAINERS])
def test_alike_keys_are_not_duplicates(set_name: str, names: list[str], where: str, build, label: str) -> None:
    assert len(set(names)) == len(names) >= 16
    value = vorn_native.loads_binary(build(names))
    assert list(value[0]) == names


@pytest.mark.parametrize("count", [2, 16, 17, 18, 33, 64, 65, 100, 300, 5000])
@pytest.mark.parametrize(("where", "build", "label"), CONTAINERS, ids=[c[0] for c in CONTAINERS])
def test_last_key_duplicate_is_found_by_scan_and_by_hash(count: int, where: str, build, label: str) -> None:
    names = collide_keys(count - 1)
    assert list(vorn_native.loads_binary(build(names))[0]) == names
    for repeated in (names[0], names[-1], names[len(names) // 2]):
        data = build(names + [repeated])
        head = data.index(string_item(names[-1])) + len(string_item(names[-1]))
        assert decode_error(data) == (f"{label} '{repeated}'", head + len(string_item(repeated)))


LONGEST = b"\xff" * 9 + b"\x01"  # 2^64 - 1 in ten bytes

VARINTS = [
    ("padded length", HEADER + b"\x07" + b"\x81" + b"\x80" * 8 + b"\x00" + b"\x80", [0]),
    ("ten-byte dictionary index", HEADER + b"\x0c\x01\x03\x01\x41a" + b"\x80" * 9 + b"\x00", ["a"]),
]

BAD_VARINTS = [
    ("eleven bytes", HEADER + b"\x03" + b"\xff" * 10 + b"\x00", ("varint overflows 64 bits", 3)),
    ("length over 2^31", HEADER + b"\x05" + varint(2**31), ("truncated input", 8)),
    ("longest length", HEADER + b"\x07" + LONGEST, ("truncated input", 13)),
    ("longest string reference", HEADER + b"\x06" + LONGEST, ("bad string reference", 13)),
    ("longest table rows", HEADER + b"\x09\x01\x41a" + LONGEST, ("truncated input", 16)),
    ("longest key count", HEADER + b"\x0d" + LONGEST, ("truncated input", 13)),
    ("longest typed count", HEADER + b"\x0c" + LONGEST, ("truncated input", 13)),
    ("longest object column keys", HEADER + b"\x0c\x00\x05" + LONGEST, ("truncated input", 15)),
    ("longest dictionary", HEADER + b"\x0c\x00\x03" + LONGEST, ("truncated input", 15)),
    ("longest dictionary index", HEADER + b"\x0c\x01\x03\x01\x41a" + LONGEST, ("bad dictionary index", 18)),
]


@pytest.mark.parametrize(("name", "data", "expected"), VARINTS, ids=[v[0] for v in VARINTS])
def test_longest_varints_decode(name: str, data: bytes, expected: object) -> None:
    assert vorn_native.loads_binary(data) == expected


@pytest.mark.parametrize(("name", "data", "expected"), BAD_VARINTS, ids=[v[0] for v in BAD_VARINTS])
def test_longest_varints_fail_where_they_should(name: str, data: bytes, expected: tuple[str, int]) -> None:
    assert decode_error(data) == expected


def test_allocation_bound_would_catch_runaway_work() -> None:
    # The child's limit does bite: far too small a limit ends the same bomb in MemoryError.
    data, _ = doubling_bomb("list", 40)
    assert decode_within(data, 100_000) == {"kind": "MemoryError"}

"""Hostile documents: each decodes or fails exactly as it should, and the work
it causes stays within the budgets.

Work is bounded by counting allocations, never by timing: the heavy cases run
in a child process whose allocator fails every allocation past a limit
derived from the input length and the budget constants, so a decoder that did
more than the budgets allow would end in MemoryError instead of the expected
outcome.
"""

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
    """Decodes `data` in a child process in which allocation number
    `allocations` and every later one fail."""
    pytest.importorskip("_testcapi")
    proc = subprocess.run(
        [sys.executable, "-c", CHILD, str(allocations)],
        input=data,
        capture_output=True,
        timeout=600,
    )
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")[-4000:]
    return json.loads(proc.stdout)


def allocation_limit(data: bytes) -> int:
    """What the budgets allow: two allocations per budget unit (a container and
    its storage), plus a constant number per input byte."""
    return 2 * (size_budget(data) + REFERENCE_BUDGET) + 16 * len(data) + 1000


# -- references -------------------------------------------------------------------

def test_reference_budget_is_spent_exactly() -> None:
    anchored = d.anchor(d.lst(*[d.none()] * 4095))  # each copy costs 4,096
    full = d.doc(d.lst(anchored, d.anchor(d.string("ab")), *[d.ref(0)] * 4096, d.ref(1)))
    value = vorn_native.loads_binary(full)
    assert len(value) == 4099
    assert value[-1] == "ab"
    lists = value[:1] + value[2:-1]
    assert len({id(x) for x in lists}) == 4097 and all(len(x) == 4095 for x in lists)

    over = d.doc(d.lst(anchored, *[d.ref(0)] * 4097))
    assert decode_error(over) == ("reference expansion too large", len(over))
    # Once the budget is gone, scalars still cost nothing.
    after = d.doc(d.lst(anchored, d.anchor(d.string("ab")), *[d.ref(0)] * 4096, d.ref(1), d.ref(1)))
    assert vorn_native.loads_binary(after)[-2:] == ["ab", "ab"]


def doubling_bomb(container: str, levels: int) -> tuple[bytes, int]:
    """Anchor k holds two references to anchor k - 1: copies grow as 2^k.
    Returns the document and the offset just past the anchor number of the
    first reference that the budget cannot pay for."""

    def pair(a: bytes, b: bytes) -> bytes:
        return d.lst(a, b) if container == "list" else d.obj((d.string("a"), a), (d.string("b"), b))

    body = bytearray(b"\x07" + varint(levels + 1))
    body += d.anchor(pair(d.none(), d.none()))
    budget, cost, failing_at = REFERENCE_BUDGET, 3, None
    for k in range(levels):
        body += b"\x0a"
        parts = [d.ref(k), d.ref(k)]
        if container == "list":
            body += b"\x07\x02"
        else:
            body += b"\x08\x02"
        for index, part in enumerate(parts):
            if container == "dict":
                body += d.string("ab"[index])
            body += part
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


def test_deep_copies_stop_at_the_copy_depth() -> None:
    # Chains of anchors whose copies nest 4,097 levels: the copy depth fails
    # with offset 0, whatever the budget still holds.
    parts = [d.anchor(d.nested_lists(97, d.lst()))]
    parts += [d.anchor(d.nested_lists(500, d.ref(i))) for i in range(8)]
    data = d.doc(d.lst(*parts, d.ref(8)))
    assert decode_error(data) == ("nesting too deep", 0)


# -- typed lists and columns --------------------------------------------------------

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
        assert len(value) == count
        assert value[:8] == [True, False, True, False, False, True, False, True]
        assert {id(x) for x in value} == {id(True), id(False)}
        assert sum(value) == count // 2
        return
    message, where = expected
    offset = len(head) + 1 if where == "bitmap" else len(head)
    assert decode_error(data) == (message, offset)


def object_column_tower(levels: int, rows: int) -> bytes:
    """`levels` column bodies: ObjectColumns of one key around a Booleans column."""
    body = d.bool_col(*([1] * rows))
    for _ in range(levels - 1):
        body = d.object_col(["k"], body)
    return d.typed(rows, body)


def test_object_column_tower_exhausts_the_size_budget_in_bounded_work() -> None:
    data = d.doc(object_column_tower(510, 8500))
    # Charges: 8,501 per column body; the first body that finds the budget
    # short fails at its kind byte, before it builds anything.
    budget = size_budget(data)
    failing_body = budget // 8501  # bodies 0..failing_body-1 are paid for
    kind_offset = len(HEADER) + 1 + len(varint(8500)) + 4 * failing_body  # 05 01 41 6b each
    assert decode_within(data, allocation_limit(data)) == {
        "kind": "error",
        "message": "decoded size too large",
        "offset": kind_offset,
    }


def tower_length(levels: int, rows: int) -> int:
    return 1 + len(varint(rows)) + 4 * (levels - 1) + 1 + (rows + 7) // 8


def boundary_document(levels: int, slack: int) -> tuple[bytes, int]:
    """A list of an ObjectColumn tower and a typed list of f Booleans, sized
    so that the budget left when the typed list is reached is f + 1 + slack.
    Returns the document and the offset just past the typed list's count."""
    for rows in range(1, 20000):
        spent = levels * (rows + 1)
        fixed = len(HEADER) + 2 + tower_length(levels, rows) + 1 + 1  # list head, 0c, 04
        if 32 * (fixed + 20) + SIZE_BUDGET_BASE - spent > 8000:
            continue  # too little spent by the tower: the filler would be long
        for filler in range(0, 8000):
            length = fixed + len(varint(filler)) + (filler + 7) // 8
            if 32 * length + SIZE_BUDGET_BASE - spent - (filler + 1) == slack:
                tower = object_column_tower(levels, rows)
                typed = b"\x0c" + varint(filler) + d.bool_col(*([1] * filler))
                data = d.doc(b"\x07\x02" + tower + typed)
                assert len(data) == length
                return data, len(HEADER) + 2 + len(tower) + 1 + len(varint(filler))
    raise AssertionError("no sizes fit")


@pytest.mark.parametrize(("slack", "fits"), [(0, True), (-1, False)])
def test_size_budget_boundary(slack: int, fits: bool) -> None:
    data, count_end = boundary_document(300, slack)
    outcome = decode_within(data, allocation_limit(data))
    if fits:
        assert outcome == {"kind": "value", "type": "list", "length": 2}
    else:
        # The typed list finds the budget short right after its count.
        assert outcome == {"kind": "error", "message": "decoded size too large", "offset": count_end}


# -- key lists ---------------------------------------------------------------------

def collide_keys(count: int) -> list[str]:
    """Keys that look alike: one length, one alphabet, differing in one place."""
    return [f"key{i:05d}" for i in range(count)]


KEY_SETS = [
    ("same length", collide_keys(40)),
    ("prefixes", ["k" * n for n in range(1, 41)]),
    ("empty and zero bytes", ["", "\x00", "\x00\x00", " ", "\x00 "] + [f"{i}" for i in range(20)]),
    # Canonically equivalent texts are different bytes, so different keys.
    ("normal forms", ["é", unicodedata.normalize("NFD", "é"), "e", "\u0301"] + [f"x{i}" for i in range(16)]),
    ("many", collide_keys(5000)),
    ("eight-byte words", [("abcdefgh" * 3)[: n] + "!" for n in range(24)]),
]


def header_keys(names: list[str]) -> bytes:
    return varint(len(names)) + b"".join(string_item(n) for n in names)


def in_row_table(names: list[str]) -> bytes:
    return HEADER + b"\x09" + header_keys(names) + b"\x01" + b"\x04\x01" * len(names)


def in_column_table(names: list[str]) -> bytes:
    return HEADER + b"\x0d" + header_keys(names) + b"\x01" + b"\x00\x04\x01" * len(names)


def in_object_column(names: list[str]) -> bytes:
    return HEADER + b"\x0c\x01\x05" + header_keys(names) + b"\x04\x01" * len(names)


CONTAINERS = [
    ("row table", in_row_table, "duplicate column"),
    ("column table", in_column_table, "duplicate column"),
    ("object column", in_object_column, "duplicate key"),
]


@pytest.mark.parametrize(("set_name", "names"), KEY_SETS, ids=[n for n, _ in KEY_SETS])
@pytest.mark.parametrize(("where", "build", "label"), CONTAINERS, ids=[c[0] for c in CONTAINERS])
def test_alike_keys_are_not_duplicates(set_name: str, names: list[str], where: str, build, label: str) -> None:
    assert len(set(names)) == len(names) > 16
    value = vorn_native.loads_binary(build(names))
    assert list(value[0]) == names


@pytest.mark.parametrize("count", [2, 16, 17, 18, 100, 5000])
@pytest.mark.parametrize(("where", "build", "label"), CONTAINERS, ids=[c[0] for c in CONTAINERS])
def test_last_key_duplicate_is_found_by_scan_and_by_hash(count: int, where: str, build, label: str) -> None:
    names = collide_keys(count - 1)
    for repeated in (names[0], names[-1], names[len(names) // 2]):
        data = build(names + [repeated])
        head = data.index(string_item(names[-1])) + len(string_item(names[-1]))
        assert decode_error(data) == (f"{label} '{repeated}'", head + len(string_item(repeated)))


def test_duplicate_by_string_reference_in_a_long_header() -> None:
    names = collide_keys(30)
    data = HEADER + b"\x09" + varint(31) + b"".join(string_item(n) for n in names) + b"\x06" + varint(7)
    assert decode_error(data) == (f"duplicate column '{names[7]}'", len(data))


# -- varints -----------------------------------------------------------------------

LONGEST = b"\xff" * 9 + b"\x01"  # 2^64 - 1 in ten bytes

VARINTS = [
    ("ten-byte int", HEADER + b"\x03" + LONGEST, -(2**63)),
    ("ten-byte int max", HEADER + b"\x03" + b"\xfe" + b"\xff" * 8 + b"\x01", 2**63 - 1),
    ("padded small int", HEADER + b"\x03" + b"\x82" + b"\x80" * 8 + b"\x00", 1),
    ("padded length", HEADER + b"\x07" + b"\x81" + b"\x80" * 8 + b"\x00" + b"\x80", [0]),
    ("ten-byte delta", HEADER + b"\x0c\x01\x01" + LONGEST, [-(2**63)]),
    ("ten-byte dictionary index", HEADER + b"\x0c\x01\x03\x01\x41a" + b"\x80" * 9 + b"\x00", ["a"]),
]

BAD_VARINTS = [
    ("tenth byte too big", HEADER + b"\x03" + b"\xff" * 9 + b"\x02", ("varint overflows 64 bits", 3)),
    ("eleven bytes", HEADER + b"\x03" + b"\xff" * 10 + b"\x00", ("varint overflows 64 bits", 3)),
    ("cut after nine", HEADER + b"\x03" + b"\xff" * 9, ("truncated input", 3)),
    ("length over 2^31", HEADER + b"\x05" + varint(2**31), ("truncated input", 8)),
    ("longest length", HEADER + b"\x07" + LONGEST, ("truncated input", 13)),
    ("longest reference", HEADER + b"\x07\x02\x0a\x00\x0b" + LONGEST, ("bad anchor reference", 17)),
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


# -- the allocation bound itself ----------------------------------------------------

def test_allocation_bound_would_catch_runaway_work() -> None:
    """The child's limit does bite: the same bomb with far too small a limit
    ends in MemoryError, so the bounds asserted above are real."""
    data, _ = doubling_bomb("list", 40)
    assert decode_within(data, 100_000) == {"kind": "MemoryError"}

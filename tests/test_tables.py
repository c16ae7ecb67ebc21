"""Typed lists, row tables and columnar tables: column kinds, key lists, presence bitmaps, depth, the decoded-size budget."""

from __future__ import annotations

import random

import pytest

import vorn_native
from support import bitmap, budget_left, decode_error, doc, nest, shape, string_item, varint, zigzag

loads = vorn_native.loads_binary
T, F = True, False
I64 = 2**63

VALID = [
    # Booleans: least significant bit first, bits past the last item ignored
    ("0C 03 04 05", [T, F, T]), ("0C 03 04 FD", [T, F, T]), ("0C 08 04 A5", [T, F, T, F, F, T, F, T]),
    ("0C 09 04 00 FF", [F] * 8 + [T]), ("0C 10 04 FF 00", [T] * 8 + [F] * 8), ("0C 00 04", []),
    # Values
    ("0C 00 00", []), ("0C 04 00 00 01 02 81", [None, F, T, 1]), ("0C 02 00 07 00 0C 01 04 01", [[], [T]]),
    # DeltaIntegers
    ("0C 02 01 0A 03", [5, 3]), ("0C 03 01 0A 03 14", [5, 3, 13]), ("0C 00 01", []),
    # Decimals
    ("0C 02 02 01 AC 02 9B 02", [15, -14.2]), ("0C 02 02 01 B6 02 09", [15.5, -0.5]), ("0C 01 02 02 AC 02", [1.5]),
    ("0C 00 02 06", []),
    # StringDictionary
    ("0C 03 03 02 42 78 79 41 7A 00 01 00", ["xy", "z", "xy"]),
    ("0C 02 03 02 05 03 61 62 63 06 00 01 00", ["abc", "abc"]), ("0C 02 03 01 40 00 00", ["", ""]),
    ("0C 00 03 00", []),
    # ObjectColumn: members in key order; every nested column starts its own running sum
    ("0C 02 05 01 41 61 04 01", [{"a": T}, {"a": F}]),
    ("0C 02 05 02 41 61 41 62 01 02 02 00 81 82", [{"a": 1, "b": 1}, {"a": 2, "b": 2}]),
    ("0C 02 05 02 41 62 41 61 01 02 02 01 04 02", [{"b": 1, "a": 2}, {"b": 2, "a": 3}]),
    ("0C 01 05 01 41 61 05 01 41 62 01 02", [{"a": {"b": 1}}]), ("0C 00 05 01 41 61 04", []),
    # row tables: members in header order, every column starts its own running sum
    ("09 01 41 61 02 04 01", [{"a": T}, {"a": F}]), ("09 02 41 61 41 62 01 01 02 00 80", [{"a": 1, "b": 0}]),
    ("09 02 41 62 41 61 01 04 01 00 81", [{"b": T, "a": 1}]), ("09 01 41 61 00 04", []),
    ("09 01 42 69 64 02 03 02 41 78 41 79 00 01", [{"id": "x"}, {"id": "y"}]),
    ("09 01 41 61 02 02 01 AC 02 9B 02", [{"a": 15}, {"a": -14.2}]),
    ("09 02 41 61 41 62 02 01 02 02 01 04 02", [{"a": 1, "b": 2}, {"a": 2, "b": 3}]),
    ("09 01 41 61 02 05 02 41 78 41 79 04 01 01 02 02", [{"a": {"x": T, "y": 1}}, {"a": {"x": F, "y": 2}}]),
    ("09 01 41 61 01 05 01 41 78 05 01 41 79 00 00", [{"a": {"x": {"y": None}}}]),
    ("09 01 41 61 01 00 09 01 41 62 01 04 01", [{"a": [{"b": T}]}]), ("09 01 05 02 69 64 01 04 00", [{"id": F}]),
    ("09 01 41 61 10 04 01 02", [{"a": i in (0, 9)} for i in range(16)]),
    # columnar tables: absent rows lack the key, a row absent from every column is empty
    ("0D 01 41 61 02 00 04 01", [{"a": T}, {"a": F}]), ("0D 01 41 61 03 01 05 04 01", [{"a": T}, {}, {"a": F}]),
    ("0D 01 41 61 02 01 00 04", [{}, {}]), ("0D 01 41 61 00 01 04", []), ("0D 01 41 61 00 00 04", []),
    ("0D 01 41 61 08 01 FF 01" + " 02" * 8, [{"a": i} for i in range(1, 9)]),
    ("0D 01 41 61 09 01 FF 01 04 FF 01", [{"a": T}] * 9), ("0D 01 41 61 10 01 FF FF 04 00 00", [{"a": F}] * 16),
    ("0D 02 41 61 41 62 02 00 01 02 02 01 02 04 01", [{"a": 1}, {"a": 2, "b": T}]),
    ("0D 02 41 61 41 62 02 01 02 04 01 01 01 04 01", [{"b": T}, {"a": T}]),
    ("0D 02 41 61 41 62 03 01 01 00 80 01 04 00 81", [{"a": 0}, {}, {"b": 1}]),
    ("0D 01 41 61 03 01 05 05 01 41 78 01 02 04", [{"a": {"x": 1}}, {}, {"a": {"x": 3}}]),
    ("0D 01 41 61 03 01 06 00 81 07 00", [{}, {"a": 1}, {"a": []}]),
    ("0D 01 41 61 03 01 06 02 01 02 03", [{}, {"a": 0.1}, {"a": -0.2}]),
    # keys that are prefixes of earlier keys, or empty after a longer one, are not duplicates
    ("09 02 42 61 62 41 61 01 04 01 04 00", [{"ab": T, "a": F}]), ("09 02 41 61 40 01 04 01 04 00", [{"a": T, "": F}]),
    ("0C 01 05 02 42 61 62 41 61 04 01 04 00", [{"ab": T, "a": F}]),
    ("0D 02 41 61 40 01 00 04 01 00 04 00", [{"a": T, "": F}]),
    # six columns or more (rows copied from a template): an absent cell has no key, not None
    ("0D 06 41 61 41 62 41 63 41 64 41 65 41 66 02" + " 00 04 03" * 5 + " 01 01 04 01",
     [{"a": T, "b": T, "c": T, "d": T, "e": T, "f": T}, {"a": T, "b": T, "c": T, "d": T, "e": T}]),
    ("0D 06 41 61 41 62 41 63 41 64 41 65 41 66 02 01 02 04 01" + " 00 04 03" * 5,
     [{"b": T, "c": T, "d": T, "e": T, "f": T}, {"a": T, "b": T, "c": T, "d": T, "e": T, "f": T}]),
]


@pytest.mark.parametrize("hexed, expected", VALID)
def test_decodes(hexed, expected):
    assert shape(loads(doc(hexed))) == shape(expected)


ERRORS = [
    ("0C 00", "truncated input", 4), ("0C 00 06", "bad column kind", 4), ("0C 00 FF", "bad column kind", 4),
    # item count against 8 x remaining bytes, then the bitmap against the input
    ("0C 09 04", "truncated input", 4), ("0C 11 04 FF", "truncated input", 4), ("0C 10 04 FF", "truncated input", 5),
    ("0C 08 04", "truncated input", 5), ("0C 80 80 80 80 08 04 00 00 00 00", "truncated input", 8),
    ("0C 02 00 81", "truncated input", 6), ("0C 01 00 0E", "bad tag 0x0e", 5), ("0C 02 01 02", "truncated input", 6),
    ("0C 01 01 FF FF FF FF FF FF FF FF FF 02", "varint overflows 64 bits", 5), ("0C 00 02", "bad decimal scale", 5),
    ("0C 00 02 07", "bad decimal scale", 5), ("0C 01 02 FF 00", "bad decimal scale", 5),
    ("0C 01 02 01", "truncated input", 6), ("0C 01 03 00 00", "bad dictionary index", 7),
    ("0C 01 03 01 41 61 01", "bad dictionary index", 9), ("0C 01 03 01 41 61 80 01", "bad dictionary index", 10),
    ("0C 01 03 01 41 61 80 80 80 80 08", "bad dictionary index", 13), ("0C 02 03 01 41 61 00", "truncated input", 9),
    ("0C 00 03 05 41 61", "truncated input", 6), ("0C 00 03 01 80", "key must be a string", 6),
    ("0C 00 03 01 07 00", "key must be a string", 6), ("0C 00 03 02 41 61 06 00", "bad string reference", 10),
    ("0C 00 03 01 42 FF FE", "string is not valid UTF-8", 7), ("0C 00 05 00", "empty object column", 6),
    ("0C 00 05 05 41 61", "truncated input", 6), ("0C 00 05 01 80", "key must be a string", 6),
    ("0C 00 05 01 41 61", "truncated input", 8), ("0C 01 05 01 41 61 06", "bad column kind", 8),
    ("0C 01 05 01 41 61 05 00", "empty object column", 10), ("0C 02 05 01 41 61 01 02", "truncated input", 10),
    ("0C 00 05 02 41 61 41 61 04 04", "duplicate key 'a'", 10), ("0C 00 05 02 40 40 04 04", "duplicate key ''", 8),
    ("0C 00 05 02 42 C3 A9 05 02 C3 A9 04 04", "duplicate key 'é'", 13),
    # keys that arrive as StringRef are compared by their bytes and quoted by their text
    ("07 02 42 61 62 0C 00 05 02 06 00 42 61 62 04 04", "duplicate key 'ab'", 16),
    ("07 02 42 61 62 0C 00 05 02 05 02 61 62 06 00 04 04", "duplicate key 'ab'", 17),
    ("07 02 42 61 62 0C 00 05 02 06 00 06 00 04 04", "duplicate key 'ab'", 15), ("09 80", "truncated input", 3),
    ("09 00", "empty table header", 4), ("09 05 41 61", "truncated input", 4), ("09 02 41 61", "truncated input", 6),
    ("09 01 80", "key must be a string", 4), ("09 02 41 61 41 61", "duplicate column 'a'", 8),
    ("09 02 42 61 62 06 00", "duplicate column 'ab'", 9), ("09 02 41 61 06 00", "bad string reference", 8),
    ("09 01 41 61 00", "truncated input", 7), ("09 01 41 61 11 04 01", "truncated input", 7),
    ("09 01 41 61 10 04 FF", "truncated input", 8),
    ("09 01 41 61 FF FF FF FF FF FF FF FF FF 02", "varint overflows 64 bits", 6),
    ("09 01 41 61 80 80 80 80 08", "truncated input", 11), ("09 01 41 61 01 07", "bad column kind", 7),
    ("09 01 41 61 01 05 00", "empty object column", 9), ("09 01 41 61 01 05 02 41 78 41 78", "duplicate key 'x'", 13),
    ("09 01 41 61 01 03 01 41 78 01", "bad dictionary index", 12),
    ("09 01 41 61 01 02 07 00", "bad decimal scale", 8), ("09 01 41 61 02 00 80", "truncated input", 9),
    ("09 02 41 61 41 62 01 04 01", "truncated input", 11), ("09 02 41 61 41 62 01 04 01 06", "bad column kind", 11),
    ("0D 00", "empty table header", 4), ("0D 02 41 61 41 61", "duplicate column 'a'", 8),
    ("0D 02 42 61 62 06 00", "duplicate column 'ab'", 9), ("0D 01 41 61 00", "truncated input", 7),
    ("0D 01 41 61 01", "truncated input", 7), ("0D 01 41 61 11 00 04", "truncated input", 7),
    ("0D 01 41 61 10 00 04 FF", "truncated input", 9), ("0D 01 41 61 01 02", "bad presence flag", 8),
    ("0D 01 41 61 01 FF", "bad presence flag", 8), ("0D 01 41 61 09 01 FF", "truncated input", 8),
    ("0D 01 41 61 03 01 08 04 00", "bad presence bitmap", 9),
    ("0D 01 41 61 07 01 FF 04 00", "bad presence bitmap", 9),
    ("0D 01 41 61 09 01 FF 02 04 FF 01", "bad presence bitmap", 10), ("0D 01 41 61 01 00 06", "bad column kind", 8),
    ("0D 01 41 61 01 01 01 07", "bad column kind", 9), ("0D 01 41 61 01 01 01", "truncated input", 9),
    ("0D 01 41 61 02 01 03 05 00", "empty object column", 11),
    ("0D 01 41 61 02 01 03 03 01 41 78 00 01", "bad dictionary index", 15),
    ("0D 01 41 61 02 01 03 00 81", "truncated input", 11), ("0D 02 41 61 41 62 01 00 04 01", "truncated input", 12),
    ("0D 02 41 61 41 62 01 00 04 01 02", "bad presence flag", 13),
]


@pytest.mark.parametrize("hexed, message, offset", ERRORS)
def test_fails(hexed, message, offset):
    assert decode_error(doc(hexed)) == (message, offset)


def decimal(m: int, s: int):
    """The exactly rounded quotient m / 10**s under the integral-float rule."""
    if s == 0:
        return m
    x = m / 10**s
    return int(x) if abs(x) < 2**53 and x == int(x) else x


# 2**53 + 1, + 3 and + 5 round differently when converted to a float before dividing
MANTISSAS = [0, 1, -1, 5, -5, 155, 150, 10**6, 123456789, -987654321012, 2**53 - 1, 2**53, -(2**53),
             2**53 + 1, 2**53 + 3, -(2**53 + 5), 10**16, 10**18, 12345678901234567891 % I64, I64 - 1, -I64]


@pytest.mark.parametrize("scale", range(7))
def test_decimals_divide_exactly(scale):
    mantissas = MANTISSAS + [(2**53 - 1) * 10**scale] * ((2**53 - 1) * 10**scale < I64)
    body = b"\x0c" + varint(len(mantissas)) + b"\x02" + bytes([scale]) + b"".join(map(zigzag, mantissas))
    assert shape(loads(doc(body))) == shape([decimal(m, scale) for m in mantissas])


@pytest.mark.parametrize("deltas", [[I64 - 1, 1], [1, I64 - 1, 1], [-I64, -1], [-I64, -I64], [-1, -I64, I64 - 1]])
def test_delta_integers_wrap_around(deltas):
    total, expected = 0, []
    for delta in deltas:
        total = (total + delta + I64) % 2**64 - I64
        expected.append(total)
    assert loads(doc(b"\x0c" + varint(len(deltas)) + b"\x01" + b"".join(map(zigzag, deltas)))) == expected


def test_dictionary_entries_are_shared_and_numbered():
    first, single, again = loads(doc("07 03 0C 03 03 02 42 78 79 41 7A 00 01 00 06 00 0C 02 03 01 06 00 00 00"))
    assert first == ["xy", "z", "xy"] and first[0] is first[2] is single
    assert again == ["xy", "xy"] and again[0] is again[1] is single
    # the one-byte entry z was not numbered
    assert decode_error(doc("07 02 0C 01 03 02 42 78 79 41 7A 01 06 01")) == ("bad string reference", 16)

def key_list_document(prefix: str, count: int, first: int, again: int, by_reference: bool) -> tuple[bytes, int]:
    """A key list of `count` keys after `prefix` whose key `again` repeats key `first`; and the offset
    just past it. The 17 texts are defined as strings first: both key counts share every earlier byte."""
    texts = [("k" * (i % 3 + 1)) + str(i) for i in range(17)]
    order = [first if i == again else i for i in range(count)]
    keys = [b"\x06" + varint(i) if by_reference else string_item(texts[i]) for i in order]
    head = doc("07 02 07 11", *map(string_item, texts), prefix, varint(count))
    return head + b"".join(keys) + b"\x04" * count, len(head) + len(b"".join(keys[: again + 1]))


@pytest.mark.parametrize("prefix, label", [("0C 00 05", "key"), ("09", "column"), ("0D", "column")])
@pytest.mark.parametrize("by_reference", [False, True])
@pytest.mark.parametrize("first, again", [(0, 1), (2, 9), (3, 12), (0, 15), (14, 15), (7, 8)])
def test_sixteen_and_seventeen_keys_find_the_same_duplicate(prefix, label, first, again, by_reference):
    (short, at16), (long, at17) = (key_list_document(prefix, n, first, again, by_reference) for n in (16, 17))
    text = ("k" * (first % 3 + 1)) + str(first)
    assert at16 == at17
    assert decode_error(short) == decode_error(long) == (f"duplicate {label} '{text}'", at16)


def test_table_strings_are_shared_and_numbered_in_reading_order():
    prefix = doc(
        "07 03",
        "09 03 42 6B 31 41 7A 42 6B 32 01",  # header k1, z (one byte: not numbered), k2; one row
        "03 02 42 64 31 42 64 32 01",  # k1: dictionary d1 d2, the row takes d2
        "04 01",  # z
        "05 02 42 6F 31 42 6F 32 00 06 03 00 06 05",  # k2: object column o1 -> entry 3, o2 -> entry 5
        "0D 01 06 00 02 01 03 03 01 06 01 00 00",  # header entry 0, dictionary [entry 1]
    )
    table, columnar, listing = loads(prefix + bytes.fromhex("07 06 06 00 06 01 06 02 06 03 06 04 06 05"))
    assert listing == ["k1", "k2", "d1", "d2", "o1", "o2"]
    assert shape(table) == shape([{"k1": "d2", "z": T, "k2": {"o1": "d2", "o2": "o2"}}])
    assert columnar == [{"k1": "k2"}, {"k1": "k2"}]
    row, inner = table[0], table[0]["k2"]
    assert row["k1"] is inner["o1"] is listing[3] and inner["o2"] is next(reversed(inner)) is listing[5]
    assert next(iter(row)) is next(iter(columnar[0])) is listing[0]
    assert columnar[0]["k1"] is columnar[1]["k1"] is listing[1] is list(row)[2]
    data = prefix + bytes.fromhex("07 01 06 06")
    assert decode_error(data) == ("bad string reference", len(data))

DEPTH = [
    # (depth, typed list or table, decoded innermost value or (message, offset from its tag))
    (511, "0C 02 01 02 02", [1, 2]), (511, "0C 01 02 01 03", [-0.2]),
    (511, "0C 02 03 01 42 61 62 00 00", ["ab", "ab"]), (511, "0C 02 04 01", [T, F]), (511, "0C 00 00", []),
    (510, "0C 01 00 80", [0]), (510, "0C 01 05 01 41 61 04 01", [{"a": T}]),
    (511, "0C 01 00 80", ("nesting too deep", 3)), (511, "0C 01 05 01 41 61 04 01", ("nesting too deep", 6)),
    (512, "0C 00 04", ("nesting too deep", 2)), (512, "0C 00 06", ("nesting too deep", 2)),
    (512, "0C 01 02 09 00", ("nesting too deep", 2)), (511, "09 01 41 61 02 01 02 02", [{"a": 1}, {"a": 2}]),
    (511, "09 01 41 61 01 02 01 03", [{"a": -0.2}]), (511, "09 01 41 61 01 03 01 42 61 62 00", [{"a": "ab"}]),
    (511, "09 01 41 61 01 04 01", [{"a": T}]), (511, "09 01 41 61 00 00", []),
    (511, "0D 01 41 61 02 01 02 04 01", [{}, {"a": T}]), (510, "09 01 41 61 01 05 01 41 78 04 01", [{"a": {"x": T}}]),
    (510, "0D 01 41 61 01 00 00 80", [{"a": 0}]), (511, "09 01 41 61 01 00 80", ("nesting too deep", 6)),
    (511, "09 01 41 61 01 05 01 41 78 04 01", ("nesting too deep", 9)),
    (511, "0D 01 41 61 01 00 00 80", ("nesting too deep", 7)), (512, "09 01 41 61 00 04", ("nesting too deep", 5)),
    (512, "09 01 41 61 00 06", ("nesting too deep", 5)), (512, "0D 01 41 61 00 00 04", ("nesting too deep", 6)),
    (512, "0D 01 41 61 01 01 01 04 01", ("nesting too deep", 7)),
    # a malformed flag or bitmap is reported before the column's depth
    (512, "0D 01 41 61 07 01 FF 04 00", ("bad presence bitmap", 7)),
    (512, "0D 01 41 61 03 01 08 04 00", ("bad presence bitmap", 7)),
    (512, "0D 01 41 61 01 02", ("bad presence flag", 6)), (512, "0D 01 41 61 09 01 FF", ("truncated input", 6)),
]


@pytest.mark.parametrize("depth, hexed, expected", DEPTH)
def test_depth(depth, hexed, expected):
    data = doc(nest("07 01", depth, hexed))
    if isinstance(expected, tuple):
        assert decode_error(data) == (expected[0], 2 + 2 * depth + expected[1])
        return
    value = loads(data)
    for _ in range(depth):
        (value,) = value
    assert shape(value) == shape(expected)


def typed_booleans(count: int) -> bytes:
    return b"\x0c" + varint(count) + b"\x04" + bitmap([i % 3 == 0 for i in range(count)])


ROWS, PRESENT = 100, [i % 5 < 2 for i in range(100)]
COLUMNAR_BODY = b"\x04" + bitmap([T] * 40)
COLUMNAR = b"\x0d\x01\x41a" + varint(ROWS) + b"\x01" + bitmap(PRESENT) + COLUMNAR_BODY
SECOND_COLUMN = b"\x04" + bitmap([F] * ROWS)
ROW_TABLE = b"\x09\x02\x41a\x41b" + varint(ROWS) + b"\x04" + bitmap([T] * ROWS) + SECOND_COLUMN


# A typed list and a row table need count + 1 before they start; a columnar table charges 2 x rows;
# every column body charges its item count + 1.
@pytest.mark.parametrize(
    "tail, left, from_end",
    [
        # every charge exact: the columnar table and the typed list pass, a row table of 0 rows finds 0 left
        (b"\x07\x03" + COLUMNAR + typed_booleans(1000) + bytes.fromhex("09 01 41 61 00 04"), 2 * ROWS + 41 + 1001, 1),
        # the columnar table passes its own charge, its column body finds one too few
        (b"\x07\x02" + typed_booleans(1000) + COLUMNAR, 1001 + 2 * ROWS + 40, len(COLUMNAR_BODY)),
        # rows + 1 pass the row table's own test and pay for one column: the second one fails
        (ROW_TABLE, ROWS + 1, len(SECOND_COLUMN)),
    ],
    ids=["exact", "columnar", "row"],
)
def test_size_budget_boundaries(tail, left, from_end):
    data = budget_left(left, tail)
    assert decode_error(data) == ("decoded size too large", len(data) - from_end)


def random_column(kind: str, rng: random.Random, count: int) -> tuple[bytes, list]:
    """A column body of `count` random items of one kind, and the items it stands for."""
    if kind == "delta":
        values = [rng.randrange(-(2**40), 2**40) for _ in range(count)]
        return b"\x01" + b"".join(zigzag(b - a) for a, b in zip([0] + values, values, strict=False)), values
    if kind == "decimal":
        mantissas = [rng.randrange(-(10**7), 10**7) * rng.choice([1, 1000]) for _ in range(count)]
        return b"\x02\x03" + b"".join(map(zigzag, mantissas)), [m / 1000 if m % 1000 else m // 1000 for m in mantissas]
    if kind == "words":
        words, picks = [f"w{i}" for i in range(30)] + ["", "é"], [rng.randrange(32) for _ in range(count)]
        entries = b"".join(map(string_item, words))
        return b"\x03" + varint(32) + entries + b"".join(map(varint, picks)), [words[i] for i in picks]
    if kind == "flags":
        bits = [rng.random() < 0.5 for _ in range(count)]
        return b"\x04" + bitmap(bits), bits
    if kind == "values":
        big = [rng.randrange(-(2**63), 2**63) for _ in range(count)]
        pool = [lambda i: (b"\x00", None), lambda i: (b"\x02", T), lambda i: (bytes([0x80 | i % 128]), i % 128),
                lambda i: (b"\x03" + zigzag(big[i]), big[i]), lambda i: (b"\x41" + bytes([97 + i % 26]), chr(97 + i % 26)),
                lambda i: (b"\x07\x01\x01", [F])]
        items = [rng.choice(pool)(i) for i in range(count)]
        return b"\x00" + b"".join(item for item, _ in items), [value for _, value in items]
    flags, bits = random_column("flags", rng, count)
    deltas, ints = random_column("delta", rng, count)
    return b"\x05\x02\x41x\x41y" + flags + deltas, [{"x": bit, "y": i} for bit, i in zip(bits, ints, strict=False)]


@pytest.mark.parametrize("columnar", [False, True])
def test_large_table(columnar):
    rng, rows = random.Random(1234), 3001
    kinds = ["delta", "decimal", "words", "flags", "values", "object", "delta", "flags", "values", "words", "object"]
    shares = [None, 0.5, 0.0, 0.97, 0.03, 1.0, 0.5, None, 0.25, 0.75, 0.6] if columnar else [None] * len(kinds)
    keys = [f"{kind}{i}" for i, kind in enumerate(kinds)]
    expected, columns = [{} for _ in range(rows)], b""
    for key, kind, share in zip(keys, kinds, shares, strict=False):
        present = [share is None or rng.random() < share for _ in range(rows)]
        body, values = random_column(kind, rng, sum(present))
        columns += (b"\x00" if share is None else b"\x01" + bitmap(present)) * columnar + body
        found = iter(values)
        for row, here in zip(expected, present, strict=False):
            if here:
                row[key] = next(found)
    data = doc(b"\x0d" if columnar else b"\x09", varint(len(keys)), *map(string_item, keys), varint(rows), columns)
    assert shape(loads(data)) == shape(expected)

"""Row tables and columnar tables: headers, presence bitmaps, depth, the decoded-size budget, release."""

from __future__ import annotations

import gc
import random
import sys

import pytest

import vorn_native
from support import bitmap, budget_left, decode_error, doc, nest, string_item, varint, zigzag

loads = vorn_native.loads_binary
T, F = True, False


def shape(value):
    """`value` with every scalar tagged by its type and every dict as an ordered item list."""
    if isinstance(value, list):
        return [shape(item) for item in value]
    if isinstance(value, dict):
        return {"dict": [(key, shape(item)) for key, item in value.items()]}
    return (type(value).__name__, value)


VALID = [
    # row tables: members in header order, every column starts its own running sum
    ("09 01 41 61 02 04 01", [{"a": T}, {"a": F}]),
    ("09 02 41 61 41 62 01 01 02 00 80", [{"a": 1, "b": 0}]),
    ("09 02 41 62 41 61 01 04 01 00 81", [{"b": T, "a": 1}]),
    ("09 01 41 61 00 04", []),
    ("09 01 42 69 64 02 03 02 41 78 41 79 00 01", [{"id": "x"}, {"id": "y"}]),
    ("09 01 41 61 02 02 01 AC 02 9B 02", [{"a": 15}, {"a": -14.2}]),
    ("09 02 41 61 41 62 02 01 02 02 01 04 02", [{"a": 1, "b": 2}, {"a": 2, "b": 3}]),
    ("09 01 41 61 02 05 02 41 78 41 79 04 01 01 02 02", [{"a": {"x": T, "y": 1}}, {"a": {"x": F, "y": 2}}]),
    ("09 01 41 61 01 05 01 41 78 05 01 41 79 00 00", [{"a": {"x": {"y": None}}}]),
    ("09 01 41 61 01 00 09 01 41 62 01 04 01", [{"a": [{"b": T}]}]),
    ("09 01 05 02 69 64 01 04 00", [{"id": F}]),
    ("09 01 41 61 10 04 01 02", [{"a": i in (0, 9)} for i in range(16)]),
    # columnar tables: absent rows lack the key, a row absent from every column is empty
    ("0D 01 41 61 02 00 04 01", [{"a": T}, {"a": F}]),
    ("0D 01 41 61 03 01 05 04 01", [{"a": T}, {}, {"a": F}]),
    ("0D 01 41 61 02 01 00 04", [{}, {}]),
    ("0D 01 41 61 00 01 04", []),
    ("0D 01 41 61 00 00 04", []),
    ("0D 01 41 61 08 01 FF 01" + " 02" * 8, [{"a": i} for i in range(1, 9)]),
    ("0D 01 41 61 09 01 FF 01 04 FF 01", [{"a": T}] * 9),
    ("0D 01 41 61 10 01 FF FF 04 00 00", [{"a": F}] * 16),
    ("0D 02 41 61 41 62 02 00 01 02 02 01 02 04 01", [{"a": 1}, {"a": 2, "b": T}]),
    ("0D 02 41 61 41 62 02 01 02 04 01 01 01 04 01", [{"b": T}, {"a": T}]),
    ("0D 02 41 61 41 62 03 01 01 00 80 01 04 00 81", [{"a": 0}, {}, {"b": 1}]),
    ("0D 01 41 61 03 01 05 05 01 41 78 01 02 04", [{"a": {"x": 1}}, {}, {"a": {"x": 3}}]),
    ("0D 01 41 61 03 01 06 00 81 07 00", [{}, {"a": 1}, {"a": []}]),
    ("0D 01 41 61 03 01 06 02 01 02 03", [{}, {"a": 0.1}, {"a": -0.2}]),
]


@pytest.mark.parametrize("hexed, expected", VALID)
def test_table_decodes(hexed, expected):
    assert shape(loads(doc(hexed))) == shape(expected)


ERRORS = [
    ("09 80", "truncated input", 3),
    ("09 00", "empty table header", 4),
    ("09 05 41 61", "truncated input", 4),
    ("09 02 41 61", "truncated input", 6),
    ("09 01 80", "key must be a string", 4),
    ("09 02 41 61 41 61", "duplicate column 'a'", 8),
    ("09 02 42 61 62 06 00", "duplicate column 'ab'", 9),
    ("09 02 41 61 06 00", "bad string reference", 8),
    ("09 01 41 61 00", "truncated input", 7),
    ("09 01 41 61 11 04 01", "truncated input", 7),
    ("09 01 41 61 10 04 FF", "truncated input", 8),
    ("09 01 41 61 FF FF FF FF FF FF FF FF FF 02", "varint overflows 64 bits", 6),
    ("09 01 41 61 80 80 80 80 08", "truncated input", 11),
    ("09 01 41 61 01 07", "bad column kind", 7),
    ("09 01 41 61 01 05 00", "empty object column", 9),
    ("09 01 41 61 01 05 02 41 78 41 78", "duplicate key 'x'", 13),
    ("09 01 41 61 01 03 01 41 78 01", "bad dictionary index", 12),
    ("09 01 41 61 01 02 07 00", "bad decimal scale", 8),
    ("09 01 41 61 02 00 80", "truncated input", 9),
    ("09 02 41 61 41 62 01 04 01", "truncated input", 11),
    ("09 02 41 61 41 62 01 04 01 06", "bad column kind", 11),
    ("0D 00", "empty table header", 4),
    ("0D 02 41 61 41 61", "duplicate column 'a'", 8),
    ("0D 02 42 61 62 06 00", "duplicate column 'ab'", 9),
    ("0D 01 41 61 00", "truncated input", 7),
    ("0D 01 41 61 01", "truncated input", 7),
    ("0D 01 41 61 11 00 04", "truncated input", 7),
    ("0D 01 41 61 10 00 04 FF", "truncated input", 9),
    ("0D 01 41 61 01 02", "bad presence flag", 8),
    ("0D 01 41 61 01 FF", "bad presence flag", 8),
    ("0D 01 41 61 09 01 FF", "truncated input", 8),
    ("0D 01 41 61 03 01 08 04 00", "bad presence bitmap", 9),
    ("0D 01 41 61 07 01 FF 04 00", "bad presence bitmap", 9),
    ("0D 01 41 61 09 01 FF 02 04 FF 01", "bad presence bitmap", 10),
    ("0D 01 41 61 01 00 06", "bad column kind", 8),
    ("0D 01 41 61 01 01 01 07", "bad column kind", 9),
    ("0D 01 41 61 01 01 01", "truncated input", 9),
    ("0D 01 41 61 02 01 03 05 00", "empty object column", 11),
    ("0D 01 41 61 02 01 03 03 01 41 78 00 01", "bad dictionary index", 15),
    ("0D 01 41 61 02 01 03 00 81", "truncated input", 11),
    ("0D 02 41 61 41 62 01 00 04 01", "truncated input", 12),
    ("0D 02 41 61 41 62 01 00 04 01 02", "bad presence flag", 13),
]


@pytest.mark.parametrize("hexed, message, offset", ERRORS)
def test_table_fails(hexed, message, offset):
    assert decode_error(doc(hexed)) == (message, offset)


@pytest.mark.parametrize("tag", ["09", "0D"])
@pytest.mark.parametrize("count", [16, 17])
def test_header_duplicate_found_by_scan_and_by_hash(tag, count):
    keys = [f"c{i}" for i in range(count)]
    keys[12] = keys[3]
    head = doc(tag, varint(count), *map(string_item, keys[:13]))
    assert decode_error(head + b"".join(map(string_item, keys[13:]))) == ("duplicate column 'c3'", len(head))


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
    # (depth, table, decoded table or (message, offset from the table's tag))
    (511, "09 01 41 61 02 01 02 02", [{"a": 1}, {"a": 2}]),
    (511, "09 01 41 61 01 02 01 03", [{"a": -0.2}]),
    (511, "09 01 41 61 01 03 01 42 61 62 00", [{"a": "ab"}]),
    (511, "09 01 41 61 01 04 01", [{"a": T}]),
    (511, "09 01 41 61 00 00", []),
    (511, "0D 01 41 61 02 01 02 04 01", [{}, {"a": T}]),
    (510, "09 01 41 61 01 05 01 41 78 04 01", [{"a": {"x": T}}]),
    (510, "0D 01 41 61 01 00 00 80", [{"a": 0}]),
    (511, "09 01 41 61 01 00 80", ("nesting too deep", 6)),
    (511, "09 01 41 61 01 05 01 41 78 04 01", ("nesting too deep", 9)),
    (511, "0D 01 41 61 01 00 00 80", ("nesting too deep", 7)),
    (512, "09 01 41 61 00 04", ("nesting too deep", 5)),
    (512, "09 01 41 61 00 06", ("nesting too deep", 5)),
    (512, "0D 01 41 61 00 00 04", ("nesting too deep", 6)),
    (512, "0D 01 41 61 01 01 01 04 01", ("nesting too deep", 7)),
    # a malformed flag or bitmap is reported before the column's depth
    (512, "0D 01 41 61 07 01 FF 04 00", ("bad presence bitmap", 7)),
    (512, "0D 01 41 61 03 01 08 04 00", ("bad presence bitmap", 7)),
    (512, "0D 01 41 61 01 02", ("bad presence flag", 6)),
    (512, "0D 01 41 61 09 01 FF", ("truncated input", 6)),
]


@pytest.mark.parametrize("depth, hexed, expected", DEPTH)
def test_table_depth(depth, hexed, expected):
    data = doc(nest("07 01", depth, hexed))
    if isinstance(expected, tuple):
        assert decode_error(data) == (expected[0], 2 + 2 * depth + expected[1])
        return
    value = loads(data)
    for _ in range(depth):
        (value,) = value
    assert shape(value) == shape(expected)


def test_row_table_budget():
    rows = 100
    first, second = b"\x04" + bitmap([T] * rows), b"\x04" + bitmap([F] * rows)
    table = b"\x09\x02\x41a\x41b" + varint(rows) + first + second
    # R + 1 passes the table's own test; each column then charges R + 1, so the second one fails
    data = budget_left(rows + 1, table)
    assert decode_error(data) == ("decoded size too large", len(data) - len(second))
    data = budget_left(rows, table)
    assert decode_error(data) == ("decoded size too large", len(data) - len(table) + 6 + len(varint(rows)))


def test_columnar_table_budget():
    rows, present = 100, [i % 5 < 2 for i in range(100)]
    body = b"\x04" + bitmap([T] * 40)
    table = b"\x0d\x01\x41a" + varint(rows) + b"\x01" + bitmap(present) + body
    # the table keeps a charge of 2 R, the flag-1 column charges P + 1
    value = loads(budget_left(2 * rows + 40 + 1, table))
    assert value[2] == [{"a": T} if here else {} for here in present]
    del value
    data = budget_left(2 * rows + 40, table)
    assert decode_error(data) == ("decoded size too large", len(data) - len(body))


def random_column(kind: str, rng: random.Random, count: int) -> tuple[bytes, list]:
    """A column body of `count` random items of one kind, and the items it stands for."""
    if kind == "delta":
        values = [rng.randrange(-(2**40), 2**40) for _ in range(count)]
        return b"\x01" + b"".join(zigzag(b - a) for a, b in zip([0] + values, values)), values
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
    return b"\x05\x02\x41x\x41y" + flags + deltas, [{"x": bit, "y": i} for bit, i in zip(bits, ints)]


@pytest.mark.parametrize("columnar", [False, True])
def test_large_table(columnar):
    rng, rows = random.Random(1234), 3001
    kinds = ["delta", "decimal", "words", "flags", "values", "object", "delta", "flags", "values", "words", "object"]
    shares = [None, 0.5, 0.0, 0.97, 0.03, 1.0, 0.5, None, 0.25, 0.75, 0.6] if columnar else [None] * len(kinds)
    keys = [f"{kind}{i}" for i, kind in enumerate(kinds)]
    expected, columns = [{} for _ in range(rows)], b""
    for key, kind, share in zip(keys, kinds, shares):
        present = [share is None or rng.random() < share for _ in range(rows)]
        body, values = random_column(kind, rng, sum(present))
        columns += (b"\x00" if share is None else b"\x01" + bitmap(present)) * columnar + body
        found = iter(values)
        for row, here in zip(expected, present):
            if here:
                row[key] = next(found)
    data = doc(b"\x0d" if columnar else b"\x09", varint(len(keys)), *map(string_item, keys), varint(rows), columns)
    assert shape(loads(data)) == shape(expected)


RELEASE = [
    ("09 02 42 61 62 41 63 02 03 01 42 78 79 00 00 05 01 42 6B 6B 00 00 07 01 42 7A 7A", None),
    ("0D 02 42 61 62 42 63 64 03 01 05 04 01 00 00 02 01 00", None),
    ("09 02 42 61 62 42 61 62", "duplicate column 'ab'"),
    ("09 02 41 61 41 62 02 00 42 78 79 02 03 01 42 71 72 00 05", "bad dictionary index"),
    ("0D 02 42 61 62 42 63 64 03 00 00 81 42 78 79 00 01 08 04 00", "bad presence bitmap"),
    ("09 01 41 61 02 05 02 42 6B 31 42 6B 32 00 42 78 79 00 06", "bad column kind"),
    ("0D 01 41 61 03 01 07 00 42 78 79 07 01 00", "truncated input"),
    ("09 01 41 61 01 00 0D 01 42 61 62 01 02", "bad presence flag"),
    ("0D 01 41 61 01 00 05 02 42 6B 31 42 6B 31", "duplicate key 'k1'"),
]


@pytest.mark.parametrize("hexed, message", RELEASE)
def test_tables_release_everything(hexed, message):
    data = doc(hexed)

    def run(times):
        for _ in range(times):
            try:
                loads(data)
            except vorn_native.VornError as error:
                assert error.message == message
            else:
                assert message is None

    run(10)
    gc.collect()
    blocks, counts = sys.getallocatedblocks(), [sys.getrefcount(x) for x in (None, True, False)]
    run(1000)
    gc.collect()
    assert [sys.getrefcount(x) for x in (None, True, False)] == counts
    if blocks:
        assert sys.getallocatedblocks() - blocks < 100

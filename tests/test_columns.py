"""Typed lists: the six column kinds, key lists, nesting depth and the decoded-size budget."""

from __future__ import annotations

import pytest

import vorn_native
from support import bitmap, budget_left, decode_error, doc, nest, string_item, varint, zigzag

loads = vorn_native.loads_binary
T, F = True, False
I64 = 2**63


def shape(value):
    """`value` with every scalar tagged by its type and every dict as an ordered item list."""
    if isinstance(value, list):
        return [shape(item) for item in value]
    if isinstance(value, dict):
        return {"dict": [(key, shape(item)) for key, item in value.items()]}
    return (type(value).__name__, value)


VALID = [
    # Booleans: least significant bit first, bits past the last item ignored
    ("0C 03 04 05", [T, F, T]),
    ("0C 03 04 FD", [T, F, T]),
    ("0C 08 04 A5", [T, F, T, F, F, T, F, T]),
    ("0C 09 04 00 FF", [F] * 8 + [T]),
    ("0C 10 04 FF 00", [T] * 8 + [F] * 8),
    ("0C 00 04", []),
    # Values
    ("0C 00 00", []),
    ("0C 04 00 00 01 02 81", [None, F, T, 1]),
    ("0C 02 00 07 00 0C 01 04 01", [[], [T]]),
    # DeltaIntegers
    ("0C 02 01 0A 03", [5, 3]),
    ("0C 03 01 0A 03 14", [5, 3, 13]),
    ("0C 00 01", []),
    # Decimals
    ("0C 02 02 01 AC 02 9B 02", [15, -14.2]),
    ("0C 02 02 01 B6 02 09", [15.5, -0.5]),
    ("0C 01 02 02 AC 02", [1.5]),
    ("0C 00 02 06", []),
    # StringDictionary
    ("0C 03 03 02 42 78 79 41 7A 00 01 00", ["xy", "z", "xy"]),
    ("0C 02 03 02 05 03 61 62 63 06 00 01 00", ["abc", "abc"]),
    ("0C 02 03 01 40 00 00", ["", ""]),
    ("0C 00 03 00", []),
    # ObjectColumn: members in key order; every nested column starts its own running sum
    ("0C 02 05 01 41 61 04 01", [{"a": T}, {"a": F}]),
    ("0C 02 05 02 41 61 41 62 01 02 02 00 81 82", [{"a": 1, "b": 1}, {"a": 2, "b": 2}]),
    ("0C 02 05 02 41 62 41 61 01 02 02 01 04 02", [{"b": 1, "a": 2}, {"b": 2, "a": 3}]),
    ("0C 01 05 01 41 61 05 01 41 62 01 02", [{"a": {"b": 1}}]),
    ("0C 00 05 01 41 61 04", []),
]


@pytest.mark.parametrize("hexed, expected", VALID)
def test_typed_list_decodes(hexed, expected):
    assert shape(loads(doc(hexed))) == shape(expected)


ERRORS = [
    ("0C 00", "truncated input", 4),
    ("0C 00 06", "bad column kind", 4),
    ("0C 00 FF", "bad column kind", 4),
    # item count against 8 x remaining bytes, then the bitmap against the input
    ("0C 09 04", "truncated input", 4),
    ("0C 11 04 FF", "truncated input", 4),
    ("0C 10 04 FF", "truncated input", 5),
    ("0C 08 04", "truncated input", 5),
    ("0C 80 80 80 80 08 04 00 00 00 00", "truncated input", 8),
    ("0C 02 00 81", "truncated input", 6),
    ("0C 01 00 0E", "bad tag 0x0e", 5),
    ("0C 02 01 02", "truncated input", 6),
    ("0C 01 01 FF FF FF FF FF FF FF FF FF 02", "varint overflows 64 bits", 5),
    ("0C 00 02", "bad decimal scale", 5),
    ("0C 00 02 07", "bad decimal scale", 5),
    ("0C 01 02 FF 00", "bad decimal scale", 5),
    ("0C 01 02 01", "truncated input", 6),
    ("0C 01 03 00 00", "bad dictionary index", 7),
    ("0C 01 03 01 41 61 01", "bad dictionary index", 9),
    ("0C 01 03 01 41 61 80 01", "bad dictionary index", 10),
    ("0C 01 03 01 41 61 80 80 80 80 08", "bad dictionary index", 13),
    ("0C 02 03 01 41 61 00", "truncated input", 9),
    ("0C 00 03 05 41 61", "truncated input", 6),
    ("0C 00 03 01 80", "key must be a string", 6),
    ("0C 00 03 01 07 00", "key must be a string", 6),
    ("0C 00 03 02 41 61 06 00", "bad string reference", 10),
    ("0C 00 03 01 42 FF FE", "string is not valid UTF-8", 7),
    ("0C 00 05 00", "empty object column", 6),
    ("0C 00 05 05 41 61", "truncated input", 6),
    ("0C 00 05 01 80", "key must be a string", 6),
    ("0C 00 05 01 41 61", "truncated input", 8),
    ("0C 01 05 01 41 61 06", "bad column kind", 8),
    ("0C 01 05 01 41 61 05 00", "empty object column", 10),
    ("0C 02 05 01 41 61 01 02", "truncated input", 10),
    ("0C 00 05 02 41 61 41 61 04 04", "duplicate key 'a'", 10),
    ("0C 00 05 02 40 40 04 04", "duplicate key ''", 8),
    ("0C 00 05 02 42 C3 A9 05 02 C3 A9 04 04", "duplicate key 'é'", 13),
    # keys that arrive as StringRef are compared by their bytes and quoted by their text
    ("07 02 42 61 62 0C 00 05 02 06 00 42 61 62 04 04", "duplicate key 'ab'", 16),
    ("07 02 42 61 62 0C 00 05 02 05 02 61 62 06 00 04 04", "duplicate key 'ab'", 17),
    ("07 02 42 61 62 0C 00 05 02 06 00 06 00 04 04", "duplicate key 'ab'", 15),
]


@pytest.mark.parametrize("hexed, message, offset", ERRORS)
def test_typed_list_fails(hexed, message, offset):
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


def key_list_document(count: int, first: int, again: int, by_reference: bool) -> tuple[bytes, int]:
    """An ObjectColumn of `count` keys whose key `again` repeats key `first`; and the offset just past it.

    The same 17 texts are defined as strings first, so both key counts share every byte before the keys.
    """
    texts = [("k" * (i % 3 + 1)) + str(i) for i in range(17)]
    order = [first if i == again else i for i in range(count)]
    keys = [b"\x06" + varint(i) if by_reference else string_item(texts[i]) for i in order]
    head = doc("07 02 07 11", *map(string_item, texts), "0C 00 05", varint(count))
    return head + b"".join(keys) + b"\x04" * count, len(head) + len(b"".join(keys[: again + 1]))


@pytest.mark.parametrize("by_reference", [False, True])
@pytest.mark.parametrize("first, again", [(0, 1), (2, 9), (0, 15), (14, 15), (7, 8)])
def test_sixteen_and_seventeen_keys_find_the_same_duplicate(first, again, by_reference):
    (short, at16), (long, at17) = (key_list_document(count, first, again, by_reference) for count in (16, 17))
    text = ("k" * (first % 3 + 1)) + str(first)
    assert at16 == at17
    assert decode_error(short) == decode_error(long) == (f"duplicate key '{text}'", at16)


@pytest.mark.parametrize("count", [16, 17, 40])
def test_distinct_keys_pass_both_duplicate_tests(count):
    texts = ["", "k", "kk", "kK", "Kk", "k0", "0k"] + [f"key{i}" for i in range(count - 7)]
    data = doc("0C 01 05", varint(count), *map(string_item, texts), b"\x00\x80" * count)
    assert list(loads(data)[0].items()) == [(t, 0) for t in texts]
    # the last key repeats the first: found by the scan for 16 keys, by the hash set from 17 on
    data = doc("0C 00 05", varint(count), *map(string_item, texts[:-1] + [""]))
    assert decode_error(data) == ("duplicate key ''", len(data))


DEPTH = [
    # (depth, typed list, decoded innermost value or (message, offset from the typed list))
    (511, "0C 02 01 02 02", [1, 2]),
    (511, "0C 01 02 01 03", [-0.2]),
    (511, "0C 02 03 01 42 61 62 00 00", ["ab", "ab"]),
    (511, "0C 02 04 01", [T, F]),
    (511, "0C 00 00", []),
    (510, "0C 01 00 80", [0]),
    (510, "0C 01 05 01 41 61 04 01", [{"a": T}]),
    (511, "0C 01 00 80", ("nesting too deep", 3)),
    (511, "0C 01 05 01 41 61 04 01", ("nesting too deep", 6)),
    (512, "0C 00 04", ("nesting too deep", 2)),
    (512, "0C 00 06", ("nesting too deep", 2)),
    (512, "0C 01 02 09 00", ("nesting too deep", 2)),
]


@pytest.mark.parametrize("depth, hexed, expected", DEPTH)
def test_typed_list_depth(depth, hexed, expected):
    data = doc(nest("07 01", depth, hexed))
    if isinstance(expected, tuple):
        assert decode_error(data) == (expected[0], 2 + 2 * depth + expected[1])
        return
    value = loads(data)
    for _ in range(depth):
        (value,) = value
    assert shape(value) == shape(expected)


def test_budget_of_exactly_n_plus_one():
    count = 1000
    typed = b"\x0c" + varint(count) + b"\x04" + bitmap([i % 3 == 0 for i in range(count)])
    value = loads(budget_left(count + 1, typed))
    assert value[2] == [i % 3 == 0 for i in range(count)]
    del value
    data = budget_left(count, typed)
    assert decode_error(data) == ("decoded size too large", len(data) - len(typed) + 1 + len(varint(count)))

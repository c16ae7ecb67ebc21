"""The tag table, strings, the string table, lists and the nesting limit."""

from functools import reduce
from operator import getitem

import pytest

from vorn_native import VornError, loads_binary
from support import decode_error, doc, nest, string_item, unnest, varint


def test_singletons_and_small_ints():
    assert [loads_binary(doc(tag)) for tag in ["00", "01", "02"]] == [None, False, True]
    for tag in range(0x80, 0x100):
        value = loads_binary(doc(bytes([tag])))
        assert type(value) is int and value == tag - 0x80


@pytest.mark.parametrize("length", [*range(32), 127, 128, 300, 16384])
def test_string_lengths(length):
    text = "".join(chr(0x61 + i % 26) for i in range(length))
    long_form = b"\x05" + varint(length) + text.encode()
    for item in {string_item(text), long_form}:  # ShortString up to 31 bytes, and String
        assert loads_binary(doc(item)) == text
        if length:
            assert decode_error(doc(item[:-1])) == ("truncated input", 2 + len(item) - length)


@pytest.mark.parametrize(
    "data, expected, same",
    [
        (doc("07 03 81 42 61 62 06 00"), [1, "ab", "ab"], [(1, 2)]),
        (doc("07 02 05 02 61 62 06 00"), ["ab", "ab"], [(0, 1)]),
        (doc("07 04 40 05 01 78 42 61 62 06 00"), ["", "x", "ab", "ab"], [(2, 3)]),
        (doc("07 05 42 61 62 41 78 43 63 64 65 06 01 06 00"), ["ab", "x", "cde", "cde", "ab"], [(2, 3), (0, 4)]),
        (doc("07 03 42 61 62 42 61 62 06 01"), ["ab", "ab", "ab"], [(1, 2)]),
        (doc("07 03 07 01 42 61 62 42 63 64 06 00"), [["ab"], "cd", "ab"], [((0, 0), 2)]),
        (doc("07 03 42 61 62 06 80 00 06 00"), ["ab", "ab", "ab"], [(0, 1), (0, 2)]),
    ],
)
def test_string_table(data, expected, same):
    value = loads_binary(data)
    assert value == expected
    for left, right in same:
        assert reduce(getitem, left if isinstance(left, tuple) else [left], value) is value[right]


BAD_REFERENCES = [  # reported just past the index, which ends each of these documents
    "06 00", "07 02 41 61 06 00", "07 02 05 01 61 06 00", "07 03 40 05 00 06 00", "07 02 42 61 62 06 01",
    "07 02 42 61 62 06 80 80 80 80 10", "07 02 42 61 62 06 ff ff ff ff 0f", "07 02 42 61 62 06" + " ff" * 9 + " 01",
]


@pytest.mark.parametrize(
    "data, message, offset",
    [
        *((doc(head, bytes([tag]), tail), f"bad tag 0x{tag:02x}", at) for tag in [*range(0x0E, 0x40), *range(0x60, 0x80)]
          for head, tail, at in [("", "", 2), ("07 03 80 42 61 62", "80", 8)]),
        *((doc(hex_), "bad string reference", len(doc(hex_))) for hex_ in BAD_REFERENCES),
        (doc("06"), "truncated input", 3), (doc("06 80"), "truncated input", 3),
        (doc("06", "ff" * 9, "02"), "varint overflows 64 bits", 3), (doc("07"), "truncated input", 3),
        (doc("07 80"), "truncated input", 3), (doc("07 01"), "truncated input", 4),
        (doc("07 02 80"), "truncated input", 4), (doc("07 04 07 00 80"), "truncated input", 4),
        (doc("07 03 07 00 80"), "truncated input", 7), (doc("07 02 05 01"), "truncated input", 6),
        (doc("07 01 07 02 80"), "truncated input", 6), (doc("07 02 80 80 80"), "trailing data", 6),
    ],
)
def test_fails(data, message, offset):
    assert decode_error(data) == (message, offset)


def test_list_count_equal_to_remaining_bytes():
    assert loads_binary(doc(b"\x07\x80\x01" + b"\x81" * 128)) == [1] * 128


@pytest.mark.parametrize("inner, innermost", [("80", 0), ("07 00", []), ("08 00", {}), ("42 61 62", "ab")])
def test_depth_limit(inner, innermost):
    assert unnest(loads_binary(doc(nest("07 01", 512, inner)))) == (512, innermost)
    # The value that would stand at depth 513 fails at its own tag.
    assert decode_error(doc(nest("07 01", 513, inner))) == ("nesting too deep", 2 + 2 * 513)


@pytest.mark.parametrize(
    "data",
    [
        doc("07 05 81 42 61 62 06 00 05 03 78 79 7a 03 ac 02"),
        doc("08 02 42 6b 31 07 02 04 00 00 00 00 00 00 e0 3f 41 7a 05 02 6b 32 08 01 06 00 00"),
        doc("07 04 0a 07 02 42 c3 a9 80 0a 41 61 0b 00 0b 81 00"),
        doc(b"\x07\x80\x01" + b"\x81" * 127 + b"\x05\x80\x01" + b"q" * 128),
        doc(nest("07 01", 40, "08 01 42 69 64 05 03 c3 a9 21")),
    ],
    ids=["list", "object", "anchors", "long", "nested"],
)
def test_truncation_at_every_length(data):
    loads_binary(data)
    for length in range(len(data)):
        with pytest.raises(VornError) as info:
            loads_binary(data[:length])
        expected = "truncated input" if length >= 2 else "not a VORN binary document"
        assert (info.value.message, info.value.offset <= length) == (expected, True), length

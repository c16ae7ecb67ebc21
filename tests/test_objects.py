"""Objects: keys, key order, duplicate keys and the string table."""

import pytest

from vorn_native import loads_binary
from support import decode_error, doc, nest, string_item, unnest

LONG_KEY = "k" * 40


@pytest.mark.parametrize(
    "data, expected",
    [
        (doc("08 00"), {}), (doc("08 01 41 61 01"), {"a": False}), (doc("08 01 40 80"), {"": 0}),
        (doc("08 01 05 01 61 80"), {"a": 0}), (doc("08 81 00 41 61 80"), {"a": 0}),
        (doc("08 01 42 c3 a9 80"), {"é": 0}), (doc("08 01", string_item(LONG_KEY), "81"), {LONG_KEY: 1}),
        (doc("08 02 42 61 62 80 42 63 64 06 00"), {"ab": 0, "cd": "ab"}),
        (doc("08 02 41 61 42 78 79 06 00 80"), {"a": "xy", "xy": 0}),
        (doc("08 01 41 61 08 01 41 62 07 00"), {"a": {"b": []}}),
        (doc("07 02 08 01 42 6b 31 42 76 31 06 01"), [{"k1": "v1"}, "v1"]),
        (doc("07 02 08 01 42 6b 31 42 76 31 06 00"), [{"k1": "v1"}, "k1"]),
        (doc("07 02 08 01 42 69 64 80 08 01 06 00 81"), [{"id": 0}, {"id": 1}]),
    ],
)
def test_decodes(data, expected):
    assert loads_binary(data) == expected


def test_key_order_follows_the_input():
    value = loads_binary(doc("07 02 42 6d 6d 08 04 41 7a 80 06 00 81 41 61 82 05 02 71 71 06 00"))
    assert list(value[1].items()) == [("z", 0), ("mm", 1), ("a", 2), ("qq", "mm")]


def test_keys_and_values_share_string_objects():
    value = loads_binary(doc("07 02 08 02 42 69 64 06 00 42 78 79 80 08 01 06 01 06 00"))
    first, second = value
    (key_id, key_xy), (key_xy2,) = list(first), list(second)
    assert first[key_id] is key_id
    assert key_xy2 is key_xy
    assert second[key_xy2] is key_id


NOT_KEYS = [0x00, 0x01, 0x02, 0x03, 0x04, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x3F, 0x60, 0x7F, 0x80, 0xFF]


@pytest.mark.parametrize(
    "data, message, offset",
    [
        *((doc(head, bytes([tag]), "41 61 80 80 80"), "key must be a string", at)
          for tag in NOT_KEYS for head, at in [("08 01", 4), ("08 02 41 61 80", 7)]),
        (doc("08 02 41 61 80 41 61 81"), "duplicate key 'a'", 10),
        (doc("08 02 42 61 62 81 06 00 82"), "duplicate key 'ab'", 11),
        (doc("08 02 42 61 62 80 05 02 61 62 81"), "duplicate key 'ab'", 13),
        (doc("08 02 05 02 61 62 80 42 61 62 81"), "duplicate key 'ab'", 13),
        (doc("08 02 41 61 80 41 61 07 02 80 80"), "duplicate key 'a'", 13),
        (doc("07 02 42 61 62 08 02 06 00 80 42 61 62 81"), "duplicate key 'ab'", 16),
        (doc("08 02 40 80 05 00 81"), "duplicate key ''", 9),
        (doc("08 02 42 c3 a9 80 06 00 81"), "duplicate key 'é'", 11),
        (doc("08 02 42 27 78 80 42 27 78 81"), "duplicate key ''x'", 12),
        (doc("08 03 41 61 80 41 62 80 41 61 0e"), "bad tag 0x0e", 12),
        (doc("08 02 41 61 80 06 00 80"), "bad string reference", 9),
        (doc("08 01 06 00 80"), "bad string reference", 6), (doc("08 05 41 61 80"), "truncated input", 4),
        (doc("08 02 41 61 80"), "truncated input", 7), (doc("08"), "truncated input", 3),
        (doc("08 80"), "truncated input", 3), (doc("08 01"), "truncated input", 4),
        (doc("08 ff ff ff ff 07 41 61 80"), "truncated input", 8),
        (doc(b"\x08\x80\x80\x80\x80\x08" + b"\x41\x61\x80" * 20), "truncated input", 8),
        (doc("08 01 41 61"), "truncated input", 6), (doc("08 01 43 61 62"), "truncated input", 5),
        (doc("08 01 05 05 61 62"), "truncated input", 6), (doc("08 01 05 80"), "truncated input", 5),
        (doc("08 01 05 ff ff ff ff 07 61"), "truncated input", 10), (doc("08 01 06 80"), "truncated input", 5),
        (doc("08 01 06", "ff" * 9, "02"), "varint overflows 64 bits", 5),
        (doc("08 01 41 ff 80"), "string is not valid UTF-8", 5),
        (doc("08 01 05 02 c0 80 80"), "string is not valid UTF-8", 6),
        (doc("08 01 41 61 0b 00"), "bad anchor reference", 8),
    ],
)
def test_fails(data, message, offset):
    assert decode_error(data) == (message, offset)


def test_depth_limit():
    assert unnest(loads_binary(doc(nest("08 01 41 61", 512, "80")))) == (512, 0)
    assert unnest(loads_binary(doc(nest("08 01 41 61", 512, "08 00")))) == (512, {})
    assert decode_error(doc(nest("08 01 41 61", 513, "80"))) == ("nesting too deep", 2 + 4 * 513)
    # The depth test comes first, even when no byte is left for the value.
    assert decode_error(doc(nest("08 01 41 61", 513, ""))) == ("nesting too deep", 2 + 4 * 513)
    # Keys are not values: a key at depth 513 is read; the object at 512 holding it fails.
    assert decode_error(doc(nest("07 01", 512, "08 01 41 61 80"))) == ("nesting too deep", 2 + 2 * 512 + 4)

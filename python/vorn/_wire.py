"""The format's vocabulary as the encoder writes it: tags, column kinds, bounds, and the
sizes of its integer and string forms. (The native encoder's src/encoder/wire.h holds the same.)"""

from __future__ import annotations

HEADER = b"\x0f\x01"

TAG_NONE, TAG_FALSE, TAG_TRUE, TAG_INT, TAG_FLOAT = 0x00, 0x01, 0x02, 0x03, 0x04
TAG_STRING, TAG_STRING_REF, TAG_LIST, TAG_OBJECT, TAG_ROW_TABLE = 0x05, 0x06, 0x07, 0x08, 0x09
TAG_TYPED_LIST, TAG_COLUMN_TABLE = 0x0C, 0x0D
TAG_SHORT_STRING = 0x40  # | length, for 0..31 bytes
TAG_SMALL_INT = 0x80  # | value, for 0..127

VALUES, DELTA_INTEGERS, DECIMALS, STRING_DICTIONARY, BOOLEANS, OBJECT_COLUMN = range(6)
"""Column kinds."""

MAX_DEPTH = 512
"""The deepest level at which the decoder reads a value (the top level is 0)."""

MAX_COUNT = 2**31 - 1
"""The largest count or byte length that a document may carry."""

INT_MIN = -(2**63)
INT_MAX = 2**63 - 1
TWO_53 = 2**53

BUDGET_PER_BYTE = 32
BUDGET_BASE = 4_194_304
"""The decoder's decoded-size budget: 32 per document byte plus this."""


def varint_size(value: int) -> int:
    """Bytes of an unsigned varint."""
    return 1 if value < 0x80 else (value.bit_length() + 6) // 7


def zigzag(value: int) -> int:
    """A signed 64-bit int mapped to the unsigned zigzag value."""
    return (value << 1) ^ (value >> 63)


def wrap64(value: int) -> int:
    """`value` reduced to the signed 64-bit range, two's complement."""
    return ((value + 2**63) & 0xFFFFFFFFFFFFFFFF) - 2**63


def int_value_size(value: int) -> int:
    """Bytes of an int written as a value: `SmallInt`, else `Int`."""
    return 1 if 0 <= value < 0x80 else 1 + varint_size(zigzag(value))


def literal_size(length: int) -> int:
    """Bytes of a string of `length` UTF-8 bytes written out in full."""
    return 1 + length if length < 32 else 1 + varint_size(length) + length

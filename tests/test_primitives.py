"""Varints, zigzag integers, floats, lengths and text."""

import struct

import pytest

from vorn_native import loads_binary
from support import decode_error, doc, varint, zigzag

FF9 = "ff" * 9
# Int bodies (zigzag varints) and their values, overlong forms included.
INTS = [("00", 0), ("01", -1), ("02", 1), ("03", -2), ("7f", -64), ("80 01", 64), ("80 00", 0), ("ac 02", 150),
        ("80" * 9 + "00", 0), ("80" * 8 + "01", 2**55), ("ff" * 8 + "7f", -(2**62)), ("ff ff ff ff 0f", -(2**31)), ("80 80 80 80 10", 2**31),
        ("fe ff ff ff 1f", 2**32 - 1), (FF9 + "01", -(2**63)), ("fe" + "ff" * 8 + "01", 2**63 - 1),
        (FF9 + "00", -(2**62)), ("80" * 9 + "01", 2**62), (zigzag(-123456789012).hex(), -123456789012)]
# Floats and what they decode to: an int when integral and below 2**53 in magnitude.
FLOATS = [(1.0, 1), (-0.0, 0), (0.0, 0), (-3.0, -3), (1e15, 10**15), (2.0**52 + 1, 2**52 + 1),
          (2.0**53 - 1, 2**53 - 1), (-(2.0**53 - 1), -(2**53 - 1)), (0.5, 0.5), (-0.5, -0.5), (0.1, 0.1),
          (2.0**52 - 0.5, 2.0**52 - 0.5), (2.0**53, 2.0**53), (-(2.0**53), -(2.0**53)), (2.0**53 + 2, 2.0**53 + 2),
          (2.0**63, 2.0**63), (-(2.0**64), -(2.0**64)), (1e300, 1e300), (-1e300, -1e300), (5e-324, 5e-324),
          (-5e-324, -5e-324), (2.2250738585072014e-308, 2.2250738585072014e-308),
          (1.7976931348623157e308, 1.7976931348623157e308), (-1.7976931348623157e308, -1.7976931348623157e308)]
TEXTS = [("c3 a9", "\u00e9"), ("00", "\x00"), ("61 00 62", "a\x00b"), ("ef bb bf", "\ufeff"), ("c2 80", "\x80"),
         ("f0 9f 98 80", "\U0001f600"), ("ed 9f bf", "\ud7ff"), ("ee 80 80", "\ue000"), ("f4 8f bf bf", "\U0010ffff")]
STRINGS = [("05 00", ""), ("05 03 61 62 63", "abc"), ("05 82 00 61 62", "ab"), ("05" + "80" * 9 + "00", ""),
           ("05 80 01" + "78" * 128, "x" * 128), ("07 80 00", [])]

DECODES = (
    [(doc("03", body), value) for body, value in INTS]
    + [(doc(b"\x04" + struct.pack("<d", x)), value) for x, value in FLOATS]
    + [(doc("04 00 00 00 00 00 00 f0 3f"), 1), (doc("04 00 00 00 00 00 00 00 80"), 0)]
    + [(doc(bytes([0x40 | len(bytes.fromhex(t))]), t), value) for t, value in TEXTS]
    + [(doc(b"\x05" + varint(len(bytes.fromhex(t))), t), value) for t, value in TEXTS]
    + [(doc(body), value) for body, value in STRINGS]
)


@pytest.mark.parametrize("data, expected", DECODES)
def test_decodes(data, expected):
    value = loads_binary(data)
    assert type(value) is type(expected)
    if isinstance(expected, float):  # bit for bit: signs of zero, subnormals
        assert struct.pack("<d", value) == struct.pack("<d", expected)
    else:
        assert value == expected


NOT_FINITE = [0x7FF0000000000000, 0xFFF0000000000000, 0x7FF8000000000000, 0xFFF8000000000000,
              0x7FF0000000000001, 0x7FFFFFFFFFFFFFFF, 0xFFFFFFFFFFFFFFFF, 0x7FF4000000000000]
INVALID_UTF8 = ["ff", "fe", "80", "c3", "61 c3", "c0 80", "c1 bf", "e0 80 80", "ed a0 80", "ed bf bf",
                "f0 8f bf bf", "f4 90 80 80", "f5 80 80 80", "f8 88 80 80 80", "61 62 ff", "e2 82"]


@pytest.mark.parametrize(
    "data, message, offset",
    [
        # Varints: failures are reported at the first byte of the varint.
        (doc("03"), "truncated input", 3), (doc("03 80"), "truncated input", 3),
        (doc("03 ff ff"), "truncated input", 3), (doc("03", FF9), "truncated input", 3),
        (doc("07 02 80 03 ff"), "truncated input", 6),
        *((doc("03", FF9, last), "varint overflows 64 bits", 3) for last in ["02", "81", "7f", "80 00"]),
        (doc("03", "80" * 9, "80"), "varint overflows 64 bits", 3),
        (doc("07 02 80 03", FF9, "02"), "varint overflows 64 bits", 6),
        (doc("03", FF9, "01 00"), "trailing data", 13),
        # Floats.
        (doc("04"), "truncated input", 3), (doc("04", "00" * 7), "truncated input", 3),
        (doc("07 02 80 04", "00" * 7), "truncated input", 6),
        *((doc(b"\x04" + bits.to_bytes(8, "little")), "float is not finite", 3) for bits in NOT_FINITE),
        (doc("07 02 80 04 00 00 00 00 00 00 f0 7f"), "float is not finite", 6),
        # Lengths: at most 2,147,483,647, and no more than the bytes that remain.
        (doc("05"), "truncated input", 3), (doc("05 80"), "truncated input", 3),
        (doc("05 04 61 62 63"), "truncated input", 4), (doc("05 ff ff ff ff 07 61"), "truncated input", 8),
        (doc(b"\x05\x80\x80\x80\x80\x08" + b"a" * 64), "truncated input", 8),
        (doc("05 81 80 80 80 10 61"), "truncated input", 8), (doc("05", FF9, "01 61"), "truncated input", 13),
        (doc("05", FF9, "02"), "varint overflows 64 bits", 3), (doc("07 ff ff ff ff 07 80"), "truncated input", 8),
        (doc(b"\x07\x80\x80\x80\x80\x08" + b"\x80" * 64), "truncated input", 8),
        (doc("07 81 80 80 80 10 80"), "truncated input", 8),
        (doc(b"\x07\x80\x01" + b"\x80" * 127), "truncated input", 5),
        # Text: reported at the first text byte.
        *((doc(bytes([0x40 | len(bytes.fromhex(t))]), t), "string is not valid UTF-8", 3) for t in INVALID_UTF8),
        *((doc(b"\x05" + varint(len(bytes.fromhex(t))), t), "string is not valid UTF-8", 4) for t in INVALID_UTF8),
        (doc(b"\x05\x80\x01" + b"a" * 127 + b"\xff"), "string is not valid UTF-8", 5),
        (doc("07 02 80 05 01 ff"), "string is not valid UTF-8", 7),
    ],
)
def test_fails(data, message, offset):
    assert decode_error(data) == (message, offset)

"""Varints, zigzag integers, floats, lengths and text."""

import struct

import pytest

from vorn_native import loads_binary
from support import decode_error, doc, varint, zigzag

FF9 = "ff" * 9


def float_doc(value: float) -> bytes:
    return doc(b"\x04" + struct.pack("<d", value))


def bits_doc(bits: int) -> bytes:
    return doc(b"\x04" + bits.to_bytes(8, "little"))


def assert_same(actual, expected):
    assert type(actual) is type(expected)
    if isinstance(expected, float):
        assert struct.pack("<d", actual) == struct.pack("<d", expected)
    else:
        assert actual == expected


@pytest.mark.parametrize(
    "data, expected",
    [
        # Zigzag integers and varint lengths.
        (doc("03 00"), 0),
        (doc("03 01"), -1),
        (doc("03 02"), 1),
        (doc("03 03"), -2),
        (doc("03 7f"), -64),
        (doc("03 80 01"), 64),
        (doc("03 80 00"), 0),
        (doc("03", "80" * 9, "00"), 0),
        (doc("03 ac 02"), 150),
        (doc("03 ff ff ff ff 0f"), -(2**31)),
        (doc("03 80 80 80 80 10"), 2**31),
        (doc("03 fe ff ff ff 1f"), 2**32 - 1),
        (doc("03", FF9, "01"), -(2**63)),
        (doc("03 fe", "ff" * 8, "01"), 2**63 - 1),
        (doc("03", FF9, "00"), -(2**62)),
        (doc("03", "80" * 9, "01"), 2**62),
        (doc(b"\x03" + zigzag(-123456789012)), -123456789012),
        # Floats and the integral-float rule.
        (doc("04 00 00 00 00 00 00 f0 3f"), 1),
        (doc("04 00 00 00 00 00 00 00 80"), 0),
        (float_doc(0.0), 0),
        (float_doc(-3.0), -3),
        (float_doc(0.5), 0.5),
        (float_doc(-0.5), -0.5),
        (float_doc(1e15), 10**15),
        (float_doc(2.0**52 + 1), 2**52 + 1),
        (float_doc(2.0**52 - 0.5), 2.0**52 - 0.5),
        (float_doc(2.0**53 - 1), 2**53 - 1),
        (float_doc(-(2.0**53 - 1)), -(2**53 - 1)),
        (float_doc(2.0**53), 2.0**53),
        (float_doc(-(2.0**53)), -(2.0**53)),
        (float_doc(2.0**53 + 2), 2.0**53 + 2),
        (float_doc(2.0**63), 2.0**63),
        (float_doc(-(2.0**64)), -(2.0**64)),
        (float_doc(1e300), 1e300),
        (float_doc(-1e300), -1e300),
        (float_doc(5e-324), 5e-324),
        (float_doc(-5e-324), -5e-324),
        (float_doc(2.2250738585072014e-308), 2.2250738585072014e-308),
        (bits_doc(0x7FEFFFFFFFFFFFFF), 1.7976931348623157e308),
        (bits_doc(0xFFEFFFFFFFFFFFFF), -1.7976931348623157e308),
        (float_doc(0.1), 0.1),
        # Lengths, including encodings longer than needed.
        (doc("05 00"), ""),
        (doc("05 03 61 62 63"), "abc"),
        (doc("05 82 00 61 62"), "ab"),
        (doc("05", "80" * 9, "00"), ""),
        (doc(b"\x05\x80\x01" + b"x" * 128), "x" * 128),
        (doc("07 80 00"), []),
        # Text.
        (doc("42 c3 a9"), "\u00e9"),
        (doc("05 02 c3 a9"), "\u00e9"),
        (doc("41 00"), "\x00"),
        (doc("43 61 00 62"), "a\x00b"),
        (doc("05 03 00 00 00"), "\x00\x00\x00"),
        (doc("43 ef bb bf"), "\ufeff"),
        (doc("44 f0 9f 98 80"), "\U0001f600"),
        (doc("43 ed 9f bf"), "\ud7ff"),
        (doc("43 ee 80 80"), "\ue000"),
        (doc("44 f4 8f bf bf"), "\U0010ffff"),
        (doc("42 c2 80"), "\x80"),
    ],
)
def test_decodes(data, expected):
    assert_same(loads_binary(data), expected)


NOT_FINITE = [0x7FF0000000000000, 0xFFF0000000000000, 0x7FF8000000000000, 0xFFF8000000000000,
              0x7FF0000000000001, 0x7FFFFFFFFFFFFFFF, 0xFFFFFFFFFFFFFFFF, 0x7FF4000000000000]

INVALID_UTF8 = ["ff", "fe", "80", "c3", "61 c3", "c0 80", "c1 bf", "e0 80 80", "ed a0 80", "ed bf bf",
                "f0 8f bf bf", "f4 90 80 80", "f5 80 80 80", "f8 88 80 80 80", "61 62 ff", "e2 82"]


@pytest.mark.parametrize(
    "data, message, offset",
    [
        # Varints.
        (doc("03"), "truncated input", 3),
        (doc("03 80"), "truncated input", 3),
        (doc("03 ff ff"), "truncated input", 3),
        (doc("03", FF9), "truncated input", 3),
        (doc("03", "80" * 9), "truncated input", 3),
        (doc("03", FF9, "02"), "varint overflows 64 bits", 3),
        (doc("03", FF9, "81"), "varint overflows 64 bits", 3),
        (doc("03", FF9, "7f"), "varint overflows 64 bits", 3),
        (doc("03", "80" * 9, "80"), "varint overflows 64 bits", 3),
        (doc("03", "80" * 9, "80 00"), "varint overflows 64 bits", 3),
        (doc("03", FF9, "01 00"), "trailing data", 13),
        (doc("07 02 80 03 ff"), "truncated input", 6),
        (doc("07 02 80 03", FF9, "02"), "varint overflows 64 bits", 6),
        # Floats.
        (doc("04"), "truncated input", 3),
        (doc("04", "00" * 7), "truncated input", 3),
        (doc("07 02 80 04", "00" * 7), "truncated input", 6),
        *((bits_doc(bits), "float is not finite", 3) for bits in NOT_FINITE),
        (doc("07 02 80 04 00 00 00 00 00 00 f0 7f"), "float is not finite", 6),
        # Length varints: the 2,147,483,647 limit and the remaining bytes.
        (doc("05"), "truncated input", 3),
        (doc("05 80"), "truncated input", 3),
        (doc("05 04 61 62 63"), "truncated input", 4),
        (doc("05 ff ff ff ff 07 61"), "truncated input", 8),
        (doc(b"\x05\x80\x80\x80\x80\x08" + b"a" * 64), "truncated input", 8),
        (doc("05 81 80 80 80 10 61"), "truncated input", 8),
        (doc("05", FF9, "01 61"), "truncated input", 13),
        (doc("05", FF9, "02"), "varint overflows 64 bits", 3),
        (doc("07 ff ff ff ff 07 80"), "truncated input", 8),
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

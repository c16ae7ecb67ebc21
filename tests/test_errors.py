"""VornError, the document header and trailing data."""

import pytest

from vorn_native import VornError, loads_binary
from support import decode_error, doc, varint


def test_error_type():
    assert VornError.__name__ == "VornError"
    assert VornError.__qualname__ == "VornError"
    assert VornError.__module__ == "vorn_native"
    assert VornError.__bases__ == (ValueError,)
    assert VornError.__doc__ == "Invalid VORN input."
    own = set(vars(VornError))
    assert not own & {"__init__", "__new__", "__str__", "__repr__", "__slots__", "message", "offset"}


def test_raised_error_carries_text_message_and_offset():
    with pytest.raises(VornError) as info:
        loads_binary(b"")
    error = info.value
    assert type(error) is VornError and isinstance(error, ValueError)
    assert str(error) == "vorn: offset 0: not a VORN binary document"
    assert error.args == ("vorn: offset 0: not a VORN binary document",)
    assert type(error.message) is str and error.message == "not a VORN binary document"
    assert type(error.offset) is int and error.offset == 0
    assert error.__context__ is None and error.__cause__ is None


@pytest.mark.parametrize(
    "data, text",
    [
        (b"\x0f\x02\x00", "vorn: offset 1: unsupported binary version 2"),
        (doc(b"\x07", varint(1001), b"\x80" * 1000, b"\x0e"), "vorn: offset 1005: bad tag 0x0e"),
        (doc(b"\x07\x02\x45\x61\x62\xff\x64\x65"), "vorn: offset 5: string is not valid UTF-8"),
    ],
)
def test_error_text(data, text):
    with pytest.raises(VornError) as info:
        loads_binary(data)
    assert str(info.value) == text
    assert info.value.__context__ is None


def test_user_constructed_error_has_no_attributes():
    error = VornError("x")
    assert str(error) == "x"
    for name in ("message", "offset"):
        with pytest.raises(AttributeError):
            getattr(error, name)


NOT_VORN = [b"", b"\x0f", b"\x01", b"\x0e\x01\x00", b"\x00\x01\x00", b"\xf0\x01\x00", b"\x0e\x02"]
TRAILING = [("00 00", 3), ("00 0f 01 00", 3), ("00" + " ff" * 100, 3), ("80 0e", 3), ("07 00 00", 4),
            ("42 61 62 06 00", 5), ("03 80 01 00", 5)]


@pytest.mark.parametrize(
    "data, message, offset",
    [
        *((data, "not a VORN binary document", 0) for data in NOT_VORN),
        *((bytes([15, v, 0])[: 2 + (v < 255)], f"unsupported binary version {v}", 1) for v in [0, 2, 16, 129, 255]),
        (b"\x0f\x00", "unsupported binary version 0", 1),
        (b"\x0f\x01", "truncated input", 2),
        (b"\x0f\x01\x0f\x01\x00", "bad tag 0x0f", 2),
        *((doc(body), "trailing data", offset) for body, offset in TRAILING),
    ],
)
def test_header_and_trailing_data(data, message, offset):
    assert decode_error(data) == (message, offset)


def test_calls_share_no_state():
    strings = doc("07 02 42 61 62 06 00")
    first = loads_binary(strings)
    assert loads_binary(strings) == first == ["ab", "ab"]
    assert decode_error(doc("06 00")) == ("bad string reference", 4)
    assert loads_binary(doc("07 02 0a 80 0b 00")) == [0, 0]
    assert decode_error(doc("0b 00")) == ("bad anchor reference", 4)

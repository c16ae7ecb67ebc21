"""The module surface: attributes, arguments, VornError, the document header and trailing data."""

import ctypes
import importlib
import sys

import pytest

import vorn_native
from vorn_native import VornError, loads_binary
from support import decode_error, doc, varint

NONE_DOC = b"\x0f\x01\x00"


class BytesChild(bytes):
    pass


def bytes_from_object_error(obj):
    """The exception that the interpreter's own PyBytes_FromObject raises for `obj`."""
    convert = ctypes.pythonapi.PyBytes_FromObject
    convert.argtypes = [ctypes.py_object]
    convert.restype = ctypes.py_object
    with pytest.raises(Exception) as info:
        convert(obj)
    return info.value


def test_module_attributes():
    assert vorn_native.__all__ == ["loads_binary", "VornError"]
    assert vorn_native.__doc__ == ""
    assert vorn_native.__name__ == "vorn_native"
    assert vorn_native.VornError is VornError
    func = vorn_native.loads_binary
    assert func.__text_signature__ == "(data)"
    assert func.__doc__ == "Decodes VORN binary into dict/list/str/int/float/bool/None."
    assert func.__self__ is vorn_native
    assert func.__name__ == "loads_binary"
    assert func.__module__ == "vorn_native"
    assert func(data=b"\x0f\x01\x02") is True


@pytest.mark.parametrize(
    "data",
    [NONE_DOC, bytearray(NONE_DOC), memoryview(NONE_DOC), memoryview(b"xx" + NONE_DOC + b"yy")[2:5], [15, 1, 0],
     (15, 1, 0), iter([15, 1, 0]), BytesChild(NONE_DOC)],
    ids=["bytes", "bytearray", "memoryview", "memoryview-slice", "list", "tuple", "iterator", "bytes-subclass"],
)
def test_accepted_argument_types(data):
    assert loads_binary(data) is None


@pytest.mark.parametrize(
    "data",
    ["\x0f\x01\x00", 3, None, 1.5, object(), [15, 1, 256], [15, 1, -1], ["a"]],
    ids=["str", "int", "None", "float", "object", "list-256", "list-negative", "list-of-str"],
)
def test_unconvertible_argument_raises_conversion_error(data):
    expected = bytes_from_object_error(data)
    with pytest.raises(type(expected)) as info:
        loads_binary(data)
    assert not isinstance(info.value, VornError)
    assert str(info.value) == str(expected)


MISSING = "loads_binary() missing 1 required positional argument: 'data'"
MULTIPLE = "loads_binary() got multiple values for argument 'data'"


def too_many(n):
    return f"loads_binary() takes 1 positional arguments but {n} were given"


def unexpected(name):
    return f"loads_binary() got an unexpected keyword argument '{name}'"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, MISSING), ((NONE_DOC, NONE_DOC), {}, too_many(2)), ((NONE_DOC,) * 3, {}, too_many(3)),
        ((NONE_DOC, NONE_DOC), {"data": NONE_DOC, "x": 1}, too_many(2)), (("not bytes", 1), {}, too_many(2)),
        *(((), {name: NONE_DOC}, unexpected(name)) for name in ["x", "dat", "datax", "Data", "data\x00", "\udc80"]),
        ((), {"x": 1, "data": NONE_DOC}, unexpected("x")), ((), {"data": NONE_DOC, "x": 1}, unexpected("x")),
        ((NONE_DOC,), {"x": 1}, unexpected("x")), (("not bytes",), {"\udc80": 1}, unexpected("\udc80")),
        ((NONE_DOC,), {"data": NONE_DOC}, MULTIPLE), ((NONE_DOC,), {"data": NONE_DOC, "x": 1}, MULTIPLE),
        ((NONE_DOC,), {"data": "not bytes"}, MULTIPLE),
    ],
)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        loads_binary(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


def test_reimport_shares_the_error_type():
    original = sys.modules.pop("vorn_native")
    try:
        again = importlib.import_module("vorn_native")
        assert again is not original
        assert again.VornError is original.VornError
        assert again.loads_binary.__self__ is again
        assert again.loads_binary(NONE_DOC) is None
        with pytest.raises(original.VornError):
            again.loads_binary(b"")
    finally:
        sys.modules["vorn_native"] = original


def test_installed_as_one_stable_abi_extension() -> None:
    from importlib import metadata

    assert vorn_native.__file__.endswith(".abi3.so")
    wheel = metadata.distribution("vorn_native").read_text("WHEEL") or ""
    tags = [line.split(":", 1)[1].strip() for line in wheel.splitlines() if line.startswith("Tag:")]
    assert tags and all(tag.startswith("cp310-abi3-") for tag in tags), tags


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
        (b"\x0f\x00", "unsupported binary version 0", 1), (b"\x0f\x01", "truncated input", 2),
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

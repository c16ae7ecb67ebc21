"""The module surface: attributes, argument binding and argument conversion."""

import ctypes
import importlib
import sys

import pytest

import vorn_native
from vorn_native import VornError, loads_binary
from support import decode_error

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


@pytest.mark.parametrize(
    "data",
    [NONE_DOC, bytearray(NONE_DOC), memoryview(NONE_DOC), memoryview(b"xx" + NONE_DOC + b"yy")[2:5], [15, 1, 0],
     (15, 1, 0), iter([15, 1, 0]), BytesChild(NONE_DOC)],
    ids=["bytes", "bytearray", "memoryview", "memoryview-slice", "list", "tuple", "iterator", "bytes-subclass"],
)
def test_accepted_argument_types(data):
    assert loads_binary(data) is None


def test_keyword_and_converted_arguments_decode():
    assert loads_binary(data=b"\x0f\x01\x02") is True
    assert loads_binary(bytearray(b"\x0f\x01\x07\x02\x42\x61\x62\x06\x00")) == ["ab", "ab"]
    assert decode_error(bytearray(b"\x0f\x01\x00\x00")) == ("trailing data", 3)


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
        ((), {}, MISSING),
        ((NONE_DOC, NONE_DOC), {}, too_many(2)),
        ((NONE_DOC,) * 3, {}, too_many(3)),
        ((NONE_DOC, NONE_DOC), {"data": NONE_DOC, "x": 1}, too_many(2)),
        (("not bytes", 1), {}, too_many(2)),
        *(((), {name: NONE_DOC}, unexpected(name)) for name in ["x", "dat", "datax", "Data", "data\x00", "\udc80"]),
        ((), {"x": 1, "data": NONE_DOC}, unexpected("x")),
        ((), {"data": NONE_DOC, "x": 1}, unexpected("x")),
        ((NONE_DOC,), {"x": 1}, unexpected("x")),
        (("not bytes",), {"\udc80": 1}, unexpected("\udc80")),
        ((NONE_DOC,), {"data": NONE_DOC}, MULTIPLE),
        ((NONE_DOC,), {"data": NONE_DOC, "x": 1}, MULTIPLE),
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

"""The first pass of `dumps`: refuse what cannot be written, naming where it sits.

`check` walks the value once, depth first and in document order, without
recursion, and raises for the first value that cannot be written:

- `TypeError` for a value of an unsupported type or a dict key that is not a str;
- `OverflowError` for an int outside the signed 64-bit range;
- `ValueError` for a float that is NaN or infinite, a str that is not valid
  UTF-8 text (a lone surrogate), a container that contains itself, a value
  nested deeper than the decoder reads (`MAX_DEPTH`), or a count beyond the
  format's limit.

Every message names the value's place as a path such as `$.rows[3].price`.
"""

from __future__ import annotations

import json
from typing import Any, Iterator, NoReturn

MAX_DEPTH = 512
"""The deepest level at which the decoder reads a value (the top level is 0)."""

MAX_COUNT = 2**31 - 1
"""The largest count or byte length that a document may carry."""

INT_MIN = -(2**63)
INT_MAX = 2**63 - 1

_Key = Any  # an int (list index) or a str (dict key)


def format_path(keys: list[_Key]) -> str:
    """Render dict keys and list indexes as a path: `$`, `$.name`, `$[3]`, `$["a b"]`."""
    parts = ["$"]
    for key in keys:
        if isinstance(key, int):
            parts.append(f"[{key}]")
        elif key.isidentifier():
            parts.append("." + key)
        else:
            parts.append("[" + json.dumps(key) + "]")
    return "".join(parts)


def _fail(error: type[Exception], what: str, keys: list[_Key], problem: str) -> NoReturn:
    raise error(f"{what} at {format_path(keys)} {problem}")


def _check_text(text: str, keys: list[_Key], what: str = "str") -> None:
    """Refuse text that has no UTF-8 form, or one longer than a document can carry."""
    try:
        size = len(text.encode("utf-8"))
    except UnicodeEncodeError as error:
        bad = text[error.start]
        _fail(ValueError, what, keys, f"cannot be written as UTF-8 (lone surrogate U+{ord(bad):04X})")
    if size > MAX_COUNT:
        _fail(ValueError, what, keys, f"is {size} bytes long; the limit is {MAX_COUNT}")


def _check_scalar(value: Any, keys: list[_Key]) -> None:
    """Check a value that is not a list, tuple or dict."""
    if value is None or isinstance(value, bool):
        return
    if isinstance(value, int):
        if not INT_MIN <= value <= INT_MAX:
            _fail(OverflowError, "int", keys, "is outside the signed 64-bit range")
    elif isinstance(value, float):
        if value - value != 0.0:
            _fail(ValueError, "float", keys, f"is not finite ({value!r})")
    elif isinstance(value, str):
        _check_text(value, keys)
    else:
        _fail(TypeError, f"value of type {type(value).__name__}", keys, "is not supported")


def _children(container: Any) -> Iterator[tuple[_Key, Any]]:
    return iter(container.items()) if isinstance(container, dict) else enumerate(container)


def check(root: Any) -> None:
    """Raise the error for the first value of `root` that cannot be written."""
    if not isinstance(root, (list, tuple, dict)):
        _check_scalar(root, [])
        return
    _check_container(root, [], 0)
    # One frame per open container: its item iterator, whether it is a dict,
    # and the container; `keys[i]` is the key under which frame i + 1 opened.
    frames = [(_children(root), isinstance(root, dict), root)]
    open_at = {id(root): 0}  # id of every open container -> its depth
    keys: list[_Key] = []
    while frames:
        items, is_dict, _ = frames[-1]
        for key, child in items:
            if is_dict and (type(key) is not str or not key.isascii()):
                if not isinstance(key, str):
                    _fail(TypeError, f"dict key {key!r}", keys, f"is of type {type(key).__name__}, not str")
                _check_text(key, [*keys, key], "dict key")
            kind = type(child)
            if kind is str:
                if not child.isascii() or len(child) > MAX_COUNT:
                    _check_text(child, [*keys, key])
            elif kind is int:
                if not INT_MIN <= child <= INT_MAX:
                    _fail(OverflowError, "int", [*keys, key], "is outside the signed 64-bit range")
            elif kind is float:
                if child - child != 0.0:
                    _fail(ValueError, "float", [*keys, key], f"is not finite ({child!r})")
            elif child is None or kind is bool:
                pass
            elif kind is dict or kind is list or kind is tuple or isinstance(child, (list, tuple, dict)):
                keys.append(key)
                depth = len(frames)
                ancestor = open_at.get(id(child))
                if ancestor is not None:
                    name = type(child).__name__
                    _fail(ValueError, name, keys[:ancestor], f"contains itself (at {format_path(keys)})")
                if depth >= MAX_DEPTH or len(child) > MAX_COUNT:
                    _check_container(child, keys, depth)
                open_at[id(child)] = depth
                frames.append((_children(child), isinstance(child, dict), child))
                break
            else:
                _check_scalar(child, [*keys, key])
        else:
            del open_at[id(frames.pop()[2])]
            if keys:
                keys.pop()


def _check_container(container: Any, keys: list[_Key], depth: int) -> None:
    """Refuse a container whose items would stand deeper than `MAX_DEPTH`, or too many items."""
    if depth >= MAX_DEPTH and len(container):
        first = next(_children(container))[0]
        _fail(ValueError, "value", [*keys, first], f"is nested {depth + 1} levels deep; the limit is {MAX_DEPTH}")
    if len(container) > MAX_COUNT:
        _fail(ValueError, type(container).__name__, keys, f"has more than {MAX_COUNT} items")

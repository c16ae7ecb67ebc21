"""The first pass of `dumps`: refuse what cannot be written, naming where it sits.

`check` walks the value once, depth first and in document order, without
recursion, and raises for the first value that cannot be written:

- `TypeError` for a value of an unsupported type or a dict key that is not a str;
- `OverflowError` for an int outside the signed 64-bit range;
- `ValueError` for a float that is NaN or infinite, a str that is not valid
  UTF-8 text (a lone surrogate), a container that contains itself, a value
  nested deeper than the decoder reads (`MAX_DEPTH`), or a count beyond the
  format's limit.

Every message names the value's place as a path such as `$.rows[3].price`;
a path longer than `PATH_LIMIT` characters keeps its start and end and
elides its middle (`$.a[0][0]...[0].b`).

With a `default` callable, a value of an unsupported type is replaced by
`default(value)` and checked in its place; `check` then returns a copy of the
containers on the way to each replacement (the rest is shared). A `default`
that gives no supported value in `DEFAULT_CALLS` calls in a row ends in a
`TypeError`.
"""

from __future__ import annotations

import json
from typing import Any, Callable, Iterator, NoReturn, Optional

from vorn._wire import INT_MAX, INT_MIN, MAX_COUNT, MAX_DEPTH

PATH_LIMIT = 200
"""Paths longer than this many characters are shown with their middle elided."""

DEFAULT_CALLS = 64
"""How many times in a row `default` may return an unsupported value for one place."""

_Key = Any  # an int (list index) or a str (dict key)
Default = Optional[Callable[[Any], Any]]


def format_path(keys: list[_Key]) -> str:
    """Render dict keys and list indexes as a path: `$`, `$.name`, `$[3]`, `$["a b"]`.

    Beyond `PATH_LIMIT` characters, the parts that fit in half of it at each
    end are kept and the middle becomes `...`."""
    parts = ["$"]
    for key in keys:
        if isinstance(key, int):
            parts.append(f"[{key}]")
        elif key.isidentifier():
            parts.append("." + key)
        else:
            parts.append("[" + json.dumps(key) + "]")
    if sum(map(len, parts)) <= PATH_LIMIT:
        return "".join(parts)
    half = PATH_LIMIT // 2
    head, size = 1, len(parts[0])
    while head < len(parts) and size + len(parts[head]) <= half:
        size += len(parts[head])
        head += 1
    tail, size = len(parts), 0
    while tail > head and size + len(parts[tail - 1]) <= half:
        tail -= 1
        size += len(parts[tail])
    return "".join(parts[:head]) + "..." + "".join(parts[tail:])


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
        _unsupported(value, keys, 0)


def _unsupported(value: Any, keys: list[_Key], calls: int) -> NoReturn:
    problem = "is not supported"
    if calls:
        problem += f" (default returned no supported value in {calls} calls)"
    _fail(TypeError, f"value of type {type(value).__name__}", keys, problem)


def _supported(value: Any) -> bool:
    return value is None or isinstance(value, (str, int, float, list, tuple, dict))


def _resolve(value: Any, keys: list[_Key], default: Default) -> Any:
    """`value`, or what `default` gives in its place when its type is unsupported."""
    calls = 0
    while not _supported(value):
        if default is None or calls == DEFAULT_CALLS:
            _unsupported(value, keys, calls)
        value = default(value)
        calls += 1
    return value


def _copy(container: Any, pairs: list[tuple[_Key, Any]]) -> Any:
    """A container of the same kind as far as the writer tells them apart."""
    if type(container) is dict:
        return dict(pairs)
    if isinstance(container, dict):
        return _Replaced(pairs)
    return [value for _, value in pairs]


class _Replaced(dict):  # type: ignore[type-arg]
    """The copy of a dict subclass: written as an object, never as a table row."""


def _children(container: Any) -> Iterator[tuple[_Key, Any]]:
    return iter(container.items()) if isinstance(container, dict) else enumerate(container)


def check(root: Any, default: Default = None) -> Any:
    """Raise the error for the first value of `root` that cannot be written.

    Returns `root`, or with `default` the value with its replacements."""
    if default is not None:
        root = _resolve(root, [], default)
    if not isinstance(root, (list, tuple, dict)):
        _check_scalar(root, [])
        return root
    _check_container(root, [], 0)
    # One frame per open container: its item iterator, whether it is a dict,
    # the container, and (with `default`) its items so far and whether one of
    # them was replaced; `keys[i]` is the key under which frame i + 1 opened.
    frames = [_Frame(root, default is not None)]
    open_at = {id(root): 0}  # id of every open container -> its depth
    keys: list[_Key] = []
    while True:
        frame = frames[-1]
        items, is_dict, pairs = frame.items, frame.is_dict, frame.pairs
        for key, child in items:
            if is_dict and (type(key) is not str or not key.isascii()):
                if not isinstance(key, str):
                    _fail(TypeError, f"dict key {key!r}", keys, f"is of type {type(key).__name__}, not str")
                _check_text(key, [*keys, key], "dict key")
            if pairs is not None:
                if not _supported(child):
                    child = _resolve(child, [*keys, key], default)
                    frame.replaced = True
                pairs.append((key, child))
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
                frames.append(_Frame(child, pairs is not None))
                break
            else:
                _check_scalar(child, [*keys, key])
        else:
            frames.pop()
            del open_at[id(frame.container)]
            result = frame.container if not frame.replaced else _copy(frame.container, frame.pairs or [])
            if not frames:
                return result
            keys.pop()
            parent = frames[-1]
            if frame.replaced and parent.pairs is not None:
                parent.pairs[-1] = (parent.pairs[-1][0], result)
                parent.replaced = True


class _Frame:
    """An open container of `check`."""

    __slots__ = ("container", "items", "is_dict", "pairs", "replaced")

    def __init__(self, container: Any, keep: bool) -> None:
        self.container = container
        self.items = _children(container)
        self.is_dict = isinstance(container, dict)
        self.pairs: Optional[list[tuple[_Key, Any]]] = [] if keep else None
        self.replaced = False


def _check_container(container: Any, keys: list[_Key], depth: int) -> None:
    """Refuse a container whose items would stand deeper than `MAX_DEPTH`, or too many items."""
    if depth >= MAX_DEPTH and len(container):
        first = next(_children(container))[0]
        _fail(ValueError, "value", [*keys, first], f"is nested {depth + 1} levels deep; the limit is {MAX_DEPTH}")
    if len(container) > MAX_COUNT:
        _fail(ValueError, type(container).__name__, keys, f"has more than {MAX_COUNT} items")

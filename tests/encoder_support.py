"""Helpers for the encoder tests: expected decoded values and a look at the bytes."""

from __future__ import annotations

from typing import Any, Iterator

# Tags of scalars, strings, lists and objects: all that plain output may hold.
PLAIN_TAGS = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x07, 0x08, *range(0x40, 0x60), *range(0x80, 0x100)}
LIST, OBJECT, ROW_TABLE, TYPED_LIST, COLUMN_TABLE = 0x07, 0x08, 0x09, 0x0C, 0x0D
VALUES, DELTA_INTEGERS, DECIMALS, STRING_DICTIONARY, BOOLEANS, OBJECT_COLUMN = range(6)


def decoded_form(value: Any) -> Any:
    """What the decoder gives back for `value`: tuples become lists, and a
    float with no fractional part below 2^53 in magnitude becomes an int.
    (`map` keeps this to one frame per level: values nest 512 levels deep.)"""
    if isinstance(value, float) and value.is_integer() and abs(value) < 2**53:
        return int(value)
    if isinstance(value, (list, tuple)):
        return list(map(decoded_form, value))
    if isinstance(value, dict):
        return dict(zip(value, map(decoded_form, value.values()), strict=False))
    return value


def same(a: Any, b: Any) -> bool:
    """Equal, of the same types throughout, with dict keys in the same order."""
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(map(same, a.values(), b.values()))
    return bool(a == b)


def read_varint(data: bytes, pos: int) -> tuple[int, int]:
    value = shift = 0
    while True:
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, pos


def skip_string_item(data: bytes, pos: int) -> int:
    tag = data[pos]
    if 0x40 <= tag < 0x60:
        return pos + 1 + (tag & 0x1F)
    length, after = read_varint(data, pos + 1)
    return after + length if tag == 0x05 else after


def tags_of(data: bytes) -> Iterator[int]:
    """Every tag of a document made of scalars, strings, lists and objects, in
    order, keys included. Any other tag is yielded and ends the walk."""
    expected = ["value"]  # a stack: what comes next
    pos = 2
    while expected:
        expected.pop()
        tag = data[pos]
        yield tag
        if tag >= 0x80 or tag <= 0x02:
            pos += 1
        elif 0x40 <= tag < 0x60 or tag in (0x05, 0x06):
            pos = skip_string_item(data, pos)
        elif tag == 0x03:
            _, pos = read_varint(data, pos + 1)
        elif tag == 0x04:
            pos += 9
        elif tag == LIST:
            count, pos = read_varint(data, pos + 1)
            expected += ["value"] * count
        elif tag == OBJECT:
            count, pos = read_varint(data, pos + 1)
            expected += ["value", "key"] * count
        else:
            return


def table_kinds(data: bytes) -> tuple[int, list[int]]:
    """The top-level tag of a document and, for a typed list or a table, the
    kind of its first column (with the presence flag first for a `ColumnTable`)."""
    tag = data[2]
    if tag == TYPED_LIST:
        _, pos = read_varint(data, 3)
        return tag, [data[pos]]
    if tag not in (ROW_TABLE, COLUMN_TABLE):
        return tag, []
    count, pos = read_varint(data, 3)
    for _ in range(count):
        pos = skip_string_item(data, pos)
    rows, pos = read_varint(data, pos)
    if tag == ROW_TABLE:
        return tag, [data[pos]]
    flag = data[pos]
    pos += 1 + (rows + 7) // 8 * flag
    return tag, [flag, data[pos]]

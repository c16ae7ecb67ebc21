"""The pure-Python VORN encoder: `dumps` turns JSON-like Python values into a document.

It is the readable definition of the output: the native encoder
(`vorn.dumps`) gives exactly its bytes and its errors.

Encoding takes two passes over the value. The first (`_check.check`) refuses
what cannot be written and names where it sits. The second writes the bytes,
deciding at each list how to send it (see `_tables` and `_columns`). The
writer keeps no Python recursion per nesting level: every container that is
written becomes a generator, and a small driver loop runs them, so nesting
costs list entries rather than interpreter frames.

The decoder numbers every string of two or more UTF-8 bytes that it reads
in full (values, object keys, table and object-column keys, dictionary
entries) in reading order, and a string reference names such a number. The
writer appends bytes strictly in reading order and counts those strings as
it writes them, so its numbers are the decoder's.

Tables and typed lists draw on the decoder's decoded-size budget (32 per
document byte plus 4,194,304): every column body charges its item count plus
one, a `ColumnTable` two per row besides. The writer adds up these charges;
when a document would exceed the budget, the tabular parts with the largest
charges are written again as plain lists and objects until it fits.
"""

from __future__ import annotations

import struct
from typing import Any, Callable, Generator, Iterable, Iterator, Optional

from vorn._check import check
from vorn._columns import (
    BOOLEANS,
    DECIMALS,
    DELTA_INTEGERS,
    OBJECT_COLUMN,
    STRING_DICTIONARY,
    VALUES,
    Plan,
    choose,
    wrap64,
)
from vorn._tables import ROW_TABLE, table_form
from vorn._wire import (
    BUDGET_BASE,
    BUDGET_PER_BYTE,
    HEADER,
    TAG_COLUMN_TABLE,
    TAG_FALSE,
    TAG_FLOAT,
    TAG_INT,
    TAG_LIST,
    TAG_NONE,
    TAG_OBJECT,
    TAG_ROW_TABLE,
    TAG_SHORT_STRING,
    TAG_SMALL_INT,
    TAG_STRING,
    TAG_STRING_REF,
    TAG_TRUE,
    TAG_TYPED_LIST,
    TWO_53,
    literal_size,
    varint_size,
)


_pack_float = struct.Struct("<d").pack
_BITS = bytes.maketrans(b"\x00\x01", b"01")

# A container being written: a generator that yields the containers nested
# in it, each to be written in full before it resumes.
Work = Generator["Work", None, None]


def dumps(obj: Any, *, compact: bool = True, default: Optional[Callable[[Any], Any]] = None) -> bytes:
    """Encode `obj` as a VORN document.

    `obj` may be built from dict (str keys), list, tuple, str, int (signed
    64-bit), float (finite), bool and None, nested at most 512 levels deep (the
    top-level value is level 0; a value at level 512 must be a scalar or an
    empty container). Tuples are written as lists; subclasses of these types
    as their base type.

    With `compact=True` the encoder uses string references, row and columnar
    tables, typed lists and column kinds wherever they make the document
    smaller; with `compact=False` it writes only scalars, strings and plain
    lists and objects. Either way `vorn.loads` gives back an equal value,
    except that a float with no fractional part and a magnitude below 2^53
    comes back as an int. The output depends only on `obj` and `compact`.

    Raises `TypeError` for an unsupported type or a non-str dict key,
    `OverflowError` for an int outside the signed 64-bit range, and
    `ValueError` for a NaN or infinity, a str with a lone surrogate, a
    container that contains itself, or nesting beyond 512 levels. The message
    names where the value sits, for example `$.rows[3].price` (a path of more
    than 200 characters with its middle elided).

    `default`, if given, is called with each value of an unsupported type, and
    what it returns is written in that value's place (and checked like it);
    its exceptions propagate. When it gives no supported value in 64 calls in
    a row for one place, `TypeError` is raised.
    """
    return encode(obj, compact, default=default)


def encode(
    obj: Any, compact: bool = True, budget_base: int = BUDGET_BASE, default: Optional[Callable[[Any], Any]] = None
) -> bytes:
    """`dumps`, for a decoder whose decoded-size budget starts at `budget_base`
    plus 32 per byte."""
    obj = check(obj, default)
    plain: set[int] = set()
    while True:
        writer = _Writer(compact, plain)
        data = writer.run(obj)
        excess = writer.charge - (len(data) * BUDGET_PER_BYTE + budget_base)
        # With nothing left to write plainly, a budget below even the plain document's ends here.
        if excess <= 0 or not writer.parts:
            return data
        for charge, _, ident in sorted(writer.parts, key=lambda part: (-part[0], part[1])):
            if ident not in plain:
                plain.add(ident)
                excess -= charge
                if excess <= 0:
                    break


def _put_varint(out: bytearray, value: int) -> None:
    while value >= 0x80:
        out.append((value & 0x7F) | 0x80)
        value >>= 7
    out.append(value)


def _put_zigzags(out: bytearray, numbers: Iterable[int]) -> None:
    """Signed 64-bit ints as zigzag varints; the one- and two-byte forms,
    which most column items take, are written inline."""
    for n in numbers:
        z = (n << 1) ^ (n >> 63)
        if z < 0x80:
            out.append(z)
        elif z < 0x4000:
            out += bytes(((z & 0x7F) | 0x80, z >> 7))
        else:
            _put_varint(out, z)


def _deltas(values: Iterable[int]) -> Iterator[int]:
    """Differences of consecutive values (the first from 0), wrapped to 64 bits."""
    previous = 0
    for v in values:
        d = v - previous
        yield d if -(2**63) <= d < 2**63 else wrap64(d)
        previous = v


def _bitmap(flags: list[bool]) -> bytes:
    """Item i as bit (i mod 8) of byte (i div 8), least significant bit first."""
    if not flags:
        return b""
    return int(bytes(flags[::-1]).translate(_BITS), 2).to_bytes((len(flags) + 7) // 8, "little")


class _Writer:
    """One encoding of one value: the output, the string table, the budget charges."""

    def __init__(self, compact: bool, plain: set[int]) -> None:
        self.out = bytearray(HEADER)
        self.compact = compact
        self.plain = plain  # ids of the lists to write plainly (budget fallback)
        self.known: dict[str, int] = {}  # string -> its first string-table index
        self.table_size = 0  # strings the decoder will have appended so far
        self.charge = 0  # decoded-size budget charged so far
        self.part_charges: list[int] = []  # charge of each open tabular part
        self.parts: list[tuple[int, int, int]] = []  # (charge, order, id) of each tabular part

    def run(self, value: Any) -> bytes:
        self.drive(self.value(value))
        return bytes(self.out)

    def drive(self, work: Optional[Work]) -> None:
        """Write a container in full, with everything nested in it."""
        if work is not None:
            stack = [work]
            while stack:
                nested = next(stack[-1], None)
                if nested is None:
                    stack.pop()
                else:
                    stack.append(nested)

    # Scalars and strings

    def value(self, v: Any) -> Optional[Work]:
        """Write a scalar or string now; for a container return its work."""
        kind = type(v)
        if kind is str:
            self.string(v)
        elif kind is int:
            self.integer(v)
        elif kind is float:
            self.number(v)
        elif v is None:
            self.out.append(TAG_NONE)
        elif kind is bool:
            self.out.append(TAG_TRUE if v else TAG_FALSE)
        elif kind is dict:
            return self.write_object(v)
        elif kind is list or kind is tuple:
            return self.write_list(v)
        elif isinstance(v, str):
            self.string(str.__str__(v))
        elif isinstance(v, int):
            self.integer(int.__int__(v))
        elif isinstance(v, float):
            self.number(float.__float__(v))
        elif isinstance(v, dict):
            return self.write_object(v)
        else:
            return self.write_list(v)
        return None

    def integer(self, v: int) -> None:
        out = self.out
        if 0 <= v < 0x80:
            out.append(TAG_SMALL_INT | v)
        else:
            out.append(TAG_INT)
            _put_varint(out, (v << 1) ^ (v >> 63))

    def number(self, v: float) -> None:
        if self.compact and v.is_integer() and -TWO_53 < v < TWO_53:
            self.integer(int(v))  # it decodes as this int either way
        else:
            self.out.append(TAG_FLOAT)
            self.out += _pack_float(v)

    def string(self, s: str) -> None:
        """A string item: a reference when the decoder has the string and that
        is no longer, else the text (a `ShortString` up to 31 bytes)."""
        out = self.out
        index = self.known.get(s)
        if index is not None and index < 0x4000:  # a reference of at most 3 bytes
            out.append(TAG_STRING_REF)
            _put_varint(out, index)
            return
        raw = s.encode("utf-8")
        length = len(raw)
        if length >= 2 and self.compact:
            if index is not None and 1 + varint_size(index) <= literal_size(length):
                out.append(TAG_STRING_REF)
                _put_varint(out, index)
                return
            if index is None:
                self.known[s] = self.table_size
            self.table_size += 1
        if length < 32:
            out.append(TAG_SHORT_STRING | length)
        else:
            out.append(TAG_STRING)
            _put_varint(out, length)
        out += raw

    # Containers

    def write_object(self, d: dict[str, Any]) -> Work:
        # A subclass is read through its items(), once; keys count by their text.
        pairs = d.items() if type(d) is dict else list(d.items())
        out = self.out
        out.append(TAG_OBJECT)
        _put_varint(out, len(pairs))
        for key, v in pairs:
            self.string(key if type(key) is str else str.__str__(key))
            work = self.value(v)
            if work is not None:
                yield work

    def write_list(self, items: list[Any]) -> Optional[Work]:
        ident = id(items)  # the budget fallback names the list by its identity
        if type(items) is not list and type(items) is not tuple:
            items = list(items)  # a subclass is read through its iterator, once
        if self.compact and len(items) >= 2 and ident not in self.plain:
            if all(type(item) is dict for item in items):
                form = table_form(items if type(items) is list else list(items))
                if form is not None:
                    return self.table(items, ident, *form)
            else:
                plan = choose(list(items), self.known, self.table_size, extra=1)
                if plan.kind != VALUES:
                    self.typed_list(items, ident, plan)
                    return None
        return self.plain_list(items)

    def plain_list(self, items: list[Any]) -> Work:
        out = self.out
        out.append(TAG_LIST)
        _put_varint(out, len(items))
        for item in items:
            work = self.value(item)
            if work is not None:
                yield work

    def typed_list(self, items: list[Any], ident: int, plan: Plan) -> None:
        self.part_charges.append(0)
        self.out.append(TAG_TYPED_LIST)
        _put_varint(self.out, len(items))
        work = self.column(items, plan)
        assert work is None  # typed lists only hold scalar kinds
        self.close_part(ident)

    def table(self, rows: list[dict[str, Any]], ident: int, form: str, header: tuple[str, ...],
              empty: Optional[dict[str, Plan]] = None) -> Work:
        """A `RowTable` or a `ColumnTable` with the given header; `empty` gives
        the kinds of columns that hold no value (by default `Values`)."""
        out = self.out
        count = len(rows)
        self.part_charges.append(0)
        out.append(TAG_ROW_TABLE if form == ROW_TABLE else TAG_COLUMN_TABLE)
        _put_varint(out, len(header))
        for key in header:
            self.string(key)
        _put_varint(out, count)
        if form != ROW_TABLE:
            self.add_charge(2 * count)
        for key in header:
            if form == ROW_TABLE:
                column = [row[key] for row in rows]
            else:
                flags = [key in row for row in rows]
                column = [row[key] for row in rows if key in row]
                if len(column) == count:
                    out.append(0)
                else:
                    out.append(1)
                    out += _bitmap(flags)
            if not column and empty and key in empty:
                plan = empty[key]
            else:
                plan = choose(column, self.known, self.table_size)
            work = self.column(column, plan)
            if work is not None:
                yield work
        self.close_part(ident)

    # Column bodies

    def add_charge(self, amount: int) -> None:
        self.charge += amount
        self.part_charges[-1] += amount

    def close_part(self, ident: int) -> None:
        self.parts.append((self.part_charges.pop(), len(self.parts), ident))

    def column(self, values: list[Any], plan: Plan) -> Optional[Work]:
        """Write one column body: its kind byte and its items."""
        out = self.out
        kind = plan.kind
        self.add_charge(len(values) + 1)
        out.append(kind)
        if kind == VALUES:
            return self.values_column(values)
        if kind == OBJECT_COLUMN:
            return self.object_column(values, plan.data)
        if kind == BOOLEANS:
            out += _bitmap(values)
        elif kind == DELTA_INTEGERS:
            _put_zigzags(out, _deltas(plan.data))
        elif kind == DECIMALS:
            scale, mantissas = plan.data
            out.append(scale)
            _put_zigzags(out, mantissas)
        elif kind == STRING_DICTIONARY:
            entries, indexes = plan.data
            _put_varint(out, len(entries))
            for entry in entries:
                self.string(entry)
            for i in indexes:
                if i < 0x80:
                    out.append(i)
                else:
                    _put_varint(out, i)
        return None

    def values_column(self, values: list[Any]) -> Work:
        for v in values:
            work = self.value(v)
            if work is not None:
                yield work

    def object_column(self, records: list[dict[str, Any]], keys: tuple[str, ...]) -> Work:
        _put_varint(self.out, len(keys))
        for key in keys:
            self.string(key)
        for key in keys:
            column = [record[key] for record in records]
            work = self.column(column, choose(column, self.known, self.table_size))
            if work is not None:
                yield work

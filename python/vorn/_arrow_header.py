"""Arrow tables whose rows do not hold every column: a table with no rows, or
one with a column that is null in every row. As a list of rows without their
null cells such a table would lose those columns, so `vorn.dumps` writes it
here with the table's own columns as the header: a `RowTable` of no rows, or a
`ColumnTable` in which each all-null column covers no row. A column that holds
no value gets the column kind that `loads_arrow` gives back as its Arrow type,
where one does: ints `DeltaIntegers` (int64), bools `Booleans`, floats
`Decimals` (float64), strings `StringDictionary` (dictionary of utf8, or utf8
with `strings="plain"`), structs an `ObjectColumn` of their fields (each
`Values`); anything else `Values` (null). `vorn.loads` gives the same rows as
before: an empty list, or rows without the all-null keys.
"""

from __future__ import annotations

from typing import Any, Optional

from vorn._check import check
from vorn._columns import BOOLEANS, DECIMALS, DELTA_INTEGERS, OBJECT_COLUMN, STRING_DICTIONARY, VALUES, Plan
from vorn._tables import COLUMN_TABLE, ROW_TABLE
from vorn._wire import BUDGET_BASE, BUDGET_PER_BYTE
from vorn.pure import _Writer

Field = tuple[str, str, tuple[str, ...]]  # (name, Arrow format, names of its children)

_INTEGERS = frozenset("csilCSIL")
_STRINGS = frozenset(("u", "U", "vu"))


def empty_plan(form: str, children: tuple[str, ...]) -> Plan:
    """The kind of a column of Arrow format `form` that holds no value."""
    if form in _INTEGERS:
        return Plan(DELTA_INTEGERS, [])
    if form == "b":
        return Plan(BOOLEANS)
    if form in ("f", "g"):
        return Plan(DECIMALS, (1, []))  # any scale above 0 reads as float64
    if form in _STRINGS:
        return Plan(STRING_DICTIONARY, ([], []))
    # An object column needs at least one key, and no two alike.
    if form == "+s" and children and len(set(children)) == len(children):
        return Plan(OBJECT_COLUMN, children)
    return Plan(VALUES)


def dumps_with_header(rows: list[dict[str, Any]], fields: list[Field]) -> Optional[bytes]:
    """The document of the table whose rows (without null cells) and columns
    are given, or None when its rows hold every column, so that the encoder's
    own choice stands, or when its columns cannot be a header (none, or two of
    one name) or the table would pass the decoder's size budget."""
    names = tuple(name for name, _, _ in fields)
    if not names or len(set(names)) != len(names):
        return None
    held: set[str] = set()
    for row in rows:
        held.update(row)
    if rows and len(held) == len(names):
        return None
    rows = check(rows)
    empty = {name: empty_plan(form, children) for name, form, children in fields if name not in held}
    writer = _Writer(True, set())
    writer.drive(writer.table(rows, id(rows), COLUMN_TABLE if rows else ROW_TABLE, names, empty))
    data = bytes(writer.out)
    if writer.charge > len(data) * BUDGET_PER_BYTE + BUDGET_BASE:
        return None
    return data

"""Choosing how a column (a run of values sent together) is encoded.

A column is the values of one table column, of one key of an `ObjectColumn`,
or the items of a list that may become a typed list. `choose` compares the
encoded sizes of the kinds that can carry the values exactly and returns the
smallest; a tie goes to `Values`, the plain form:

- all bools: `Booleans` (one bit each);
- all ints (integral floats below 2^53 count as ints, since they decode as
  ints anyway): the smallest of `Values`, `DeltaIntegers` (differences from
  the previous item) and `Decimals` with scale 0 (the values themselves as
  zigzag varints);
- ints and floats: `Decimals` when every value is `m / 10**s` for one scale
  s from 0 to 6 and decodes back to exactly the same value, and that is
  smaller than `Values`;
- all strings: `StringDictionary` when its distinct entries plus one small
  index per item are smaller than the items themselves (string references
  counted), else `Values`;
- at least two dicts that all have the same keys in the same order (at least
  one key): `ObjectColumn`;
- anything else: `Values`.

Sizes here are computed from the values alone; string sizes take the string
table as it stands when the column is written.
"""

from __future__ import annotations

from collections import Counter
from typing import Any, Mapping, NamedTuple

from vorn._wire import (
    BOOLEANS,
    DECIMALS,
    DELTA_INTEGERS,
    INT_MAX,
    INT_MIN,
    OBJECT_COLUMN,
    STRING_DICTIONARY,
    TWO_53,
    VALUES,
    int_value_size,
    literal_size,
    varint_size,
    wrap64,
)

__all__ = ["BOOLEANS", "DECIMALS", "DELTA_INTEGERS", "OBJECT_COLUMN", "STRING_DICTIONARY", "VALUES", "Plan",
           "choose", "wrap64"]

_POW10_FLOAT = [10.0**s for s in range(7)]
_POW10_INT = [10**s for s in range(7)]


class Plan(NamedTuple):
    """The kind chosen for a column and what writing it needs.

    `data` is, by kind: `Values`: None; `DeltaIntegers`: the ints; `Decimals`:
    (scale, mantissas); `StringDictionary`: (entries, index of each item);
    `Booleans`: None; `ObjectColumn`: the keys.
    """

    kind: int
    data: Any = None


PLAIN = Plan(VALUES)


def choose(values: list[Any], known: Mapping[str, int], table_size: int, extra: int = 0) -> Plan:
    """The smallest exact column kind for `values` (see the module docstring).

    `known` maps the strings already in the string table to their index and
    `table_size` is the number of entries the decoder will have appended.
    Sizes are compared without the kind byte; `extra` is what a kind other
    than `Values` costs on top (1 for a typed list, whose plain form is a
    `List` without a kind byte).
    """
    types = set(map(type, values))
    if types == {bool}:
        return Plan(BOOLEANS) if (len(values) + 7) // 8 + extra < len(values) else PLAIN
    if types and types <= {int, float}:
        if float in types:
            numbers = [
                v if type(v) is int or not v.is_integer() or not -TWO_53 < v < TWO_53 else int(v) for v in values
            ]
            if any(type(v) is float for v in numbers):
                return _decimals(numbers, extra)
            return _integers(numbers, extra)
        return _integers(values, extra)
    if types == {str}:
        return _strings(values, known, table_size, extra)
    if types == {dict} and len(values) >= 2:
        keys = tuple(values[0])
        if keys and all(tuple(d) == keys for d in values):
            return Plan(OBJECT_COLUMN, keys)
    return PLAIN


def _integers(values: list[int], extra: int) -> Plan:
    plain = 0
    delta = extra
    raw = extra + 1  # the scale byte
    previous = 0
    for v in values:
        z = (v << 1) ^ (v >> 63)
        size = 1 if z < 0x80 else (z.bit_length() + 6) // 7
        raw += size
        plain += 1 if 0 <= v < 0x80 else 1 + size
        d = v - previous
        if not INT_MIN <= d <= INT_MAX:
            d = wrap64(d)
        z = (d << 1) ^ (d >> 63)
        delta += 1 if z < 0x80 else (z.bit_length() + 6) // 7
        previous = v
    best = min(plain, delta, raw)
    if best == plain:
        return PLAIN
    if best == delta:
        return Plan(DELTA_INTEGERS, values)
    return Plan(DECIMALS, (0, values))


def _decimals(numbers: list[Any], extra: int) -> Plan:
    """`Decimals` for ints and floats when every value comes back exactly.

    The floats here decode as floats (not integral, or 2^53 or more), so an
    item that decodes to a float equal to one of them decodes to it exactly.
    Scales are tried from 1 up; the first at which every value comes back is
    taken. An int comes back at any scale when it is below 2^53.
    """
    plain = 0
    for v in numbers:
        plain += 9 if type(v) is float else int_value_size(v)
    for scale in range(1, 7):
        p = _POW10_FLOAT[scale]
        q = _POW10_INT[scale]
        mantissas = []
        for v in numbers:
            if type(v) is int:
                m = v * q
                if not -TWO_53 < v < TWO_53 or not INT_MIN <= m <= INT_MAX:
                    return PLAIN  # a larger scale does not help
            else:
                y = v * p
                if not -9.2e18 < y < 9.2e18:
                    return PLAIN
                m = round(y)
                # The decoder's division: binary64 up to 2^53, exact above.
                if (m / p if -TWO_53 <= m <= TWO_53 else m / q) != v:
                    break
            mantissas.append(m)
        else:
            size = extra + 1  # the scale byte
            for m in mantissas:
                z = (m << 1) ^ (m >> 63)
                size += 1 if z < 0x80 else (z.bit_length() + 6) // 7
            return Plan(DECIMALS, (scale, mantissas)) if size < plain else PLAIN
    return PLAIN


def _strings(values: list[str], known: Mapping[str, int], table_size: int, extra: int) -> Plan:
    """`StringDictionary` when it is smaller than the strings one by one."""
    counts = Counter(values)
    if len(counts) == len(values):
        return PLAIN
    lengths = {s: len(s.encode("utf-8")) for s in counts}

    def item_costs(strings: list[str]) -> tuple[int, dict[str, int]]:
        # The first of each string as written where it first stands (a
        # reference when the table has it already); a later one as a reference.
        total = 0
        index: dict[str, int] = {}
        next_index = table_size
        for s in strings:
            length = lengths[s]
            if length < 2:
                total += literal_size(length)
                continue
            i = known.get(s)
            if i is None:
                total += literal_size(length)
                i = next_index
                next_index += 1
            else:
                total += min(literal_size(length), 1 + varint_size(i))
            index[s] = i
        return total, index

    firsts, index = item_costs(list(counts))
    plain = firsts
    for s, count in counts.items():
        if count > 1:
            length = lengths[s]
            if length < 2:
                plain += (count - 1) * literal_size(length)
            else:
                plain += (count - 1) * min(literal_size(length), 1 + varint_size(index[s]))
    # Dictionary entries in order of falling frequency, so that the most
    # frequent strings get one-byte indexes.
    entries = sorted(counts, key=counts.__getitem__, reverse=True)
    entry_cost, _ = item_costs(entries)
    size = extra + varint_size(len(entries)) + entry_cost
    for position, s in enumerate(entries):
        size += counts[s] * varint_size(position)
    if size >= plain:
        return PLAIN
    position_of = {s: position for position, s in enumerate(entries)}
    return Plan(STRING_DICTIONARY, (entries, [position_of[s] for s in values]))

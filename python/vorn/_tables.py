"""Deciding whether a list of records is sent as a table, and with which header.

A decoded table row receives its keys in header order, so a list of dicts can
only be a table when every row's keys stand in the order of one header:

- every row has the same keys in the same order (at least one key): a
  `RowTable`, whose header is those keys;
- otherwise, when one header order exists in which every row's keys appear
  in their own order, and the present cells fill the header's columns at
  least twice on average (below that the per-row objects are about as small):
  a `ColumnTable`, whose columns mark the rows they cover with a bitmap;
- otherwise no table: the rows are written as objects.

The header of a `ColumnTable` is the topological order of the "comes before"
relation of neighbouring keys in the rows; among keys that are free to come
next, the one seen first in the rows goes first. When the relation has a cycle
(two rows order two keys differently) there is no such header.
"""

from __future__ import annotations

import heapq
from typing import Any

ROW_TABLE = "row"
COLUMN_TABLE = "column"


def table_form(rows: list[dict[str, Any]]) -> tuple[str, tuple[str, ...]] | None:
    """(`ROW_TABLE` or `COLUMN_TABLE`, header keys), or None for plain objects."""
    shapes = dict.fromkeys(tuple(row) for row in rows)
    if len(shapes) == 1:
        (keys,) = shapes
        return (ROW_TABLE, keys) if keys else None
    header = merged_header(list(shapes))
    if header is None:
        return None
    cells = sum(len(row) for row in rows)
    if cells < 2 * len(header):
        return None
    return COLUMN_TABLE, header


def merged_header(shapes: list[tuple[str, ...]]) -> tuple[str, ...] | None:
    """One key order in which every shape's keys appear in their own order."""
    rank: dict[str, int] = {}
    after: dict[str, dict[str, None]] = {}
    waiting: dict[str, int] = {}
    for shape in shapes:
        for key in shape:
            if key not in rank:
                rank[key] = len(rank)
                after[key] = {}
                waiting[key] = 0
        for first, second in zip(shape, shape[1:], strict=False):
            if second not in after[first]:
                after[first][second] = None
                waiting[second] += 1
    ready = [(rank[key], key) for key, count in waiting.items() if count == 0]
    heapq.heapify(ready)
    header: list[str] = []
    while ready:
        _, key = heapq.heappop(ready)
        header.append(key)
        for successor in after[key]:
            waiting[successor] -= 1
            if waiting[successor] == 0:
                heapq.heappush(ready, (rank[successor], successor))
    if not header or len(header) != len(rank):
        return None
    return tuple(header)

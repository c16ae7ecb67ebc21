"""Sizes of the decoder's string table and anchor table for one VORN document.

The decoder keeps every string of 2 or more bytes it reads (24 bytes an entry:
the str and its place in the input) so that later references can name it, and
one pointer per anchor. Both tables start at 8 entries and double. This walks
the document without building any value and counts the entries.
"""

from __future__ import annotations

import sys
from dataclasses import dataclass

STRING_ENTRY_BYTES = 24
ANCHOR_ENTRY_BYTES = 8


class ScanError(ValueError):
    pass


@dataclass
class TableCounts:
    strings: int = 0  # string bodies of 2 or more bytes: string table entries
    string_refs: int = 0
    anchors: int = 0
    references: int = 0

    @staticmethod
    def capacity(count: int) -> int:
        if count == 0:
            return 0
        capacity = 8
        while capacity < count:
            capacity *= 2
        return capacity

    @property
    def table_bytes(self) -> int:
        """Bytes the two tables hold at the end of the decode (their peak)."""
        return (
            self.capacity(self.strings) * STRING_ENTRY_BYTES
            + self.capacity(self.anchors) * ANCHOR_ENTRY_BYTES
        )


def count_tables(data: bytes) -> TableCounts:
    counts = TableCounts()
    view = memoryview(data)
    pos = 2  # after the header
    end = len(view)

    def byte() -> int:
        nonlocal pos
        if pos >= end:
            raise ScanError("truncated input")
        value = view[pos]
        pos += 1
        return value

    def varint() -> int:
        result = 0
        shift = 0
        while True:
            b = byte()
            result |= (b & 0x7F) << shift
            if b < 0x80:
                return result
            shift += 7

    def skip(count: int) -> None:
        nonlocal pos
        if count > end - pos:
            raise ScanError("truncated input")
        pos += count

    def string_body(length: int) -> None:
        skip(length)
        if length >= 2:
            counts.strings += 1

    def string_item() -> None:
        tag = byte()
        if 0x40 <= tag < 0x60:
            string_body(tag & 0x1F)
        elif tag == 0x05:
            string_body(varint())
        elif tag == 0x06:
            varint()
            counts.string_refs += 1
        else:
            raise ScanError(f"key must be a string (tag 0x{tag:02x} at {pos - 1})")

    def value() -> None:
        tag = byte()
        if tag & 0x80 or tag <= 0x02:
            return
        if 0x40 <= tag < 0x60:
            string_body(tag & 0x1F)
        elif tag == 0x03:
            varint()
        elif tag == 0x04:
            skip(8)
        elif tag == 0x05:
            string_body(varint())
        elif tag == 0x06:
            varint()
            counts.string_refs += 1
        elif tag == 0x07:
            for _ in range(varint()):
                value()
        elif tag == 0x08:
            for _ in range(varint()):
                string_item()
                value()
        elif tag == 0x09:
            keys = header()
            rows = varint()
            for _ in range(keys):
                column(rows)
        elif tag == 0x0A:
            counts.anchors += 1
            value()
        elif tag == 0x0B:
            varint()
            counts.references += 1
        elif tag == 0x0C:
            column(varint())
        elif tag == 0x0D:
            keys = header()
            rows = varint()
            for _ in range(keys):
                flag = byte()
                if flag == 0:
                    column(rows)
                else:
                    bitmap_at = pos
                    skip((rows + 7) // 8)
                    present = sum(bin(b).count("1") for b in view[bitmap_at:pos])
                    column(present)
        else:
            raise ScanError(f"bad tag 0x{tag:02x} at {pos - 1}")

    def header() -> int:
        keys = varint()
        for _ in range(keys):
            string_item()
        return keys

    def column(count: int) -> None:
        kind = byte()
        if kind == 0:
            for _ in range(count):
                value()
        elif kind == 1:
            for _ in range(count):
                varint()
        elif kind == 2:
            byte()
            for _ in range(count):
                varint()
        elif kind == 3:
            for _ in range(varint()):
                string_item()
            for _ in range(count):
                varint()
        elif kind == 4:
            skip((count + 7) // 8)
        elif kind == 5:
            keys = varint()
            for _ in range(keys):
                string_item()
            for _ in range(keys):
                column(count)
        else:
            raise ScanError(f"bad column kind {kind} at {pos - 1}")

    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 4000))
    try:
        value()
    finally:
        sys.setrecursionlimit(limit)
    return counts

"""Repeated decodes, successful and failing, leave no memory or references behind."""

import gc
import itertools
import re
import struct
import sys

import pytest

from vorn_native import VornError, loads_binary
from support import FULL, budget_doc, chain_doc, doc, nest, varint



def is_immortal(obj: object) -> bool:
    # From 3.12 the interpreter leaves the counts of immortal objects alone, while an extension
    # built with older headers still moves them inline: only mortal objects are watched.
    before = sys.getrefcount(obj)
    more = [obj] * 8
    return sys.getrefcount(obj) - before != len(more)


WATCHED = [obj for obj in [None, True, False, 0, 1, 127, "", "a", sys.intern("message"), sys.intern("offset"),
                           VornError] if not is_immortal(obj)]
BLOCKS_COUNTED = sys.getallocatedblocks() > 0  # always 0 when the allocator is plain malloc

INF = b"\x04" + struct.pack("<d", float("inf"))
HALF = b"\x04" + struct.pack("<d", 0.5)
# After 4,095 copies of the full list, 4,096 units remain; [[0] * 2047, [0] * 2046]
# costs 3 + 2,048 + 2,047, so its copy fails after the first inner list is built.
HALF_MADE, _ = budget_doc(
    [FULL, b"\x0a\x07\x02\x07" + varint(2047) + b"\x80" * 2047 + b"\x07" + varint(2046) + b"\x80" * 2046],
    [0] * 4095 + [1],
)

CASES = [  # (name, input, message of the VornError or None)
    ("strings", doc("07 07 81 42 61 62 06 00 05 03 78 79 7a 41 61 40 43 00 c3 a9"), None),
    ("object", doc("08 03 42 6b 31 07 02", HALF, "41 7a 05 02 6b 32 08 01 06 00 00 41 61 02"), None),
    ("anchors", doc("07 05 0a 07 02 42 c3 a9 80 0a 41 61 0b 00 0b 01 0a 08 01 06 00 07 00"), None),
    ("references", doc("07 03 0a 08 02 42 6b 31 07 01 42 76 31 41 61 01 0b 00 0b 00"), None),
    ("numbers", doc("07 04 03", "ff" * 9, "01", HALF, "04 00 00 00 00 00 00 f0 3f ff"), None),
    ("depth-512", doc(nest("08 01 41 61", 256, nest("07 01", 256, "41 61"))), None),
    ("bytearray", bytearray(doc("07 02 42 61 62 06 00")), None),
    ("list-of-ints", list(doc("07 02 41 61 80")), None),
    ("copy-chain", chain_doc(16, levels=510, links=2), None),
    ("row-table", doc("09 02 42 61 62 41 63 02 03 01 42 78 79 00 00 05 01 42 6B 6B 00 00 07 01 42 7A 7A"), None),
    ("column-table", doc("0D 02 42 61 62 42 63 64 03 01 05 04 01 00 00 02 01 00"), None),
    ("empty", b"", "not a VORN binary document"),
    ("version", b"\x0f\x02\x00", "unsupported binary version 2"),
    ("trailing", doc("07 02 42 61 62 06 00 00"), "trailing data"),
    ("bad-tag", doc("07 03 42 61 62 41 61 0e"), "bad tag 0x0e"),
    ("utf8", doc("07 02 42 61 62 05 02 c0 80"), "string is not valid UTF-8"),
    ("not-finite", doc("08 02 42 61 62 80 41 7a 07 01", INF), "float is not finite"),
    ("duplicate-key", doc("08 02 42 61 62 07 01 42 63 64 06 00 07 00"), "duplicate key 'ab'"),
    ("object-value", doc("08 02 42 61 62 80 42 63 64 07 02 80 0e"), "bad tag 0x0e"),
    ("key-reference", doc("08 02 42 61 62 80 06 05 80"), "bad string reference"),
    ("key-not-string", doc("08 02 42 61 62 80 80 80"), "key must be a string"),
    ("anchored-value", doc("07 03 0a 42 61 62 0a 07 02 41 61 0e"), "bad tag 0x0e"),
    ("own-anchor", doc("07 02 0a 07 01 80 0a 08 01 41 61 0b 01"), "bad anchor reference"),
    ("nesting", doc(nest("07 01", 513, "80")), "nesting too deep"),
    ("copy-depth-4097", chain_doc(17, levels=510, links=8), "nesting too deep"),
    ("bytearray-failing", bytearray(doc("07 02 42 61 62 06 05")), "bad string reference"),
    ("list-failing", list(doc("08 01 41 61")), "truncated input"),
    ("expansion-half-made", HALF_MADE, "reference expansion too large"),
    # tables that fail after building rows, columns, dictionaries and nested tables
    ("header-duplicate", doc("09 02 42 61 62 42 61 62"), "duplicate column 'ab'"),
    ("dictionary-index", doc("09 02 41 61 41 62 02 00 42 78 79 02 03 01 42 71 72 00 05"), "bad dictionary index"),
    ("presence-bitmap", doc("0D 02 42 61 62 42 63 64 03 00 00 81 42 78 79 00 01 08 04 00"), "bad presence bitmap"),
    ("column-kind", doc("09 01 41 61 02 05 02 42 6B 31 42 6B 32 00 42 78 79 00 06"), "bad column kind"),
    ("values-column", doc("0D 01 41 61 03 01 07 00 42 78 79 07 01 00"), "truncated input"),
    ("inner-table", doc("09 01 41 61 01 00 0D 01 42 61 62 01 02"), "bad presence flag"),
    ("object-column-key", doc("0D 01 41 61 01 00 05 02 42 6B 31 42 6B 31"), "duplicate key 'k1'"),
]
ARGUMENT_ERRORS = {
    "str": lambda: loads_binary("\x0f\x01\x00"),
    "missing": lambda: loads_binary(),
    "two-positional": lambda: loads_binary(b"", b""),
    "bad-keyword": lambda: loads_binary(**{"\udc80": b""}),
    "multiple": lambda: loads_binary(b"", data=b""),
}


def check_no_leak(call, repetitions, warm_up=10, count_blocks=BLOCKS_COUNTED):
    # A full collection empties the interpreter's free lists, so it comes before
    # the warm-up that refills them, and none may run while blocks are counted.
    gc.collect()
    gc.disable()
    try:
        for _ in itertools.repeat(None, warm_up):  # `_` holds None before and after counting
            call()
        blocks = sys.getallocatedblocks()
        refs = [sys.getrefcount(obj) for obj in WATCHED]
        for _ in itertools.repeat(None, repetitions):
            call()
    finally:
        gc.enable()
    assert [sys.getrefcount(obj) for obj in WATCHED] == refs
    if count_blocks:
        assert sys.getallocatedblocks() - blocks < repetitions / 10


@pytest.mark.parametrize("name, data, message", CASES, ids=[case[0] for case in CASES])
def test_decode_leaves_nothing_behind(name, data, message):
    def call():
        try:
            loads_binary(data)
        except VornError:
            pass

    if name == "expansion-half-made":
        # Exhausting the expansion budget copies 16 million items, too slow for
        # many rounds; a leaked copy would shift the count of the shared 0 by thousands.
        check_no_leak(call, 5, warm_up=2, count_blocks=False)
    else:
        check_no_leak(call, 1000)


@pytest.mark.parametrize("name", ARGUMENT_ERRORS)
def test_argument_errors_leave_nothing_behind(name):
    def call():
        try:
            ARGUMENT_ERRORS[name]()
        except TypeError:
            pass

    check_no_leak(call, 1000)


@pytest.mark.parametrize("name, data, message", CASES, ids=[case[0] for case in CASES])
def test_cases_decode_or_fail_as_intended(name, data, message):
    if message is None:
        loads_binary(data)
    else:
        with pytest.raises(VornError, match=re.escape(message)):
            loads_binary(data)

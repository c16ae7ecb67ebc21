"""Memory, in bytes, that hostile documents make the decoder hold before they fail. Counting allocations
cannot see one allocation of a gigabyte, so each document runs in a child under an address-space cap
and reports tracemalloc's peak beside its (message, offset)."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest

import catalogue as d
from support import HEADER, varint

SIZES = (4096, 16384, 65536)
PER_BYTE = 1024  # traced peak allowed per input byte

CHILD = textwrap.dedent(
    """
    import json, resource, sys, tracemalloc
    import vorn_native
    data = sys.stdin.buffer.read()
    # The cap sits a fixed margin above what the interpreter has mapped so far.
    with open("/proc/self/statm") as statm:
        mapped = int(statm.read().split()[0]) * resource.getpagesize()
    cap = mapped + int(sys.argv[1])
    resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
    tracemalloc.start()
    try:
        vorn_native.loads_binary(data)
        out = {"kind": "value"}
    except vorn_native.VornError as exc:
        out = {"kind": "error", "message": exc.message, "offset": exc.offset}
    except MemoryError:
        out = {"kind": "MemoryError"}
    out["peak"] = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    print(json.dumps(out))
    """
)


def decode_capped(data: bytes, margin: int = 512 << 20) -> dict:
    proc = subprocess.run([sys.executable, "-c", CHILD, str(margin)], input=data, capture_output=True, timeout=120)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")[-4000:]
    return json.loads(proc.stdout)


def names(count: int) -> list[str]:
    return [format(i, "x") for i in range(count)]


def claim_the_rest(size: int, head: bytes, tail: bytes, *, after: bytes = b"", fill: bytes = b"\xff") -> tuple[bytes, int]:
    """`head`, a row count of 8 per remaining byte, `after`, `tail`, then `fill` up to `size` bytes.
    Also the offset of `tail`'s first byte."""
    rest = size - len(HEADER) - len(head) - 4 - len(after) - len(tail)
    start = HEADER + head + varint(8 * rest) + after
    return start + tail + fill * rest, len(start)


def table_bomb(tag: bytes, keys: int, size: int) -> tuple[bytes, tuple[str, int]]:
    """A row or columnar table of `keys` columns and 8 rows per remaining byte whose first column is broken."""
    if tag == b"\x09":
        data, at = claim_the_rest(size, tag + d.keys(*names(keys)), b"\xff")
        return data, ("bad column kind", at)
    data, at = claim_the_rest(size, tag + d.keys(*names(keys)), b"\x02")
    return data, ("bad presence flag", at + 1)


def record_bomb(keys: int, size: int) -> tuple[bytes, tuple[str, int]]:
    """A typed list of records: an ObjectColumn of `keys` keys whose first member is broken."""
    data, at = claim_the_rest(size, b"\x0c", b"\xff", after=b"\x05" + d.keys(*names(keys)))
    return data, ("bad column kind", at)


def nested_record_bomb(keys: int, size: int) -> tuple[bytes, tuple[str, int]]:
    """A one-column row table whose column is such an ObjectColumn."""
    data, at = claim_the_rest(size, b"\x09" + d.keys("a"), b"\xff", after=b"\x05" + d.keys(*names(keys)))
    return data, ("bad column kind", at)


def list_tower(size: int) -> tuple[bytes, tuple[str, int]]:
    """512 nested lists, each claiming every byte that is left: the innermost runs out of input."""
    body = bytearray()
    for _ in range(512):
        body += b"\x07" + varint(size - len(HEADER) - len(body) - 4)
    body += b"\x00" * (size - len(HEADER) - len(body))
    return HEADER + bytes(body), ("truncated input", size)


def typed_list_tower(size: int) -> bytes:
    """Typed lists of plain values, each first item another one claiming 8 items per byte left."""
    body = bytearray()
    while len(body) < size // 2:
        body += b"\x0c" + varint(8 * (size - len(HEADER) - len(body) - 8)) + b"\x00"
    return HEADER + bytes(body) + b"\xff" * (size - len(HEADER) - len(body))


# The document of the report that found the prefilled rows: 1,000 one-byte and
# two-byte ShortString keys, 8,000 rows, and a first column kind of 0xff.
REPORTED = HEADER + b"\x09" + d.keys(*names(1000)) + b"\xc0\x3e" + b"\xff" * 1000

BOMBS = [
    *(pytest.param(*table_bomb(tag, keys, size), id=f"{kind}-{keys}-keys-{size}")
      for tag, kind in ((b"\x09", "row-table"), (b"\x0d", "column-table"))
      for size in SIZES for keys in (3, 6, size // 8)),
    *(pytest.param(*build(keys, size), id=f"{name}-{keys}-keys-{size}")
      for build, name in ((record_bomb, "records"), (nested_record_bomb, "records-in-table"))
      for size in SIZES for keys in (3, 6, size // 8)),
    *(pytest.param(*list_tower(size), id=f"list-tower-{size}") for size in SIZES),
    pytest.param(REPORTED, ("bad column kind", 3735), id="reported"),
]


@pytest.mark.parametrize(("data", "expected"), BOMBS)
def test_broken_first_column_costs_at_most_a_kilobyte_per_input_byte(data: bytes, expected: tuple[str, int]) -> None:
    outcome = decode_capped(data)
    assert (outcome["kind"], outcome.get("message"), outcome.get("offset")) == ("error", *expected)
    assert outcome["peak"] <= PER_BYTE * len(data), f"{outcome['peak']:,} bytes traced for {len(data):,} input bytes"


def test_typed_list_towers_cost_their_bytes_not_their_counts() -> None:
    # Each level claims 8 items per remaining byte; only the first one can be paid for.
    data = typed_list_tower(65536)
    outcome = decode_capped(data)
    assert outcome["kind"] == "error" and outcome["message"] == "decoded size too large"
    assert outcome["peak"] <= 128 * len(data)


def test_valid_table_within_the_limits_is_untouched_by_the_cap() -> None:
    # A table of the bombs' shape that is valid: 6 Booleans columns of 8 rows per byte.
    rows = 8 * 8192
    data = HEADER + d.row_table(names(6), rows, *(b"\x04" + b"\xa5" * (rows // 8) for _ in range(6)))
    assert decode_capped(data)["kind"] == "value"


@pytest.mark.skipif(os.environ.get("VORN_SANITIZED") == "1",
                    reason="AddressSanitizer aborts instead of failing an allocation past the cap")
def test_the_cap_bites() -> None:
    # A margin far too small for the reported document's old appetite ends in MemoryError.
    data = HEADER + b"\x0c" + varint(1 << 20) + b"\x04" + b"\xff" * (1 << 17)
    assert decode_capped(data, margin=4 << 20)["kind"] == "MemoryError"

"""Small byte helpers for writing VORN documents by hand in tests."""

from __future__ import annotations

import vorn_native

HEADER = b"\x0f\x01"


def varint(value: int) -> bytes:
    """Unsigned LEB128."""
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        if value:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def zigzag(value: int) -> bytes:
    """A signed 64-bit integer as a zigzag varint."""
    return varint(((value << 1) ^ (value >> 63)) & 0xFFFFFFFFFFFFFFFF)


def string_item(text: str) -> bytes:
    """A ShortString when it fits in 31 bytes, otherwise a String."""
    raw = text.encode("utf-8")
    if len(raw) < 32:
        return bytes([0x40 | len(raw)]) + raw
    return b"\x05" + varint(len(raw)) + raw


def doc(*parts: bytes | str) -> bytes:
    """A whole document: the header, then the parts (hex strings or bytes)."""
    body = b"".join(bytes.fromhex(p) if isinstance(p, str) else p for p in parts)
    return HEADER + body


def decode_error(data: bytes) -> tuple[str, int]:
    """The (message, offset) of the VornError that decoding `data` raises."""
    try:
        value = vorn_native.loads_binary(data)
    except vorn_native.VornError as error:
        return error.message, error.offset
    raise AssertionError(f"decoded without error: {value!r}")


def nest(unit: bytes | str, count: int, inner: bytes | str) -> bytes:
    """`count` copies of the opening bytes `unit` followed by `inner` (no header)."""
    as_bytes = [bytes.fromhex(p) if isinstance(p, str) else p for p in (unit, inner)]
    return as_bytes[0] * count + as_bytes[1]


def unnest(value: object) -> tuple[int, object]:
    """Walks down single-item lists and dicts without recursion.

    Returns the number of containers passed and the innermost value; results
    may nest far deeper than the interpreter's recursion limit allows to compare.
    """
    levels = 0
    while isinstance(value, (list, dict)) and len(value) == 1:
        value = value[0] if isinstance(value, list) else next(iter(value.values()))
        levels += 1
    return levels, value


def bitmap(bits) -> bytes:
    """A bitmap of Booleans items or presence bits: bit i is bit i % 8 of byte i // 8."""
    out = bytearray((len(bits) + 7) // 8)
    for i, bit in enumerate(bits):
        if bit:
            out[i // 8] |= 1 << (i % 8)
    return bytes(out)


def budget_left(left: int, tail: bytes) -> bytes:
    """A document `[padding, spender, tail]` in which `tail` starts with exactly
    `left` items of the decoded-size budget (len(document) * 32 + 4,194,304).

    The spender is a typed list of n dicts nested 500 deep over a Booleans
    column: its 501 column bodies charge 501 * (n + 1). The padding is a
    String of at least 128 bytes whose length fixes the remainder.
    """
    levels, n = 500, 8000
    while True:
        spender = b"\x0c" + varint(n) + b"\x05\x01\x40" * levels + b"\x04" + bytes(-(-n // 8))
        data = HEADER + b"\x07\x03\x05\x80\x01" + b"p" * 128 + spender + tail
        short = left - (len(data) * 32 + 4_194_304 - (levels + 1) * (n + 1))
        if short >= 0 and short % 32 == 0:
            pad = 128 + short // 32
            assert pad < 16384, "tail too long for the spender"
            return HEADER + b"\x07\x03\x05" + varint(pad) + b"p" * pad + spender + tail
        n += 1


# The reference-expansion budget: a list of 4,095 items costs 4,096 per copy,
# so 4,096 copies of this anchored list spend the whole budget of 16,777,216.
FULL = b"\x0a\x07" + varint(4095) + b"\x80" * 4095


def budget_doc(anchors: list[bytes], refs: list[int]) -> tuple[bytes, list[int]]:
    """A list of anchored values followed by references to the given anchor numbers;
    also returns the offset just past each reference."""
    body, ends = b"".join(anchors), []
    for number in refs:
        body += b"\x0b" + varint(number)
        ends.append(len(body))
    head = doc(b"\x07" + varint(len(anchors) + len(refs)))
    return head + body, [len(head) + end for end in ends]


def chain_doc(first: int, unit: str = "07 01", inner: str = "07 00", links: int = 15, levels: int = 256,
              final_depth: int = 1) -> bytes:
    """Anchor 0 nests `first` levels of `unit` around `inner`; anchor k nests `levels` levels
    around a Reference to anchor k - 1; a last Reference to the last anchor stands at document
    depth `final_depth`. Its copy reaches copy depth first + links * levels."""
    items = [b"\x0a" + nest(unit, first, inner)]
    items += [b"\x0a" + nest(unit, levels, b"\x0b" + varint(k - 1)) for k in range(1, links + 1)]
    items.append(nest("07 01", final_depth - 1, b"\x0b" + varint(links)))
    return doc(b"\x07" + varint(len(items)), *items)


def shape(value):
    """`value` with every scalar tagged by its type and every dict as an ordered item list."""
    if isinstance(value, list):
        return [shape(item) for item in value]
    if isinstance(value, dict):
        return {"dict": [(key, shape(item)) for key, item in value.items()]}
    return (type(value).__name__, value)

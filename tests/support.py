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

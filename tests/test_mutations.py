"""Structure-aware mutation: values are generated, encoded, and then damaged
byte by byte. Whatever the damage, decoding gives a value, a VornError whose
offset lies within the input, or MemoryError, and never anything else. Under
tools/sanitize.sh every such decode is also checked by ASan and UBSan."""

from __future__ import annotations

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vorn_native

dumps = pytest.importorskip("vorn").__dict__.get("dumps")
if dumps is None:
    pytest.skip("the encoder is not installed", allow_module_level=True)

scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(2**63), max_value=2**63 - 1),
    st.floats(allow_nan=False, allow_infinity=False),
    st.text(max_size=40),
    st.sampled_from(["id", "name", "ab", "é", ""]),
)
records = st.lists(
    st.dictionaries(st.sampled_from(["a", "b", "cc", "id", "k17"]), scalars, max_size=5),
    min_size=2,
    max_size=12,
)
values = st.recursive(
    st.one_of(scalars, records, st.lists(st.booleans(), min_size=9, max_size=40)),
    lambda inner: st.one_of(
        st.lists(inner, max_size=6),
        st.dictionaries(st.text(max_size=6), inner, max_size=6),
    ),
    max_leaves=30,
)

mutation = st.tuples(
    st.sampled_from(["flip", "set", "insert", "delete", "truncate", "duplicate"]),
    st.integers(min_value=0, max_value=1 << 16),
    st.integers(min_value=0, max_value=255),
)


def mutate(data: bytes, steps: list[tuple[str, int, int]]) -> bytes:
    out = bytearray(data)
    for kind, where, byte in steps:
        if not out:
            break
        at = where % len(out)
        if kind == "flip":
            out[at] ^= 1 << (byte % 8)
        elif kind == "set":
            out[at] = byte
        elif kind == "insert":
            out.insert(at, byte)
        elif kind == "delete":
            del out[at]
        elif kind == "truncate":
            del out[at:]
        else:
            out[at:at] = out[at : at + 1 + byte % 8]
    return bytes(out)


def check_outcome(data: bytes) -> None:
    try:
        vorn_native.loads_binary(data)
    except vorn_native.VornError as error:
        assert isinstance(error.message, str) and error.message
        assert 0 <= error.offset <= len(data)
        assert str(error) == f"vorn: offset {error.offset}: {error.message}"
    except MemoryError:
        pass


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(values, st.lists(mutation, min_size=1, max_size=4))
def test_damaged_encodings_fail_cleanly(value: object, steps: list[tuple[str, int, int]]) -> None:
    encoded = dumps(value)
    check_outcome(encoded)
    check_outcome(mutate(encoded, steps))

"""vorn.dumps: exact encodings, the forms compact mode picks, errors, depth and budget."""

from __future__ import annotations

import json
import re
from decimal import Decimal
from pathlib import Path

import pytest

import vorn
import vorn_native
from encoder_support import (
    BOOLEANS,
    COLUMN_TABLE,
    DECIMALS,
    DELTA_INTEGERS,
    LIST,
    OBJECT,
    OBJECT_COLUMN,
    ROW_TABLE,
    STRING_DICTIONARY,
    TYPED_LIST,
    VALUES,
    decoded_form,
    same,
    table_kinds,
)
import vorn._native
import vorn.pure
from vorn import pure

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def hexdoc(text: str) -> bytes:
    return bytes.fromhex("0f01" + text)


def nest(depth: int, inner: object) -> object:
    for _ in range(depth):
        inner = [inner]
    return inner


def nest_records(keys: str, inner: object) -> object:
    for key in reversed(keys):
        inner = {key: inner}
    return inner


def round_trips(value: object, compact: bool = True) -> bool:
    return same(vorn_native.loads_binary(vorn.dumps(value, compact=compact)), decoded_form(value))


def test_module_surface() -> None:
    assert vorn.loads is vorn_native.loads_binary
    assert vorn.VornError is vorn_native.VornError
    assert set(vorn.__all__) == {"loads", "dumps", "load", "dump", "VornError", "loads_arrow", "ArrowTable"}
    assert vorn.dumps is vorn._dumps.dumps and vorn.pure.dumps is not vorn.dumps
    assert vorn_native.__all__ == ["loads_binary", "VornError"]


@pytest.mark.parametrize(
    "value, compact, plain",
    [
        (None, "00", "00"), (True, "02", "02"), (0, "80", "80"), (128, "03 80 02", "03 80 02"), (-1, "03 01", "03 01"),
        (2**63 - 1, "03 fe ff ff ff ff ff ff ff ff 01", "03 fe ff ff ff ff ff ff ff ff 01"),
        (-(2**63), "03 ff ff ff ff ff ff ff ff ff 01", "03 ff ff ff ff ff ff ff ff ff 01"),
        (1.5, "04 00 00 00 00 00 00 f8 3f", "04 00 00 00 00 00 00 f8 3f"), (2.0, "82", "04 00 00 00 00 00 00 00 40"),
        (-0.0, "80", "04 00 00 00 00 00 00 00 80"),
        (2.0**53, "04 00 00 00 00 00 00 40 43", "04 00 00 00 00 00 00 40 43"),
        ("", "40", "40"), ("ab", "42 61 62", "42 61 62"),
        ("x" * 32, "05 20" + " 78" * 32, "05 20" + " 78" * 32), ((1, 2), "07 02 81 82", "07 02 81 82"),
        (["a", "a"], "07 02 41 61 41 61", "07 02 41 61 41 61"),
        (["ab", "ab"], "07 02 42 61 62 06 00", "07 02 42 61 62 42 61 62"),
        ({"ab": "ab"}, "08 01 42 61 62 06 00", "08 01 42 61 62 42 61 62"),
        ([True, False, True], "0c 03 04 05", "07 03 02 01 02"),
        ([{"a": True}, {"a": False}], "09 01 41 61 02 04 01", "07 02 08 01 41 61 02 08 01 41 61 01"),
    ],
)
def test_exact_encodings(value: object, compact: str, plain: str) -> None:
    assert vorn.dumps(value) == hexdoc(compact)
    assert vorn.dumps(value, compact=False) == hexdoc(plain)


@pytest.mark.parametrize(
    "value, expected",
    [
        # Keys and values share one numbering; one-byte strings take no number.
        (
            [{"id": 1, "tag": "xy"}, {"id": 2, "tag": "xy"}, "tag", "a", "id", "xy"],
            "07 06 08 02 42 69 64 81 43 74 61 67 42 78 79 08 02 06 00 82 06 01 06 02 06 01 41 61 06 00 06 02",
        ),
        # A table header key is numbered where it stands.
        ([[{"ab": 1}, {"ab": 2}], "ab"], "07 02 09 01 42 61 62 02 00 81 82 06 00"),
        # Dictionary entries are numbered, and a known string enters as a reference.
        (
            ["cd", ["ab", "cd", "ab", "cd", "ab", "cd", "ab", "cd", "ab", "cd"], "ab"],
            "07 03 42 63 64 0c 0a 03 02 42 61 62 06 00 00 01 00 01 00 01 00 01 00 01 06 01",
        ),
    ],
)
def test_string_numbering(value: object, expected: str) -> None:
    data = vorn.dumps(value)
    assert data == hexdoc(expected)
    assert same(vorn.loads(data), value)


def test_many_strings_reference_numbers_beyond_one_byte() -> None:
    words = [f"w{i:04}" for i in range(20000)]
    value = words + words[::-1] + ["w0000", "w19999"]
    data = vorn.dumps(value)
    assert vorn.loads(data) == value
    assert len(data) < len(vorn.dumps(value, compact=False)) * 0.75


def rows(column: list[object]) -> list[dict[str, object]]:
    return [{"v": v} for v in column]


@pytest.mark.parametrize(
    "value, tag, kinds",
    [
        (rows([None, "x", 1.5]), ROW_TABLE, [VALUES]),
        (rows([1000 + i for i in range(10)]), ROW_TABLE, [DELTA_INTEGERS]),
        (rows([10**6, -(10**6)] * 5), ROW_TABLE, [DECIMALS]), (rows([1.25, 2.5, 3.75, 10.05]), ROW_TABLE, [DECIMALS]),
        (rows(["red", "green"] * 5), ROW_TABLE, [STRING_DICTIONARY]),
        (rows([True, False] * 5), ROW_TABLE, [BOOLEANS]), (rows([1.0, 2.5, 3, -0.5]), ROW_TABLE, [DECIMALS]),
        (rows([{"x": i, "y": "q"} for i in range(3)]), ROW_TABLE, [OBJECT_COLUMN]),
        (rows([{"x": 1}, {"y": 2}]), ROW_TABLE, [VALUES]), (rows([0.1 + 0.2, 0.5]), ROW_TABLE, [VALUES]),
        (rows([2**53 + 1, 0.5]), ROW_TABLE, [VALUES]),
        ([{"a": 1, "b": 2}, {"a": 3}, {"b": 4}, {"a": 5, "b": 6}], COLUMN_TABLE, [1, VALUES]),
        ([{"a": 1, "b": 2}, {"a": 3}, {"a": 4, "b": 5}], COLUMN_TABLE, [0, VALUES]),
        ([{"a": True, "b": 2}, {"b": 3}, {"a": False}, {"a": True}], COLUMN_TABLE, [1, BOOLEANS]),
        ([{"b": 1}, {"a": 2, "b": 3}, {"a": 4}, {"b": 5, "c": 6}, {"c": 7}], COLUMN_TABLE, [1, VALUES]),
        ([{"a": 1, "b": 2}, {"b": 3, "a": 4}], LIST, []), ([{}, {}], LIST, []), ([{"a": 1}, {"b": 2}], LIST, []),
        ([{"a": 1}], LIST, []), (list(range(100)), LIST, []), ([True], LIST, []),
        ([True, False, True], TYPED_LIST, [BOOLEANS]), (list(range(1000, 1010)), TYPED_LIST, [DELTA_INTEGERS]),
        ([0.5, 1.25, 2.75], TYPED_LIST, [DECIMALS]), (["ab", "cd"] * 5, TYPED_LIST, [STRING_DICTIONARY]),
    ],
)
def test_compact_forms(value: list[object], tag: int, kinds: list[int]) -> None:
    data = vorn.dumps(value)
    assert table_kinds(data) == (tag, kinds)
    assert same(vorn.loads(data), decoded_form(value))
    assert table_kinds(vorn.dumps(value, compact=False)) == (LIST, [])


@pytest.mark.parametrize(
    "column",
    [[2.0**53, 0.5], [2**53 - 1, 0.5], [-(2**53) + 1, 0.25], [-0.0, 0.5, 1.0], [123456789.123456, 0.1],
     [92233720368.54775, 0.5], [1e-6, 2e-6, 5e-7], [0.000001, 999999.999999], [4.35, 4.345, 1.005, 2.675],
     [1e16, 0.5], [1e300, 0.5], [5e-324, 0.5], [2**63 - 1, -(2**63), 0, 1], [2**63 - 1, -(2**63)] * 3,
     [True, 1, 1.0, 0.5], [1, 2.0, 3.5, None]],
)
def test_numbers_come_back_exactly(column: list[object]) -> None:
    for value in (column, rows(column), rows([{"n": v, "k": 1} for v in column])):
        assert round_trips(value)


@pytest.mark.parametrize(
    "value, error, where",
    [
        ({"rows": [{}, {}, {}, {"price": float("nan")}]}, ValueError, "float at $.rows[3].price"),
        ([1, float("inf")], ValueError, "float at $[1]"), ({"a": 2**63}, OverflowError, "int at $.a"),
        ([-(2**63) - 1], OverflowError, "int at $[0]"), ({"a": {1: 2}}, TypeError, "dict key 1 at $.a"),
        ({None: 2}, TypeError, "dict key None at $"), (["ok", "\ud800"], ValueError, "str at $[1]"),
        ({"k": {"\udfff": 1}}, ValueError, 'dict key at $.k["\\udfff"]'),
        ({"a": b"x"}, TypeError, "value of type bytes at $.a"),
        ({"a b": [1, {"c": object()}]}, TypeError, 'value of type object at $["a b"][1].c'),
        ([{1, 2}], TypeError, "value of type set at $[0]"),
        ({"price": Decimal("1.5")}, TypeError, "value of type Decimal at $.price"),
    ],
)
def test_refused_values(value: object, error: type[Exception], where: str) -> None:
    for compact in (True, False):
        with pytest.raises(error) as caught:
            vorn.dumps(value, compact=compact)
        assert str(caught.value).startswith(where + " ")


def test_containers_that_contain_themselves() -> None:
    loop: list[object] = [1]
    loop.append(loop)
    with pytest.raises(ValueError, match=re.escape("list at $.a contains itself (at $.a[1])")):
        vorn.dumps({"a": loop})
    ring: dict[str, object] = {}
    ring["b"] = [{"c": ring}]
    with pytest.raises(ValueError, match=re.escape("dict at $ contains itself (at $.b[0].c)")):
        vorn.dumps(ring)
    shared = [1, 2]
    assert vorn.loads(vorn.dumps([shared, shared, {"s": shared}])) == [[1, 2], [1, 2], {"s": [1, 2]}]


@pytest.mark.parametrize(
    "inner",
    [0, [], {}, "text", [True, False, True], [{"a": 1, "b": "x"}, {"a": 2, "b": "y"}]],
)
def test_deepest_nesting_is_written(inner: object) -> None:
    # The inner value's deepest item stands at level 512.
    height = 0 if not isinstance(inner, list) or not inner else 2 if isinstance(inner[0], dict) else 1
    value = nest(512 - height, inner)
    for compact in (True, False):
        assert vorn.loads(vorn.dumps(value, compact=compact)) == value


def test_nested_tables_at_the_depth_limit() -> None:
    records = [{"r": {"s": {"t": i}}, "u": [i, i + 1]} for i in range(3)]
    value = nest(512 - 4, records)
    assert vorn.loads(vorn.dumps(value)) == value


@pytest.mark.parametrize(
    "value, where",
    [
        # Paths beyond 200 characters keep about 100 at each end.
        (nest(513, 0), "$" + "[0]" * 33 + "..." + "[0]" * 33), (nest(512, [1]), "$" + "[0]" * 33 + "..." + "[0]" * 33),
        (nest(511, [{"k": {"deep": 1}}, {"k": {"deep": 2}}]), "$" + "[0]" * 33 + "..." + "[0]" * 32 + ".k"),
        (nest(100_000, None), "$" + "[0]" * 33 + "..." + "[0]" * 33), (nest(513, []), "$" + "[0]" * 33 + "..." + "[0]" * 33),
    ],
)
def test_too_deep(value: object, where: str) -> None:
    for compact in (True, False):
        with pytest.raises(ValueError) as caught:
            vorn.dumps(value, compact=compact)
        assert str(caught.value).startswith(f"value at {where} is nested 513 levels deep")


def test_budget_fallback_writes_plainer_forms() -> None:
    deep = [nest_records("abcdefgh", True)] * 1000
    small = [{"x": 1}, {"x": 2}]
    value = [small, deep]
    compact = vorn.dumps(value)
    assert compact[4] == ROW_TABLE
    # With no fixed allowance, 32 per byte does not cover eight nested
    # columns of 1,000 rows: that table goes plain, the small one stays.
    squeezed = pure.encode(value, budget_base=0)
    assert squeezed[4] == ROW_TABLE
    assert len(squeezed) > 10 * len(compact)
    assert vorn.loads(squeezed) == value
    only_deep = pure.encode(deep, budget_base=0)
    assert only_deep[2] == LIST and vorn.loads(only_deep) == deep


def test_example_document_matches_its_source() -> None:
    source = json.loads((EXAMPLES / "orders.json").read_text(encoding="utf-8"))
    document = (EXAMPLES / "orders.vorn").read_bytes()
    assert vorn.dumps(source) == document
    assert vorn.loads(document) == source
    assert table_kinds(vorn.dumps(source["orders"]))[0] == ROW_TABLE
    assert OBJECT == document[2]

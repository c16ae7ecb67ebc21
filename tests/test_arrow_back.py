"""`vorn.dumps` of Arrow tables (pyarrow, polars): each column type with and without nulls, through
`loads_binary` (the rows without their null cells) and back through `loads_arrow` (the same columns);
refusals of types it cannot write; the stream released exactly once."""

from __future__ import annotations

import pytest

import vorn
from vorn import _arrow

pa = pytest.importorskip("pyarrow", reason="pyarrow is in the 'test' extra")


def without_nulls(rows: list[dict]) -> list[dict]:
    return [{k: v for k, v in row.items() if v is not None} for row in rows]


def cycle(values: list, rows: int) -> list:
    return [values[i % len(values)] for i in range(rows)]


# name -> (Arrow type, cells without nulls); a None is added for the null variants.
COLUMNS = {
    "int64": (pa.int64(), [0, -1, 2**63 - 1, -(2**63), 300]),
    "int8": (pa.int8(), [0, -128, 127]),
    "uint32": (pa.uint32(), [0, 2**32 - 1]),
    "uint64": (pa.uint64(), [0, 2**53]),
    "float64": (pa.float64(), [0.5, -1.25, 1e300]),
    "float32": (pa.float32(), [0.5, -1.25]),
    "bool": (pa.bool_(), [True, False, False]),
    "utf8": (pa.string(), ["", "a", "héllo", "x" * 40]),
    "large_utf8": (pa.large_string(), ["a", "bb"]),
    "dictionary": (pa.dictionary(pa.int32(), pa.string()), ["red", "green", "red"]),
    "struct": (pa.struct([("x", pa.int64()), ("y", pa.string())]), [{"x": 1, "y": "a"}, {"x": 2, "y": "b"}]),
    "list": (pa.list_(pa.int64()), [[1, 2], [], [3]]),
}


def table(kind: str, rows: int, nulls: bool):
    arrow_type, values = COLUMNS[kind]
    cells = cycle(values + [None] if nulls else values, rows)
    ids = list(range(rows))
    return pa.table({"id": pa.array(ids, pa.int64()), kind: pa.array(cells, arrow_type)})


def check_round_trip(t) -> None:
    """`t` is a pyarrow table; the source written may be it or a polars frame of it."""
    data = vorn.dumps(t)
    assert vorn.loads(data) == without_nulls(t.to_pylist())
    back = pa.table(vorn.loads_arrow(data))
    assert back.column_names == t.column_names
    for name in t.column_names:
        assert back.column(name).to_pylist() == t.column(name).to_pylist(), name


@pytest.mark.parametrize("rows", [1, 63, 64, 65])
@pytest.mark.parametrize("nulls", [False, True], ids=["dense", "nulls"])
@pytest.mark.parametrize("kind", list(COLUMNS))
def test_each_column_type_round_trips(kind: str, rows: int, nulls: bool) -> None:
    check_round_trip(table(kind, rows, nulls))


@pytest.mark.parametrize("kind", ["int64", "utf8", "struct", "bool"])
def test_polars_frames_write_the_same_bytes(kind: str) -> None:
    pl = pytest.importorskip("polars", reason="polars is in the 'test' extra")
    t = table(kind, 65, nulls=True)
    frame = pl.from_arrow(t)
    assert vorn.loads(vorn.dumps(frame)) == without_nulls(frame.to_dicts())
    assert vorn.loads(vorn.dumps(frame)) == vorn.loads(vorn.dumps(t))


def test_nested_structs_and_chunks() -> None:
    inner = pa.struct([("a", pa.int64()), ("b", pa.list_(pa.string()))])
    outer = pa.struct([("inner", inner), ("flag", pa.bool_())])
    values = [{"inner": {"a": i, "b": [str(i)] * (i % 3)}, "flag": i % 2 == 0} for i in range(70)]
    t = pa.table({"s": pa.array(values, outer)})
    chunked = pa.Table.from_batches(t.to_batches(max_chunksize=20))
    assert chunked.column(0).num_chunks > 1
    check_round_trip(chunked)
    sliced = t.slice(5, 30)  # offsets into every child
    assert vorn.loads(vorn.dumps(sliced)) == sliced.to_pylist()


def test_empty_tables_and_tables_inside_values() -> None:
    empty = pa.table({"a": pa.array([], pa.int64())})
    assert vorn.loads(vorn.dumps(empty)) == []
    t = table("utf8", 3, nulls=True)
    assert vorn.loads(vorn.dumps({"t": [t]})) == {"t": [without_nulls(t.to_pylist())]}


def test_default_still_applies_and_refusals_keep_their_path() -> None:
    assert vorn.loads(vorn.dumps([object()], default=lambda o: "x")) == ["x"]
    with pytest.raises(TypeError, match=r"value of type object at \$\.a\[0\] is not supported"):
        vorn.dumps({"a": [object()]})
    t = table("int64", 2, nulls=False)
    assert vorn.loads(vorn.dumps(object(), default=lambda o: t)) == t.to_pylist()


@pytest.mark.parametrize(
    "column, text",
    [
        (pa.array([1], pa.timestamp("s")), "column 'c': Arrow type 'tss:' cannot be written"),
        (pa.array([b"x"], pa.binary()), "column 'c': Arrow type 'z' cannot be written"),
        (pa.array([{"x": b"y"}], pa.struct([("x", pa.binary())])), "column 'c': Arrow type 'z'"),
        (pa.array([], pa.decimal128(5, 2)), "column 'c': Arrow type 'd:5,2'"),
    ],
)
def test_unsupported_types_are_refused_by_column(column, text: str) -> None:
    with pytest.raises(TypeError, match=text):
        vorn.dumps(pa.table({"c": column}))


def test_uint64_beyond_the_signed_range_is_the_encoders_overflow() -> None:
    with pytest.raises(OverflowError, match=r"at \$\[0\]\.u is outside the signed 64-bit range"):
        vorn.dumps(pa.table({"u": pa.array([2**64 - 1], pa.uint64())}))


def test_the_stream_is_released_exactly_once() -> None:
    # vorn's own tables count their live exports: a stream released twice or never shows here.
    source = vorn.loads_arrow(vorn.dumps([{"a": i, "b": str(i)} for i in range(100)]))
    before = _arrow.live_exports()
    assert vorn.loads(vorn.dumps(source)) == [{"a": i, "b": str(i)} for i in range(100)]
    assert _arrow.live_exports() == before
    capsule = pa.table({"a": [1]}).__arrow_c_stream__()
    assert _arrow.rows(capsule) == [{"a": 1}]
    with pytest.raises(ValueError, match="already consumed"):
        _arrow.rows(capsule)


# Arrow type -> the type loads_arrow(strings="plain") gives back for a column that holds no value
# (a table without rows, or a column null in every row): the type its column kind carries.
EMPTY_TYPES = {
    "int64": pa.int64(), "int8": pa.int64(), "uint32": pa.int64(), "uint64": pa.int64(),
    "float64": pa.float64(), "float32": pa.float64(), "bool": pa.bool_(),
    "utf8": pa.utf8(), "large_utf8": pa.utf8(), "dictionary": pa.utf8(),
    "struct": pa.struct([("x", pa.null()), ("y", pa.null())]), "list": pa.null(),
}


def empty_column_back(kind: str, rows: int):
    """Column `kind` as it comes back when it holds no value, beside an int64 column "id" of `rows` rows."""
    data = vorn.dumps(pa.table({"id": pa.array(range(rows), pa.int64()),
                                kind: pa.array([None] * rows, COLUMNS[kind][0])}))
    assert vorn.loads(data) == [{"id": i} for i in range(rows)]
    back = vorn.loads_arrow(data, strings="plain").to_pyarrow()
    assert back.column_names == ["id", kind] and back.column("id").to_pylist() == list(range(rows))
    return back, data


@pytest.mark.parametrize("rows", [0, 1, 9, 64])
@pytest.mark.parametrize("kind", list(COLUMNS))
def test_columns_that_hold_no_value_keep_their_name_and_type(kind: str, rows: int) -> None:
    back, data = empty_column_back(kind, rows)
    assert back.schema.field(kind).type == EMPTY_TYPES[kind]
    assert back.column(kind).to_pylist() == [None] * rows
    if kind in ("utf8", "large_utf8", "dictionary"):
        default = vorn.loads_arrow(data).to_pyarrow()
        assert default.schema.field(kind).type == pa.dictionary(pa.int32(), pa.utf8())


@pytest.mark.parametrize("rows", [0, 5])
def test_tables_without_values_equal_the_original(rows: int) -> None:
    # The types that come back as they are; a null-typed column, all null, also with rows.
    t = pa.table({"i": pa.array([None] * rows, pa.int64()), "f": pa.array([None] * rows, pa.float64()),
                  "b": pa.array([None] * rows, pa.bool_()), "s": pa.array([None] * rows, pa.utf8()),
                  "n": pa.nulls(rows)})
    if rows:
        t = t.append_column("v", pa.array(range(rows), pa.int64()))
    data = vorn.dumps(t)
    assert vorn.loads(data) == without_nulls(t.to_pylist())
    assert vorn.loads_arrow(data, strings="plain").to_pyarrow().equals(t)


def test_all_null_columns_beside_sparse_and_dense_ones() -> None:
    t = pa.table({"dense": list(range(70)), "gone": pa.array([None] * 70, pa.int64()),
                  "sparse": [None if i % 3 else f"s{i}" for i in range(70)], "null": pa.nulls(70)})
    data = vorn.dumps(t)
    assert vorn.loads(data) == without_nulls(t.to_pylist())
    back = vorn.loads_arrow(data, strings="plain").to_pyarrow()
    assert back.equals(t)


def shared_names():
    return pa.Table.from_arrays([pa.array([], pa.int64()), pa.array([], pa.int64())], names=["a", "a"])


@pytest.mark.parametrize(
    "value, path, expected",
    [
        # Only a table at the top level keeps its columns; two columns of one name make no header, and
        # no columns none: each is its rows, as a list of no dicts has no columns.
        ({"t": pa.table({"a": pa.array([], pa.int64())})}, ("t",), {"t": []}),
        (shared_names(), None, []),
        (pa.table({}), None, []),
    ],
    ids=["inside a value", "one name twice", "no columns"],
)
def test_where_the_columns_are_not_kept_the_rows_are_written(value, path, expected) -> None:
    data = vorn.dumps(value)
    assert vorn.loads(data) == expected
    assert vorn.loads_arrow(data, path=path).column_names == []


def test_without_compact_a_table_is_its_rows() -> None:
    empty = pa.table({"a": pa.array([], pa.int64())})
    assert vorn.dumps(empty, compact=False) == vorn.dumps([], compact=False)
    t = pa.table({"a": [1, 2], "n": pa.array([None, None], pa.int64())})
    assert vorn.dumps(t, compact=False) == vorn.dumps([{"a": 1}, {"a": 2}], compact=False)

"""`vorn.loads_arrow`: every column kind through pyarrow, polars and pandas against `loads_binary`, the
same VornError as the decoder for every invalid document, the capsule protocol with its releases counted,
the refusals of columns whose cells share no type, and allocation failures in the Arrow buffers."""

from __future__ import annotations

import gc
import math
import sys

import pytest

import catalogue as cat
import vorn
import vorn_native
from support import string_item
from vorn import _arrow

pa = pytest.importorskip("pyarrow", reason="pyarrow is in the 'test' extra")


def cells(data: bytes, path=None) -> list[dict]:
    """What loads_binary gives, as full rows: an absent key is None, as in Arrow."""
    rows = vorn_native.loads_binary(data)
    for step in path or ():
        rows = rows[step]
    names = list(dict.fromkeys(k for row in rows for k in row))
    return [{k: row.get(k) for k in names} for row in rows]


def same(a: object, b: object) -> bool:
    if isinstance(a, float) or isinstance(b, float):
        return a is not None and b is not None and math.isclose(a, b, rel_tol=0, abs_tol=0)
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b, strict=False))
    return type(a) is type(b) and a == b


def column_of(kind: str, values: list) -> bytes:
    """A column body of `kind` for `values` (no None among them)."""
    if kind == "delta":
        deltas = [v - p for v, p in zip(values, [0] + values[:-1], strict=False)]
        return cat.delta_col(*deltas)
    if kind == "decimal":
        return cat.decimal_col(2, *[round(v * 100) for v in values])
    if kind == "dictionary":
        entries = sorted(set(values))
        return cat.dict_col([string_item(e) for e in entries], *[entries.index(v) for v in values])
    if kind == "bool":
        return cat.bool_col(*[int(v) for v in values])
    if kind == "object":
        return cat.object_col(["x", "y"], cat.delta_col(*[v["x"] - p["x"] for v, p in zip(values, [{"x": 0}] + values[:-1], strict=False)]),
                              cat.values_col(*[vorn.dumps(v["y"])[2:] for v in values]))
    return cat.values_col(*[vorn.dumps(v)[2:] for v in values])


def sample(kind: str, i: int):
    return {"delta": i * 7 - 100, "decimal": i * 1.25 - 3, "dictionary": ["red", "green", "blue", "é"][i % 4],
            "bool": i % 3 == 0, "object": {"x": i, "y": [i, i + 1]}, "values-int": i,
            "values-mixed-number": i if i % 2 else i + 0.5, "values-str": f"s{i}",
            "values-list": [i] * (i % 3), "values-dict": {"a": i, "b": str(i)} if i % 2 else {"a": None, "b": "z"},
            "values-null": None}[kind]


KINDS = ["delta", "decimal", "dictionary", "bool", "object", "values-int", "values-mixed-number",
         "values-str", "values-list", "values-dict", "values-null"]
ROWS = [0, 1, 63, 64, 65]
PRESENCE = ["full", "nulls", "absent"]


def table_doc(kind: str, rows: int, presence: str) -> bytes:
    """A columnar table of an id column and one column of `kind`: every row, None in some (values kinds
    only; the others have no None), or absent from some rows."""
    present = [presence != "absent" or i % 5 != 2 for i in range(rows)]
    values = [sample(kind, i) for i in range(rows)]
    if presence == "nulls" and kind.startswith("values"):
        values = [None if i % 4 == 1 else v for i, v in enumerate(values)]
    column = column_of(kind, [v for v, p in zip(values, present, strict=False) if p])
    body = cat.full(column) if all(present) else cat.present([int(p) for p in present], column)
    ids = cat.full(cat.delta_col(*([1] * rows)))
    return cat.doc(cat.column_table(["id", "c"], rows, ids, body))


@pytest.mark.parametrize("presence", PRESENCE)
@pytest.mark.parametrize("rows", ROWS)
@pytest.mark.parametrize("kind", KINDS)
def test_round_trip_through_pyarrow_polars_and_pandas(kind: str, rows: int, presence: str) -> None:
    data = table_doc(kind, rows, presence)
    expected = [{"id": r["id"], "c": r.get("c")} for r in cells(data)] if rows else []
    table = vorn.loads_arrow(data)
    assert (table.num_rows, table.column_names) == (rows, ["id", "c"])
    got = pa.table(table).to_pylist()
    if kind == "dictionary":
        assert pa.table(table).schema.field("c").type == pa.dictionary(pa.int32(), pa.utf8())
    assert same(got, expected), (got[:5], expected[:5])
    plain = vorn.loads_arrow(data, strings="plain", decimals="decimal").to_pyarrow()
    if kind == "dictionary":
        assert plain.schema.field("c").type == pa.utf8() and plain.to_pylist() == expected
    if kind == "decimal":
        assert plain.schema.field("c").type == pa.decimal128(38, 2)
        assert [None if r["c"] is None else float(r["c"]) for r in plain.to_pylist()] == [r["c"] for r in expected]
    pl = pytest.importorskip("polars", reason="polars is in the 'test' extra")
    frame = pl.DataFrame(table)
    assert frame.height == rows and frame["id"].to_list() == [r["id"] for r in expected]
    if kind != "values-null":
        assert same(frame["c"].to_list(), [r["c"] for r in expected])
    pytest.importorskip("pandas", reason="pandas is in the 'test' extra")
    assert list(table.to_pandas()["id"]) == [r["id"] for r in expected]


@pytest.mark.parametrize(("name", "data"), cat.TABLES, ids=[n for n, _ in cat.TABLES])
def test_catalogue_tables_match_loads_binary(name: str, data: bytes) -> None:
    if name == "row-table-values":  # a list and a dict in one column
        with pytest.raises(TypeError, match="column 'v': row 1 holds a dict where earlier rows hold list"):
            vorn.loads_arrow(data)
        return
    assert same(vorn.loads_arrow(data).to_pyarrow().to_pylist(), cells(data))


PATHS = [
    # (document, path, expected rows)
    (cat.doc(cat.obj((cat.string("data"), cat.obj((cat.string("rows"), cat.row_table(["a"], 2, cat.delta_col(1, 1))))))),
     ("data", "rows"), [{"a": 1}, {"a": 2}]),
    (cat.doc(cat.lst(cat.none(), cat.typed(2, cat.object_col(["k"], cat.bool_col(1, 0))))), (1,), [{"k": True}, {"k": False}]),
    (cat.doc(cat.lst(cat.typed(1, cat.object_col(["k"], cat.bool_col(1))), cat.none())), (-2,), [{"k": True}]),
    (cat.doc(cat.lst(cat.obj((cat.string("a"), cat.integer(1))), cat.obj((cat.string("b"), cat.string("x"))))), None,
     [{"a": 1, "b": None}, {"a": None, "b": "x"}]),
    # Through an anchor and a reference: decoded as values, then converted.
    (cat.doc(cat.lst(cat.anchor(cat.row_table(["a"], 1, cat.delta_col(5))), cat.ref(0))), (1,), [{"a": 5}]),
    (cat.doc(cat.anchor(cat.obj((cat.string("t"), cat.row_table(["a"], 1, cat.bool_col(0)))))), ("t",), [{"a": False}]),
]


@pytest.mark.parametrize(("data", "path", "expected"), PATHS)
def test_paths_lead_to_the_table(data: bytes, path, expected: list) -> None:
    assert vorn.loads_arrow(data, path=path).to_pyarrow().to_pylist() == expected


NOWHERE = [
    (cat.doc(cat.integer(3)), None, TypeError, "found int"),
    (cat.doc(cat.typed(2, cat.delta_col(1, 1))), None, TypeError, "typed list of values"),
    (cat.doc(cat.lst(cat.integer(3))), None, TypeError, "found int at index 0"),
    (cat.doc(cat.obj((cat.string("a"), cat.none()))), ("b",), KeyError, "no member 'b'"),
    (cat.doc(cat.lst(cat.none())), (3,), IndexError, "index 3 out of range"),
    (cat.doc(cat.lst(cat.none())), ("k",), TypeError, "cannot enter"),
]


@pytest.mark.parametrize(("data", "path", "error", "text"), NOWHERE)
def test_a_path_to_no_table_says_what_is_there(data: bytes, path, error: type, text: str) -> None:
    with pytest.raises(error, match=text):
        vorn.loads_arrow(data, path=path)


REFUSED = [
    (cat.values_col(cat.integer(1), cat.string("a")), "column 'c': row 1 holds a str where earlier rows hold int64"),
    (cat.values_col(cat.boolean(True), cat.integer(1)), "column 'c': row 1 holds an int where earlier rows hold bool"),
    (cat.values_col(cat.integer(2**63 - 1), cat.long_string("x" * 40)), "row 1 holds a str"),
    (cat.values_col(cat.lst(cat.integer(1)), cat.lst(cat.string("ab"))), "column 'c': row 1 holds a str"),
    (cat.values_col(cat.obj((cat.string("k"), cat.integer(1))), cat.obj((cat.string("k"), cat.lst()))),
     "column 'c': row 1 holds a list"),
    (cat.object_col(["o"], cat.values_col(cat.string("ab"), cat.floating(1.5))), "column 'c.o': row 1 holds a float"),
]


@pytest.mark.parametrize(("column", "text"), REFUSED)
def test_cells_that_share_no_type_refuse_their_column(column: bytes, text: str) -> None:
    data = cat.doc(cat.row_table(["c"], 2, column))
    vorn_native.loads_binary(data)  # valid input
    with pytest.raises(TypeError, match=text.replace("(", r"\(")):
        vorn.loads_arrow(data)


def arrow_outcome(data: bytes) -> tuple[str, object]:
    try:
        table = vorn.loads_arrow(data)
    except vorn_native.VornError as error:
        return "VornError", (error.message, error.offset)
    except (TypeError, KeyError, IndexError) as error:
        return "no table", type(error).__name__
    return "table", table.num_rows


@pytest.mark.parametrize(("name", "data"), cat.ALL, ids=[n for n, _ in cat.ALL])
def test_every_catalogue_document_fails_as_the_decoder_fails(name: str, data: bytes) -> None:
    try:
        vorn_native.loads_binary(data)
    except vorn_native.VornError as error:
        assert arrow_outcome(data) == ("VornError", (error.message, error.offset))
    else:
        assert arrow_outcome(data)[0] in ("table", "no table")


def test_the_error_type_is_the_decoders() -> None:
    with pytest.raises(vorn_native.VornError) as caught:
        vorn.loads_arrow(b"\x0f\x01\x0d\x01\x41\x61\x01\x02")
    assert type(caught.value) is vorn_native.VornError and caught.value.offset == 8
    assert vorn_native.__all__ == ["loads_binary", "VornError"]


def test_a_later_invalid_byte_wins_over_a_refused_column() -> None:
    data = cat.doc(cat.lst(cat.row_table(["c"], 2, cat.values_col(cat.integer(1), cat.string("ab"))), b"\x0e"))
    with pytest.raises(vorn_native.VornError, match="bad tag 0x0e"):
        vorn.loads_arrow(data, path=(0,))


DOC = table_doc("dictionary", 65, "absent")


def test_capsules_carry_the_interface_names_and_release_once() -> None:
    gc.collect()
    base = _arrow.live_exports()
    table = vorn.loads_arrow(DOC)
    schema = table.__arrow_c_schema__()
    stream = table.__arrow_c_stream__()
    array = table.__arrow_c_array__()
    assert "arrow_schema" in repr(schema) and "arrow_array_stream" in repr(stream)
    assert "arrow_schema" in repr(array[0]) and "arrow_array" in repr(array[1])
    assert pa.Schema._import_from_c_capsule(schema).names == ["id", "c"]
    reader = pa.RecordBatchReader._import_from_c_capsule(stream)
    assert [b.num_rows for b in reader] == [65]  # one batch, then the end
    batch = pa.RecordBatch._import_from_c_capsule(*array)
    del schema, stream, reader, array
    assert _arrow.live_exports() > base  # the imported batch holds the buffers
    del table
    assert batch.num_rows == 65 and batch.column(1).to_pylist() == [r["c"] for r in cells(DOC)]
    del batch
    gc.collect()
    assert _arrow.live_exports() == base


def test_unconsumed_capsules_free_their_arrays_when_collected() -> None:
    gc.collect()
    base = _arrow.live_exports()
    table = vorn.loads_arrow(DOC)
    capsules = [table.__arrow_c_stream__(), table.__arrow_c_schema__(), *table.__arrow_c_array__()]
    assert _arrow.live_exports() > base
    del table, capsules
    gc.collect()
    assert _arrow.live_exports() == base


def test_buffers_released_from_another_thread() -> None:
    import threading

    gc.collect()
    base = _arrow.live_exports()
    arrow_table = vorn.loads_arrow(DOC).to_pyarrow()
    holder = [arrow_table]
    del arrow_table
    thread = threading.Thread(target=holder.clear)
    thread.start()
    thread.join()
    gc.collect()
    assert _arrow.live_exports() == base


def test_raw_allocation_failures_give_memory_error_and_leak_nothing() -> None:
    gc.collect()
    base = _arrow.live_exports(), _arrow.buffer_memory(False)[0]
    expected = vorn.loads_arrow(DOC).to_pyarrow()
    outcomes = set()
    for k in range(200):
        _arrow.fail_raw_allocations_after(k)
        try:
            got = vorn.loads_arrow(DOC).to_pyarrow()
        except MemoryError:
            outcomes.add("MemoryError")
        else:
            outcomes.add("table")
            assert got.equals(expected)
        finally:
            _arrow.fail_raw_allocations_after(-1)
        got = None
    del expected
    gc.collect()
    assert outcomes == {"MemoryError", "table"}
    assert (_arrow.live_exports(), _arrow.buffer_memory(False)[0]) == base


def test_the_module_imports_without_arrow_libraries() -> None:
    import subprocess
    import sys

    code = ("import sys; sys.modules['pyarrow'] = sys.modules['polars'] = sys.modules['pandas'] = None\n"
            "import vorn\nt = vorn.loads_arrow(vorn.dumps([{'a': 1}]))\n"
            "try:\n    t.to_polars()\nexcept ImportError as e:\n    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert "needs polars" in out and "pip install" in out


def nested(levels: int, inner: bytes) -> bytes:
    return cat.doc(b"\x07\x01" * levels + inner)


def bools_table(rows: int, extra_bitmap: int = 0) -> bytes:
    return cat.doc(cat.row_table(["b"], rows, b"\x04" + b"\xa5" * ((rows + 7) // 8 - extra_bitmap)))


INVALID = [
    # (name, document, path): failures inside the Arrow targets' own fast paths
    ("values-nan", cat.doc(cat.row_table(["v"], 2, cat.values_col(cat.floating(1.5), b"\x04" + b"\x00" * 6 + b"\xf8\x7f"))), None),
    ("values-float-short", cat.doc(cat.row_table(["v"], 1, cat.values_col(b"\x04\x00\x00"))), None),
    ("values-int-short", cat.doc(cat.row_table(["v"], 1, cat.values_col(b"\x03\xff"))), None),
    ("values-at-513", nested(511, cat.row_table(["a"], 1, cat.values_col(cat.integer(1)))), (0,) * 511),
    ("table-at-512", nested(512, cat.row_table(["a"], 0, cat.bool_col())), (0,) * 512),
    ("object-column-at-513", nested(511, cat.typed(1, cat.object_col(["a"], cat.bool_col(1)))), (0,) * 511),
    ("dict-index-present", cat.doc(cat.column_table(["a"], 3, cat.present([1, 0, 1], cat.dict_col([cat.string("ab")], 0, 1)))), None),
    ("bitmap-short-present", cat.doc(cat.column_table(["a"], 9, b"\x01\xff\x01" + b"\x04")), None),
    ("decimal-scale", cat.doc(cat.row_table(["a"], 1, b"\x02\x07\x00")), None),
    ("path-member-then-bad", cat.doc(cat.obj((cat.string("t"), cat.row_table(["a"], 1, cat.bool_col(1))), (cat.string("u"), b"\x0e"))), ("t",)),
    ("path-duplicate-member", cat.doc(cat.obj((cat.string("t"), cat.row_table(["a"], 1, cat.bool_col(1))), (cat.string("t"), cat.none()))), ("t",)),
    ("path-list-truncated", cat.doc(b"\x07\x05" + cat.row_table(["a"], 1, cat.bool_col(1))), (0,)),
    ("object-tower-budget", cat.doc(cat.object_column_tower(510, 8500)), None),
    ("bools-truncated", bools_table(8 * 4096 + 1, 1), None),
    ("trailing", cat.doc(cat.row_table(["a"], 1, cat.bool_col(1)) + b"\x00"), None),
]


@pytest.mark.parametrize(("name", "data", "path"), INVALID, ids=[n for n, _, _ in INVALID])
def test_invalid_documents_fail_alike_through_both_paths(name: str, data: bytes, path) -> None:
    with pytest.raises(vorn_native.VornError) as binary:
        vorn_native.loads_binary(data)
    with pytest.raises(vorn_native.VornError) as arrow:
        vorn.loads_arrow(data, path=path)
    assert (arrow.value.message, arrow.value.offset) == (binary.value.message, binary.value.offset)


@pytest.mark.parametrize("container", ["list", "dict"])
def test_reference_bombs_stop_at_the_same_budget(container: str) -> None:
    from test_attacks import doubling_bomb

    data, failing_at = doubling_bomb(container, 40)
    with pytest.raises(vorn_native.VornError) as caught:
        vorn.loads_arrow(data)
    assert (caught.value.message, caught.value.offset) == ("reference expansion too large", failing_at)


def test_the_longest_boolean_table_the_bytes_allow() -> None:
    data = bools_table(8 * 4096)
    column = vorn.loads_arrow(data).to_pyarrow().column("b").to_pylist()
    assert column == [r["b"] for r in vorn_native.loads_binary(data)] and len(column) == 8 * 4096


LEAK_CASES = [table_doc("values-dict", 65, "absent"), table_doc("object", 64, "nulls"), INVALID[0][1], INVALID[6][1],
              cat.doc(cat.row_table(["c"], 2, REFUSED[0][0])), cat.doc(cat.lst(cat.integer(3)))]


def test_repeated_decodes_leave_no_blocks_or_buffers_behind() -> None:
    def run() -> None:
        for data in LEAK_CASES:
            try:
                pa.table(vorn.loads_arrow(data, strings="plain"))
                pa.table(vorn.loads_arrow(data, decimals="decimal"))
            except (vorn_native.VornError, TypeError):
                pass

    for _ in range(3):
        run()
    gc.collect()
    before = sys.getallocatedblocks(), _arrow.live_exports(), _arrow.buffer_memory(False)[0]
    for _ in range(20):
        run()
    gc.collect()
    after = sys.getallocatedblocks(), _arrow.live_exports(), _arrow.buffer_memory(False)[0]
    assert after[1:] == before[1:] and after[0] - before[0] < 50


# Ints across the whole signed 64-bit range: far apart (sent as decimals of scale 0, each as its own
# varint), with deltas that wrap, above 2^53 where a float64 would round. Each must come back as
# int64 with every bit, whichever form the table takes.
TOP, BOTTOM = 2**63 - 1, -(2**63)
INT_RUNS = {
    "0 and 2^63-1 alternating": [0, TOP] * 31 + [0],
    "0 and -2^63 alternating": [0, BOTTOM] * 31 + [0],
    "-2^63 and 2^63-1 alternating": [BOTTOM, TOP] * 32,
    "wrapping up and down": [TOP, BOTTOM, TOP, -1, 0, BOTTOM, 1],
    "above 2^53": [2**53 + 1, -(2**53) - 3, 2**62 + 1, 7],
    "small": list(range(-3, 70)),
}


def int_forms(values: list[int]) -> dict[str, tuple[bytes, object]]:
    """Documents that hold `values` as column 'a' of a table, with the path to the table."""
    rows = [{"a": v} for v in values]
    mixed = [{"a": v} if i % 3 else {"a": v, "b": i} for i, v in enumerate(values)]
    return {
        "row table": (vorn.dumps(rows), None),
        "columnar table": (vorn.dumps(mixed), None),
        "list of dicts": (vorn.dumps(rows, compact=False), None),
        "inside an object": (vorn.dumps({"t": rows}), ("t",)),
        "decimals of scale 0": (cat.doc(cat.row_table(["a"], len(values), cat.decimal_col(0, *values))), None),
        "delta integers": (cat.doc(cat.row_table(["a"], len(values), cat.delta_col(
            *[((v - p + 2**63) % 2**64) - 2**63 for v, p in zip(values, [0] + values[:-1], strict=True)]))), None),
    }


@pytest.mark.parametrize("form", list(int_forms([0])))
@pytest.mark.parametrize("run", list(INT_RUNS))
@pytest.mark.parametrize("decimals", ["float", "decimal"])
def test_ints_come_back_as_int64_with_every_bit(run: str, form: str, decimals: str) -> None:
    values = INT_RUNS[run]
    data, path = int_forms(values)[form]
    table = vorn.loads_arrow(data, path=path, decimals=decimals).to_pyarrow()
    assert table.schema.field("a").type == pa.int64()
    assert table.column("a").to_pylist() == values

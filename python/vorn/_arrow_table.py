"""`loads_arrow`: tables of a VORN document as Arrow columns.

The columns are built natively (the `vorn._arrow` module) and handed over
through the Arrow PyCapsule interface, so that pyarrow, polars and pandas take
them without a Python object per cell. None of those libraries is needed to
decode; each convenience method imports its library when it is called.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

_EXTRAS = "install it, for example with `pip install vorn_native[arrow]`"


def loads_arrow(data: Any, *, path: Sequence[str | int] | None = None,
                decimals: str = "float", strings: str = "dictionary") -> ArrowTable:
    """Decodes `data` and returns the table at `path` as an `ArrowTable`.

    `path` leads from the top-level value to the table through dict keys and
    list indexes (`("data", "rows")`); None is the top-level value. The value
    there may be a row table, a columnar table, a typed list of records or a
    list of dicts. `decimals` is "float" (float64) or "decimal" (decimal128
    with the column's scale); `strings` is "dictionary" (dictionary arrays, as
    in the input) or "plain" (utf8).
    """
    if decimals not in ("float", "decimal"):
        raise ValueError(f"decimals must be 'float' or 'decimal', not {decimals!r}")
    if strings not in ("dictionary", "plain"):
        raise ValueError(f"strings must be 'dictionary' or 'plain', not {strings!r}")
    steps = () if path is None else tuple(path)
    for step in steps:
        if isinstance(step, bool) or not isinstance(step, (str, int)):
            raise TypeError(f"path steps are str keys or int indexes, not {step!r}")
    batch = _native().decode(data, steps, decimals == "decimal", strings == "plain")
    return ArrowTable(batch)


def _native() -> Any:
    # Imported on first use, so that `import vorn` stays as cheap as before
    # (and works from a source tree, where only vorn_native is built).
    from vorn import _arrow

    return _arrow


class ArrowTable:
    """One record batch of decoded columns, exported through the Arrow
    PyCapsule interface (`__arrow_c_schema__`, `__arrow_c_array__`,
    `__arrow_c_stream__`). Every export shares the same buffers; each stream
    yields the batch once."""

    __slots__ = ("_batch", "column_names", "num_rows")

    def __init__(self, batch: object) -> None:
        self._batch = batch
        self.num_rows, self.column_names = _native().shape(batch)

    def __len__(self) -> int:
        return self.num_rows

    def __repr__(self) -> str:
        return f"<vorn.ArrowTable: {self.num_rows} rows, columns {self.column_names}>"

    def __arrow_c_schema__(self) -> object:
        return _native().export_schema(self._batch)

    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]:
        return _native().export_array(self._batch)

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        # The columns have one layout; a requested schema is a hint that
        # consumers cast to themselves.
        return _native().export_stream(self._batch)

    def to_pyarrow(self) -> Any:
        """A `pyarrow.Table` over the same buffers."""
        return _require("pyarrow").table(self)

    def to_polars(self) -> Any:
        """A `polars.DataFrame`."""
        return _require("polars").DataFrame(self)

    def to_pandas(self, **options: Any) -> Any:
        """A `pandas.DataFrame`, through pyarrow (`options` go to its `to_pandas`)."""
        _require("pandas")
        return self.to_pyarrow().to_pandas(**options)


def _require(name: str) -> Any:
    import importlib

    try:
        return importlib.import_module(name)
    except ImportError as error:
        raise ImportError(f"vorn: this conversion needs {name}: {_EXTRAS}") from error

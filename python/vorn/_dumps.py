"""`vorn.dumps`: the native encoder, plus Arrow tables (anything with
`__arrow_c_stream__`, such as a pyarrow Table or a polars DataFrame) written
as their rows, without their null cells, wherever they are in the value. A
table at the top level whose rows do not hold all its columns keeps them
(`_arrow_header`)."""

from __future__ import annotations

from typing import Any, Callable, Optional

from vorn import _arrow, _native
from vorn._arrow_header import dumps_with_header


class _Unsupported(Exception):
    """Raised by the hook for a value that is neither Arrow nor the caller's."""


def dumps(obj: Any, *, compact: bool = True, default: Optional[Callable[[Any], Any]] = None) -> bytes:
    """Encode `obj` as a VORN document (see `vorn.pure.dumps` for the rules);
    an object with `__arrow_c_stream__` is written as a table of its rows."""

    def hook(value: Any) -> Any:
        stream = getattr(type(value), "__arrow_c_stream__", None)
        if stream is not None:
            return _arrow.rows(stream(value))
        if default is None:
            raise _Unsupported
        return default(value)

    stream = getattr(type(obj), "__arrow_c_stream__", None)
    if stream is not None and compact:
        # A table at the top level keeps the columns that no row holds.
        rows, fields = _arrow.rows_and_fields(stream(obj))
        data = dumps_with_header(rows, fields)
        if data is not None:
            return data
        obj = rows
    try:
        return _native.dumps(obj, compact=compact, default=hook)
    except _Unsupported:
        # The encoder's own refusal, with the path of the value it names.
        return _native.dumps(obj, compact=compact)

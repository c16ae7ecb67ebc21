"""VORN for Python: the native decoder and the native encoder.

- `loads(data)` decodes a document (it is `vorn_native.loads_binary`);
- `dumps(obj, *, compact=True, default=None)` encodes a value (native; the
  pure-Python `vorn.pure.dumps` gives exactly the same bytes and errors), and
  writes Arrow tables (`__arrow_c_stream__`) as tables of their rows;
- `dump(obj, fp, **options)` and `load(fp)` do the same with binary files;
- `loads_arrow(data, *, path=None)` gives a table as Arrow columns;
- `VornError` (a `ValueError`) is raised for invalid documents.
"""

from __future__ import annotations

from typing import IO, Any

from vorn_native import VornError
from vorn_native import loads_binary as loads

from vorn._arrow_table import ArrowTable, loads_arrow
from vorn._dumps import dumps

__all__ = ["loads", "dumps", "load", "dump", "VornError", "loads_arrow", "ArrowTable"]


def dump(obj: Any, fp: IO[bytes], **options: Any) -> None:
    """Write `dumps(obj, **options)` to the binary file `fp`."""
    fp.write(dumps(obj, **options))


def load(fp: IO[bytes]) -> Any:
    """Decode the VORN document read from the binary file `fp`."""
    return loads(fp.read())

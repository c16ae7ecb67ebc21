"""VORN for Python: the native decoder and a pure-Python encoder.

- `loads(data)` decodes a document (it is `vorn_native.loads_binary`);
- `dumps(obj, *, compact=True)` encodes a value;
- `loads_arrow(data, *, path=None)` gives a table as Arrow columns;
- `VornError` (a `ValueError`) is raised for invalid documents.
"""

from vorn_native import VornError
from vorn_native import loads_binary as loads

from vorn.encoder import dumps
from vorn._arrow_table import ArrowTable, loads_arrow

__all__ = ["loads", "dumps", "VornError", "loads_arrow", "ArrowTable"]

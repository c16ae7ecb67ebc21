"""VORN for Python: the native decoder and a pure-Python encoder.

- `loads(data)` decodes a document (it is `vorn_native.loads_binary`);
- `dumps(obj, *, compact=True)` encodes a value;
- `VornError` (a `ValueError`) is raised for invalid documents.
"""

from vorn_native import VornError
from vorn_native import loads_binary as loads

from vorn.pure import dumps

__all__ = ["loads", "dumps", "VornError"]

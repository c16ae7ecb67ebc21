from typing import Any, Iterable, SupportsIndex

from typing_extensions import Buffer

__all__ = ["loads_binary", "VornError"]

class VornError(ValueError):
    """Invalid VORN input."""

    message: str
    offset: int

def loads_binary(data: Buffer | Iterable[SupportsIndex]) -> Any:
    """Decodes VORN binary into dict/list/str/int/float/bool/None."""

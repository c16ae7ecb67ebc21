from typing import Any, Callable, Optional

def dumps(obj: Any, *, compact: bool = True, default: Optional[Callable[[Any], Any]] = None) -> bytes:
    """Encodes obj as a VORN document: the bytes of vorn.pure.dumps."""

def encode(
    obj: Any, compact: bool = True, budget_base: int = 4194304, default: Optional[Callable[[Any], Any]] = None
) -> bytes:
    """dumps, for a decoder whose decoded-size budget starts at budget_base."""

def drop_spare() -> int:
    """Frees the working memory kept from earlier calls; returns how many bytes it held."""

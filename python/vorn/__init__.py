"""VORN for Python: the native decoder and a pure-Python encoder."""

from vorn_native import VornError, loads_binary as loads

__all__ = ["loads", "VornError"]

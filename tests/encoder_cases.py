"""Values to encode for the fault and leak sweeps: each form the writer can choose, the budget
fallback, `default`, subclasses read through their items(), and each kind of refusal."""

from __future__ import annotations

import math
from collections import OrderedDict
from decimal import Decimal
from functools import partial
from typing import Any, Callable


class Sub(dict):  # type: ignore[type-arg]
    """Read through its (inherited) items(). An override in Python would run Python code under
    the failing allocations, whose interpreter caches fill at unpredictable points."""


def _loop() -> list[object]:
    loop: list[object] = [1]
    loop.append({"a": loop})
    return loop


def _nest(depth: int) -> object:
    value: object = 0
    for _ in range(depth):
        value = [value]
    return value


ROWS = [{"id": i, "name": f"n{i % 3}", "price": i * 1.25, "ok": i % 2 == 0} for i in range(40)]
SPARSE = [{"a": 1, "b": "xy"}, {"a": 2}, {"b": "zz", "c": [1, 2]}, {"a": 3, "c": [3]}] * 3
NESTED = [{"p": {"x": i, "y": {"z": "deep"}}, "q": [i, i + 1]} for i in range(6)]

# (name, value, compact, budget_base, default)
Case = tuple[str, Any, bool, int, Any]
ACCEPTED: list[Case] = [
    ("scalars", [None, True, False, 0, 127, 128, -1, 2**63 - 1, 1.5, 2.0, "", "a", "ab", "é" * 40], True, 4194304, None),
    ("plain-scalars", [None, 2.0, "ab", "ab", {"k": "v"}], False, 4194304, None),
    ("plain-one-pass", [ROWS, ("é" * 40, 2**63 - 1, -(2**63)), {"k": [[]] * 3}], False, 4194304, None),
    ("plain-hand-over", [ROWS, {"k": [1, Sub(a=1)]}], False, 4194304, None),
    ("references", ["ab", "cd", ["ab", "cd"] * 20, {"ab": "cd"}], True, 4194304, None),
    ("typed-lists", [[True, False] * 9, list(range(1000, 1030)), [0.5, 1.25] * 5, ["red", "green"] * 8], True, 4194304, None),
    ("row-table", ROWS, True, 4194304, None),
    ("column-table", SPARSE, True, 4194304, None),
    ("object-columns", NESTED, True, 4194304, None),
    ("budget-fallback", [ROWS[:5], NESTED], True, 0, None),
    ("default", [Decimal("1.5"), {"d": Decimal("2")}, [Decimal("3")] * 3], True, 4194304, str),
    ("subclasses", [Sub(a=1, b=2), OrderedDict(x=1), (1, 2), [Sub(a=1)] * 2], True, 4194304, None),
    ("one-pass-tables", {"a": ["xy", "zw", 1.5], "t": ROWS[:8], "s": SPARSE, "n": [NESTED, "xy"]}, True, 4194304, None),
    ("one-pass-hand-over", {"t": ROWS[:8], "late": [{"a": 1}, {"a": Sub(b=2)}]}, True, 4194304, None),
    ("tables-in-cells", [{"a": i, "t": [{"x": j, "u": [{"y": "xy"}, {"y": [1, {}]}]} for j in range(2)]} for i in range(2)],
     True, 4194304, None),
]
REFUSED: list[Case] = [
    ("nan", {"rows": [{}, {"p": math.nan}]}, True, 4194304, None),
    ("big-int", [1, 2**64], True, 4194304, None),
    ("surrogate", ["ok", "\ud800"], True, 4194304, None),
    ("key-type", {"a": {1: 2}}, True, 4194304, None),
    ("unsupported", {"a": [object()]}, False, 4194304, None),
    ("plain-nan", [ROWS, {"p": math.nan}], False, 4194304, None),
    ("plain-depth", _nest(600), False, 4194304, None),
    ("cycle", _loop(), True, 4194304, None),
    ("one-pass-table-nan", {"a": ["xy"] * 3, "rows": [{"p": 1}, {"p": math.nan}]}, True, 4194304, None),
    ("table-in-cell-nan", [{"a": 1, "t": [{"x": 1}, {"x": 2}]}, {"a": 2, "t": [{"x": 3}, {"x": math.nan}]}], True, 4194304,
     None),
    ("depth", _nest(600), True, 4194304, None),
    ("default-exhausted", [object()], True, 4194304, lambda obj: obj),
]
GROUPS: dict[str, list[Case]] = {"encode-accepted": ACCEPTED, "encode-refused": REFUSED}


def runner(encode: Callable[..., bytes], case: Case) -> Callable[[], bytes]:
    # A partial, not a lambda: no Python frame of its own for a failing
    # allocation to hit while the exception passes through.
    _, value, compact, budget_base, default = case
    return partial(encode, value, compact, budget_base, default)

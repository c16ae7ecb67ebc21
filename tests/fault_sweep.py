"""`python fault_sweep.py [--arrow] GROUP...`: for each catalogue document (or, for the encode-* groups,
each value of encoder_cases), N = its allocation count; decode (encode) it failing only allocation k,
then every allocation from k on (k = 0..N and past it while failures still matter). Each run must give
the undisturbed outcome, MemoryError, or PanicException where that outcome is a VornError; the block
count must not grow with the number of sweeps after a warm-up. Prints a JSON report. With --arrow the
decode is the native half of `vorn.loads_arrow` (its outcome: rows and column names), whose refusals
(TypeError, KeyError, IndexError) must come back with the same text."""

from __future__ import annotations

import gc
import json
import sys
from array import array
from functools import partial
from typing import Callable

import _testcapi

import catalogue
import encoder_cases
import vorn_native
from vorn import _arrow, _native

set_nomemory = _testcapi.set_nomemory
remove_mem_hooks = _testcapi.remove_mem_hooks
loads = vorn_native.loads_binary

MAX_ALLOCATIONS = 20000
MARGIN = 16
# Sweeps after the first when that one left blocks behind. A leak grows at every sweep; the
# interpreter's own blocks (3.10 keeps frames for reuse) rise now and then and level off.
EXTRA_SWEEPS = 3


def attempt(run: Callable[[], object], start: int, stop: int) -> tuple[bool, object]:
    try:
        set_nomemory(start, stop)
        value = run()
    except BaseException as exc:  # noqa: BLE001 - every outcome is classified
        remove_mem_hooks()
        return False, exc
    remove_mem_hooks()
    return True, value


def same(a: object, b: object) -> bool:
    if type(a).__name__ == "PyCapsule" and type(b).__name__ == "PyCapsule":
        return _arrow.shape(a) == _arrow.shape(b)
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b, strict=False))  # type: ignore[arg-type]
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)  # type: ignore[index]
    return a == b


def describe(ok: bool, outcome: object) -> str:
    if ok:
        return "value"
    if isinstance(outcome, vorn_native.VornError):
        return f"VornError({getattr(outcome, 'message', '?')!r}, {getattr(outcome, 'offset', '?')})"
    return type(outcome).__name__


def classify(expected: tuple[bool, object], got: tuple[bool, object]) -> str | None:
    ok, outcome = got
    want_ok, want = expected
    if ok:
        if want_ok and same(outcome, want):
            return None
        return f"returned {outcome!r:.200} instead of {describe(*expected)}"
    if isinstance(outcome, MemoryError):
        return None
    name = type(outcome).__name__
    if name == "PanicException" and not want_ok:
        return None
    if isinstance(outcome, vorn_native.VornError) and not (hasattr(outcome, "message") and hasattr(outcome, "offset")):
        return f"raised a VornError without its attributes instead of {describe(*expected)}"
    # The same error: a VornError's text holds its message and offset, and the refusals of the
    # encoder and of loads_arrow are plain exceptions.
    if not want_ok and type(outcome) is type(want) and str(outcome) == str(want):
        return None
    return f"raised {describe(ok, outcome)} instead of {describe(*expected)}"


KINDS = ("value", "VornError", "MemoryError", "PanicException", "anomaly", "TypeError", "KeyError", "IndexError")


def kind_of(got: tuple[bool, object], problem: str | None) -> int:
    if problem is not None:
        return KINDS.index("anomaly")
    if got[0]:
        return 0
    name = type(got[1]).__name__
    if name in KINDS:
        return KINDS.index(name)
    return KINDS.index("VornError")  # other refusals (ValueError, OverflowError) count with the errors


def reproduces(expected: tuple[bool, object], got: tuple[bool, object]) -> bool:
    return classify(expected, got) is None and kind_of(got, None) == kind_of(expected, None)


def count_allocations(data: Callable[[], object], expected: tuple[bool, object]) -> int:
    """The smallest k for which failing every allocation from k on has no effect."""
    for k in range(MAX_ALLOCATIONS):
        if reproduces(expected, attempt(data, k, 0)):
            return k
    raise RuntimeError(f"more than {MAX_ALLOCATIONS} allocations")


def sweep_once(name: str, data: Callable[[], object], expected: tuple[bool, object], total: int,
               counts: array, anomalies: list[str]) -> None:
    # Go on past `total` until MARGIN allocations in a row had no effect (absorbed failures).
    k = 0
    last_effect = total
    while k <= last_effect + MARGIN:
        for stop in (k + 1, 0):
            got = attempt(data, k, stop)
            problem = classify(expected, got)
            counts[kind_of(got, problem)] += 1
            if problem is not None:
                mode = "only" if stop else "from"
                anomalies.append(f"{name}: failing allocation {mode} {k}: {problem}")
            if not reproduces(expected, got):
                last_effect = max(last_effect, k)
            del got
        k += 1


def main(groups: list[str]) -> None:
    global loads
    if groups[:1] == ["--arrow"]:
        groups = groups[1:]
        loads = _arrow.decode  # called straight from here, as loads_binary is
    gc.disable()
    sys.unraisablehook = lambda unraisable: None
    entries: list[tuple[str, Callable[[], object]]] = []
    for group in groups:
        if group in encoder_cases.GROUPS:
            entries += [(case[0], encoder_cases.runner(_native.encode, case)) for case in encoder_cases.GROUPS[group]]
        else:
            entries += [(name, partial(loads, data)) for name, data in catalogue.GROUPS[group]]
    counts = array("q", [0] * len(KINDS))
    scratch = array("q", [0] * len(KINDS))
    anomalies: list[str] = []
    allocations: dict[str, int] = {}
    leaks: dict[str, list[int]] = {}
    for name, data in entries:
        expected = attempt(data, 2**31 - 1, 0)  # no allocation fails
        total = count_allocations(data, expected)
        allocations[name] = total
        # The warm-up sweep fills caches and free lists.
        sweep_once(name, data, expected, total, scratch, anomalies)
        # Collected first: a failure inside Python code (an items() override)
        # leaves a traceback cycle, garbage rather than a leak.
        if loads is not vorn_native.loads_binary:  # refusals fill a few more caches (type names)
            sweep_once(name, data, expected, total, scratch, anomalies)
        gc.collect()
        residues = array("q", [0] * (EXTRA_SWEEPS + 1))  # no block of its own per reading
        before = sys.getallocatedblocks()
        before = sys.getallocatedblocks()  # now counting the int it replaced
        sweep_once(name, data, expected, total, counts, anomalies)
        gc.collect()
        residues[0] = sys.getallocatedblocks() - before
        extra = 0  # a counter, not a range: its iterator would be counted
        while extra < EXTRA_SWEEPS and residues[extra] > (residues[extra - 1] if extra else 0):
            sweep_once(name, data, expected, total, scratch, anomalies)
            gc.collect()
            extra += 1
            residues[extra] = sys.getallocatedblocks() - before
        if extra == EXTRA_SWEEPS and residues[extra] > residues[extra - 1]:
            leaks[name] = residues.tolist()
        del expected
    json.dump({"runs": sum(counts), "outcomes": dict(zip(KINDS, counts, strict=False)), "anomalies": anomalies[:50],
               "allocations": allocations, "leaks": leaks, "block_counting": sys.getallocatedblocks() > 0}, sys.stdout)


if __name__ == "__main__":
    main(sys.argv[1:])

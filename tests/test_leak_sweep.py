"""Every catalogue and test-table document, decoded many times, leaves the allocated block count
(and, on a debug build, the total reference count) where it was."""

from __future__ import annotations

import sys

import pytest

from functools import partial

import catalogue
import encoder_cases
import vorn_native
from vorn import _native

ROUNDS = 10


def inputs() -> list[bytes]:
    return list(dict.fromkeys([data for _, data in catalogue.ALL] + catalogue.from_test_tables()))


def decode_all(docs: list, convert=None) -> int:
    errors = 0
    for data in docs:
        try:
            vorn_native.loads_binary(convert(data) if convert else data)
        except vorn_native.VornError:
            errors += 1
    return errors


COUNTERS = [*([("allocated blocks", sys.getallocatedblocks)] if sys.getallocatedblocks() > 0 else []),  # 0: malloc
            *([("total reference count", sys.gettotalrefcount)] if hasattr(sys, "gettotalrefcount") else [])]
pytestmark = pytest.mark.skipif(not COUNTERS, reason="no block or reference counts in this interpreter")


def unchanged_after(counter, docs: list, convert=None) -> int:
    decode_all(docs, convert)
    decode_all(docs, convert)
    rounds = ROUNDS  # a loop variable would keep one more reference at the end
    before = counter()
    before = counter()  # the second reading counts the int of the first
    while rounds:
        decode_all(docs, convert)
        rounds -= 1
    return counter() - before


@pytest.mark.parametrize(("kind", "convert"), [("bytes", None), ("bytearray", bytearray), ("memoryview", memoryview)])
@pytest.mark.parametrize("name", [name for name, _ in COUNTERS])
def test_repeated_decodes_leave_nothing_behind(name: str, kind: str, convert) -> None:
    counter = dict(COUNTERS)[name]
    docs = inputs()
    if convert is not None:
        docs = docs[::4]
    assert decode_all(docs) > 0 and len(docs) > decode_all(docs)  # both outcomes
    assert unchanged_after(counter, docs, convert) == 0


@pytest.mark.parametrize("name", [name for name, _ in COUNTERS])
def test_truncations_leave_nothing_behind(name: str) -> None:
    counter = dict(COUNTERS)[name]
    docs = [data for _, data in catalogue.TRUNCATED]
    assert decode_all(docs) == len(docs)
    assert unchanged_after(counter, docs) == 0


def test_the_counters_see_a_leak() -> None:
    # A kept reference does show: the tests above would catch one.
    name, counter = COUNTERS[0]
    kept = []
    docs = [data for _, data in catalogue.VALID]
    growth = unchanged_after(counter, docs, lambda data: kept.append(bytearray(data)) or data)
    assert growth >= ROUNDS * len(docs), name


def encode_all(runs: list) -> int:
    errors = 0
    for run in runs:
        try:
            run()
        except (ValueError, TypeError, OverflowError):
            errors += 1
    return errors


def encoder_runs() -> list:
    """Every encoder case, and every valid catalogue document's value in both modes."""
    runs = [encoder_cases.runner(_native.encode, case) for group in encoder_cases.GROUPS.values() for case in group]
    for _, data in catalogue.VALID:
        value = vorn_native.loads_binary(data)
        runs += [partial(_native.dumps, value, compact=compact) for compact in (True, False)]
    return runs


@pytest.mark.parametrize("name", [name for name, _ in COUNTERS])
def test_repeated_encodes_leave_nothing_behind(name: str) -> None:
    counter = dict(COUNTERS)[name]
    runs = encoder_runs()
    assert 0 < encode_all(runs) < len(runs)  # both outcomes
    encode_all(runs)
    rounds = ROUNDS
    before = counter()
    before = counter()
    while rounds:
        encode_all(runs)
        rounds -= 1
    assert counter() - before == 0

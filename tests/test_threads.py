"""Threads, small stacks and worker processes."""

from __future__ import annotations

import multiprocessing
import os
import pickle
import threading

import pytest

import catalogue as d
import vorn_native
from support import HEADER, chain_doc, doc

SANITIZED = os.environ.get("VORN_SANITIZED") == "1"


def outcome(data: bytes) -> tuple[str, object]:
    """What one decode gives, as a comparable and type-exact record."""
    try:
        value = vorn_native.loads_binary(data)
    except vorn_native.VornError as error:
        return ("error", (error.message, error.offset, str(error)))
    return ("value", (type(value).__name__, repr(value)))


# Valid and invalid documents, with and without hashed key lists (whose key
# is drawn per thread on first use), and truncations of each.
MIX = [data for _, data in d.ALL if len(data) < 2000]
MIX += [data[:n] for data in MIX[::3] for n in range(2, len(data), 3)]


def test_threads_decoding_concurrently_give_the_single_thread_results() -> None:
    expected = [outcome(data) for data in MIX]
    assert {kind for kind, _ in expected} == {"value", "error"}
    threads_count, rounds = 8, 20
    barrier = threading.Barrier(threads_count)
    results: dict[int, list] = {}
    failures: list[BaseException] = []

    def work(index: int) -> None:
        try:
            barrier.wait()
            mine = []
            for round_ in range(rounds):
                # Each thread walks the documents from its own starting point.
                start = (index * 7 + round_) % len(MIX)
                order = list(range(start, len(MIX))) + list(range(start))
                mine.append({i: outcome(MIX[i]) for i in order})
            results[index] = mine
        except BaseException as exc:  # noqa: BLE001 - reported by the main thread
            failures.append(exc)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(threads_count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    assert len(results) == threads_count
    for mine in results.values():
        for seen in mine:
            assert [seen[i] for i in range(len(MIX))] == expected


def depth_of(value: object) -> int:
    """Nesting depth of lists and dicts, without recursion."""
    deepest = 0
    stack = [(value, 0)]
    while stack:
        item, level = stack.pop()
        deepest = max(deepest, level)
        if isinstance(item, list):
            stack.extend((x, level + 1) for x in item)
        elif isinstance(item, dict):
            stack.extend((x, level + 1) for x in item.values())
    return deepest


def mixed(levels: int, inner: str) -> bytes:
    """Lists, objects and anchors in turn, `levels` deep around `inner`."""
    return doc(*(["07 01", "08 01 41 61", "0a"][i % 3] for i in range(levels)), inner)


# (name, deepest document, depth of its value, a document one level deeper, the offset where that fails)
DEEPEST = [
    ("lists", d.doc(d.nested_lists(512)), 512, d.doc(d.nested_lists(513)), 2 + 2 * 513),
    ("objects", d.doc(b"\x08\x01\x41k" * 512 + b"\x00"), 512, d.doc(b"\x08\x01\x41k" * 513 + b"\x00"), 2 + 4 * 513),
    *((f"mixed around {inner}", mixed(512, inner), 342, mixed(513, inner), len(mixed(513, inner)) - len(inner) // 3 - 1)
      for inner in ["80", "07 00", "08 00"]),
    ("anchored lists", d.doc(b"\x0a\x07\x01" * 256 + b"\x00"), 256, None, None),
    ("typed values", d.doc(b"\x0c\x01\x00" * 256 + b"\x80"), 256, None, None),
    ("row tables", d.doc(b"\x09\x01\x41k\x01\x00" * 255 + b"\x09\x01\x41k\x01\x04\x01"), 512, None, None),
    ("column tables", d.doc(b"\x0d\x01\x41k\x01\x00\x00" * 255 + b"\x0d\x01\x41k\x01\x00\x04\x01"), 512, None, None),
    ("object columns", d.doc(d.object_column_tower(511, 1)), 511, None, None),
    # the deepest copies a reference may make, from a reference at depth 511
    *((f"copies of {unit}", chain_doc(256, unit, final_depth=511), 511 + 4096, chain_doc(257, unit, final_depth=511), 0)
      for unit in ["07 01", "08 01 41 61"]),
]


def decode_on_small_stack(data: bytes) -> object:
    box: dict[str, object] = {}

    def run() -> None:
        try:
            box["value"] = vorn_native.loads_binary(data)
        except BaseException as exc:  # noqa: BLE001
            box["error"] = exc

    old = threading.stack_size(512 * 1024)
    try:
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old)
    if "error" in box:
        raise box["error"]  # type: ignore[misc]
    return box["value"]


@pytest.mark.skipif(SANITIZED, reason="sanitizer builds use several times the release stack")
@pytest.mark.parametrize("name, data, depth, deeper, offset", DEEPEST, ids=[row[0] for row in DEEPEST])
def test_deepest_documents_decode_on_a_512_kib_stack(name, data, depth, deeper, offset) -> None:
    assert depth_of(decode_on_small_stack(data)) == depth
    if deeper is not None:  # one level deeper fails cleanly on the same stack
        with pytest.raises(vorn_native.VornError) as error:
            decode_on_small_stack(deeper)
        assert (error.value.message, error.value.offset) == ("nesting too deep", offset)


def test_error_from_a_worker_process_keeps_message_and_offset() -> None:
    bad = HEADER + b"\x07\x02\x80"
    with pytest.raises(vorn_native.VornError) as local:
        vorn_native.loads_binary(bad)
    context = multiprocessing.get_context("spawn")
    with context.Pool(1) as pool:
        with pytest.raises(vorn_native.VornError) as remote:
            pool.apply(vorn_native.loads_binary, (bad,))
        assert pool.apply(vorn_native.loads_binary, (HEADER + b"\x07\x01\x81",)) == [1]
    assert type(remote.value) is vorn_native.VornError
    assert (remote.value.message, remote.value.offset) == ("truncated input", 4)
    assert (remote.value.message, remote.value.offset) == (local.value.message, local.value.offset)
    assert str(remote.value) == str(local.value) == "vorn: offset 4: truncated input"


def test_error_survives_pickling() -> None:
    with pytest.raises(vorn_native.VornError) as caught:
        vorn_native.loads_binary(HEADER + b"\x0e")
    copy = pickle.loads(pickle.dumps(caught.value))
    assert type(copy) is vorn_native.VornError
    assert (copy.message, copy.offset, copy.args) == ("bad tag 0x0e", 2, caught.value.args)

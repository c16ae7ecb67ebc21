"""Anchors and references: numbering, identity, the expansion budget and copy depth."""

import os
import threading

import pytest

from vorn_native import loads_binary
from support import decode_error, doc, nest, unnest, varint


def containers(value):
    """Every list and dict in `value`, walked without recursion."""
    found, stack = [], [value]
    while stack:
        item = stack.pop()
        if isinstance(item, (list, dict)):
            found.append(item)
            stack.extend(item.values() if isinstance(item, dict) else item)
    return found


def assert_no_shared_containers(value):
    found = containers(value)
    assert len({id(c) for c in found}) == len(found)


@pytest.mark.parametrize(
    "data, expected, same",
    [
        (doc("0a 80"), 0, []),
        (doc("0a 0a 07 00"), [], []),
        (doc("07 02 0a 41 61 0b 00"), ["a", "a"], [((0,), (1,))]),
        (doc("07 02 0a 07 01 80 0b 00"), [[0], [0]], []),
        (doc("07 02 0a 80 0b 80 00"), [0, 0], []),
        (doc("07 03 0a 07 01 0a 41 61 0b 01 0b 00"), [["a"], "a", ["a"]], [((0, 0), (2, 0))]),
        (doc("07 03 0a 07 00 0b 00 0b 00"), [[], [], []], []),
        (doc("07 03 0a 07 00 0a 0b 00 0b 01"), [[], [], []], []),
        (doc("07 03 0a 0a 07 00 0b 00 0b 01"), [[], [], []], []),
        (doc("07 02 0a 07 01 42 61 62 0b 00"), [["ab"], ["ab"]], [((0, 0), (1, 0))]),
        (doc("07 03 0a 42 61 62 0b 00 06 00"), ["ab"] * 3, [((0,), (1,)), ((0,), (2,))]),
        (doc("07 02 0a 07 00 08 01 41 61 0b 00"), [[], {"a": []}], []),
        (doc("07 02 0a 08 02 42 6b 31 07 00 42 6b 32 80 0b 00"), [{"k1": [], "k2": 0}] * 2, []),
        (doc("07 03 0a 04 00 00 00 00 00 00 e0 3f 0a 03 fe ff ff ff 1f 0b 00"), [0.5, 2**32 - 1, 0.5],
         [((0,), (2,))]),
    ],
)
def test_decodes(data, expected, same):
    value = loads_binary(data)
    assert value == expected
    assert_no_shared_containers(value)
    for left, right in same:
        a, b = value, value
        for i in left:
            a = a[i]
        for i in right:
            b = b[i]
        assert a is b


def test_copied_dict_keeps_key_objects_and_order():
    value = loads_binary(doc("07 02 0a 08 02 42 6b 32 07 00 42 6b 31 80 0b 00"))
    assert [list(d) for d in value] == [["k2", "k1"]] * 2
    for original, copy in zip(value[0], value[1]):
        assert original is copy


@pytest.mark.parametrize(
    "data, message, offset",
    [
        (doc("0b 00"), "bad anchor reference", 4),
        (doc("0a 07 01 0b 00"), "bad anchor reference", 7),
        (doc("0a 07 01 0a 07 01 0b 00"), "bad anchor reference", 10),
        (doc("0a 07 01 0a 07 01 0b 01"), "bad anchor reference", 10),
        (doc("07 02 0b 00 0a 80"), "bad anchor reference", 6),
        (doc("07 02 0a 80 0b 01"), "bad anchor reference", 8),
        (doc("07 02 0a 80 0b 80 80 80 80 10"), "bad anchor reference", 12),
        (doc("07 02 0a 80 0b", "ff" * 9, "01"), "bad anchor reference", 17),
        (doc("07 03 42 61 62 0b 00 0a 80"), "bad anchor reference", 9),
        (doc("07 03 0a 42 61 62 0b 00 06 01"), "bad string reference", 12),
        (doc("0b"), "truncated input", 3),
        (doc("0b 80"), "truncated input", 3),
        (doc("0b", "ff" * 9, "02"), "varint overflows 64 bits", 3),
        (doc("0a"), "truncated input", 3),
        (doc("0a 0e"), "bad tag 0x0e", 3),
        (doc("07 02 0a 07 01 0e 0b 00"), "bad tag 0x0e", 7),
        (doc(nest("07 01", 512, "0a 80")), "nesting too deep", 2 + 2 * 512 + 1),
        (doc("07 02 0a 80", nest("07 01", 512, "0b 00")), "nesting too deep", 6 + 2 * 512),
    ],
)
def test_fails(data, message, offset):
    assert decode_error(data) == (message, offset)


def test_reference_at_depth_512():
    value = loads_binary(doc("07 02 0a 07 00", nest("07 01", 511, "0b 00")))
    assert unnest(value[1]) == (511, [])


# The reference-expansion budget: a list of 4,095 items costs 4,096 per copy,
# so 4,096 copies spend the whole budget of 16,777,216.
FULL = b"\x0a\x07" + varint(4095) + b"\x80" * 4095


def budget_doc(anchors, refs):
    """A list of anchored values, then references given as anchor numbers.

    Returns the document and the offset just past each reference."""
    body = b"".join(anchors)
    ends = []
    for number in refs:
        body += b"\x0b" + varint(number)
        ends.append(len(body))
    head = doc(b"\x07" + varint(len(anchors) + len(refs)))
    return head + body, [len(head) + end for end in ends]


SCALARS_AND_LISTS = [b"\x0a\x42ab", b"\x0a\x03\xfe\xff\xff\xff\x1f", FULL, b"\x0a\x07\x00"]


@pytest.mark.parametrize(
    "tail, failing",
    [([0, 1, 0], None), ([2], 0), ([1, 3, 0], 1), ([0, 2, 2], 1)],
)
def test_budget_boundary(tail, failing):
    data, ends = budget_doc(SCALARS_AND_LISTS, [2] * 4096 + tail)
    if failing is not None:
        assert decode_error(data) == ("reference expansion too large", ends[4096 + failing])
        return
    for _ in range(2):  # every decode starts with a full budget
        value = loads_binary(data)
        copies = value[4:4100]
        assert len({id(c) for c in copies + [value[2]]}) == 4097
        assert all(c == value[2] for c in copies) and value[2] == [0] * 4095
        assert value[4100:] == [value[t] for t in tail]
        assert value[4100] is value[0] and value[4101] == 2**32 - 1


@pytest.mark.parametrize("items, ok", [(4093, True), (4094, False)])
def test_budget_counts_dicts_and_nested_lists(items, ok):
    # After 4,095 copies of the full list 4,096 units remain; {"a": [0] * n} costs 2 + n + 1.
    nested = b"\x0a\x08\x01\x41a\x07" + varint(items) + b"\x80" * items
    data, ends = budget_doc([FULL, nested], [0] * 4095 + [1])
    if ok:
        assert loads_binary(data)[-1] == {"a": [0] * items}
    else:
        assert decode_error(data) == ("reference expansion too large", ends[-1])


def chain_doc(first, unit="07 01", inner="07 00", links=15, levels=256, final_depth=1):
    """Anchor 0 nests `first` levels of `unit` around `inner`; anchor k nests `levels`
    levels around a Reference to anchor k - 1. A final Reference to the last anchor
    stands at document depth `final_depth`. Its copy reaches copy depth first + links * levels."""
    items = [b"\x0a" + nest(unit, first, inner)]
    items += [b"\x0a" + nest(unit, levels, b"\x0b" + varint(k - 1)) for k in range(1, links + 1)]
    items.append(nest("07 01", final_depth - 1, b"\x0b" + varint(links)))
    return doc(b"\x07" + varint(len(items)), *items)


def check_chain(value, unit_levels_before, inner_value):
    levels, innermost = unnest(value[-1])
    assert (levels, innermost) == (unit_levels_before + 4096, inner_value)
    original, copy = value[-2], value[-1]
    for _ in range(unit_levels_before):
        copy = copy[0]
    while isinstance(copy, (list, dict)) and copy:
        assert copy is not original
        original, copy = (
            (original[0], copy[0]) if isinstance(copy, list) else (original["a"], copy["a"])
        )


@pytest.mark.parametrize("unit", ["07 01", "08 01 41 61"])
@pytest.mark.parametrize("inner, inner_value", [("07 00", []), ("80", 0), ("08 00", {})])
def test_copy_depth_limit(unit, inner, inner_value):
    # Anchor 15 holds its deepest value at copy depth 256 + 15 * 256 = 4,096.
    value = loads_binary(chain_doc(256, unit, inner))
    assert unnest(value[15])[1] == inner_value
    check_chain(value, 0, inner_value)
    assert decode_error(chain_doc(257, unit, inner)) == ("nesting too deep", 0)
    assert decode_error(chain_doc(257, unit, inner) + b"\x00") == ("nesting too deep", 0)


def run_on_small_stack(work):
    outcome = []

    def target():
        try:
            work()
            outcome.append(None)
        except BaseException as error:  # handed to the test thread
            outcome.append(error)

    previous = threading.stack_size(512 * 1024)
    try:
        thread = threading.Thread(target=target)
        thread.start()
    finally:
        threading.stack_size(previous)
    thread.join()
    if outcome != [None]:
        raise outcome[0] if outcome else AssertionError("thread died")


@pytest.mark.skipif(os.environ.get("VORN_SANITIZED") == "1", reason="sanitizer frames outgrow 512 KiB")
def test_deepest_documents_on_a_small_stack():
    units = ["07 01", "08 01 41 61", "0a"]

    def mixed(levels, inner):
        return b"".join(bytes.fromhex(units[i % 3]) for i in range(levels)) + bytes.fromhex(inner)

    def work():
        containers_at_512 = sum(1 for i in range(512) if units[i % 3] != "0a")
        for inner, inner_value in [("80", 0), ("07 00", []), ("08 00", {})]:
            assert unnest(loads_binary(doc(mixed(512, inner)))) == (containers_at_512, inner_value)
            data = doc(mixed(513, inner))
            assert decode_error(data) == ("nesting too deep", len(data) - len(bytes.fromhex(inner)))
        for unit in ["07 01", "08 01 41 61"]:
            check_chain(loads_binary(chain_doc(256, unit, final_depth=511)), 510, [])
            assert decode_error(chain_doc(257, unit, final_depth=511)) == ("nesting too deep", 0)

    run_on_small_stack(work)

"""Anchors and references: numbering, identity, the expansion budget and copy depth."""

from functools import reduce
from operator import getitem

import pytest

from vorn_native import loads_binary
from support import FULL, budget_doc, chain_doc, decode_error, doc, nest, unnest, varint


def assert_no_shared_containers(value):
    """No list or dict occurs twice in `value`, walked without recursion."""
    seen, stack = set(), [value]
    while stack:
        item = stack.pop()
        if isinstance(item, (list, dict)):
            assert id(item) not in seen
            seen.add(id(item))
            stack.extend(item.values() if isinstance(item, dict) else item)


@pytest.mark.parametrize(
    "data, expected, same",
    [
        (doc("0a 80"), 0, []), (doc("0a 0a 07 00"), [], []),
        (doc("07 02 0a 41 61 0b 00"), ["a", "a"], [((0,), (1,))]), (doc("07 02 0a 07 01 80 0b 00"), [[0], [0]], []),
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
        assert reduce(getitem, left, value) is reduce(getitem, right, value)


def test_copied_dict_keeps_key_objects_and_order():
    value = loads_binary(doc("07 02 0a 08 02 42 6b 32 07 00 42 6b 31 80 0b 00"))
    assert [list(d) for d in value] == [["k2", "k1"]] * 2
    for original, copy in zip(value[0], value[1], strict=False):
        assert original is copy


@pytest.mark.parametrize(
    "data, message, offset",
    [
        (doc("0b 00"), "bad anchor reference", 4), (doc("0a 07 01 0b 00"), "bad anchor reference", 7),
        (doc("0a 07 01 0a 07 01 0b 00"), "bad anchor reference", 10),
        (doc("0a 07 01 0a 07 01 0b 01"), "bad anchor reference", 10),
        (doc("07 02 0b 00 0a 80"), "bad anchor reference", 6), (doc("07 02 0a 80 0b 01"), "bad anchor reference", 8),
        (doc("07 02 0a 80 0b 80 80 80 80 10"), "bad anchor reference", 12),
        (doc("07 02 0a 80 0b", "ff" * 9, "01"), "bad anchor reference", 17),
        (doc("07 03 42 61 62 0b 00 0a 80"), "bad anchor reference", 9),
        (doc("07 03 0a 42 61 62 0b 00 06 01"), "bad string reference", 12), (doc("0b"), "truncated input", 3),
        (doc("0b 80"), "truncated input", 3), (doc("0b", "ff" * 9, "02"), "varint overflows 64 bits", 3),
        (doc("0a"), "truncated input", 3), (doc("0a 0e"), "bad tag 0x0e", 3),
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

"""Property tests: every JSON-like value survives `vorn.dumps` and the native decoder."""

from __future__ import annotations

import string

from hypothesis import given, settings
from hypothesis import strategies as st

import vorn
import vorn_native
from encoder_support import PLAIN_TAGS, decoded_form, same, tags_of

INT64 = st.integers(-(2**63), 2**63 - 1)
INT_EDGES = st.sampled_from([0, 1, -1, 127, 128, -64, 2**31 - 1, 2**53 - 1, 2**53, 2**53 + 1, 2**63 - 1, -(2**63)])
FEW_DECIMALS = st.builds(
    lambda m, scale: m / 10**scale, st.integers(-(10**12), 10**12), st.integers(0, 6)
)
FLOATS = st.one_of(
    st.floats(allow_nan=False, allow_infinity=False),
    FEW_DECIMALS,
    st.sampled_from([0.0, -0.0, 2.0**53, -(2.0**53), 2.0**53 - 1, 1e300, 5e-324, 0.1, 1.5]),
)
# A small pool, so that strings repeat: one-byte, short, 31/32-byte and non-ASCII ones.
POOL = ["", "a", "é", "ab", "id", "name", "ünï", "日本語", "x" * 31, "y" * 32, "🙂🙂", "\x00\x01"]
TEXT = st.one_of(st.sampled_from(POOL), st.text(max_size=40))
KEYS = st.one_of(st.sampled_from(POOL), st.text(string.ascii_lowercase, min_size=1, max_size=3))
SCALARS = st.one_of(st.none(), st.booleans(), INT64, INT_EDGES, FLOATS, TEXT)

# Column generators, so that table columns are often of one type.
COLUMNS = [
    SCALARS,
    st.booleans(),
    st.one_of(INT64, INT_EDGES),
    st.integers(-1000, 1000),
    FEW_DECIMALS,
    st.sampled_from(POOL),
    st.fixed_dictionaries({"x": st.integers(0, 9), "y": st.sampled_from(POOL)}),
    st.fixed_dictionaries({"in": st.fixed_dictionaries({"deep": st.booleans()})}),
]


@st.composite
def records(draw: st.DrawFn, values: st.SearchStrategy[object]) -> list[dict[str, object]]:
    """A list of records over one key list: some rows lack keys, a few swap two."""
    keys = draw(st.lists(KEYS, min_size=1, max_size=5, unique=True))
    columns = {key: draw(st.one_of(st.sampled_from(COLUMNS), st.just(values))) for key in keys}
    full = draw(st.booleans())
    rows = []
    for _ in range(draw(st.integers(0, 12))):
        row = {key: draw(columns[key]) for key in keys if full or draw(st.booleans())}
        if len(row) >= 2 and draw(st.integers(0, 9)) == 0:
            items = list(row.items())
            items[0], items[1] = items[1], items[0]
            row = dict(items)
        rows.append(row)
    return rows


def _containers(children: st.SearchStrategy[object]) -> st.SearchStrategy[object]:
    return st.one_of(
        st.lists(children, max_size=6),
        st.lists(children, max_size=6).map(tuple),
        st.dictionaries(KEYS, children, max_size=6),
        records(children),
        st.lists(st.sampled_from(COLUMNS).flatmap(lambda c: st.lists(c, min_size=2, max_size=20)), max_size=1),
    )


JSON_LIKE = st.recursive(SCALARS, _containers, max_leaves=40)
EXAMPLES = settings(max_examples=150, deadline=None)


@EXAMPLES
@given(JSON_LIKE)
def test_round_trip_compact(value: object) -> None:
    data = vorn.dumps(value)
    assert same(vorn_native.loads_binary(data), decoded_form(value))
    assert vorn.dumps(value) == data


@EXAMPLES
@given(JSON_LIKE)
def test_round_trip_plain_uses_plain_tags_only(value: object) -> None:
    data = vorn.dumps(value, compact=False)
    assert same(vorn_native.loads_binary(data), decoded_form(value))
    assert set(tags_of(data)) <= PLAIN_TAGS


@EXAMPLES
@given(st.sampled_from(COLUMNS[1:]).flatmap(lambda c: st.lists(c, min_size=2, max_size=300)))
def test_round_trip_homogeneous_lists(items: list[object]) -> None:
    assert same(vorn.loads(vorn.dumps(items)), decoded_form(items))

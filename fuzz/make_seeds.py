"""Writes the fuzzer's seed corpus: every byte string in the test tables,
the document catalogue of the robustness tests, and (when the encoder is
there) encodings of varied values.

    python fuzz/make_seeds.py OUTPUT_DIR
"""

from __future__ import annotations

import hashlib
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TESTS = ROOT / "tests"
MAX_LEN = 65536


def from_tests():
    if any((ROOT / "python" / "vorn").glob("_native*.so")):
        sys.path.insert(0, str(ROOT / "python"))  # the encoder built in the work tree, else the installed one
    sys.path.insert(0, str(TESTS))
    import catalogue

    yield from (data for _, data in catalogue.ALL)
    yield from catalogue.from_test_tables(MAX_LEN)


def varied_values():
    yield None
    yield [0, 1, -1, 127, 128, 2**63 - 1, -(2**63), 1.5, -0.0, 1e300, "", "a", "ab", "é€😀"]
    yield {"id": 1, "name": "ab", "tags": ["x", "y"], "nested": {"k": [None, True, False]}}
    yield [{"a": i, "b": f"s{i % 3}", "c": i % 2 == 0, "d": i / 4} for i in range(12)]
    yield [{"a": i} if i % 2 else {"b": [i]} for i in range(9)]
    yield [[1, 2, 3]] * 3
    yield [True, False] * 20
    yield list(range(-50, 50, 7))
    yield [x / 100 for x in range(-300, 300, 37)]
    yield ["red", "green", "blue", "red", "red"] * 4
    yield [{"o": {"p": i, "q": [i]}} for i in range(5)]


def from_encoder():
    try:
        from vorn import dumps  # type: ignore[attr-defined]
    except ImportError:
        return
    for value in varied_values():
        try:
            yield dumps(value)
        except Exception as exc:  # noqa: BLE001
            print(f"make_seeds: encoder refused {value!r:.60}: {exc}", file=sys.stderr)


def main(out: Path) -> None:
    out.mkdir(parents=True, exist_ok=True)
    written = 0
    for data in [*from_tests(), *from_encoder()]:
        if len(data) > MAX_LEN:
            continue
        name = hashlib.sha1(data).hexdigest()
        target = out / name
        if not target.exists():
            target.write_bytes(data)
            written += 1
    print(f"make_seeds: {written} new seeds in {out}")


if __name__ == "__main__":
    main(Path(sys.argv[1]))

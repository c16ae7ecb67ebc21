#!/usr/bin/env python3
"""Two builds of the native encoder timed against each other in one process.

    encode_ab.py BUILD_A BUILD_B [DOC ...] [--seconds S] [--plain] [--rows N]

BUILD_A and BUILD_B are folders that `pip install --target` filled, e.g.

    SKBUILD_INSTALL_STRIP=false pip install --no-build-isolation --no-deps --target /tmp/a .

DOC: corpus file names (of ../shared/corpus/), paths, or `records-dense` /
`records-optional` (a generated table of --rows rows); twitter.json by default.

On a shared machine the speed of the whole machine moves by tens of percent
within minutes, so two builds timed in two processes, even back to back,
differ by more than most changes do. Here both extension modules are loaded
side by side (each under a package name of its own) and their calls are
interleaved in short batches, so that both see the same phases; the ratio of
the medians, B over A, is what to read. The same build on both sides gives
1.00 within 1 to 2%. Both outputs are checked to be the same bytes first.
"""

from __future__ import annotations

import argparse
import gc
import importlib
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

from documents import DEFAULT_CORPUS, generated_tables, read_json_file


def load_encoder(package: str, build: Path, room: Path) -> Any:
    """The `_native` module of the `vorn` package in `build`, imported as `package._native`
    from a package of that name made in `room` (the two builds' modules must not share a name)."""
    path = build / "vorn" / "_native.abi3.so"
    if not path.exists():
        sys.exit(f"{build}: no vorn/_native.abi3.so (build it there with pip install --target)")
    folder = room / package
    folder.mkdir()
    (folder / "__init__.py").touch()
    (folder / path.name).symlink_to(path.resolve())
    return importlib.import_module(f"{package}._native")


def document(name: str, rows: int) -> Any:
    if name.startswith("records-"):
        wanted = name.removeprefix("records-")
        for doc in generated_tables(rows):
            if doc.name.endswith(wanted):
                return doc.value
        sys.exit(f"unknown table {name!r}: records-dense or records-optional")
    path = Path(name)
    return read_json_file(path if path.exists() else DEFAULT_CORPUS / name)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build_a", type=Path)
    parser.add_argument("build_b", type=Path)
    parser.add_argument("docs", nargs="*", default=["twitter.json"])
    parser.add_argument("--seconds", type=float, default=2.0, help="per document (default 2)")
    parser.add_argument("--plain", action="store_true", help="compact=False")
    parser.add_argument("--rows", type=int, default=100_000, help="of a generated table")
    args = parser.parse_args()
    # Once loaded, the modules no longer need their folder.
    with tempfile.TemporaryDirectory(prefix="encode_ab-") as room:
        sys.path.insert(0, room)
        a = load_encoder("build_a", args.build_a, Path(room))
        b = load_encoder("build_b", args.build_b, Path(room))
        sys.path.remove(room)
    compact = not args.plain
    for name in args.docs:
        value = document(name, args.rows)
        if a.dumps(value, compact=compact) != b.dumps(value, compact=compact):
            sys.exit(f"{name}: the two builds write different bytes")
        # Short batches, so that both builds see the machine's phases alike.
        start = time.perf_counter_ns()
        a.dumps(value, compact=compact)
        batch = max(1, min(10, int(2e6 / max(1, time.perf_counter_ns() - start))))
        times: tuple[list[int], list[int]] = ([], [])
        gc.collect()
        gc.disable()
        try:
            end = time.perf_counter() + args.seconds
            while time.perf_counter() < end:
                for encoder, out in ((a, times[0]), (b, times[1])):
                    for _ in range(batch):
                        t = time.perf_counter_ns()
                        encoder.dumps(value, compact=compact)
                        out.append(time.perf_counter_ns() - t)
        finally:
            gc.enable()
        ma, mb = (statistics.median(t) / 1000 for t in times)
        print(f"{Path(name).name:28s} A {ma:10.1f} us   B {mb:10.1f} us   B/A {mb / ma:.3f}")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Tables into a `pyarrow.Table`: `vorn.loads_arrow` against decoding to dicts first and against
pyarrow's own readers of the same rows (Arrow IPC stream, Parquet, JSON lines).

    python bench/arrow_bench.py [--rows 100000] [--repeat 7]

Prints the median milliseconds per read of the 100,000-row optional and dense order tables of
bench.py, the peak memory of loads_arrow (traced Python allocations plus its raw column buffers)
against the size of the buffers it returns, and whether the issue's targets are met.
"""

from __future__ import annotations

import argparse
import gc
import io
import json
import statistics
import sys
import time
import tracemalloc
from pathlib import Path

import pyarrow as pa
import pyarrow.ipc
import pyarrow.json
import pyarrow.parquet as pq

sys.path.insert(0, str(Path(__file__).resolve().parent))
import documents
import vorn
from vorn import _arrow

import vorn_native


def median_ms(read, repeat: int) -> float:
    read()  # warm-up
    times = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter_ns()
        result = read()
        times.append(time.perf_counter_ns() - start)
        del result
    return statistics.median(times) / 1e6


def arrow_peak(data: bytes) -> tuple[int, int]:
    """(peak bytes while loads_arrow runs, bytes of the buffers it returns)."""
    gc.collect()
    _arrow.buffer_memory(True)
    raw_before = _arrow.buffer_memory(False)[0]
    tracemalloc.start()
    table = vorn.loads_arrow(data)
    traced = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    raw_peak = _arrow.buffer_memory(False)[1] - raw_before
    returned = pa.table(table).get_total_buffer_size()
    return traced + raw_peak, returned


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    pd = None
    try:
        import pandas as pd
    except ImportError:
        pass
    results = {}
    for doc in documents.generated_tables(args.rows):
        rows = doc.value
        data = vorn.dumps(rows)
        table = vorn.loads_arrow(data).to_pyarrow()
        ipc = io.BytesIO()
        with pa.ipc.new_stream(ipc, table.schema) as writer:
            writer.write_table(table)
        parquet = io.BytesIO()
        pq.write_table(table, parquet)
        lines = "".join(json.dumps(row) + "\n" for row in rows).encode()
        ipc_bytes, parquet_bytes = ipc.getvalue(), parquet.getvalue()
        readers = {
            "loads_arrow": lambda data=data: pa.table(vorn.loads_arrow(data)),
            "loads_binary + from_pylist": lambda data=data: pa.Table.from_pylist(vorn_native.loads_binary(data)),
            "arrow ipc stream": lambda b=ipc_bytes: pa.ipc.open_stream(b).read_all(),
            "parquet": lambda b=parquet_bytes: pq.read_table(pa.BufferReader(b)),
            "pyarrow.json (JSON lines)": lambda b=lines: pa.json.read_json(pa.BufferReader(b)),
        }
        if pd is not None:
            readers["loads_binary + pandas.DataFrame"] = lambda data=data: pd.DataFrame(vorn_native.loads_binary(data))
        times = {name: median_ms(read, args.repeat) for name, read in readers.items()}
        peak, returned = arrow_peak(data)
        results[doc.name] = (times, peak, returned)
        print(f"\n{doc.name}: {len(data):,} bytes of VORN, {len(lines):,} of JSON lines")
        print("| reader | ms | x loads_arrow |\n|---|---:|---:|")
        for name, ms in times.items():
            print(f"| {name} | {ms:.2f} | {ms / times['loads_arrow']:.1f} |")
        print(f"loads_arrow peak {peak / 2**20:.1f} MiB for {returned / 2**20:.1f} MiB of buffers "
              f"({peak / returned:.2f}x)")
    print("\ntargets:")
    for name, (times, peak, returned) in results.items():
        speedup = times["loads_binary + from_pylist"] / times["loads_arrow"]
        json_ratio = times["pyarrow.json (JSON lines)"] / times["loads_arrow"]
        print(f"- {name}: {speedup:.1f}x faster than loads_binary + from_pylist (target 30x: "
              f"{'met' if speedup >= 30 else 'missed'}); {json_ratio:.1f}x faster than pyarrow.json "
              f"({'met' if json_ratio > 1 else 'missed'}); peak {peak / returned:.2f}x the buffers "
              f"(target 1.5x: {'met' if peak <= 1.5 * returned else 'missed'})")
    return 0


if __name__ == "__main__":
    sys.exit(main())

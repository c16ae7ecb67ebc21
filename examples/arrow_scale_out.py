#!/usr/bin/env python3
"""Reads a folder of VORN table files in parallel into one dask DataFrame: each file is one
partition, decoded by `vorn.loads_arrow` in a worker process.

    python examples/arrow_scale_out.py FOLDER [--workers 2]

Without FOLDER it writes a few small files to a temporary folder first. Needs the `test` extra
(dask[dataframe], distributed, pyarrow, pandas).
"""

from __future__ import annotations

import argparse
import tempfile
from pathlib import Path

import vorn


def read_table(path: str):
    """One file as a pandas DataFrame (plain strings, so that partitions concatenate)."""
    return vorn.loads_arrow(Path(path).read_bytes(), strings="plain").to_pandas()


def read_folder(folder: Path, workers: int = 2):
    """(the frame read in parallel on a local cluster of `workers` processes, the same files read
    one by one)."""
    import dask
    import dask.dataframe as dd
    import pandas as pd
    from distributed import Client, LocalCluster

    files = sorted(str(p) for p in folder.glob("*.vorn"))
    # The partitions keep the dtypes loads_arrow gives (dask would turn text into its own dtype).
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None)
    with dask.config.set({"dataframe.convert-string": False}), cluster, Client(cluster):
        frame = dd.from_map(read_table, files).compute()
    one_by_one = pd.concat([read_table(f) for f in files])
    return frame, one_by_one


def write_sample(folder: Path, files: int = 4, rows: int = 500) -> None:
    for n in range(files):
        table = [{"id": n * rows + i, "city": ["Oslo", "Lima", "Pune"][i % 3], "price": i * 0.25}
                 | ({"note": f"n{i}"} if i % 7 == 0 else {}) for i in range(rows)]
        (folder / f"part-{n:03}.vorn").write_bytes(vorn.dumps(table))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", nargs="?", type=Path)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        folder = args.folder
        if folder is None:
            folder = Path(scratch)
            write_sample(folder)
        frame, one_by_one = read_folder(folder, args.workers)
    same = frame.reset_index(drop=True).equals(one_by_one.reset_index(drop=True))
    print(f"{len(frame)} rows in {frame.columns.tolist()}; same as one by one: {same}")


if __name__ == "__main__":
    main()

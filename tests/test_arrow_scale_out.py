"""The scale-out example: a folder of VORN tables read in parallel by dask on two worker processes
gives the frame that reading the files one by one gives."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

for name in ("pyarrow", "pandas", "dask.dataframe", "distributed"):
    pytest.importorskip(name, reason=f"{name} is in the 'test' extra")

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
import arrow_scale_out  # noqa: E402 - found through the path set above


@pytest.mark.timeout(240)
def test_parallel_read_equals_reading_one_by_one(tmp_path: Path) -> None:
    arrow_scale_out.write_sample(tmp_path, files=3, rows=200)
    frame, one_by_one = arrow_scale_out.read_folder(tmp_path, workers=2)
    assert len(frame) == 600 and list(frame.columns) == ["id", "city", "price", "note"]
    assert frame.reset_index(drop=True).equals(one_by_one.reset_index(drop=True))

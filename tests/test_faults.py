"""Allocation failures at every allocation of a decode, swept in a child process (fault_sweep.py):
a crash takes only the child down, and the failing hooks never touch the runner's interpreter."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import catalogue
import encoder_cases

HERE = Path(__file__).resolve().parent

_testcapi = pytest.importorskip("_testcapi")
if not hasattr(_testcapi, "set_nomemory"):
    pytest.skip("this interpreter has no allocation-failure hooks", allow_module_level=True)


def run_sweep(*groups: str) -> dict:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE), env.get("PYTHONPATH")]))
    proc = subprocess.run([sys.executable, str(HERE / "fault_sweep.py"), *groups],
                          capture_output=True, text=True, env=env, timeout=600)
    assert proc.returncode == 0, f"sweep over {groups} died with status {proc.returncode}\n{proc.stderr[-4000:]}"
    return json.loads(proc.stdout)


@pytest.mark.parametrize("group", sorted(catalogue.GROUPS))
def test_every_allocation_failure_gives_the_value_or_memory_error(group: str) -> None:
    report = run_sweep(group)
    assert report["anomalies"] == [] and report["outcomes"]["anomaly"] == 0
    if report["block_counting"]:
        assert report["leaks"] == {}, "allocated blocks left behind after failed decodes"
    failing = group in ("errors", "truncated")
    assert report["outcomes"]["VornError" if failing else "value"] > 0
    # Every group but the scalars allocates, so the sweep reaches each reader's failure paths.
    if group != "scalars":
        assert any(report["allocations"].values()) and report["outcomes"]["MemoryError"] > 0
    # PanicException only stands for a VornError that could not be built.
    if not failing:
        assert report["outcomes"]["PanicException"] == 0


@pytest.mark.parametrize("group", sorted(encoder_cases.GROUPS))
def test_every_allocation_failure_while_encoding_gives_the_bytes_or_memory_error(group: str) -> None:
    report = run_sweep(group)
    assert report["anomalies"] == [] and report["outcomes"]["anomaly"] == 0
    if report["block_counting"]:
        assert report["leaks"] == {}, "allocated blocks left behind after failed encodes"
    # Refusals are counted with the decoder's errors; every case allocates.
    refusals = sum(report["outcomes"][kind] for kind in ("VornError", "TypeError", "KeyError", "IndexError"))
    assert (refusals if group == "encode-refused" else report["outcomes"]["value"]) > 0
    assert all(report["allocations"].values()) and report["outcomes"]["MemoryError"] > 0
    assert report["outcomes"]["PanicException"] == 0


@pytest.mark.parametrize("group", ["columns", "tables", "anchors", "errors"])
def test_every_allocation_failure_through_loads_arrow(group: str) -> None:
    pytest.importorskip("pyarrow", reason="pyarrow is in the 'test' extra")
    report = run_sweep("--arrow", group)
    assert report["anomalies"] == [] and report["outcomes"]["anomaly"] == 0
    if report["block_counting"]:
        assert report["leaks"] == {}, "allocated blocks left behind after failed decodes"
    assert report["outcomes"]["MemoryError"] > 0
    if group != "errors":
        assert report["outcomes"]["PanicException"] == 0

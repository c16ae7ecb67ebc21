"""Allocation failures injected at every allocation of a decode.

The sweeps run in a child process (fault_sweep.py): a decoder that crashes
under memory exhaustion takes only the child down, and the hooks that fail
allocations never touch the test runner's interpreter.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import catalogue

HERE = Path(__file__).resolve().parent

_testcapi = pytest.importorskip("_testcapi")
if not hasattr(_testcapi, "set_nomemory"):
    pytest.skip("this interpreter has no allocation-failure hooks", allow_module_level=True)


def run_sweep(*groups: str) -> dict:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE), env.get("PYTHONPATH")]))
    proc = subprocess.run(
        [sys.executable, str(HERE / "fault_sweep.py"), *groups],
        capture_output=True,
        text=True,
        env=env,
        timeout=600,
    )
    assert proc.returncode == 0, (
        f"sweep over {groups} died with status {proc.returncode}\n{proc.stderr[-4000:]}"
    )
    return json.loads(proc.stdout)


@pytest.mark.parametrize("group", sorted(catalogue.GROUPS))
def test_every_allocation_failure_gives_the_value_or_memory_error(group: str) -> None:
    report = run_sweep(group)
    assert report["anomalies"] == []
    assert report["outcomes"]["anomaly"] == 0
    if report["block_counting"]:
        assert report["leaks"] == {}, "allocated blocks left behind after failed decodes"
    # The sweep did inject: every document that allocates saw MemoryError.
    if any(report["allocations"].values()):
        assert report["outcomes"]["MemoryError"] > 0
    # PanicException only stands for a VornError that could not be built.
    if group not in ("errors", "truncated"):
        assert report["outcomes"]["PanicException"] == 0


def test_sweep_reaches_every_reader() -> None:
    """The catalogue allocates in every group, so every reader's failure paths run."""
    report = run_sweep(*sorted(catalogue.GROUPS))
    allocating = {name for name, count in report["allocations"].items() if count > 0}
    for group, entries in catalogue.GROUPS.items():
        if group == "scalars":
            continue  # small ints, None and bools need no allocation at all
        assert allocating & {name for name, _ in entries}, group
    assert report["outcomes"]["value"] > 0 and report["outcomes"]["VornError"] > 0

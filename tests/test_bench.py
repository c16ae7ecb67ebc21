"""The benchmark script runs end to end on tiny inputs (no timing is checked)."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest

from support import doc, string_item

BENCH = Path(__file__).resolve().parent.parent / "bench"


def run_bench(tmp_path: Path, *args: str) -> tuple[str, dict]:
    sample = tmp_path / "sample.json"
    sample.write_text(json.dumps({"name": "ünïcode", "n": [1, 2.5, 3.0, -7, None, True], "xs": ["ab", "ab"]}))
    out = tmp_path / "out.json"
    completed = subprocess.run(
        [sys.executable, str(BENCH / "bench.py"), str(sample), "--quick", "--rows", "200",
         "--repeat", "1", "--min-time", "0.0005", "--warmup", "0", "--json", str(out), *args],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert completed.returncode == 0, completed.stderr
    return completed.stdout, json.loads(out.read_text())


def has_vorn_encoder() -> bool:
    sys.path.insert(0, str(BENCH))
    try:
        from contenders import import_vorn

        return hasattr(import_vorn(), "dumps")
    finally:
        sys.path.remove(str(BENCH))


def test_stdlib_contenders(tmp_path: Path) -> None:
    stdout, data = run_bench(
        tmp_path, "--decoders", "vorn-compact,vorn-plain,marshal,pickle,json", "--png", ""
    )
    assert "### Decode time: median µs per call (ratio to marshal.loads)" in stdout
    assert [d["name"] for d in data["documents"]] == [
        "sample.json",
        "records-200-optional",
        "records-200-dense",
    ]
    wanted = ["marshal", "pickle", "json"]
    if has_vorn_encoder():
        wanted += ["vorn-compact", "vorn-plain"]
    for document in data["documents"]:
        for name in wanted:
            result = document["results"][name]
            assert result["mismatch"] is None, (document["name"], name, result["mismatch"])
            assert result["median_us"] > 0 and result["encoded_bytes"] > 0
        assert document["results"]["marshal"]["ratio_to_marshal"] == 1.0


def test_all_peers_and_chart(tmp_path: Path) -> None:
    for module in ("orjson", "msgpack", "ormsgpack", "cbor2", "pyarrow", "matplotlib"):
        pytest.importorskip(module)
    chart = tmp_path / "chart.png"
    stdout, data = run_bench(tmp_path, "--png", str(chart), "--only", "records*")
    assert chart.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "### Speed targets" in stdout
    dense = data["documents"][1]
    assert dense["name"] == "records-200-dense"
    assert dense["results"]["pyarrow"]["median_us"] > 0
    assert data["documents"][0]["results"]["pyarrow"]["median_us"] is None


def test_decoder_table_count() -> None:
    sys.path.insert(0, str(BENCH))
    try:
        from decoder_tables import count_tables
    finally:
        sys.path.remove(str(BENCH))
    # ["ab", "ab" by reference, "x", anchor {"key": "ab" by reference}, reference 0]
    data = doc(
        "0705",
        string_item("ab"),
        "0600",
        string_item("x"),
        "0a0801",
        string_item("key"),
        "0600",
        "0b00",
    )
    counts = count_tables(data)
    assert (counts.strings, counts.string_refs, counts.anchors, counts.references) == (2, 2, 1, 1)
    assert counts.table_bytes == 8 * 24 + 8 * 8

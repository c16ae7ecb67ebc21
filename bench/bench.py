#!/usr/bin/env python3
"""Decode and encode speed, encoded size and memory of vorn_native and its peers.

Every contender decodes the same Python value from its own encoding, in one
process: the JSON files of a corpus folder (read in place) and two generated
record tables. Then every encoder (vorn.dumps compact and plain,
vorn.pure.dumps and the peers' encoders) encodes that value, timed the same
way (see encoders.py). Prints Markdown tables to stdout (progress goes to stderr) and
writes the same numbers as a PNG chart and, on request, as JSON.

    python bench/bench.py                      # corpus + 100,000-row tables
    python bench/bench.py --quick              # a quick look, under a minute
    python bench/bench.py --only twitter.json --repeat 15
    python bench/bench.py some/folder file.json --json out.json
"""

from __future__ import annotations

import argparse
import fnmatch
import gc
import json
import math
import os
import platform
import statistics
import sys
import time
import tracemalloc
from dataclasses import dataclass, field
from datetime import datetime, timezone
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

from contenders import BASELINE, CONTENDER_NAMES, Contender, Unavailable, all_contenders, encoded_size  # noqa: E402
from decoder_tables import ScanError, count_tables  # noqa: E402
from encoders import EncodeReport, all_encoders, encode_tables, encode_targets, measure_encoding  # noqa: E402
from documents import (  # noqa: E402
    BENCH_DIR,
    DEFAULT_CORPUS,
    Document,
    corpus_files,
    difference,
    generated_table_names,
    generated_tables,
    integral_floats_as_ints,
    load_corpus,
)

# The chart README.md shows: the latest full run overwrites it.
DEFAULT_PNG = BENCH_DIR / "benchmark.png"


# Measurements -----------------------------------------------------------------


@dataclass
class Result:
    """One contender on one document."""

    size: int | None = None
    skipped: str | None = None  # why it did not run
    mismatch: str | None = None  # how its decoded value differs
    loops: int = 0
    times_ns: list[float] = field(default_factory=list)  # per decode, one per repeat
    result_bytes: int | None = None  # traced memory the decoded value holds
    transient_bytes: int | None = None  # traced peak above that, during the decode
    table_counts: dict[str, int] | None = None  # vorn: string and anchor table entries
    table_bytes: int | None = None

    @property
    def median_ns(self) -> float | None:
        return statistics.median(self.times_ns) if self.times_ns else None

    @property
    def best_ns(self) -> float | None:
        return min(self.times_ns) if self.times_ns else None


@dataclass
class DocReport:
    doc: Document
    results: dict[str, Result]
    phases: dict[str, float] = field(default_factory=dict)  # phase name -> its end

    def phase_text(self) -> str:
        marks = list(self.phases.items())
        return ", ".join(f"{name} {end - marks[i][1]:.1f}s" for i, (name, end) in enumerate(marks[1:]))

    def ratio(self, name: str, to: str = BASELINE) -> float | None:
        mine, base = self.results.get(name), self.results.get(to)
        if mine is None or base is None or mine.median_ns is None or base.median_ns is None:
            return None
        return mine.median_ns / base.median_ns


def run_batch(decode: Any, payload: Any, loops: int) -> int:
    timer = time.perf_counter_ns
    started = timer()
    for _ in range(loops):
        decode(payload)
    return timer() - started


def calibrate(decode: Any, payload: Any, min_time_ns: int) -> int:
    """Loops per batch so that one batch lasts at least `min_time_ns` (as timeit does)."""
    loops = 1
    while True:
        elapsed = run_batch(decode, payload, loops)
        if elapsed >= min_time_ns or loops >= 1 << 20:
            return loops
        if elapsed <= 0:
            loops *= 10
        else:
            loops = max(loops + 1, min(loops * 10, math.ceil(loops * min_time_ns * 1.1 / elapsed)))


def transient_memory(decode: Any, payload: Any) -> tuple[int, int]:
    """(result size, peak above it) in bytes, as tracemalloc sees one decode.

    The decoder has run once before, so that caches and lazily made objects
    are not counted as the decode's cost.
    """
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        value = decode(payload)
        current, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    del value
    return current - before, peak - current


def measure_document(
    doc: Document,
    contenders: list[Contender],
    args: argparse.Namespace,
) -> DocReport:
    started = time.perf_counter()
    results: dict[str, Result] = {}
    payloads: dict[str, Any] = {}
    vorn_reference = None
    for contender in contenders:
        result = results[contender.name] = Result()
        if contender.tables_only and not doc.dense:
            result.skipped = "tables whose rows have every key only"
            continue
        try:
            payload = contender.encode(doc.value)
        except Exception as error:  # an encoder refusing the value: note it, go on
            result.skipped = f"encoder refused: {type(error).__name__}: {error}"
            continue
        result.size = encoded_size(payload)
        try:
            decoded = contender.decode(payload)
        except Exception as error:
            result.skipped = f"decoder failed: {type(error).__name__}: {error}"
            continue
        if contender.integral_floats_as_ints:
            if vorn_reference is None:
                vorn_reference = integral_floats_as_ints(doc.value)
            expected = vorn_reference
        else:
            expected = doc.value
        result.mismatch = difference(expected, decoded)
        del decoded
        payloads[contender.name] = payload
        if contender.name.startswith("vorn"):
            try:
                counts = count_tables(payload)
            except (ScanError, RecursionError) as error:
                print(f"  {contender.name}: table count failed: {error}", file=sys.stderr)
            else:
                result.table_counts = {
                    "strings": counts.strings,
                    "string_refs": counts.string_refs,
                    "anchors": counts.anchors,
                    "references": counts.references,
                }
                result.table_bytes = counts.table_bytes
    vorn_reference = None

    phases = {"start": started, "encode+check": time.perf_counter()}
    timed = [c for c in contenders if c.name in payloads]
    if args.memory:
        for contender in timed:
            if contender.name == "pyarrow":
                continue  # Arrow's buffers are not in the Python allocator
            size, transient = transient_memory(contender.decode, payloads[contender.name])
            results[contender.name].result_bytes = size
            results[contender.name].transient_bytes = transient

    phases["memory"] = time.perf_counter()
    gc.collect()
    gc_was_enabled = gc.isenabled()
    if not args.gc:
        gc.disable()
    try:
        min_time_ns = int(args.min_time * 1e9)
        for contender in timed:
            payload = payloads[contender.name]
            for _ in range(args.warmup):
                contender.decode(payload)
            # The calibration's batches warm up too.
            results[contender.name].loops = calibrate(contender.decode, payload, min_time_ns)
        # Repeats go round the contenders, each round starting one further on,
        # so that a slow spell of the machine spreads over all of them.
        for repeat in range(args.repeat):
            shift = repeat % len(timed)
            for contender in timed[shift:] + timed[:shift]:
                result = results[contender.name]
                elapsed = run_batch(contender.decode, payloads[contender.name], result.loops)
                result.times_ns.append(elapsed / result.loops)
    finally:
        if gc_was_enabled:
            gc.enable()
    phases["timing"] = time.perf_counter()
    payloads.clear()
    gc.collect()
    return DocReport(doc, results, phases)


# Output -------------------------------------------------------------------------


def machine_info() -> dict[str, Any]:
    model = "?"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        model = platform.processor() or "?"
    return {
        "cpu": model,
        "nproc": os.cpu_count(),
        "platform": platform.platform(),
        "python": f"{platform.python_implementation()} {platform.python_version()}",
    }


def load_average() -> str:
    """The 1-minute load average: other work on the machine skews timings."""
    try:
        return f"{os.getloadavg()[0]:.2f}"
    except OSError:
        return "?"


def vorn_source(contenders: list[Contender]) -> str | None:
    """Where the encoder that made the VORN inputs came from."""
    module = sys.modules.get("vorn")
    if module is None or not any(c.package == "vorn_native" for c in contenders):
        return None
    return getattr(module, "__file__", None)


def fmt_us(ns: float | None) -> str:
    if ns is None:
        return "–"
    us = ns / 1000
    if us >= 100:
        return f"{us:,.0f}"
    if us >= 10:
        return f"{us:.1f}"
    return f"{us:.2f}"


def fmt_ratio(value: float | None) -> str:
    return "–" if value is None else f"{value:.2f}×"


def fmt_kib(count: int | None) -> str:
    if count is None:
        return "–"
    return f"{count / 1024:,.1f}"


def geomean(values: list[float]) -> float | None:
    if not values:
        return None
    return math.exp(sum(math.log(v) for v in values) / len(values))


def markdown_table(header: list[str], rows: list[list[str]], align: str | None = None) -> str:
    align = align or "l" + "r" * (len(header) - 1)
    rule = ["---:" if a == "r" else "---" for a in align]
    lines = ["| " + " | ".join(header) + " |", "| " + " | ".join(rule) + " |"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def cell_marks(result: Result) -> str:
    return " ⚠" if result.mismatch else ""


def speed_tables(reports: list[DocReport], names: list[str]) -> str:
    median_rows, best_rows = [], []
    for report in reports:
        median_row, best_row = [report.doc.name], [report.doc.name]
        for name in names:
            result = report.results.get(name)
            if result is None or result.median_ns is None:
                median_row.append("–")
                best_row.append("–")
                continue
            ratio = report.ratio(name)
            median_row.append(f"{fmt_us(result.median_ns)} ({fmt_ratio(ratio)}){cell_marks(result)}")
            best_row.append(f"{fmt_us(result.best_ns)}{cell_marks(result)}")
        median_rows.append(median_row)
        best_rows.append(best_row)
    corpus = [r for r in reports if r.doc.kind == "corpus"]
    if len(corpus) > 1:
        row = ["**geometric mean, corpus**"]
        for name in names:
            ratios = [r.ratio(name) for r in corpus]
            ok = [x for x in ratios if x is not None]
            row.append(f"({fmt_ratio(geomean(ok))})" if len(ok) == len(ratios) else "–")
        median_rows.append(row)
    header = ["document"] + names
    return (
        "### Decode time: median µs per call (ratio to marshal.loads)\n\n"
        + markdown_table(header, median_rows)
        + "\n\n### Decode time: best µs per call\n\n"
        + markdown_table(header, best_rows)
    )


def size_table(reports: list[DocReport], names: list[str]) -> str:
    rows = []
    for report in reports:
        source = f"{report.doc.source_bytes:,}" if report.doc.source_bytes else "–"
        row = [report.doc.name, source]
        for name in names:
            result = report.results.get(name)
            row.append(f"{result.size:,}" if result and result.size is not None else "–")
        rows.append(row)
    return "### Encoded size, bytes\n\n" + markdown_table(["document", "file"] + names, rows)


def memory_table(reports: list[DocReport], names: list[str]) -> str:
    shown = [n for n in names if n != "pyarrow"]
    rows = []
    for report in reports:
        sizes = [r.result_bytes for r in report.results.values() if r.result_bytes is not None]
        row = [report.doc.name, fmt_kib(int(statistics.median(sizes))) if sizes else "–"]
        for name in shown:
            result = report.results.get(name)
            row.append(fmt_kib(result.transient_bytes) if result else "–")
        for name in ("vorn-compact", "vorn-plain"):
            result = report.results.get(name)
            if result is None or result.table_counts is None:
                row.append("–")
                continue
            counts = result.table_counts
            row.append(
                f"{fmt_kib(result.table_bytes)} ({counts['strings']:,} str, {counts['anchors']:,} anc)"
            )
        rows.append(row)
    header = ["document", "result"] + shown + ["tables: compact", "tables: plain"]
    return (
        "### Decoder transient memory, KiB (tracemalloc peak during the call minus the result)\n\n"
        + markdown_table(header, rows)
        + "\n\n`result`: memory the decoded value holds (median over the contenders). "
        "`tables`: estimated peak of vorn_native's string table (24 bytes an entry) and "
        "anchor table (8 bytes an entry), with the entry counts; part of its transient "
        "memory. Peers' own buffers count only where they allocate through Python's "
        "allocator; pyarrow's do not and it is left out."
    )


@dataclass
class Target:
    text: str
    met: bool | None  # None: could not be measured
    detail: str


def evaluate_targets(reports: list[DocReport]) -> list[Target]:
    targets: list[Target] = []
    corpus = [r for r in reports if r.doc.kind == "corpus"]
    tables = [r for r in reports if r.doc.kind == "table"]
    me = "vorn-compact"

    def check_each(text: str, docs: list[DocReport], ratio_of, limit: float, lower_is_better=True):
        values = [(r.doc.name, ratio_of(r)) for r in docs]
        missing = [n for n, v in values if v is None]
        known = [(n, v) for n, v in values if v is not None]
        if not known:
            targets.append(Target(text, None, "not measured"))
            return
        worst = max(known, key=lambda x: x[1]) if lower_is_better else min(known, key=lambda x: x[1])
        failing = [(n, v) for n, v in known if (v > limit if lower_is_better else v < limit)]
        detail = f"worst {worst[1]:.3f}× ({worst[0]})"
        if failing:
            detail += "; missed on " + ", ".join(f"{n} {v:.3f}×" for n, v in failing)
        if missing:
            detail += "; not measured on " + ", ".join(missing)
        targets.append(Target(text, not failing and not missing, detail))

    if corpus:
        check_each(
            "vorn-compact ≤ 1.05 × marshal.loads on every corpus file",
            corpus,
            lambda r: r.ratio(me),
            1.05,
        )
        ratios = [r.ratio(me) for r in corpus]
        known = [x for x in ratios if x is not None]
        g = geomean(known)
        if g is not None and len(known) == len(ratios):
            targets.append(
                Target("vorn-compact ≤ 0.8 × marshal.loads, geometric mean over the corpus", g <= 0.8, f"{g:.3f}×")
            )
        else:
            targets.append(Target("vorn-compact ≤ 0.8 × marshal.loads, geometric mean", None, "not measured"))
        for peer in ("orjson", "msgpack", "ormsgpack"):
            check_each(
                f"vorn-compact faster than {peer} on every corpus file (time ratio < 1)",
                corpus,
                lambda r, p=peer: r.ratio(me, p),
                1.0 - 1e-12,
            )
    if tables:
        check_each(
            "record tables: vorn-compact ≥ 2 × faster than msgpack (speed-up)",
            tables,
            lambda r: _inverse(r.ratio(me, "msgpack")),
            2.0,
            lower_is_better=False,
        )
        dense = [r for r in tables if r.doc.dense]
        check_each(
            "record tables: vorn-compact ≥ 5 × faster than pyarrow to_pylist (speed-up)",
            dense,
            lambda r: _inverse(r.ratio(me, "pyarrow")),
            5.0,
            lower_is_better=False,
        )
    return targets


def _inverse(value: float | None) -> float | None:
    return None if value is None else 1.0 / value


def targets_text(targets: list[Target]) -> str:
    lines = ["### Speed targets (ratios of medians in this run)", ""]
    for target in targets:
        mark = {True: "met", False: "MISSED", None: "n/a"}[target.met]
        lines.append(f"- **{mark}**: {target.text}: {target.detail}")
    return "\n".join(lines)


def notes_text(reports: list[DocReport], unavailable: list[Unavailable]) -> str:
    lines = []
    for missing in unavailable:
        lines.append(f"- {missing.name}: not run: {missing.reason}")
    for report in reports:
        for name, result in report.results.items():
            if result.skipped and not result.skipped.startswith("tables whose"):
                lines.append(f"- {report.doc.name}, {name}: skipped: {result.skipped}")
            if result.mismatch:
                lines.append(f"- {report.doc.name}, {name}: ⚠ decoded value differs: {result.mismatch}")
    if not lines:
        lines.append("- every contender decoded every document to the same value")
    return "### Notes\n\n" + "\n".join(lines)


def versions_text(contenders: list[Contender]) -> str:
    return ", ".join(dict.fromkeys(f"{c.package} {c.version}" for c in contenders))


def header_text(info: dict[str, Any], contenders: list[Contender], args: argparse.Namespace) -> str:
    calls = "; ".join(f"{c.name}: `{c.call}`" for c in contenders)
    lines = [
        "## vorn_native decode benchmark",
        "",
        f"- date: {info['date']}",
        f"- machine: {info['cpu']}, {info['nproc']} cores, {info['platform']}"
        + (f"; load average {info['load_before']} before, {info['load_after']} after" if "load_after" in info else ""),
        f"- versions: {info['versions']}",
    ]
    if info.get("vorn"):
        lines.append(f"- VORN inputs made by `vorn.dumps` from `{info['vorn']}`")
    lines += [
        f"- {args.repeat} repeats of batches of at least {args.min_time * 1000:g} ms after "
        f"{args.warmup} warm-up calls, contenders interleaved, garbage collector "
        f"{'on' if args.gc else 'off'} while timing; ratios are of medians",
        f"- decoders: {calls}",
    ]
    return "\n".join(lines)


def write_png(path: Path, reports: list[DocReport], names: list[str], info: dict[str, Any],
              encode_reports: list[EncodeReport] | None = None, encoder_names: list[str] | None = None) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter

    docs = [r.doc.name for r in reports]
    encoded = {e.name: e for e in encode_reports or []}
    encoder_names = encoder_names if encoded else []
    # One color per contender in every panel (an encoder without a decoder of its name gets its own).
    order = names + [n for n in encoder_names or [] if n not in names]
    count = max(len(names), len(encoder_names or []))
    height = max(4.0, 0.14 * count * len(docs) + 1.5) + 0.5  # three title lines
    panels = 3 if encoded else 2
    fig, axes = plt.subplots(1, panels, figsize=(7.5 * panels, height), sharey=True)
    speed_ax, size_ax = axes[0], axes[-1]
    colors = plt.get_cmap("tab10" if len(order) <= 10 else "tab20")
    bar = 0.8 / count
    for k, name in enumerate(names):
        ys, ratios, sizes = [], [], []
        for i, report in enumerate(reports):
            ratio = report.ratio(name)
            json_size = report.results.get("json")
            result = report.results.get(name)
            y = i + (k - (count - 1) / 2) * bar
            if ratio is not None:
                ys.append(y)
                ratios.append(ratio)
            if result and result.size and json_size and json_size.size:
                sizes.append((y, result.size / json_size.size))
        if not ys:
            continue
        style = {"height": bar, "color": colors(order.index(name) % colors.N), "label": name}
        speed_ax.barh(ys, ratios, **style)
        if sizes:
            size_ax.barh([y for y, _ in sizes], [s for _, s in sizes], **style)
    if encoded:
        encode_ax = axes[1]
        for k, name in enumerate(encoder_names or []):
            points = [(i + (k - (len(encoder_names or []) - 1) / 2) * bar, e.ratio(name))
                      for i, e in enumerate(encoded.get(d) for d in docs) if e is not None]
            points = [(y, r) for y, r in points if r is not None]
            if points:
                encode_ax.barh([y for y, _ in points], [r for _, r in points], height=bar,
                               color=colors(order.index(name) % colors.N), label=name)
        encode_ax.set_xlabel("encode time / msgpack.packb (median, log scale, lower is faster)")
    def minor_label(x: float, _pos: int) -> str:
        leading = round(x / 10 ** math.floor(math.log10(x)), 6) if x > 0 else 0
        return f"{x:g}×" if leading in (2, 5) else ""

    for ax in axes:
        ax.set_xscale("log")
        ax.xaxis.set_major_formatter(FuncFormatter(lambda x, _pos: f"{x:g}×"))
        ax.xaxis.set_minor_formatter(FuncFormatter(minor_label))
        ax.tick_params(axis="x", which="minor", labelsize="x-small")
        ax.axvline(1.0, color="black", linewidth=0.8)
        ax.grid(axis="x", which="both", alpha=0.3)
    speed_ax.set_yticks(range(len(docs)))
    speed_ax.set_yticklabels(docs)
    speed_ax.invert_yaxis()
    speed_ax.set_xlabel("decode time / marshal.loads (median, log scale, lower is faster)")
    size_ax.set_xlabel("encoded size / compact JSON (log scale)")
    handles, labels = [], []
    for ax in axes:  # each contender once, decoders first
        for handle, label in zip(*ax.get_legend_handles_labels(), strict=True):
            if label not in labels:
                handles.append(handle)
                labels.append(label)
    fig.legend(handles, labels, loc="lower center", ncol=min(len(labels), 11), fontsize="small")
    # Date, machine and versions on the chart itself: it is shown apart from the tables.
    fig.suptitle(f"vorn_native {'decode and encode' if encoded else 'decode'} benchmark, {info['date']}\n"
                 f"{info['cpu']}, {info['nproc']} cores, {info['platform']}\n{info['versions']}",
                 fontsize="medium")
    fig.tight_layout(rect=(0, 0.35 / height, 1, 1))  # the layout makes room for the title
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def write_json(path: Path, reports: list[DocReport], targets: list[Target], info: dict[str, Any],
               contenders: list[Contender], args: argparse.Namespace,
               encode_reports: list[EncodeReport] | None = None) -> None:
    data = {
        "machine": info,
        "settings": {
            "repeat": args.repeat,
            "min_time_s": args.min_time,
            "warmup": args.warmup,
            "gc_while_timing": args.gc,
        },
        "contenders": {c.name: {"call": c.call, "version": c.version} for c in contenders},
        "documents": [
            {
                "name": r.doc.name,
                "kind": r.doc.kind,
                "file_bytes": r.doc.source_bytes or None,
                **r.doc.meta,
                "results": {
                    name: {
                        "encoded_bytes": res.size,
                        "skipped": res.skipped,
                        "mismatch": res.mismatch,
                        "loops": res.loops,
                        "median_us": None if res.median_ns is None else res.median_ns / 1000,
                        "best_us": None if res.best_ns is None else res.best_ns / 1000,
                        "times_us": [t / 1000 for t in res.times_ns],
                        "ratio_to_marshal": r.ratio(name),
                        "result_bytes": res.result_bytes,
                        "transient_bytes": res.transient_bytes,
                        "decoder_tables": res.table_counts,
                        "decoder_table_bytes": res.table_bytes,
                    }
                    for name, res in r.results.items()
                },
            }
            for r in reports
        ],
        "targets": [{"target": t.text, "met": t.met, "detail": t.detail} for t in targets],
        "encoding": [
            {
                "name": e.name,
                "results": {
                    name: {"encoded_bytes": r.size, "skipped": r.skipped, "loops": r.loops,
                           "median_us": None if r.median_ns is None else r.median_ns / 1000,
                           "times_us": [t / 1000 for t in r.times_ns], "ratio_to_msgpack": e.ratio(name),
                           "transient_bytes": r.transient_bytes}
                    for name, r in e.results.items()
                },
            }
            for e in encode_reports or []
        ],
        "encode_targets": [{"target": t, "met": m, "detail": d} for t, m, d in encode_targets(encode_reports or [])],
    }
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(data, indent=1, ensure_ascii=False) + "\n")


# Command line -------------------------------------------------------------------


def matches(name: str, patterns: list[str] | None) -> bool:
    if not patterns:
        return True
    stem = name.rsplit(".", 1)[0]
    return any(fnmatch.fnmatchcase(name, p) or fnmatch.fnmatchcase(stem, p) for p in patterns)


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("paths", nargs="*", type=Path, help="JSON/NDJSON files or folders of them")
    parser.add_argument("--corpus", type=Path, action="append",
                        help=f"folder of JSON documents (default: {DEFAULT_CORPUS} when it exists)")
    parser.add_argument("--no-corpus", action="store_true", help="generated tables only")
    parser.add_argument("--no-tables", action="store_true", help="no generated record tables")
    parser.add_argument("--rows", type=int, help="rows of the generated tables (default 100,000; --quick: 10,000)")
    parser.add_argument("--only", action="append", metavar="NAME",
                        help="documents to run, by name or glob, with or without extension (repeatable)")
    parser.add_argument("--decoders", metavar="LIST",
                        help=f"comma-separated subset of: {', '.join(CONTENDER_NAMES)} (marshal is always run)")
    parser.add_argument("--repeat", type=int, help="timed repeats per contender (default 9; --quick: 3)")
    parser.add_argument("--min-time", type=float, help="seconds per timed batch (default 0.05; --quick: 0.005)")
    parser.add_argument("--warmup", type=int, default=1,
                        help="untimed calls before the batch size is found (default 1)")
    parser.add_argument("--no-encode", dest="encode", action="store_false", help="skip the encode tables")
    parser.add_argument("--encoders", metavar="LIST",
                        help="comma-separated subset of the encoders (msgpack, the baseline, always runs)")
    parser.add_argument("--gc", action="store_true", help="leave the garbage collector on while timing")
    parser.add_argument("--no-memory", dest="memory", action="store_false", help="skip the tracemalloc pass")
    parser.add_argument("--quick", action="store_true", help="few repeats, short batches, smaller tables")
    parser.add_argument("--png", default=str(DEFAULT_PNG),
                        help=f"chart to write (default {DEFAULT_PNG}; empty: none)")
    parser.add_argument("--json", type=Path, help="write every measurement to this JSON file")
    args = parser.parse_args(argv)
    if args.repeat is None:
        args.repeat = 3 if args.quick else 9
    if args.min_time is None:
        args.min_time = 0.005 if args.quick else 0.05
    if args.rows is None:
        args.rows = 10_000 if args.quick else 100_000
    if args.repeat < 1 or args.rows < 1:
        parser.error("--repeat and --rows must be positive")
    return args


def select_contenders(args: argparse.Namespace) -> tuple[list[Contender], list[Unavailable]]:
    wanted = None
    if args.decoders:
        wanted = {n.strip() for n in args.decoders.split(",") if n.strip()} | {BASELINE}
        unknown = wanted - set(CONTENDER_NAMES)
        if unknown:
            sys.exit(f"unknown decoder(s): {', '.join(sorted(unknown))}")
    ready: list[Contender] = []
    missing: list[Unavailable] = []
    for found in all_contenders(wanted):
        if isinstance(found, Contender):
            ready.append(found)
        else:
            missing.append(found)
    return ready, missing


def select_documents(args: argparse.Namespace) -> list[Document]:
    paths: list[Path] = list(args.paths)
    if args.corpus:
        paths.extend(args.corpus)
    elif not args.paths and not args.no_corpus:
        if DEFAULT_CORPUS.is_dir():
            paths.append(DEFAULT_CORPUS)
        else:
            print(f"no corpus at {DEFAULT_CORPUS}: generated tables only", file=sys.stderr)
    if args.no_corpus:
        paths = []
    files = [p for p in corpus_files(paths) if matches(p.name, args.only)]
    docs = load_corpus(files)
    if not args.no_tables and any(matches(n, args.only) for n in generated_table_names(args.rows)):
        docs.extend(d for d in generated_tables(args.rows) if matches(d.name, args.only))
    return docs


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    contenders, unavailable = select_contenders(args)
    if not any(c.name == BASELINE for c in contenders):
        sys.exit("marshal is the baseline and must run")
    docs = select_documents(args)
    if not docs:
        sys.exit("no documents selected")
    info = machine_info()
    info["date"] = datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    info["versions"] = versions_text(contenders)
    info["vorn"] = vorn_source(contenders)
    info["load_before"] = load_average()
    names = [c.name for c in contenders]
    print(f"{len(docs)} documents, decoders: {', '.join(names)}", file=sys.stderr)
    for missing in unavailable:
        print(f"  {missing.name}: not run: {missing.reason}", file=sys.stderr)

    encoders, encoders_missing = all_encoders(
        {n.strip() for n in args.encoders.split(",")} if args.encoders else None) if args.encode else ([], [])
    for note in encoders_missing:
        print(f"  encoder {note}", file=sys.stderr)
    reports = []
    encode_reports: list[EncodeReport] = []
    started = time.perf_counter()
    for doc in docs:
        report = measure_document(doc, contenders, args)
        reports.append(report)
        if encoders:
            encoded = measure_encoding(doc.name, doc.kind, doc.value, encoders, args, calibrate, run_batch)
            encode_reports.append(encoded)
            print("  " + doc.name + " encode: " + ", ".join(
                f"{e.name} {fmt_ratio(encoded.ratio(e.name))}" for e in encoders if encoded.ratio(e.name) is not None),
                file=sys.stderr)
        doc.value = None  # the value is no longer needed
        base = report.results[BASELINE].median_ns
        summary = ", ".join(
            f"{n} {fmt_ratio(report.ratio(n))}" for n in names if n != BASELINE and report.ratio(n) is not None
        )
        print(
            f"  {doc.name}: marshal {fmt_us(base)} µs; {summary} [{report.phase_text()}]",
            file=sys.stderr,
        )
    print(f"done in {time.perf_counter() - started:.0f}s", file=sys.stderr)
    info["load_after"] = load_average()

    targets = evaluate_targets(reports)
    sections = [
        header_text(info, contenders, args),
        speed_tables(reports, names),
        size_table(reports, names),
    ]
    if args.memory:
        sections.append(memory_table(reports, names))
    sections.append(targets_text(targets))
    if encode_reports:
        sections.append(encode_tables(encode_reports, [e.name for e in encoders], fmt_us, fmt_ratio, fmt_kib,
                                      markdown_table))
        lines = ["### Encode speed targets (ratios of medians in this run)", ""]
        for text, met, detail in encode_targets(encode_reports):
            lines.append(f"- **{ {True: 'met', False: 'MISSED', None: 'n/a'}[met] }**: {text}: {detail}")
        lines += [f"- encoder {note}" for note in encoders_missing]
        for encoded in encode_reports:
            lines += [f"- {encoded.name}, {n}: {r.skipped}" for n, r in encoded.results.items() if r.skipped]
        sections.append("\n".join(lines))
    sections.append(notes_text(reports, unavailable))
    print("\n\n".join(sections))

    if args.png:
        try:
            write_png(Path(args.png), reports, names, info, encode_reports, [e.name for e in encoders])
            print(f"chart written to {args.png}", file=sys.stderr)
        except ImportError as error:
            print(f"no chart: {error}; pip install '.[bench]'", file=sys.stderr)
    if args.json:
        write_json(args.json, reports, targets, info, contenders, args, encode_reports)
        print(f"measurements written to {args.json}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())

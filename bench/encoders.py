"""Encode speed, encoded size and encoder memory of vorn.dumps and its peers.

The same method as the decode tables (bench.py): one process, every encoder
on the same Python value, batches calibrated to a minimum time, repeats
interleaved round the encoders, medians. The pure-Python reference
(vorn.pure.dumps) is timed with at most three repeats: it is the slowest by
far, and only its ratio to the native encoder is asked for.
"""

from __future__ import annotations

import gc
import json
import marshal
import pickle
import statistics
import sys
import tracemalloc
from dataclasses import dataclass, field
from typing import Any, Callable

from contenders import import_vorn

ENCODE_BASELINE = "msgpack"
PURE = "vorn-pure"
PURE_REPEATS = 3


@dataclass
class Encoder:
    name: str
    call: str
    encode: Callable[[Any], Any]


@dataclass
class EncodeResult:
    size: int | None = None
    skipped: str | None = None
    loops: int = 0
    times_ns: list[float] = field(default_factory=list)
    transient_bytes: int | None = None  # traced peak during the call, beside the output

    @property
    def median_ns(self) -> float | None:
        return statistics.median(self.times_ns) if self.times_ns else None


@dataclass
class EncodeReport:
    name: str
    kind: str  # "corpus" or "table"
    results: dict[str, EncodeResult]

    def ratio(self, name: str, to: str = ENCODE_BASELINE) -> float | None:
        mine, base = self.results.get(name), self.results.get(to)
        if mine is None or base is None or mine.median_ns is None or base.median_ns is None:
            return None
        return mine.median_ns / base.median_ns


def all_encoders(wanted: set[str] | None = None) -> tuple[list[Encoder], list[str]]:
    """The encoders that import here, and a note for each that does not."""
    found: list[Encoder] = []
    missing: list[str] = []
    try:
        vorn = import_vorn()
        import vorn.pure as pure

        found += [
            Encoder("vorn-compact", "vorn.dumps(v)", vorn.dumps),
            Encoder("vorn-plain", "vorn.dumps(v, compact=False)", lambda v: vorn.dumps(v, compact=False)),
            Encoder(PURE, "vorn.pure.dumps(v)", pure.dumps),
        ]
    except ImportError as error:
        missing.append(f"vorn: not importable ({error})")
    found += [
        Encoder("marshal", "marshal.dumps(v)", marshal.dumps),
        Encoder("pickle", "pickle.dumps(v, protocol=5)", lambda v: pickle.dumps(v, protocol=5)),
        Encoder("json", "json.dumps(v).encode()", lambda v: json.dumps(v, ensure_ascii=False).encode()),
    ]
    for module, call, attr in (("orjson", "orjson.dumps(v)", "dumps"), ("msgpack", "msgpack.packb(v)", "packb"),
                               ("ormsgpack", "ormsgpack.packb(v)", "packb"), ("cbor2", "cbor2.dumps(v)", "dumps")):
        try:
            found.append(Encoder(module, call, getattr(__import__(module), attr)))
        except ImportError as error:
            missing.append(f"{module}: not installed ({error}); pip install '.[bench]'")
    if wanted is not None:
        found = [e for e in found if e.name in wanted | {ENCODE_BASELINE}]
    return found, missing


def transient_memory(encode: Callable[[Any], Any], value: Any) -> int:
    """The traced peak during one encode, less the output it returns.

    The working memory that the native encoder keeps from one call for the next is freed first,
    so that this call allocates (and tracemalloc sees) all it uses.
    """
    native = sys.modules.get("vorn._native")
    if native is not None:
        native.drop_spare()
    gc.collect()
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        out = encode(value)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    return peak - sys.getsizeof(out)


def measure_encoding(name: str, kind: str, value: Any, encoders: list[Encoder], args: Any,
                     calibrate: Callable[..., int], run_batch: Callable[..., int]) -> EncodeReport:
    results: dict[str, EncodeResult] = {}
    timed = []
    for encoder in encoders:
        result = results[encoder.name] = EncodeResult()
        try:
            result.size = len(encoder.encode(value))
        except Exception as error:  # an encoder refusing the value: note it, go on
            result.skipped = f"refused: {type(error).__name__}: {str(error)[:120]}"
            continue
        timed.append(encoder)
        if args.memory and encoder.name in ("vorn-compact", "vorn-plain"):
            result.transient_bytes = transient_memory(encoder.encode, value)
    gc.collect()
    gc_was_enabled = gc.isenabled()
    if not args.gc:
        gc.disable()
    try:
        min_time_ns = int(args.min_time * 1e9)
        for encoder in timed:
            results[encoder.name].loops = calibrate(encoder.encode, value, min_time_ns)
        for repeat in range(args.repeat):
            shift = repeat % len(timed)
            for encoder in timed[shift:] + timed[:shift]:
                result = results[encoder.name]
                if encoder.name == PURE and len(result.times_ns) >= PURE_REPEATS:
                    continue
                elapsed = run_batch(encoder.encode, value, result.loops)
                result.times_ns.append(elapsed / result.loops)
    finally:
        if gc_was_enabled:
            gc.enable()
    return EncodeReport(name, kind, results)


# Output -------------------------------------------------------------------------


def _geomean(values: list[float]) -> float | None:
    import math

    return math.exp(sum(math.log(v) for v in values) / len(values)) if values else None


def encode_tables(reports: list[EncodeReport], names: list[str], fmt_us: Callable, fmt_ratio: Callable,
                  fmt_kib: Callable, markdown_table: Callable) -> str:
    time_rows, size_rows, memory_rows = [], [], []
    for report in reports:
        time_row, size_row = [report.name], [report.name]
        for name in names:
            result = report.results.get(name)
            if result is None or result.median_ns is None:
                time_row.append("–")
            else:
                time_row.append(f"{fmt_us(result.median_ns)} ({fmt_ratio(report.ratio(name))})")
            size_row.append(f"{result.size:,}" if result and result.size is not None else "–")
        time_rows.append(time_row)
        size_rows.append(size_row)
        memory_rows.append([report.name] + [
            fmt_kib(report.results[n].transient_bytes) if n in report.results else "–"
            for n in ("vorn-compact", "vorn-plain")
        ] + [f"{report.results['vorn-compact'].size:,}" if report.results.get("vorn-compact")
             and report.results["vorn-compact"].size else "–"])
    corpus = [r for r in reports if r.kind == "corpus"]
    if len(corpus) > 1:
        row = ["**geometric mean, corpus**"]
        for name in names:
            ratios = [r.ratio(name) for r in corpus]
            ok = [x for x in ratios if x is not None]
            row.append(f"({fmt_ratio(_geomean(ok))})" if len(ok) == len(ratios) else "–")
        time_rows.append(row)
    header = ["document"] + names
    return (
        "### Encode time: median µs per call (ratio to msgpack.packb)\n\n"
        + markdown_table(header, time_rows)
        + f"\n\n{PURE} is timed with at most {PURE_REPEATS} repeats."
        + "\n\n### Encoded size by encoder, bytes\n\n"
        + markdown_table(header, size_rows)
        + "\n\n### Encoder transient memory, KiB (tracemalloc peak during the call minus the output)\n\n"
        + markdown_table(["document", "vorn-compact", "vorn-plain", "output bytes (compact)"], memory_rows)
    )


def encode_targets(reports: list[EncodeReport]) -> list[tuple[str, bool | None, str]]:
    """(target, met, detail) for each of the encoder's speed targets."""
    corpus = [r for r in reports if r.kind == "corpus"]
    tables = [r for r in reports if r.kind == "table"]
    out: list[tuple[str, bool | None, str]] = []

    def each(text: str, docs: list[EncodeReport], ratio_of: Callable[[EncodeReport], float | None],
             limit: float) -> None:
        values = [(r.name, ratio_of(r)) for r in docs]
        known = [(n, v) for n, v in values if v is not None]
        if not known:
            out.append((text, None, "not measured"))
            return
        worst = max(known, key=lambda x: x[1])
        failing = [(n, v) for n, v in known if v >= limit]
        detail = f"worst {worst[1]:.3f}× ({worst[0]})"
        if failing:
            detail += "; missed on " + ", ".join(f"{n} {v:.3f}×" for n, v in failing)
        if len(known) < len(values):
            detail += "; not measured on " + ", ".join(n for n, v in values if v is None)
        out.append((text, not failing and len(known) == len(values), detail))

    def mean(text: str, name: str, to: str, limit: float) -> None:
        ratios = [r.ratio(name, to) for r in corpus]
        known = [x for x in ratios if x is not None]
        g = _geomean(known) if known and len(known) == len(ratios) else None
        out.append((text, None if g is None else g <= limit, "not measured" if g is None else f"{g:.3f}×"))

    mean("vorn-plain ≤ 1.0 × ormsgpack.packb, geometric mean over the corpus", "vorn-plain", "ormsgpack", 1.0)
    each("vorn-plain faster than msgpack.packb on every corpus file", corpus, lambda r: r.ratio("vorn-plain"), 1.0)
    each("vorn-compact faster than msgpack.packb on every corpus file and record table", corpus + tables,
         lambda r: r.ratio("vorn-compact"), 1.0)
    mean("vorn-compact ≤ 0.7 × msgpack.packb, geometric mean over the corpus", "vorn-compact", "msgpack", 0.7)
    each("vorn-compact ≥ 20 × faster than vorn.pure.dumps on every document (time ratio ≤ 0.05)",
         corpus + tables, lambda r: r.ratio("vorn-compact", PURE), 0.05 + 1e-12)
    return out

"""The benchmark's documents: JSON files read in place, and generated record tables."""

from __future__ import annotations

import json
import marshal
import math
import random
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

BENCH_DIR = Path(__file__).resolve().parent
REPO_DIR = BENCH_DIR.parent
# The shared corpus lives beside the repository, not inside it.
DEFAULT_CORPUS = REPO_DIR.parent / "shared" / "corpus"

CORPUS_SUFFIXES = (".json", ".ndjson")


@dataclass
class Document:
    name: str
    value: Any
    kind: str  # "corpus" or "table"
    source_bytes: int = 0  # size of the file it was read from (0 for generated ones)
    dense: bool = False  # a table whose rows all have every key
    meta: dict[str, Any] = field(default_factory=dict)


def read_json_file(path: Path) -> Any:
    """A .json file's value; a .ndjson file as the list of its lines' values."""
    data = path.read_bytes()
    if path.suffix == ".ndjson":
        return [json.loads(line) for line in data.splitlines() if line.strip()]
    return json.loads(data)


def corpus_files(paths: list[Path]) -> list[Path]:
    """The JSON files named, and those directly inside the folders named, sorted per folder."""
    found: list[Path] = []
    for path in paths:
        if path.is_dir():
            found.extend(
                sorted(p for p in path.iterdir() if p.is_file() and p.suffix in CORPUS_SUFFIXES)
            )
        elif path.is_file():
            found.append(path)
        else:
            raise FileNotFoundError(f"no such file or folder: {path}")
    return found


def load_corpus(paths: list[Path]) -> list[Document]:
    docs = []
    for path in corpus_files(paths):
        docs.append(
            Document(
                name=path.name,
                value=read_json_file(path),
                kind="corpus",
                source_bytes=path.stat().st_size,
                meta={"path": str(path)},
            )
        )
    return docs


# Generated record tables -----------------------------------------------------

TABLE_COLUMNS = (
    "id",  # sequential integer
    "ts",  # epoch milliseconds, increasing
    "status",  # small categorical string
    "region",  # small categorical string
    "price",  # float, two decimals
    "qty",  # small integer
    "score",  # float, two decimals, may be negative
    "active",  # boolean
    "verified",  # boolean
    "coupon",  # optional categorical string
    "discount",  # optional float, two decimals
    "device",  # nested record
)
OPTIONAL_COLUMNS = ("coupon", "discount")

_STATUS = ("new", "paid", "shipped", "delivered", "returned", "cancelled")
_REGIONS = ("eu-west", "eu-north", "us-east", "us-west", "ap-south", "ap-east", "sa-east", "af-south")
_COUPONS = ("WELCOME10", "SPRING", "VIP", "FREESHIP", "LOYAL5")
_OS = ("android", "ios", "windows", "macos", "linux")


def generate_records(rows: int, seed: int = 20240601) -> list[dict[str, Any]]:
    """`rows` order records of 12 columns; optional columns are absent from some rows."""
    rng = random.Random(seed)
    ts = 1_700_000_000_000
    out = []
    for i in range(rows):
        ts += rng.randint(0, 4_000)
        row: dict[str, Any] = {
            "id": 1_000_000 + i,
            "ts": ts,
            "status": rng.choice(_STATUS),
            "region": rng.choice(_REGIONS),
            "price": round(rng.uniform(0.5, 999.0), 2),
            "qty": rng.randint(1, 40),
            "score": round(rng.gauss(50.0, 20.0), 2),
            "active": rng.random() < 0.7,
            "verified": rng.random() < 0.25,
        }
        if rng.random() < 0.3:
            row["coupon"] = rng.choice(_COUPONS)
        if rng.random() < 0.5:
            row["discount"] = round(rng.uniform(0.01, 0.5), 2)
        row["device"] = {
            "os": rng.choice(_OS),
            "version": rng.randint(1, 17),
            "mobile": rng.random() < 0.6,
        }
        out.append(row)
    return out


def densify(rows: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """The same rows with every column present (None where a row lacked it)."""
    return [{key: row.get(key) for key in TABLE_COLUMNS} for row in rows]


def generated_tables(rows: int) -> list[Document]:
    sparse = generate_records(rows)
    dense = densify(sparse)
    meta = {"rows": rows, "columns": len(TABLE_COLUMNS)}
    size = f"{rows // 1000}k" if rows % 1000 == 0 else str(rows)
    return [
        Document(f"records-{size}-optional", sparse, "table", meta=dict(meta)),
        Document(f"records-{size}-dense", dense, "table", dense=True, meta=dict(meta)),
    ]


def generated_table_names(rows: int) -> list[str]:
    size = f"{rows // 1000}k" if rows % 1000 == 0 else str(rows)
    return [f"records-{size}-optional", f"records-{size}-dense"]


# Values and comparison -------------------------------------------------------

_EXACT_LIMIT = 2.0**53


def integral_floats_as_ints(value: Any) -> Any:
    """`value` with every float of integral value below 2^53 in magnitude made an int.

    That is how VORN carries such floats, so it is the value a VORN round trip
    must give back.
    """
    kind = type(value)
    if kind is float:
        if math.isfinite(value) and abs(value) < _EXACT_LIMIT and value == int(value):
            return int(value)
        return value
    if kind is list:
        return [integral_floats_as_ints(item) for item in value]
    if kind is dict:
        return {key: integral_floats_as_ints(item) for key, item in value.items()}
    return value


def difference(expected: Any, got: Any) -> str | None:
    """Where `got` differs from `expected` in type, value or key order; None when alike."""
    # Marshal format 2 writes every value the same way whatever its sharing or
    # interning, keeps dict order and tells bool, int and float apart: equal
    # bytes mean equal values, and the slow walk only runs to find a difference.
    try:
        if marshal.dumps(expected, 2) == marshal.dumps(got, 2):
            return None
    except ValueError:
        pass
    return first_difference(expected, got)


def first_difference(expected: Any, got: Any, path: str = "$") -> str | None:
    if type(expected) is not type(got):
        return f"{path}: {type(expected).__name__} {_short(expected)} != {type(got).__name__} {_short(got)}"
    if type(expected) is list:
        if len(expected) != len(got):
            return f"{path}: list of {len(expected)} != list of {len(got)}"
        for i, (a, b) in enumerate(zip(expected, got, strict=False)):
            found = first_difference(a, b, f"{path}[{i}]")
            if found:
                return found
        return None
    if type(expected) is dict:
        if list(expected) != list(got):
            if set(expected) == set(got):
                return f"{path}: same keys in another order"
            missing = sorted(set(expected) - set(got))[:3]
            extra = sorted(set(got) - set(expected))[:3]
            return f"{path}: keys missing {missing} extra {extra}"
        for key in expected:
            found = first_difference(expected[key], got[key], f"{path}.{key}")
            if found:
                return found
        return None
    if type(expected) is float and math.isnan(expected) and math.isnan(got):
        return None
    if expected != got:
        return f"{path}: {_short(expected)} != {_short(got)}"
    return None


def _short(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."

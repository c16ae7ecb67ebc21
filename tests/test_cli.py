"""The command line, run as `python -m vorn` (and as `vorn` when installed)."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import vorn
from encoder_support import PLAIN_TAGS, tags_of

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "orders.json"


def run(*args: str, stdin: bytes = b"", env: dict[str, str] | None = None) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run(
        [sys.executable, "-m", "vorn", *args],
        input=stdin,
        capture_output=True,
        env={**os.environ, **(env or {})},
        timeout=60,
    )


def failed(result: subprocess.CompletedProcess[bytes], status: int = 1) -> str:
    """The standard error of a run that ended with `status` and no traceback."""
    error = result.stderr.decode()
    assert result.returncode == status, error
    assert "Traceback" not in error
    assert result.stdout == b""
    return error


def test_encode_then_decode_files(tmp_path: Path) -> None:
    document = tmp_path / "orders.vorn"
    back = tmp_path / "orders.json"
    assert run("encode", str(EXAMPLE), "-o", str(document)).returncode == 0
    assert run("decode", str(document), "-o", str(back)).returncode == 0
    source = json.loads(EXAMPLE.read_text(encoding="utf-8"))
    assert vorn.loads(document.read_bytes()) == source
    assert json.loads(back.read_text(encoding="utf-8")) == source


def test_standard_streams_and_options() -> None:
    source = EXAMPLE.read_bytes()
    compact = run("encode", "-", stdin=source)
    plain = run("encode", "--plain", "-", stdin=source)
    assert compact.returncode == plain.returncode == 0
    assert compact.stdout == vorn.dumps(json.loads(source))
    assert set(tags_of(plain.stdout)) <= PLAIN_TAGS
    assert len(compact.stdout) < len(plain.stdout)
    decoded = run("decode", "-", stdin=plain.stdout)
    assert decoded.stdout.count(b"\n") == 1 and json.loads(decoded.stdout) == json.loads(source)
    indented = run("decode", "-", "--indent", "2", stdin=compact.stdout)
    assert indented.stdout.startswith(b'{\n  "store": "Northwind Books",\n')
    assert json.loads(indented.stdout) == json.loads(source)
    assert "chloé" in indented.stdout.decode("utf-8")


def test_output_does_not_depend_on_string_hashing() -> None:
    outputs = {run("encode", str(EXAMPLE), env={"PYTHONHASHSEED": seed}).stdout for seed in ("1", "2", "3")}
    assert len(outputs) == 1


def test_console_script(tmp_path: Path) -> None:
    script = Path(sys.executable).with_name("vorn")
    if not script.exists():
        pytest.skip("the console script is not installed next to this interpreter")
    result = subprocess.run([str(script), "encode", str(EXAMPLE)], capture_output=True, timeout=60)
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout == vorn.dumps(json.loads(EXAMPLE.read_bytes()))


@pytest.mark.parametrize(
    "document, message, marked",
    [
        (b"\x0f\x01\x07\x02\x80", "vorn: offset 4: truncated input", "  00000000  0f 01 07 02 80"),
        (b"", "vorn: offset 0: not a VORN binary document", "  (offset 0 is the end of the input)"),
        (b"\x0f\x01" + b"\x07\x01" * 20 + b"\x0e", "vorn: offset 42: bad tag 0x0e", "  00000020  07 01 07 01 07 01 07 01 07 01 0e"),
    ],
)
def test_decode_failure_shows_the_bytes(tmp_path: Path, document: bytes, message: str, marked: str) -> None:
    path = tmp_path / "bad.vorn"
    path.write_bytes(document)
    lines = failed(run("decode", str(path))).splitlines()
    assert lines[0] == message
    assert any(line.startswith(marked) for line in lines)
    caret = next(line for line in lines if line.strip() == "^^")
    offset = int(message.split()[2].rstrip(":"))
    assert caret.index("^^") == 12 + 3 * (offset % 16)


def anchored_chain(links: int, depth: int) -> bytes:
    """A valid document whose value nests about links x depth levels: each
    anchored list chain holds a reference to the one before it."""
    parts = [b"\x0f\x01\x07", bytes([links])]
    for link in range(links):
        inner = b"\x07\x00" if link == 0 else b"\x0b" + bytes([link - 1])
        parts.append(b"\x0a" + b"\x07\x01" * depth + inner)
    return b"".join(parts)


@pytest.mark.parametrize("indent", [None, 1])
def test_decode_result_too_deep_for_json(indent: int | None) -> None:
    document = anchored_chain(10, 400)
    value = vorn.loads(document)  # the document itself is valid
    args = [] if indent is None else ["--indent", str(indent)]
    result = run("decode", "-", *args, stdin=document)
    # About 4,000 levels: json's C writer on 3.13 (with its own, higher limit) writes them, the
    # others meet the recursion limit. The command writes exactly what json.dumps can.
    try:
        separators = (",", ": " if indent is not None else ":")
        text = json.dumps(value, ensure_ascii=False, indent=indent, separators=separators)
    except RecursionError:
        assert failed(result) == "vorn: the decoded value nests too deeply to be written as JSON\n"
    else:
        assert result.returncode == 0 and result.stdout == text.encode() + b"\n"


@pytest.mark.parametrize(
    "source, message",
    [
        (b'{"a": [1, 2', "vorn: invalid JSON: Expecting"),
        (b"\xff\xfe\x00", "vorn: invalid JSON:"),
        (b'{"a": NaN}', "vorn: invalid JSON: NaN is not a JSON number"),
        (b"[Infinity]", "vorn: invalid JSON: Infinity is not a JSON number"),
        (b"[-Infinity]", "vorn: invalid JSON: -Infinity is not a JSON number"),
        (b'{"big": 1e400}', "vorn: cannot encode: float at $.big is not finite"),
        (b'{"n": [18446744073709551616]}', "vorn: cannot encode: int at $.n[0] is outside the signed 64-bit range"),
        (b'["\\ud800"]', "vorn: cannot encode: str at $[0] cannot be written as UTF-8"),
        (b"[" * 600 + b"]" * 600, "vorn: cannot encode: value at $" + "[0]" * 33 + "..." + "[0]" * 33 + " is nested 513 levels deep"),
        (b"[" * 100_000 + b"]" * 100_000, "vorn: invalid JSON: nests too deeply to be read"),
    ],
)
def test_encode_failures(source: bytes, message: str) -> None:
    error = failed(run("encode", "-", stdin=source))
    assert error.startswith(message)
    assert error.count("\n") == 1


@pytest.mark.parametrize("command", ["encode", "decode"])
def test_file_failures(tmp_path: Path, command: str) -> None:
    missing = tmp_path / "missing"
    assert failed(run(command, str(missing))).startswith(f"vorn: cannot read {missing}: ")
    assert failed(run(command, str(tmp_path))).startswith(f"vorn: cannot read {tmp_path}: ")
    source = tmp_path / "in"
    source.write_bytes(b"[1]" if command == "encode" else vorn.dumps([1]))
    target = tmp_path / "no" / "such" / "dir"
    assert failed(run(command, str(source), "-o", str(target))).startswith(f"vorn: cannot write {target}: ")


@pytest.mark.parametrize(
    "args",
    [[], ["convert", "x"], ["decode"], ["encode"], ["decode", "x", "--indent", "-1"],
     ["decode", "x", "--indent", "two"], ["encode", "x", "--indent", "2"], ["decode", "x", "--plain"]],
)
def test_bad_usage(args: list[str]) -> None:
    assert "usage: vorn" in failed(run(*args), status=2)

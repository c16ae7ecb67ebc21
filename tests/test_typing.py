"""The shipped type stubs, checked with mypy."""

import re
import subprocess
import sys
import textwrap

GOOD = """
    import vorn_native
    from vorn_native import VornError, loads_binary

    def decode(data: bytes) -> object:
        try:
            return vorn_native.loads_binary(data)
        except VornError as error:
            message: str = error.message
            raise ValueError(message, error.offset + 1) from error

    decode(b"\\x0f\\x01\\x00")
    loads_binary(bytearray(b"\\x0f\\x01\\x00")), loads_binary(memoryview(b"")), loads_binary([15, 1, 0])
    loads_binary(data=b"\\x0f\\x01\\x00")
"""

BAD = {
    "offset_plus_str": "def f(e: VornError) -> None:\n    e.offset + 'x'\n",
    "message_as_int": "def f(e: VornError) -> int:\n    return e.message\n",
    "int_argument": "loads_binary(3)\n",
    "no_argument": "loads_binary()\n",
    "unknown_keyword": "loads_binary(x=b'')\n",
    "unknown_name": "vorn_native.dumps_binary\n",
}


ENCODER_GOOD = """
    import io
    from decimal import Decimal
    from typing import Any

    import vorn
    import vorn.pure

    def fallback(obj: Any) -> Any:
        return str(obj)

    data: bytes = vorn.dumps({"a": [1, 2.5, None]}, compact=False, default=fallback)
    same: bytes = vorn.pure.dumps([Decimal("1")], compact=True, default=str)
    buffer = io.BytesIO()
    vorn.dump([1], buffer, compact=False, default=str)
    value: Any = vorn.load(buffer)
    value = vorn.loads(data + same)
"""

ENCODER_BAD = {
    "dumps_positional_compact": "vorn.dumps(1, False)\n",
    "dumps_result_as_str": "text: str = vorn.dumps(1)\n",
    "pure_unknown_keyword": "vorn.pure.dumps(1, indent=2)\n",
    "load_from_bytes": "vorn.load(b'')\n",
    "dump_without_file": "vorn.dump(1)\n",
}


def run_mypy(tmp_path, *files):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
         *map(str, files)],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )


def test_stubs_accept_correct_use_and_refuse_wrong_use(tmp_path):
    good = tmp_path / "good.py"
    good.write_text(textwrap.dedent(GOOD))
    result = run_mypy(tmp_path, good)
    assert result.returncode == 0, result.stdout + result.stderr

    header = "import vorn_native\nfrom vorn_native import VornError, loads_binary\n"
    bad_files = []
    for name, body in BAD.items():
        path = tmp_path / f"bad_{name}.py"
        path.write_text(header + body)
        bad_files.append(path)
    result = run_mypy(tmp_path, *bad_files)
    assert result.returncode == 1, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    for path in bad_files:
        assert any(re.match(rf"{path.name}:[34]: error:", line) for line in lines), (path.name, result.stdout)


def test_encoder_signatures(tmp_path):
    good = tmp_path / "good_encoder.py"
    good.write_text(textwrap.dedent(ENCODER_GOOD))
    result = run_mypy(tmp_path, good)
    assert result.returncode == 0, result.stdout + result.stderr
    bad_files = []
    for name, body in ENCODER_BAD.items():
        path = tmp_path / f"bad_{name}.py"
        path.write_text("import vorn\nimport vorn.pure\n" + body)
        bad_files.append(path)
    result = run_mypy(tmp_path, *bad_files)
    assert result.returncode == 1, result.stdout + result.stderr
    for path in bad_files:
        assert any(re.match(rf"{path.name}:3: error:", line) for line in result.stdout.splitlines()), (path.name, result.stdout)

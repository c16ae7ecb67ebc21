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

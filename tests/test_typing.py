"""The installed type stubs agree with the module and type-check their users."""

import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODULE = "kovrin.modules.security.cprotection"


def run(*args: str, cwd: pathlib.Path = ROOT) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd,
                          capture_output=True, text=True, timeout=600)


def mypy(tmp_path: pathlib.Path, *targets: str,
         cwd: pathlib.Path = ROOT) -> subprocess.CompletedProcess[str]:
    return run("mypy", "--strict", "--no-error-summary", "--show-error-codes",
               "--cache-dir", str(tmp_path / "mypy_cache"), *targets, cwd=cwd)


def test_stubs_match_runtime(tmp_path):
    config = tmp_path / "mypy.ini"  # keeps the cache out of the source tree
    config.write_text(f"[mypy]\ncache_dir = {tmp_path / 'mypy_cache'}\n")
    result = run("mypy.stubtest", MODULE, "--allowlist", "tests/stubtest_allowlist.txt",
                 "--mypy-config-file", str(config))
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success" in result.stdout


def test_examples_pass_strict(tmp_path):
    result = mypy(tmp_path, "examples/")
    assert result.returncode == 0, result.stdout + result.stderr


# Each line marked "# E: code" must give exactly that error; no other line may.
SNIPPET = """\
    from types import CapsuleType
    from typing import assert_type

    from kovrin.modules.security.cprotection import CProtection, __pyx_unpickle_CProtection

    a = CProtection()
    b = CProtection(flip_direction=True)
    a.activate([1, 2, 3])
    b.activate(keys=[1, 2, 3])
    data: bytearray = b.decrypt(a.encrypt(bytearray(b"hello")))
    assert_type(a.encrypt(None), None)
    assert_type(a.decrypt(None), None)
    maybe: bytearray | None = None
    assert_type(a.encrypt(maybe), bytearray | None)
    assert_type(CProtection.__pyx_vtable__, CapsuleType)
    restore, args = a.__reduce__()[:2]
    assert_type(restore(*args), CProtection)
    assert_type(__pyx_unpickle_CProtection(CProtection, 0xc4c669c, None), CProtection)
    a.__setstate__((False, 0, 0, bytes(8), 0, bytes(8), False))
    a.__setstate_cython__((False, 0, 0, bytes(8), 0, bytes(8), False))

    a.encrypt(b"hello")  # E: call-overload
    a.decrypt("hello")  # E: call-overload
    a.encrypt(data=bytearray())  # E: call-overload
    lost: None = a.encrypt(bytearray())  # E: assignment
    nothing: bytearray = a.decrypt(None)  # E: assignment
    a.activate((1, 2))  # E: arg-type
    a.activate(["1"])  # E: list-item
    a.activate()  # E: call-arg
    CProtection(True, False)  # E: call-arg
    __pyx_unpickle_CProtection(CProtection, 0xc4c669c, [])  # E: arg-type
    __pyx_unpickle_CProtection(int, 0xc4c669c, None)  # E: arg-type
    a.__setstate__(None)  # E: arg-type
"""


def test_overloads_and_signatures(tmp_path):
    source = textwrap.dedent(SNIPPET)
    (tmp_path / "snippet.py").write_text(source)
    expected = {(number, match.group(1))
                for number, line in enumerate(source.splitlines(), 1)
                if (match := re.search(r"# E: ([\w-]+)$", line))}
    assert len(expected) == 12
    result = mypy(tmp_path, "snippet.py", cwd=tmp_path)
    errors = re.findall(r"^snippet\.py:(\d+): error: (.*)$", result.stdout, re.MULTILINE)
    found = {(int(number), re.sub(r".*\[([\w-]+)\]$", r"\1", message))
             for number, message in errors}
    assert found == expected, result.stdout
    assert result.returncode == 1

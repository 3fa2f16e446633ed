"""Allocation failures on every path of CProtection: the table of paths.

tests/nomemory_worker.py runs each path in a process of its own and says
what it checks.
"""

import json
import os
import pathlib
import subprocess
import sys

import pytest
from build import build_shared  # examples/native_caller/build.py, put on the path by conftest

from nomemory_worker import CASE_NAMES, __file__ as WORKER


@pytest.mark.parametrize("case", CASE_NAMES)
def test_allocation_failures_end_in_memory_error(case, native_caller, tmp_path):
    if sys.platform == "win32":
        pytest.skip("python.org's Windows interpreter here is the embeddable package, which has no _testcapi")
    try:
        import _testcapi  # noqa: F401
    except ImportError:
        reason = "this interpreter lacks _testcapi (Debian: libpython3.13-testsuite)"
        pytest.fail(reason) if os.environ.get("CI") else pytest.skip(reason)
    env = {**os.environ, "PYTHONHASHSEED": "0"}
    if case.startswith("import") and sys.version_info < (3, 13, 6):
        guard = tmp_path / "type_ready_guard.so"
        build_shared([pathlib.Path(WORKER).with_name("type_ready_guard.c")], guard, language="c",
                     libraries=("-ldl",))
        env.update(TYPE_READY_GUARD=str(guard), LD_PRELOAD=f"{env.get('LD_PRELOAD', '')} {guard}".strip())
    result = subprocess.run([sys.executable, WORKER, case, native_caller.__file__],
                            capture_output=True, text=True, timeout=120, env=env)
    assert result.returncode == 0, result.stderr[-3000:]
    problems, failed = json.loads(result.stdout.splitlines()[-1])
    assert problems == []
    assert failed > 0  # the path allocates, so some runs must have failed



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

from helpers import not_run
from nomemory_worker import CASE_NAMES, __file__ as WORKER

# Seconds a worker may take; an import case forks a child per allocation,
# which under qemu takes minutes.
TIMEOUT = 600 if os.environ.get("CPROTECTION_EMULATED") else 120


def guard_takes_effect(guard, env):
    """Whether the preloaded guard's PyType_Ready is the one the interpreter's callers reach."""
    probe = ("import ctypes, sys\n"
             "address = lambda function: ctypes.cast(function, ctypes.c_void_p).value\n"
             "print(address(ctypes.pythonapi.PyType_Ready) == address(ctypes.CDLL(sys.argv[1]).PyType_Ready))")
    result = subprocess.run([sys.executable, "-c", probe, str(guard)], env=env, capture_output=True,
                            text=True, check=True)
    return result.stdout.strip() == "True"


@pytest.mark.parametrize("case", CASE_NAMES)
def test_allocation_failures_end_in_memory_error(case, native_caller, tmp_path):
    if sys.platform == "win32":
        pytest.skip("python.org's Windows interpreter here is the embeddable package, which has no _testcapi")
    try:
        import _testcapi  # noqa: F401
    except ImportError:
        not_run("this interpreter lacks _testcapi (Debian: libpython3.13-testsuite)")
    env = {**os.environ, "PYTHONHASHSEED": "0"}
    if case.startswith("import") and sys.version_info < (3, 13, 6):
        guard = tmp_path / "type_ready_guard.so"
        build_shared([pathlib.Path(WORKER).with_name("type_ready_guard.c")], guard, language="c",
                     libraries=("-ldl",))
        env.update(TYPE_READY_GUARD=str(guard), LD_PRELOAD=f"{env.get('LD_PRELOAD', '')} {guard}".strip())
        if not guard_takes_effect(guard, env):
            pytest.skip("this interpreter has libpython linked into its executable, whose own "
                        "PyType_Ready a preloaded guard cannot replace, and it predates the "
                        "dictionary fix of 3.13.6 that makes the guard unneeded")
    result = subprocess.run([sys.executable, WORKER, case, native_caller.__file__],
                            capture_output=True, text=True, timeout=TIMEOUT, env=env)
    assert result.returncode == 0, result.stderr[-3000:]
    problems, failed = json.loads(result.stdout.splitlines()[-1])
    assert problems == []
    assert failed > 0  # the path allocates, so some runs must have failed



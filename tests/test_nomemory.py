"""Allocation failures on every path of CProtection.

Each case runs in a process of its own, so that a crash fails that case
alone.  The process fails allocation n of the path for n = 0, 1, 2, ...
(`_testcapi.set_nomemory`), and, whenever the path still succeeds, every
allocation from n on; once that too succeeds, n is past the path's last
allocation.  A failed run must raise MemoryError and leave the instance as
it was; a run that succeeds despite the failure must give what a clean run
gives.  A failed import must leave nothing under the module's name, and
the next attempt, with the next n, must be able to import it.

    python tests/test_nomemory.py CASE [NATIVE_CALLER]   # one case, as the test runs it
"""

import json
import os
import pickle
import subprocess
import sys

import pytest

FULL_NAME = "kovrin.modules.security.cprotection"
LIMIT = 5000  # more allocations than any path makes; reaching it fails the case


def fields(obj):
    reduced = obj.__reduce__()
    return reduced[2] if len(reduced) == 3 else reduced[1][2]


def cases(native_caller):
    """Case name: (the object a call starts from, the call on it)."""
    from helpers import IntLike
    from kovrin.modules.security import cprotection
    from kovrin.modules.security.cprotection import CProtection

    # At module level, where pickle looks classes up.
    global Tagged, Overriding
    Tagged = type("Tagged", (CProtection,), {})
    Overriding = type("Overriding", (CProtection,), {"encrypt": lambda self, data: bytearray(data)})
    MyBytearray = type("MyBytearray", (bytearray,), {})
    unpickle = cprotection.__pyx_unpickle_CProtection

    def running(cls=CProtection):
        obj = cls(True)
        obj.activate([0x5A, 3])
        obj.decrypt(obj.encrypt(bytearray(b"warm-up")))
        if cls is Tagged:
            obj.tag = ["label", 1]
        return obj

    short, long = bytearray(b"short payload"), bytearray(range(256)) * 8
    state = fields(running())
    stream = pickle.dumps(running(Tagged))
    return {
        "construct": (None, lambda _: CProtection(flip_direction=True)),
        "init-refused": (running(), lambda obj: obj.__init__(1, 2)),
        # Keying allocates only to report a key it refuses.
        "activate-refused": (running(), lambda obj: obj.activate(keys=[1, "x"])),
        "activate-overflow": (running(), lambda obj: obj.activate([IntLike(3), 2**40])),
        "encrypt-short": (running(), lambda obj: obj.encrypt(short)),
        "encrypt-long": (running(), lambda obj: obj.encrypt(long)),
        "decrypt-long": (running(), lambda obj: obj.decrypt(encrypted_data=long)),
        "reduce": (running(Tagged), lambda obj: obj.__reduce__()),
        "restore": (running(), lambda obj: obj.__setstate__(state)),
        "unpickle": (None, lambda _: pickle.loads(stream)),
        "unpickle-function": (None, lambda _: unpickle(CProtection, 206333596, state)),
        "unpickle-refused": (None, lambda _: unpickle(CProtection, 1, state)),
        "native-dispatch": (running(Tagged), lambda obj: native_caller.call(
            "encrypt", obj, MyBytearray(long), 0)),
        "native-override": (running(Overriding), lambda obj: native_caller.call(
            "encrypt", obj, short, 0)),
    }


def comparable(value):
    """What must match between a clean run and one that survived a failure."""
    from kovrin.modules.security.cprotection import CProtection
    if isinstance(value, CProtection):
        return type(value).__name__, fields(value), getattr(value, "__dict__", None)
    if isinstance(value, tuple):
        return tuple(map(comparable, value))
    return value


def clone(obj):
    return None if obj is None else pickle.loads(pickle.dumps(obj))


def fail_from(n, stop, call, obj):
    """What call(obj) gives with allocations n..stop-1 failing (all from n
    when stop is 0): ("ok", result) or ("raised", exception)."""
    import _testcapi
    _testcapi.set_nomemory(n, stop)
    try:
        return "ok", call(obj)
    except BaseException as exc:  # noqa: B036 - whatever it is, it is reported
        return "raised", exc
    finally:
        _testcapi.remove_mem_hooks()


def outcome(kind, value):
    return (kind, comparable(value)) if kind == "ok" else (kind, type(value).__name__)


# CPython 3.13.0 loses an exception it fails to create: a built-in's own
# TypeError can end as this SystemError.  Where the running interpreter
# does so, paths that raise their own error are allowed it too.
LOST_EXCEPTION = "SystemError('error return without exception set')"


def interpreter_loses_exceptions():
    return any(repr(fail_from(n, n + 1, lambda _: divmod(1, 2, 3), None)[1]) == LOST_EXCEPTION
               for n in range(100))


def run_path(name, native_caller):
    """Problems found on one path, and how many runs failed with MemoryError."""
    obj, call = cases(native_caller)[name]
    lost_allowed = interpreter_loses_exceptions()
    problems, failed = [], 0
    for n in range(LIMIT):
        for stop in (n + 1, 0):
            before, twin = (None, None) if obj is None else (comparable(obj), clone(obj))
            raw = fail_from(n, stop, call, obj)
            got = outcome(*raw)
            clean = outcome(*fail_from(LIMIT * 10, 0, call, twin))
            if got == clean:
                if obj is not None and comparable(obj) != comparable(twin):
                    problems.append(f"n={n} stop={stop}: state differs from a clean run's")
                continue
            if got == ("raised", "MemoryError"):
                failed += 1
            elif lost_allowed and clean[0] == "raised" and repr(raw[1]) == LOST_EXCEPTION:
                pass
            else:
                problems.append(f"n={n} stop={stop}: {raw[1]!r} where a clean run gives {clean}")
            if obj is not None and comparable(obj) != before:
                problems.append(f"n={n} stop={stop}: state changed by a failed call")
            break
        else:
            return problems, failed
    return problems + [f"still failing at n={LIMIT}"], failed


def load(spec, full_name):
    """importlib's steps for a module not yet loaded, less its module locks:
    a failure inside those crashes CPython 3.13.0 itself, whatever the
    module (the standard library's array module too)."""
    import importlib.util
    module = importlib.util.module_from_spec(spec)
    if full_name:
        sys.modules[spec.name] = module
    try:
        spec.loader.exec_module(module)
    except BaseException:
        if full_name:
            del sys.modules[spec.name]
        raise
    return module


def import_spec(full_name):
    import importlib.util

    import kovrin.modules.security  # noqa: F401 - only the extension's own import is tested
    spec = importlib.util.find_spec(FULL_NAME)
    return spec if full_name else importlib.util.spec_from_file_location("cprotection", spec.origin)


# Before 3.13.6 a failed insertion into a dictionary corrupts it (gh-109700),
# and PyType_Ready inserts into each type's dictionary: a failure there
# breaks the module's static types for good, through no fault of the module.
DICT_INSERT_SAFE = sys.version_info >= (3, 13, 6)


def allocations_of_import(full_name):
    """The least n from which every allocation of an import may fail with
    the import still succeeding, each try in a fresh process."""
    low, high = 0, LIMIT
    while low < high:
        middle = (low + high) // 2
        probe = subprocess.run([sys.executable, __file__, "probe", str(middle), str(int(full_name))],
                               capture_output=True)
        low, high = (low, middle) if probe.returncode == 0 else (middle + 1, high)
    return low


def run_import(full_name, allocations):
    """As run_path, for an import under the full name or another; given the
    number of allocations an import makes, in a process that has run no
    more than this one, it first fails the last of them alone, which leaves
    the module's types ready (see DICT_INSERT_SAFE)."""
    problems, failed = [], 0
    spec = import_spec(full_name)
    attempt = lambda spec: load(spec, full_name)  # noqa: E731
    if allocations is not None:
        last = fail_from(allocations - 1, 0, attempt, spec)
        if repr(last[1]) != "MemoryError()" or FULL_NAME in sys.modules:
            problems.append(f"failing the import's last allocation gave {last[1]!r}")
    for n in range(LIMIT):
        kind, module = fail_from(n, n + 1, attempt, spec)
        if kind == "ok":
            break
        failed += 1
        if type(module) is not MemoryError:
            problems.append(f"n={n}: {type(module).__name__}: {module}")
        if FULL_NAME in sys.modules:
            problems.append(f"n={n}: left in sys.modules")
            del sys.modules[FULL_NAME]
    else:
        return problems + [f"still failing at n={LIMIT}"], failed
    a, b = module.CProtection(), module.CProtection(True)
    a.activate([3])
    b.activate([3])
    if b.decrypt(a.encrypt(bytearray(b"works"))) != b"works" or sys.modules[FULL_NAME] is not module:
        problems.append("the module imported after the failures does not work")
    return problems, failed


CASE_NAMES = ["import", "import-other-name", "construct", "init-refused", "activate-refused",
              "activate-overflow", "encrypt-short", "encrypt-long",
              "decrypt-long", "reduce", "restore", "unpickle", "unpickle-function",
              "unpickle-refused", "native-dispatch", "native-override"]


@pytest.mark.parametrize("case", CASE_NAMES)
def test_allocation_failures_end_in_memory_error(case, native_caller):
    try:
        import _testcapi  # noqa: F401
    except ImportError:
        reason = "this interpreter lacks _testcapi (Debian: libpython3.13-testsuite)"
        pytest.fail(reason) if os.environ.get("CI") else pytest.skip(reason)
    result = subprocess.run([sys.executable, __file__, case, native_caller.__file__],
                            capture_output=True, text=True, timeout=120,
                            env={**os.environ, "PYTHONHASHSEED": "0"})
    assert result.returncode == 0, result.stderr[-3000:]
    problems, failed = json.loads(result.stdout.splitlines()[-1])
    assert problems == []
    assert failed > 0  # the path allocates, so some runs must have failed


if __name__ == "__main__":
    from helpers import load_extension  # before any probe, so that every process counts alike
    if sys.argv[1] == "probe":
        full = bool(int(sys.argv[3]))
        sys.exit(fail_from(int(sys.argv[2]), 0, lambda spec: load(spec, full), import_spec(full))[0] != "ok")
    if sys.argv[1].startswith("import"):
        full = sys.argv[1] == "import"
        if len(sys.argv) > 3 or DICT_INSERT_SAFE:
            report = run_import(full, int(sys.argv[3]) if len(sys.argv) > 3 else None)
        else:
            # Again in a fresh process, which counts allocations as the probes did.
            rerun = subprocess.run([sys.executable, *sys.argv[:3], str(allocations_of_import(full))],
                                   capture_output=True, text=True)
            sys.stderr.write(rerun.stderr)
            sys.stdout.write(rerun.stdout)
            sys.exit(rerun.returncode)
    else:
        report = run_path(sys.argv[1], load_extension("native_caller", sys.argv[2]))
    print(json.dumps(report))

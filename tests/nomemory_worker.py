"""Allocation failures on every path of CProtection, one path per process.

Each path fails allocation n (`_testcapi.set_nomemory`) for n = 0, 1, 2, ...
and, whenever the path still succeeds, every allocation from n on; once
that too succeeds, n is past the path's last allocation.  A failed run must
raise MemoryError (or the path's own error) and leave the instance as it
was; a run that succeeds despite the failure must give what a clean run
gives.  An import fails allocation n of a process's first import, in a
child forked for each n: it must leave nothing under the module's full
name (unless exec had finished), and the next import must work.

    python tests/nomemory_worker.py CASE [NATIVE_CALLER]   # one case, as tests/test_nomemory.py runs it

Free of pytest, which would double the start-up of every process.
"""

import json
import os
import pickle
import sys

FULL_NAME = "kovrin.modules.security.cprotection"
MAIN_FLAG = "__pyx_module_is_main_kovrin__modules__security__cprotection"
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
    Keys = type("Keys", (list,), {})
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
        "activate-list-subclass": (running(), lambda obj: obj.activate(Keys([1]))),
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
    raised = True
    _testcapi.set_nomemory(n, stop)
    try:  # nothing here but the call may allocate: the failures are its alone
        value = call(obj)
        raised = False
    except BaseException as exc:  # noqa: B036 - whatever it is, it is reported
        value = exc
    finally:
        _testcapi.remove_mem_hooks()
    return ("raised" if raised else "ok"), value


def outcome(kind, value):
    return (kind, comparable(value)) if kind == "ok" else (kind, type(value).__name__)


# CPython 3.13.0 loses an exception it fails to create: a built-in's own
# TypeError can end as this SystemError.  Where the running interpreter
# does so, paths that raise their own error are allowed it too.
LOST_EXCEPTION = "SystemError('error return without exception set')"


# A debug build of CPython (--with-pydebug) checks reference counts and the
# C API's use as it runs.
DEBUG_BUILD = hasattr(sys, "gettotalrefcount")


def interpreter_loses_exceptions():
    # Where a release build loses the exception, a debug build stops on an
    # assertion of its own (in ceval.c), which would end this worker: the
    # probe cannot run there, and nothing is allowed.
    if DEBUG_BUILD:
        return False
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
            clean = outcome(*fail_from(LIMIT * 10, 0, call, twin))  # past every allocation
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


def works(module):
    a, b = module.CProtection(), module.CProtection(True)
    a.activate([3])
    b.activate([3])
    if b.decrypt(a.encrypt(bytearray(b"works"))) != b"works" or sys.modules[FULL_NAME] is not module:
        return ["the module imported after the failure does not work"]
    return []


def first_import(n, stop, full_name, as_main):
    """Fails allocations n..stop-1 (all from n when stop is 0) of this
    process's first import, then imports again."""
    spec = import_spec(full_name)
    if as_main:
        import ctypes
        ctypes.c_int.in_dll(ctypes.PyDLL(spec.origin), MAIN_FLAG).value = 1
    kind, value = fail_from(n, stop, lambda spec: load(spec, full_name), spec)
    if kind == "ok":
        return "ok", works(value)
    problems = [] if type(value) is MemoryError else [f"n={n}: {value!r}"]
    left = sys.modules.get(FULL_NAME)
    if left is not None:
        # Only a failure after exec finished may leave the module behind, and then whole.
        return "failed", problems + works(left)
    return "failed", problems + leftovers_fail_cleanly() + works(load(spec, full_name))


def leftovers_fail_cleanly():
    """The class outlives a failed exec (object.__subclasses__() finds it
    once readied); used then, it must raise, not crash."""
    problems = []
    for cls in object.__subclasses__():
        # From 3.14 on, a class without __module__ raises AttributeError for it.
        if getattr(cls, "__module__", None) == FULL_NAME and cls.__qualname__ == "CProtection":
            for call in (lambda: cls(True).encrypt(5), lambda: cls().__reduce__()):
                try:
                    call()
                except SystemError as exc:
                    problems.append(f"after a failed import: {exc!r}")
                except Exception:  # noqa: BLE001 - any other error is a clean refusal
                    pass
    return problems


def run_import(full_name, as_main=False):
    """first_import for n = 0, 1, ..., each in a child forked from this
    process, which has not imported the module, until nothing fails."""
    problems, failed = [], 0
    if os.environ.get("TYPE_READY_GUARD"):  # see tests/type_ready_guard.c
        import ctypes
        ctypes.CDLL(os.environ["TYPE_READY_GUARD"]).guard_save_allocators()
    for n in range(LIMIT):
        stages = []
        for stop in (n + 1, 0):
            read, write = os.pipe()
            if os.fork() == 0:
                os.close(read)
                try:
                    result = first_import(n, stop, full_name, as_main)
                except BaseException as exc:  # noqa: B036 - reported like any other problem
                    result = "failed", [f"n={n} stop={stop}: {exc!r}"]
                os.write(write, json.dumps(result).encode())
                os.close(write)
                # A normal exit, which writes coverage counts where they are kept.
                raise SystemExit
            os.close(write)
            with os.fdopen(read) as pipe:
                report = pipe.read()
            status = os.wait()[1]
            stage, found = json.loads(report) if report else ("crashed", [])
            if status != 0:
                found.append(f"n={n} stop={stop}: exit status {status}")
            problems += found
            stages.append(stage)
        if stages == ["ok", "ok"]:
            return problems, failed
        failed += 1
    return problems + [f"still failing at n={LIMIT}"], failed


CASE_NAMES = ["import", "import-other-name", "import-as-main", "construct", "init-refused",
              "activate-refused", "activate-list-subclass",
              "activate-overflow", "encrypt-short", "encrypt-long",
              "decrypt-long", "reduce", "restore", "unpickle", "unpickle-function",
              "unpickle-refused", "native-dispatch", "native-override"]


if __name__ == "__main__":
    from helpers import load_extension
    if sys.argv[1].startswith("import"):
        report = run_import(sys.argv[1] != "import-other-name", sys.argv[1] == "import-as-main")
    else:
        report = run_path(sys.argv[1], load_extension("native_caller", sys.argv[2]))
    print(json.dumps(report), flush=True)
    # After injected failures the free-threaded 3.13 interpreter can spin
    # for ever in its allocator's heap collection at exit (seen with
    # 3.13.15), when the report is already out; skip that teardown there.
    # Elsewhere the normal exit stays, as it writes coverage counts.
    if not sys._is_gil_enabled():
        os._exit(0)

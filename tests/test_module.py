"""Module import and initialisation, and introspection of the class and its callables."""

import abc
import builtins
import ctypes
import functools
import gc
import importlib
import importlib.util
import inspect
import json
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
import types
import weakref

import _imp
import pytest

from build import preprocess  # examples/native_caller/build.py, put on the path by conftest
from helpers import module_entries, python_capi
from kovrin.modules.security import cprotection
from kovrin.modules.security.cprotection import CProtection

pytestmark = pytest.mark.core

FULL_NAME = "kovrin.modules.security.cprotection"
SOURCE = "modules/security/cprotection"
STRINGSOURCE = "<stringsource>"
MAIN_FLAG = "__pyx_module_is_main_kovrin__modules__security__cprotection"
REINIT_MESSAGE = ("Module 'cprotection' has already been imported. "
                  "Re-initialisation is not supported.")
REENTERED_MESSAGE = ("Module 'cprotection' is being initialised by this thread, "
                     "which cannot import it again until that has finished.")
INTERPRETER_MESSAGE = ("Interpreter change detected - this module can only be loaded "
                       "into one interpreter per process.")

# A handle of our own, so that setting restype/argtypes does not leak into other tests.
capi = python_capi()
capi.PyModule_GetDef.restype = ctypes.c_void_p
capi.PyModule_GetDef.argtypes = [ctypes.py_object]
capi.PyModule_ExecDef.restype = ctypes.c_int
capi.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
capi.PyCapsule_GetName.restype = ctypes.c_char_p
capi.PyCapsule_GetName.argtypes = [ctypes.py_object]
capi.PyCapsule_IsValid.restype = ctypes.c_int
capi.PyCapsule_IsValid.argtypes = [ctypes.py_object, ctypes.c_char_p]
capi.PyCapsule_GetPointer.restype = ctypes.c_void_p
capi.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
capi.PyCapsule_GetDestructor.restype = ctypes.c_void_p
capi.PyCapsule_GetDestructor.argtypes = [ctypes.py_object]


def header_constants(*names):
    """The values that the interpreter's headers give the named macros, as a compiler sees them."""
    marker = "kovrin_constant"
    source = "#include <Python.h>\n" + "".join(f"{marker} {name}\n" for name in names)
    expanded = preprocess(source)
    values = [line.removeprefix(marker) for line in expanded.splitlines() if line.startswith(marker)]
    return tuple(int(eval(value, {"__builtins__": {}})) for value in values)


def state(obj):
    return obj.__reduce__()[1][2]


def run_python(code, *options, timeout=120):
    """Runs code in a fresh interpreter process and returns what it printed as JSON.

    The code can use round_trip_works(module) and import_under_other_name(origin),
    whose sources are in HELPERS.
    """
    helpers = "".join(inspect.getsource(f) for f in (round_trip_works, import_under_other_name))
    source = f"HELPERS = {helpers!r}\nexec(HELPERS)\n" + textwrap.dedent(code)
    result = subprocess.run([sys.executable, *options, "-c", source],
                            capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1])


def round_trip_works(module):
    a, b = module.CProtection(), module.CProtection(True)
    a.activate([3, 141, 59])
    b.activate([3, 141, 59])
    data = bytearray(b"first interpreter still works")
    sent = a.encrypt(bytearray(data))
    return sent != data and b.decrypt(sent) == data


def import_under_other_name(origin):
    """The module at origin, imported as plain "cprotection"."""
    import importlib.util
    spec = importlib.util.spec_from_file_location("cprotection", origin)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# --- import and initialisation -------------------------------------------------------------

def test_importing_twice_gives_the_same_module():
    assert importlib.import_module(FULL_NAME) is cprotection
    from kovrin.modules.security import cprotection as again
    assert again is cprotection
    assert sys.modules[FULL_NAME] is cprotection


def test_reimport_after_removal_from_sys_modules_reuses_the_module():
    namespace_before = dict(vars(cprotection))
    saved = sys.modules.pop(FULL_NAME)
    try:
        reimported = importlib.import_module(FULL_NAME)
    finally:
        sys.modules[FULL_NAME] = saved
    assert reimported is cprotection
    assert reimported.CProtection is CProtection
    # No initialisation ran again: every object in the namespace is the very same one.
    for name in ("CProtection", "__pyx_unpickle_CProtection", "__test__", "__builtins__"):
        assert vars(reimported)[name] is namespace_before[name]
    assert round_trip_works(reimported)


def test_reimport_after_every_reference_is_dropped():
    # Nothing outside keeps the module alive here: only its own reference.
    result = run_python(f"""
        import gc, importlib, json, sys
        import kovrin.modules.security as package
        from kovrin.modules.security import cprotection
        del cprotection, sys.modules[{FULL_NAME!r}], package.cprotection
        gc.collect()
        m = importlib.import_module({FULL_NAME!r})
        print(json.dumps([m.__name__, m.CProtection.__module__, round_trip_works(m)]))
    """)
    assert result == [FULL_NAME, FULL_NAME, True]


def test_create_and_exec_steps_on_the_held_module_do_nothing():
    spec = importlib.util.find_spec(FULL_NAME)
    assert _imp.create_dynamic(spec) is cprotection
    namespace_before = dict(vars(cprotection))
    assert _imp.exec_dynamic(cprotection) == 0
    definition = capi.PyModule_GetDef(cprotection)
    assert capi.PyModule_ExecDef(cprotection, definition) == 0
    assert vars(cprotection).keys() == namespace_before.keys()
    assert all(vars(cprotection)[k] is v for k, v in namespace_before.items())


def test_create_step_hands_back_a_new_reference_each_time():
    spec = importlib.util.find_spec(FULL_NAME)
    references = sys.getrefcount(cprotection)
    for create in (importlib.util.module_from_spec, _imp.create_dynamic) * 3:
        assert create(spec) is cprotection
    assert sys.getrefcount(cprotection) == references


def test_failed_initialisation_leaves_nothing_behind():
    # Under another name the import system never enters the full name in sys.modules:
    # only the exec step does, so only the exec step can leave it behind.
    result = run_python(f"""
        import builtins, importlib.util, json, sys
        spec = importlib.util.spec_from_file_location(
            "cprotection", importlib.util.find_spec({FULL_NAME!r}).origin)
        saved, failure = builtins.enumerate, None
        del builtins.enumerate
        try:
            spec.loader.exec_module(importlib.util.module_from_spec(spec))
        except Exception as exc:
            failure = [type(exc).__name__, str(exc)]
        finally:
            builtins.enumerate = saved
        left_behind = {FULL_NAME!r} in sys.modules
        from kovrin.modules.security import cprotection as m
        print(json.dumps([failure, left_behind, m.__name__, round_trip_works(m)]))
    """)
    assert result == [["NameError", "name 'enumerate' is not defined"], False, FULL_NAME, True]


def test_exec_step_on_a_fresh_module_is_refused():
    definition = capi.PyModule_GetDef(cprotection)
    assert definition
    fresh = types.ModuleType("cprotection")
    with pytest.raises(RuntimeError) as info:
        capi.PyModule_ExecDef(fresh, definition)
    assert str(info.value) == REINIT_MESSAGE
    assert module_entries(info.value) == []
    assert "CProtection" not in vars(fresh) and "__test__" not in vars(fresh)
    # The first module is untouched and keeps working.
    assert sys.modules[FULL_NAME] is cprotection
    assert cprotection.CProtection is CProtection
    assert round_trip_works(cprotection)


def test_init_function_returns_the_module_definition():
    library = ctypes.PyDLL(cprotection.__file__)
    library.PyInit_cprotection.restype = ctypes.c_void_p
    assert library.PyInit_cprotection() == capi.PyModule_GetDef(cprotection)
    assert ctypes.c_int.in_dll(library, MAIN_FLAG).value == 0


class _ModuleDefSlot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]


# The object header is the interpreter's: 16 bytes with the GIL, 32 free-threaded.
OBJECT_HEADER = object.__basicsize__
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


class _ModuleDef(ctypes.Structure):
    _fields_ = [
        ("ob_base", ctypes.c_char * OBJECT_HEADER),
        ("m_init", ctypes.c_void_p), ("m_index", ctypes.c_ssize_t), ("m_copy", ctypes.c_void_p),
        ("m_name", ctypes.c_char_p), ("m_doc", ctypes.c_char_p), ("m_size", ctypes.c_ssize_t),
        ("m_methods", ctypes.POINTER(ctypes.c_char_p)), ("m_slots", ctypes.POINTER(_ModuleDefSlot)),
        ("m_traverse", ctypes.c_void_p), ("m_clear", ctypes.c_void_p), ("m_free", ctypes.c_void_p),
    ]


def test_module_definition():
    definition = _ModuleDef.from_address(capi.PyModule_GetDef(cprotection))
    assert definition.m_name == b"cprotection"
    assert definition.m_doc is None
    assert definition.m_size == 0
    # No module-level methods: either no table or one that starts with its sentinel.
    assert not definition.m_methods or definition.m_methods[0] is None
    slots = []
    for i in range(10):
        slot = definition.m_slots[i]
        if slot.slot == 0:
            break
        slots.append((slot.slot, bool(slot.value)))
    py_mod_create, py_mod_exec, py_mod_gil = header_constants("Py_mod_create", "Py_mod_exec", "Py_mod_gil")
    # Free-threaded builds also learn that the module runs without the GIL.
    assert slots == [(py_mod_create, True), (py_mod_exec, True)] + [(py_mod_gil, True)] * FREE_THREADED
    assert (definition.m_traverse, definition.m_clear, definition.m_free) == (None, None, None)


def test_module_name_is_main_when_the_exported_flag_is_set():
    result = run_python(f"""
        import ctypes, importlib.util, json, sys
        origin = importlib.util.find_spec({FULL_NAME!r}).origin
        ctypes.c_int.in_dll(ctypes.PyDLL(origin), {MAIN_FLAG!r}).value = 1
        from kovrin.modules.security import cprotection as m
        print(json.dumps([m.__name__, m.CProtection.__module__, sys.modules[{FULL_NAME!r}] is m]))
    """)
    assert result == ["__main__", FULL_NAME, True]


def test_import_under_another_name():
    result = run_python(f"""
        import importlib.util, json, pickle, sys
        origin = importlib.util.find_spec({FULL_NAME!r}).origin
        m = import_under_other_name(origin)
        # Read before unpickling, which would import the full name itself.
        entered = sys.modules.get({FULL_NAME!r}) is m
        restored = pickle.loads(pickle.dumps(m.CProtection(True)))
        print(json.dumps([m.__name__, m.__package__, m.CProtection.__module__,
                          entered, type(restored) is m.CProtection]))
    """)
    assert result == ["cprotection", "", FULL_NAME, True, True]


IMPORT_ROUNDS = 200


@pytest.mark.skipif(not hasattr(os, "fork"), reason="each round needs a process that has not imported the "
                    "module yet, and only fork makes 200 of them affordable")
def test_two_threads_importing_under_both_names_get_one_module():
    # Each round is a child forked from a process that has not loaded the
    # module, so that every round imports it for the first time.
    result = run_python(f"""
        import importlib, importlib.util, json, os, sys, threading
        origin = importlib.util.find_spec({FULL_NAME!r}).origin
        failures = []
        for _ in range({IMPORT_ROUNDS}):
            read, write = os.pipe()
            if os.fork() == 0:
                os.close(read)
                sys.setswitchinterval(1e-6)
                barrier, found = threading.Barrier(2), {{}}
                def by_full_name():
                    barrier.wait()
                    found["full"] = importlib.import_module({FULL_NAME!r})
                def by_other_name():
                    barrier.wait()
                    found["other"] = import_under_other_name(origin)
                def guarded(target):
                    try:
                        target()
                    except BaseException as exc:
                        found["failure"] = repr(exc)
                threads = [threading.Thread(target=guarded, args=(t,))
                           for t in (by_full_name, by_other_name)]
                for thread in threads:
                    thread.start()
                for thread in threads:
                    thread.join()
                if "failure" in found:
                    report = found["failure"]
                elif found["full"] is not found["other"] or not round_trip_works(found["full"]):
                    report = "two modules, or one that does not work"
                else:
                    report = ""
                os.write(write, report.encode())
                os.close(write)
                raise SystemExit
            os.close(write)
            with os.fdopen(read) as pipe:
                report = pipe.read()
            status = os.wait()[1]
            if report or status:
                failures.append(report or f"exit status {{status}}")
        print(json.dumps(failures))
    """)
    assert result == [], f"{len(result)} of {IMPORT_ROUNDS} rounds failed, the first: {result[0]}"


def test_import_reentered_from_the_exec_step_fails_and_does_not_hang():
    # A host's replacement of builtins.__import__ runs inside the exec step,
    # which imports builtins through it; here it imports the module again,
    # under its other name, on the same thread.
    result = run_python(f"""
        import builtins, importlib, importlib.util, json, sys
        origin = importlib.util.find_spec({FULL_NAME!r}).origin
        real_import, inner = builtins.__import__, []
        def hooked(name, *args, **kwargs):
            if name == "builtins" and not inner:
                try:
                    import_under_other_name(origin)
                    inner.append("served")
                except ImportError as exc:
                    inner.append(str(exc))
            return real_import(name, *args, **kwargs)
        builtins.__import__ = hooked
        m = importlib.import_module({FULL_NAME!r})
        builtins.__import__ = real_import
        print(json.dumps([inner, m.__name__, sys.modules[{FULL_NAME!r}] is m, round_trip_works(m)]))
    """, timeout=60)
    assert result == [[REENTERED_MESSAGE], FULL_NAME, True, True]


def test_an_import_under_the_other_name_waits_asleep_for_the_exec_step():
    # The exec step on one thread runs a host's __import__ hook that sleeps;
    # another thread's import under the other name meanwhile gets the same
    # module once the step ends, and waits without spinning (a spin on the
    # GIL build never lets the sleeper back in).
    result = run_python(f"""
        import builtins, importlib, importlib.util, json, threading, time
        origin = importlib.util.find_spec({FULL_NAME!r}).origin
        real_import, asleep, found = builtins.__import__, threading.Event(), {{}}
        def hooked(name, *args, **kwargs):
            if name == "builtins" and not asleep.is_set():
                asleep.set()
                time.sleep(1.0)
            return real_import(name, *args, **kwargs)
        def other_name():
            asleep.wait()
            begin = time.thread_time()
            module = import_under_other_name(origin)
            found["module"], found["seconds"] = module, time.thread_time() - begin
        thread = threading.Thread(target=other_name)
        thread.start()
        builtins.__import__ = hooked
        m = importlib.import_module({FULL_NAME!r})
        builtins.__import__ = real_import
        thread.join()
        print(json.dumps([found["module"] is m, found["seconds"] < 0.5, round_trip_works(m)]))
    """, timeout=60)
    assert result == [True, True, True]


def test_create_step_copies_the_module_spec_attributes():
    result = run_python(f"""
        import _imp, importlib.util, json, sys, types
        origin = importlib.util.find_spec({FULL_NAME!r}).origin
        class Unreadable:
            name, origin, loader = {FULL_NAME!r}, origin, None
            @property
            def parent(self):
                raise ValueError("parent unreadable")
        try:
            _imp.create_dynamic(Unreadable())
            failure = None
        except ValueError as exc:
            failure = str(exc)
        # No loader and no parent: skipped; search locations given: __path__.
        spec = types.SimpleNamespace(name={FULL_NAME!r}, origin=origin,
                                     submodule_search_locations=["somewhere"])
        m = _imp.create_dynamic(spec)
        created = sorted((k, v) for k, v in vars(m).items() if k != "__spec__")
        status = _imp.exec_dynamic(m)
        again = _imp.create_dynamic(spec) is m
        import kovrin.modules.security.cprotection as imported
        print(json.dumps([failure, created, status, again, imported is m,
                          "CProtection" in vars(m)]))
    """)
    failure, created, status, again, same, has_class = result
    assert failure == "parent unreadable"
    assert dict(created) == {
        "__doc__": None, "__file__": importlib.util.find_spec(FULL_NAME).origin,
        "__loader__": None, "__name__": FULL_NAME, "__package__": None, "__path__": ["somewhere"],
    }
    assert (status, again, same, has_class) == (0, True, True, True)


def test_second_interpreter_is_refused_and_the_first_keeps_working():
    result = run_python(f"""
        import _interpreters, json
        from kovrin.modules.security import cprotection as m
        interp = _interpreters.create("legacy")
        failure = _interpreters.exec(interp, "import {FULL_NAME}")
        _interpreters.destroy(interp)
        print(json.dumps([failure.type.__name__, failure.msg, round_trip_works(m)]))
    """)
    assert result == ["ImportError", INTERPRETER_MESSAGE, True]


def test_the_first_interpreter_to_import_owns_the_module():
    result = run_python(f"""
        import _interpreters, json
        interp = _interpreters.create("legacy")
        inside = _interpreters.exec(
            interp, "from kovrin.modules.security import cprotection as m\\n"
            + HELPERS + "assert round_trip_works(m)")
        try:
            import {FULL_NAME}
            failure = None
        except ImportError as exc:
            failure = str(exc)
        print(json.dumps([inside is None, failure]))
    """)
    assert result == [True, INTERPRETER_MESSAGE]


def test_version_check_accepts_this_interpreter_under_error_filter():
    # Built for this very interpreter, so the check has nothing to warn about.
    assert cprotection.__file__.endswith(sysconfig.get_config_var("EXT_SUFFIX"))
    result = run_python("""
        import json
        from kovrin.modules.security import cprotection as m
        print(json.dumps(m.__name__))
    """, "-W", "error::RuntimeWarning")
    assert result == FULL_NAME


def _readelf(*options):
    if sys.platform == "win32":
        pytest.skip("reads an ELF file; the .pyd's PE tables are checked below")
    if os.environ.get("CPROTECTION_SANITIZED"):
        pytest.skip("the sanitizer build links the sanitizer runtimes")
    if os.environ.get("CPROTECTION_COVERAGE"):
        pytest.skip("the coverage build links the gcov runtime")
    readelf = shutil.which("readelf")
    if readelf is None:
        pytest.skip("readelf is not available")
    return subprocess.run([readelf, *options, cprotection.__file__], capture_output=True,
                          text=True, check=True).stdout


def test_shared_object_links_only_libc():
    needed = [line.split("[", 1)[1].rstrip("]") for line in _readelf("-d", "-W").splitlines()
              if "(NEEDED)" in line]
    assert needed == ["libc.so.6"]


def test_shared_object_exports_only_its_entry_points():
    exported = {}
    for line in _readelf("--dyn-syms", "-W").splitlines():
        fields = line.split()
        if len(fields) == 8 and fields[6] != "UND" and fields[4] in ("GLOBAL", "WEAK"):
            exported[fields[7]] = (fields[3], int(fields[2]))
    assert exported.keys() == {"PyInit_cprotection", MAIN_FLAG}
    assert exported["PyInit_cprotection"][0] == "FUNC"
    assert exported[MAIN_FLAG] == ("OBJECT", 4)


def _pe():
    if sys.platform != "win32":
        pytest.skip("reads a Windows DLL; the ELF checks above cover Linux")
    import pefile
    return pefile.PE(cprotection.__file__)


def test_pyd_imports_only_the_c_runtime_kernel32_and_python():
    imported = {entry.dll.decode() for entry in _pe().DIRECTORY_ENTRY_IMPORT}
    python_dll = f"python{sys.version_info.major}{sys.version_info.minor}.dll"
    assert python_dll in imported and "KERNEL32.dll" in imported
    # The C runtime, but not the C++ library (MSVCP140.dll), which the
    # module does not use and an application may not ship.
    others = imported - {python_dll, "KERNEL32.dll", "VCRUNTIME140.dll"}
    assert all(name.lower().startswith("api-ms-win-crt-") for name in others), imported


def test_pyd_exports_only_its_entry_points():
    pe = _pe()
    exported = {}
    for symbol in pe.DIRECTORY_ENTRY_EXPORT.symbols:
        section = pe.get_section_by_rva(symbol.address)
        exported[symbol.name.decode()] = bool(section.Characteristics & 0x20000000)  # executable
    assert exported == {"PyInit_cprotection": True, MAIN_FLAG: False}


# --- module namespace and class ------------------------------------------------------------

def test_module_namespace():
    namespace = vars(cprotection)
    assert set(namespace) == {
        "__name__", "__doc__", "__package__", "__loader__", "__file__", "__spec__",
        "__builtins__", "CProtection", "__pyx_unpickle_CProtection", "__test__",
    }
    assert cprotection.__name__ == FULL_NAME
    assert cprotection.__doc__ is None
    assert cprotection.__package__ == "kovrin.modules.security"
    # A re-import replaces __spec__ but keeps the loader that the create step copied.
    loader = cprotection.__loader__
    assert (loader.name, loader.path) == (FULL_NAME, cprotection.__file__)
    assert cprotection.__file__ == cprotection.__spec__.origin
    assert namespace["__builtins__"] is builtins
    assert type(cprotection.__test__) is dict and cprotection.__test__ == {}


def test_class_identity():
    assert type(CProtection) is type
    assert CProtection.__module__ == FULL_NAME
    assert CProtection.__name__ == CProtection.__qualname__ == "CProtection"
    assert CProtection.__doc__ is None
    assert CProtection.__bases__ == (object,)
    heap_type, base_type = 1 << 9, 1 << 10
    assert not CProtection.__flags__ & heap_type
    assert CProtection.__flags__ & base_type


def test_class_dictionary():
    assert set(vars(CProtection)) == {
        "__doc__", "__new__", "__init__", "__pyx_vtable__", "__reduce__", "__setstate__",
        "activate", "decrypt", "encrypt", "__reduce_cython__", "__setstate_cython__",
    }


def test_native_method_table_capsule():
    capsule = vars(CProtection)["__pyx_vtable__"]
    assert type(capsule).__name__ == "PyCapsule"
    assert capi.PyCapsule_GetName(capsule) is None
    assert capi.PyCapsule_IsValid(capsule, None) == 1
    assert capi.PyCapsule_IsValid(capsule, b"__pyx_vtable__") == 0
    assert capi.PyCapsule_GetDestructor(capsule) is None
    table = capi.PyCapsule_GetPointer(capsule, None)
    entries = (ctypes.c_void_p * 3).from_address(table)
    assert all(entries) and len(set(entries)) == 3


def test_every_instance_refers_to_the_one_table():
    table = capi.PyCapsule_GetPointer(vars(CProtection)["__pyx_vtable__"], None)

    class Sub(CProtection):
        pass

    instances = [CProtection(), CProtection(True), CProtection.__new__(CProtection), Sub(),
                 cprotection.__pyx_unpickle_CProtection(Sub, 206333596, None)]
    for obj in instances:
        assert ctypes.c_void_p.from_address(id(obj) + OBJECT_HEADER).value == table


def test_pickling_routines_are_reached_through_reduce_and_setstate():
    assert CProtection.__reduce__.__name__ == "__reduce_cython__"
    assert CProtection.__setstate__.__name__ == "__setstate_cython__"
    obj = CProtection(True)
    assert CProtection.__reduce_cython__(obj) == obj.__reduce__() == obj.__reduce_ex__(2)
    new_state = (True, 77, 3, bytes(range(8)), 5, bytes(range(8, 16)), False)
    obj.__setstate_cython__(new_state)
    assert state(obj) == new_state
    other = CProtection()
    other.__setstate__(new_state)
    assert state(other) == new_state


def test_instances_have_no_dict_and_no_weak_references():
    obj = CProtection()
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not gc.is_tracked(obj)


def test_python_subclass():
    class Peer(CProtection):
        pass

    peer = Peer(True)
    peer.name = "peer"
    assert weakref.ref(peer)() is peer
    assert isinstance(peer, CProtection) and peer.__dict__ == {"name": "peer"}
    data = bytearray(b"unkeyed")
    assert peer.encrypt(data) is data
    assert CProtection.encrypt(peer, data) is data


def test_abstract_subclass_cannot_be_instantiated():
    class Abstract(CProtection, metaclass=abc.ABCMeta):
        @abc.abstractmethod
        def channel(self):
            pass

    with pytest.raises(TypeError, match="abstract"):
        Abstract()
    with pytest.raises(TypeError, match="abstract"):
        CProtection.__new__(Abstract)


def test_new_ignores_its_arguments():
    obj = CProtection.__new__(CProtection, True, flip_direction=True)
    assert type(obj) is CProtection
    assert state(obj) == state(CProtection())


# --- callables -----------------------------------------------------------------------------

def _docstring(*lines):
    return "\n" + "".join(" " * 8 + line + "\n" for line in lines) + " " * 8


CALLABLES = [
    ("activate", "CProtection.activate", ("self", "keys"), SOURCE, 27, _docstring(
        "Activate protection using a list of bytes.",
        "Computes a base by XOR-ing each key, then fills the encryption/decryption vectors.")),
    ("decrypt", "CProtection.decrypt", ("self", "encrypted_data"), SOURCE, 53, _docstring(
        "Decrypt the encrypted_data using the internal decryption vector.",
        "This method does not modify encrypted_data, but returns a new bytearray.")),
    ("encrypt", "CProtection.encrypt", ("self", "raw_data"), SOURCE, 84, _docstring(
        "Encrypt the raw_data using the internal encryption vector.",
        "Returns a new bytearray with the encrypted data.")),
    ("__reduce_cython__", "CProtection.__reduce_cython__", ("self",), STRINGSOURCE, 1, None),
    ("__setstate_cython__", "CProtection.__setstate_cython__", ("self", "__pyx_state"),
     STRINGSOURCE, 16, None),
    ("__pyx_unpickle_CProtection", "__pyx_unpickle_CProtection",
     ("__pyx_type", "__pyx_checksum", "__pyx_state"), STRINGSOURCE, 4, None),
]


def _callable(name):
    if name == "__pyx_unpickle_CProtection":
        return vars(cprotection)[name]
    return vars(CProtection)[name]


@pytest.mark.parametrize("name, qualname, params, filename, firstline, doc", CALLABLES)
def test_callable_introspection(name, qualname, params, filename, firstline, doc):
    function = _callable(name)
    assert function.__name__ == name
    assert function.__qualname__ == qualname
    assert function.__module__ == FULL_NAME
    assert function.__doc__ == doc
    code = function.__code__
    assert code.co_argcount == len(params)
    assert code.co_varnames[:len(params)] == params
    assert code.co_filename == filename
    assert code.co_firstlineno == firstline
    assert code.co_name == name


# The ways to reach a callable's annotations; from 3.14 on, a wrapper copies
# __annotate__, not __annotations__.
ANNOTATION_VIEWS = {
    "attribute": lambda function: getattr(function, "__annotations__", {}),
    "inspect": inspect.get_annotations,
    "wrapper": lambda function: functools.wraps(function)(lambda *args: None).__annotations__,
}


@pytest.mark.parametrize("view", ANNOTATION_VIEWS)
@pytest.mark.parametrize("name", [entry[0] for entry in CALLABLES])
def test_annotations(name, view):
    annotations = ANNOTATION_VIEWS[view](_callable(name))
    if name == "activate":
        assert annotations == {"keys": "list[int]"}
    else:
        assert not annotations


@pytest.mark.parametrize("name, expected, bound_expected", [
    ("activate", "(self, keys: 'list[int]')", "(keys: 'list[int]')"),
    ("decrypt", "(self, encrypted_data)", "(encrypted_data)"),
    ("encrypt", "(self, raw_data)", "(raw_data)"),
    ("__reduce_cython__", "(self)", "()"),
    ("__setstate_cython__", "(self, __pyx_state)", "(__pyx_state)"),
])
def test_method_signatures(name, expected, bound_expected):
    unbound = inspect.signature(getattr(CProtection, name))
    bound = inspect.signature(getattr(CProtection(), name))
    assert str(unbound) == expected
    assert str(bound) == bound_expected
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
               for p in unbound.parameters.values())


def test_unpickle_function_signature():
    signature = inspect.signature(cprotection.__pyx_unpickle_CProtection)
    assert str(signature) == "(__pyx_type, __pyx_checksum, __pyx_state)"


@pytest.mark.parametrize("name", ["activate", "decrypt", "encrypt",
                                  "__reduce_cython__", "__setstate_cython__"])
def test_methods_bind_to_their_instance(name):
    obj = CProtection()
    method = getattr(obj, name)
    assert method.__self__ is obj
    assert method.__func__ is vars(CProtection)[name]
    assert getattr(CProtection, name) is vars(CProtection)[name]

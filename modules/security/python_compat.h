// What differs between the interpreter versions and builds (with the GIL or
// free-threaded) that the module compiles against, and the interpreter's
// unstable tier (which may change in any minor release), in one place.  The
// rest of the module uses only the public API, spelt the same everywhere.
#ifndef KOVRIN_CPROTECTION_PYTHON_COMPAT_H
#define KOVRIN_CPROTECTION_PYTHON_COMPAT_H

#include <Python.h>

// From 3.14 on, annotations are evaluated lazily: functions carry an
// __annotate__ callable, and functools.wraps copies that instead of
// __annotations__.
#if PY_VERSION_HEX >= 0x030E0000
#define CPROTECTION_HAS_ANNOTATE 1
#else
#define CPROTECTION_HAS_ANNOTATE 0
#endif

// The module's extra definition slots on free-threaded builds: it declares
// that it runs without the GIL, so importing it leaves the GIL off.  Every
// record is read and written under its own critical section, which is what
// makes that true.  Builds with the GIL keep exactly the create and exec
// slots.
#ifdef Py_GIL_DISABLED
#define CPROTECTION_BUILD_SLOTS {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define CPROTECTION_BUILD_SLOTS
#endif

// A code object for a callable's __code__: positional-only parameters
// (`count` of them, named by `varnames`), the file, names and first line
// that tracebacks and inspect show, and no bytecode.  The public API makes
// none with parameters: PyCode_NewEmpty has no arguments at all.
inline PyCodeObject *compat_code_new(int count, PyObject *empty_bytes, PyObject *empty_tuple,
                                     PyObject *varnames, PyObject *filename, PyObject *name,
                                     PyObject *qualname, int first_line)
{
    return PyUnstable_Code_NewWithPosOnlyArgs(
        count, 0, 0, count, 0, CO_OPTIMIZED | CO_NEWLOCALS, empty_bytes, empty_tuple,
        empty_tuple, varnames, empty_tuple, empty_tuple, filename, name, qualname, first_line,
        empty_bytes, empty_bytes);
}

// The value of an exact int that fits one machine word, read inline; false
// for any other int.  PyLong_AsLongLong gives the same value through a call
// and its overflow checks, on the path every index and byte conversion takes.
inline bool compat_read_compact_int(PyObject *value, long long *out)
{
    auto *number = reinterpret_cast<PyLongObject *>(value);
    if (!PyUnstable_Long_IsCompact(number)) return false;
    *out = PyUnstable_Long_CompactValue(number);
    return true;
}

#endif  // KOVRIN_CPROTECTION_PYTHON_COMPAT_H

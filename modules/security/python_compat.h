// What differs between the interpreter versions and builds (with the GIL or
// free-threaded) that the module compiles against, in one place.  The rest
// of the module uses only what is spelt the same everywhere.
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

#endif  // KOVRIN_CPROTECTION_PYTHON_COMPAT_H

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

#endif  // KOVRIN_CPROTECTION_PYTHON_COMPAT_H

// What differs between the interpreter versions and builds (with the GIL or
// free-threaded) that the module compiles against, in one place.  The rest
// of the module uses only what is spelt the same everywhere.
#ifndef KOVRIN_CPROTECTION_PYTHON_COMPAT_H
#define KOVRIN_CPROTECTION_PYTHON_COMPAT_H

#include <Python.h>

#endif  // KOVRIN_CPROTECTION_PYTHON_COMPAT_H

// Declarations shared between the module's own units, and not part of what
// other extension modules see, so not installed beside cprotection.h.
#ifndef KOVRIN_CPROTECTION_INTERNAL_H
#define KOVRIN_CPROTECTION_INTERNAL_H

#include "cprotection.h"
#include "python_compat.h"

#include <atomic>

namespace cprotection {

extern PyTypeObject CProtectionType;
extern CProtectionVTable vtable;

// The module's namespace, published once its exec step has succeeded and
// null until then: other threads may read it at any time, through
// instances of a class that a failing import had already readied.
extern std::atomic<PyObject *> module_dict;
// Module-wide objects created once by the exec step and never freed.
extern PyObject *builtins_module;
extern PyObject *empty_tuple;

inline constexpr const char kModuleName[] = "kovrin.modules.security.cprotection";
inline constexpr const char kModuleSource[] = "modules/security/cprotection";
inline constexpr const char kStringSource[] = "<stringsource>";

// Describes one Python-callable: its names, parameters, where tracebacks
// point, and the implementation.  Interned parameter names are filled in by
// init_callable_specs().
using MethodImpl = PyObject *(*)(PyObject *self, PyObject *const *args,
                                 Py_ssize_t nargs, PyObject *kwnames);

struct CallableSpec {
    const char *name;            // __name__, used in messages
    const char *qualname;        // __qualname__
    const char *traceback_name;  // module name + "." + qualname
    const char *filename;
    int first_line;
    const char *doc;             // NULL: no docstring
    bool is_method;              // first positional argument is the instance
    Py_ssize_t min_positional;
    Py_ssize_t max_positional;
    const char *const *param_names;
    MethodImpl impl;             // NULL: reached through a type slot instead
    PyObject *interned_params[3];  // no callable has more parameters
    PyObject *code;  // __code__
};

// --- call helpers -----------------------------------------------------------
int init_call_helpers(void);
// Creates the interned string once; a retried initialisation keeps it.
// Only the exec step calls it, on the one thread that makes the module, so
// no two threads fill one.
int intern_once(PyObject **slot, const char *text);
int init_callable_spec(CallableSpec *spec);
PyObject *function_new(CallableSpec *spec);
// The annotations dictionary of a function object (borrowed).
PyObject *function_annotations(PyObject *func);
bool is_own_function(PyObject *func, const CallableSpec *spec);

int bind_arguments(const CallableSpec *spec, PyObject *const *args,
                   Py_ssize_t nargs, PyObject *kwnames, PyObject **slots);
int bind_arguments_dict(const CallableSpec *spec, PyObject *args,
                        PyObject *kwds, PyObject **slots);
int check_exact_type(PyObject *obj, PyTypeObject *expected, const char *param,
                     bool none_allowed, bool annotated);
// "Argument '<param>' has incorrect type (expected <type>, got <type>)".
void raise_argument_type(PyObject *obj, PyTypeObject *expected, const char *param);
void raise_unexpected_type(const char *expected, PyObject *obj);
void raise_none_refused(void);

int convert_int32(PyObject *obj, int *out);
int convert_int64(PyObject *obj, long long *out);
int convert_uint8(PyObject *obj, unsigned char *out);
int convert_flag(PyObject *obj);

enum class Dispatch { run_operation, overridden, failed };
Dispatch dispatch_override(CProtectionObject *self, PyObject *name,
                           PyObject *arg, const CallableSpec *own,
                           bool result_must_be_bytearray, PyObject **result);

void add_traceback(const char *funcname, int line, const char *filename);
// The same with the given globals: the exec step's own entry, made before
// the namespace is published.
void add_traceback_in(PyObject *globals, const char *funcname, int line, const char *filename);
// The entry of one of the module's callables at the given line of its file.
void add_entry(const CallableSpec *spec, int line);

// --- cipher -----------------------------------------------------------------
extern CallableSpec activate_spec;
extern CallableSpec decrypt_spec;
extern CallableSpec encrypt_spec;

PyObject *cipher_activate(CProtectionObject *self, PyObject *keys, int skip_dispatch);
PyObject *cipher_decrypt(CProtectionObject *self, PyObject *data, int skip_dispatch);
PyObject *cipher_encrypt(CProtectionObject *self, PyObject *data, int skip_dispatch);
int init_cipher(void);

// --- pickle support ---------------------------------------------------------
extern CallableSpec reduce_spec;
extern CallableSpec setstate_spec;
extern CallableSpec unpickle_spec;
extern PyMethodDef pickle_methods[];
int init_pickle_support(void);

}  // namespace cprotection

#endif  // KOVRIN_CPROTECTION_INTERNAL_H

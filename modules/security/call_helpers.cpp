// Shared call machinery: the function-object type of the module's
// callables, argument binding, type tests, integer and flag conversions,
// override dispatch and synthetic traceback entries.
#include "cprotection_internal.h"

#include <frameobject.h>

#include <stddef.h>
#include <stdint.h>
#include <string.h>

namespace cprotection {

namespace {

// ---------------------------------------------------------------------------
// Function objects

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    CallableSpec *spec;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *annotations;
};

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args,
                              size_t nargsf, PyObject *kwnames)
{
    const CallableSpec *spec = reinterpret_cast<FunctionObject *>(callable)->spec;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!spec->is_method) {
        return spec->impl(nullptr, args, nargs, kwnames);
    }
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", spec->name, "needs an argument");
        return nullptr;
    }
    PyObject *self = args[0];
    // The operations read the record's fields: nothing else may get there.
    if (!PyObject_TypeCheck(self, &CProtectionType)) {
        PyErr_Format(PyExc_TypeError,
                     "descriptor '%s' for '%.100s' objects doesn't apply to a '%.100s' object",
                     spec->name, CProtectionType.tp_name, Py_TYPE(self)->tp_name);
        return nullptr;
    }
    return spec->impl(self, args + 1, nargs - 1, kwnames);
}

PyObject *function_descr_get(PyObject *func, PyObject *obj, PyObject *)
{
    if (obj == nullptr) {
        return Py_NewRef(func);
    }
    return PyMethod_New(func, obj);
}

PyObject *plain_function_descr_get(PyObject *func, PyObject *, PyObject *)
{
    return Py_NewRef(func);
}

void function_dealloc(PyObject *op)
{
    auto *func = reinterpret_cast<FunctionObject *>(op);
    Py_XDECREF(func->name);
    Py_XDECREF(func->qualname);
    Py_XDECREF(func->module);
    Py_XDECREF(func->doc);
    Py_XDECREF(func->annotations);
    Py_TYPE(op)->tp_free(op);
}

PyObject *function_repr(PyObject *op)
{
    auto *func = reinterpret_cast<FunctionObject *>(op);
    return PyUnicode_FromFormat("<function %U at %p>", func->qualname, op);
}

// Pickled by reference: the qualified name, found again in __module__.
PyObject *function_reduce(PyObject *op, PyObject *)
{
    return Py_NewRef(reinterpret_cast<FunctionObject *>(op)->qualname);
}

PyObject *function_get_code(PyObject *op, void *)
{
    return Py_NewRef(reinterpret_cast<FunctionObject *>(op)->spec->code);
}

PyObject *function_get_none(PyObject *, void *)
{
    Py_RETURN_NONE;
}

#if CPROTECTION_HAS_ANNOTATE
// The formats of annotationlib.Format that an __annotate__ is asked for,
// from VALUE (1) to STRING (4).  The annotations are strings already, so
// every format gets the same dictionary.
constexpr long kAnnotateFirstFormat = 1;
constexpr long kAnnotateLastFormat = 4;

PyObject *function_annotate(PyObject *op, PyObject *format)
{
    long value = PyLong_AsLong(format);
    if (value == -1 && PyErr_Occurred()) return nullptr;
    if (value < kAnnotateFirstFormat || value > kAnnotateLastFormat) {
        PyErr_SetNone(PyExc_NotImplementedError);
        return nullptr;
    }
    return PyDict_Copy(reinterpret_cast<FunctionObject *>(op)->annotations);
}

PyMethodDef function_annotate_def = {"__annotate__", function_annotate, METH_O, nullptr};

// Without it a functools.wraps wrapper of activate would show no
// annotations; like a Python function's, it is None where there are none.
PyObject *function_get_annotate(PyObject *op, void *)
{
    if (PyDict_GET_SIZE(reinterpret_cast<FunctionObject *>(op)->annotations) == 0) {
        Py_RETURN_NONE;
    }
    return PyCFunction_New(&function_annotate_def, op);
}
#endif

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(FunctionObject, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), Py_READONLY, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(FunctionObject, annotations), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__code__", function_get_code, nullptr, nullptr, nullptr},
    {"__defaults__", function_get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", function_get_none, nullptr, nullptr, nullptr},
#if CPROTECTION_HAS_ANNOTATE
    {"__annotate__", function_get_annotate, nullptr, nullptr, nullptr},
#endif
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Methods bind to the instance they are fetched through; the descriptor
// flag lets `obj.encrypt(b)` skip the bound-method object.
PyTypeObject MethodType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "kovrin.modules.security.cprotection.native_method",
    .tp_basicsize = sizeof(FunctionObject),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(FunctionObject, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE,
    .tp_methods = function_methods,
    .tp_members = function_members,
    .tp_getset = function_getset,
    .tp_descr_get = function_descr_get,
};

// Module-level functions never bind, like the interpreter's built-ins.
PyTypeObject PlainFunctionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "kovrin.modules.security.cprotection.native_function",
    .tp_basicsize = sizeof(FunctionObject),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(FunctionObject, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE,
    .tp_methods = function_methods,
    .tp_members = function_members,
    .tp_getset = function_getset,
    .tp_descr_get = plain_function_descr_get,
};

// Neither type can be subclassed, so the subtype half of each test never matches.
bool is_function_object(PyObject *obj)
{
    return PyObject_TypeCheck(obj, &MethodType) || PyObject_TypeCheck(obj, &PlainFunctionType);
}

// __code__ of a callable: its parameter names, source file and first line.
PyObject *make_code(const CallableSpec *spec)
{
    PyObject *varnames = nullptr, *filename = nullptr, *name = nullptr;
    PyObject *qualname = nullptr, *empty_bytes = nullptr;
    PyCodeObject *code = nullptr;
    Py_ssize_t offset = spec->is_method ? 1 : 0;
    Py_ssize_t count = spec->max_positional + offset;

    varnames = PyTuple_New(count);
    if (varnames == nullptr) goto done;
    if (spec->is_method) {
        PyObject *self_name = PyUnicode_InternFromString("self");
        if (self_name == nullptr) goto done;
        PyTuple_SET_ITEM(varnames, 0, self_name);
    }
    for (Py_ssize_t i = 0; i < spec->max_positional; ++i) {
        PyTuple_SET_ITEM(varnames, i + offset, Py_NewRef(spec->interned_params[i]));
    }
    filename = PyUnicode_FromString(spec->filename);
    name = PyUnicode_InternFromString(spec->name);
    qualname = PyUnicode_InternFromString(spec->qualname);
    empty_bytes = PyBytes_FromStringAndSize(nullptr, 0);  // a singleton: never fails
    if (filename == nullptr || name == nullptr || qualname == nullptr || empty_bytes == nullptr) goto done;
    code = compat_code_new(static_cast<int>(count), empty_bytes, empty_tuple, varnames,
                           filename, name, qualname, spec->first_line);
done:
    Py_XDECREF(varnames);
    Py_XDECREF(filename);
    Py_XDECREF(name);
    Py_XDECREF(qualname);
    Py_XDECREF(empty_bytes);
    return reinterpret_cast<PyObject *>(code);
}

// ---------------------------------------------------------------------------
// Binding

// "at least" needs a callable with optional parameters and too few
// arguments: only __init__ has optional ones, and it requires none.
void raise_count_error(const CallableSpec *spec, Py_ssize_t given)
{
    const char *bound;
    Py_ssize_t expected;
    if (spec->min_positional == spec->max_positional) {
        bound = "exactly";
        expected = spec->min_positional;
    } else if (given < spec->min_positional) {
        bound = "at least";
        expected = spec->min_positional;
    } else {
        bound = "at most";
        expected = spec->max_positional;
    }
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec->name, bound, expected, expected == 1 ? "" : "s", given);
}

// Compares a keyword with a parameter name: by value for an exact str, by
// == for a str subclass (whose __eq__ may raise).  1, 0, or -1 on error.
int keyword_equals(PyObject *key, PyObject *param)
{
    if (key == param) return 1;
    if (PyUnicode_CheckExact(key)) {
        return PyUnicode_Compare(key, param) == 0;
    }
    return PyObject_RichCompareBool(key, param, Py_EQ);
}

// Finds the slot a keyword names.  Parameters from `first_free` on are the
// ones not given positionally.  Returns the slot index, or -1 with an
// exception set.
// Callers refuse more positional arguments than parameters first, so
// first_free never exceeds the parameter count.
Py_ssize_t match_keyword(const CallableSpec *spec, PyObject *key, Py_ssize_t first_free)
{
    Py_ssize_t nparams = spec->max_positional;
    for (Py_ssize_t i = first_free; i < nparams; ++i) {
        if (key == spec->interned_params[i]) return i;
    }
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec->name);
        return -1;
    }
    for (Py_ssize_t i = first_free; i < nparams; ++i) {
        int equal = keyword_equals(key, spec->interned_params[i]);
        if (equal < 0) return -1;
        if (equal) return i;
    }
    for (Py_ssize_t i = 0; i < first_free && i < nparams; ++i) {
        int equal = keyword_equals(key, spec->interned_params[i]);
        if (equal < 0) return -1;
        if (equal) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         spec->name, key);
            return -1;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec->name, key);
    return -1;
}

int check_required(const CallableSpec *spec, PyObject **slots)
{
    for (Py_ssize_t i = 0; i < spec->min_positional; ++i) {
        if (slots[i] == nullptr) {
            raise_count_error(spec, i);
            return -1;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Traceback entries

struct TracebackCode {
    const char *funcname;
    const char *filename;
    int line;
    PyObject *code;
};

// Filled on first use, since the entries an error path needs are not
// known up front; any thread may raise, so the cache is read and extended
// under its lock.  The code object is made with the lock released (it
// allocates), and a thread that lost the race to add the same entry uses
// the one added first.  It holds more than the module's distinct entries
// (about 40), so it never fills.
constexpr int kMaxTracebackCodes = 64;
TracebackCode traceback_codes[kMaxTracebackCodes];
int traceback_code_count = 0;
PyMutex traceback_codes_lock = {};

// A new reference to the cached code object, or nullptr.  Called with the
// lock held.
PyObject *cached_traceback_code(const char *funcname, int line, const char *filename)
{
    for (int i = 0; i < traceback_code_count; ++i) {
        const TracebackCode &entry = traceback_codes[i];
        if (entry.line == line && entry.funcname == funcname && entry.filename == filename) {
            return Py_NewRef(entry.code);
        }
    }
    return nullptr;
}

PyObject *traceback_code(const char *funcname, int line, const char *filename)
{
    PyMutex_Lock(&traceback_codes_lock);
    PyObject *code = cached_traceback_code(funcname, line, filename);
    PyMutex_Unlock(&traceback_codes_lock);
    if (code != nullptr) return code;
    code = reinterpret_cast<PyObject *>(PyCode_NewEmpty(filename, funcname, line));
    if (code == nullptr) return nullptr;
    PyMutex_Lock(&traceback_codes_lock);
    PyObject *first = cached_traceback_code(funcname, line, filename);
    if (first == nullptr && traceback_code_count < kMaxTracebackCodes) {
        traceback_codes[traceback_code_count++] = {funcname, filename, line, Py_NewRef(code)};
    }
    PyMutex_Unlock(&traceback_codes_lock);
    if (first != nullptr) Py_SETREF(code, first);
    return code;
}

// Integer conversion, first step: the object itself if it is an int, else
// the result of its __int__.  Returns a new reference or NULL.
// The error already set, where the type has no __int__, would have to come
// from the caller, and none calls with one set.
PyObject *as_int_object(PyObject *obj)
{
    if (PyLong_Check(obj)) {
        return Py_NewRef(obj);
    }
    PyNumberMethods *number = Py_TYPE(obj)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
        }
        return nullptr;
    }
    PyObject *result = number->nb_int(obj);
    if (result == nullptr || PyLong_CheckExact(result)) {
        return result;
    }
    if (PyLong_Check(result)) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(result)->tp_name) < 0) {
            Py_DECREF(result);
            return nullptr;
        }
        return result;
    }
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result)->tp_name);
    Py_DECREF(result);
    return nullptr;
}

// Reads an int object as a signed 64-bit value; small values directly.
// On overflow the interpreter's own OverflowError is set.
// -1 is compact, so PyLong_AsLongLong returns it here only for an error.
inline int read_int64(PyObject *value, long long *out)
{
    if (PyLong_CheckExact(value) && compat_read_compact_int(value, out)) return 0;
    long long result = PyLong_AsLongLong(value);
    if (result == -1 && PyErr_Occurred()) return -1;
    *out = result;
    return 0;
}

const char kListSubclassNote[] =
    "This module is stricter than PEP 484 and refuses instances of subclasses of "
    "built-in types where a built-in type is declared. Rebuild it with the CMake "
    "option CPROTECTION_ALLOW_LIST_SUBCLASSES=ON (for example pip install . "
    "--config-settings=cmake.define.CPROTECTION_ALLOW_LIST_SUBCLASSES=ON) to let "
    "subclasses of list through.";

void attach_note(const char *note)
{
    PyObject *exc = PyErr_GetRaisedException();
    PyObject *result = PyObject_CallMethod(exc, "add_note", "s", note);
    if (result == nullptr) {
        PyErr_Clear();
    }
    Py_XDECREF(result);
    PyErr_SetRaisedException(exc);
}

}  // namespace

// ---------------------------------------------------------------------------
// Public helpers

// PyType_Ready fails only when an allocation does; the allocation-failure
// tests keep failures out of it before CPython 3.13.6 (see
// tests/type_ready_guard.c), so only later interpreters take these.
int init_call_helpers(void)
{
    if (PyType_Ready(&MethodType) < 0) return -1;
    if (PyType_Ready(&PlainFunctionType) < 0) return -1;
    return 0;
}

int intern_once(PyObject **slot, const char *text)
{
    if (*slot == nullptr) *slot = PyUnicode_InternFromString(text);
    return *slot == nullptr ? -1 : 0;
}

int init_callable_spec(CallableSpec *spec)
{
    for (Py_ssize_t i = 0; i < spec->max_positional; ++i) {
        if (intern_once(&spec->interned_params[i], spec->param_names[i]) < 0) return -1;
    }
    if (spec->code == nullptr && spec->impl != nullptr) {
        spec->code = make_code(spec);
        if (spec->code == nullptr) return -1;
    }
    return 0;
}

PyObject *function_new(CallableSpec *spec)
{
    PyTypeObject *type = spec->is_method ? &MethodType : &PlainFunctionType;
    FunctionObject *func = PyObject_New(FunctionObject, type);
    if (func == nullptr) return nullptr;
    func->vectorcall = function_vectorcall;
    func->spec = spec;
    func->name = PyUnicode_InternFromString(spec->name);
    func->qualname = PyUnicode_InternFromString(spec->qualname);
    func->module = PyUnicode_InternFromString(kModuleName);
    func->doc = spec->doc ? PyUnicode_FromString(spec->doc) : Py_NewRef(Py_None);
    func->annotations = PyDict_New();
    PyObject *result = reinterpret_cast<PyObject *>(func);
    if (func->name == nullptr || func->qualname == nullptr || func->module == nullptr ||
        func->doc == nullptr || func->annotations == nullptr) {
        Py_CLEAR(result);
    }
    return result;
}

PyObject *function_annotations(PyObject *func)
{
    return reinterpret_cast<FunctionObject *>(func)->annotations;
}

// The cipher methods are the module's own function objects, never built-in
// ones, so a built-in function found by the dispatch is always an override:
// the last comparison is never true.
bool is_own_function(PyObject *func, const CallableSpec *spec)
{
    if (is_function_object(func)) {
        return reinterpret_cast<FunctionObject *>(func)->spec->impl == spec->impl;
    }
    if (PyCFunction_Check(func)) {
        return PyCFunction_GetFunction(func) ==
               reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(spec->impl));
    }
    return false;
}

int bind_arguments(const CallableSpec *spec, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames, PyObject **slots)
{
    Py_ssize_t nparams = spec->max_positional;
    if (nargs > nparams) {
        raise_count_error(spec, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nparams; ++i) {
        slots[i] = i < nargs ? args[i] : nullptr;
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = match_keyword(spec, key, nargs);
        if (slot < 0) return -1;
        // The same name twice in one keyword tuple can only come from a
        // compiled caller; refuse it rather than silently keep the last.
        if (slots[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         spec->name, key);
            return -1;
        }
        slots[slot] = args[nargs + k];
    }
    return check_required(spec, slots);
}

// Used by __init__ alone, which requires no argument: check_required never fails here.
int bind_arguments_dict(const CallableSpec *spec, PyObject *args, PyObject *kwds, PyObject **slots)
{
    Py_ssize_t nparams = spec->max_positional;
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject *key = nullptr, *value = nullptr;
    for (Py_ssize_t i = 0; i < nparams; ++i) slots[i] = nullptr;
    if (nargs > nparams) {
        raise_count_error(spec, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[i] = Py_NewRef(PyTuple_GET_ITEM(args, i));
    }
    if (kwds != nullptr && PyDict_GET_SIZE(kwds) > 0) {
        if (!PyArg_ValidateKeywordArguments(kwds)) goto error;
        Py_ssize_t used = 0;
        for (Py_ssize_t i = nargs; i < nparams; ++i) {
            int found = PyDict_GetItemRef(kwds, spec->interned_params[i], &slots[i]);
            if (found < 0) goto error;
            used += found;
        }
        if (used < PyDict_GET_SIZE(kwds)) {
            // Some key is not a plain parameter name: report the first one,
            // or place it when a str subclass matches a name by ==.
            Py_ssize_t pos = 0;
            PyObject *borrowed_key, *borrowed_value;
            while (PyDict_Next(kwds, &pos, &borrowed_key, &borrowed_value)) {
                key = Py_NewRef(borrowed_key);
                value = Py_NewRef(borrowed_value);
                Py_ssize_t slot = match_keyword(spec, key, nargs);
                if (slot < 0) goto error;
                if (slots[slot] == nullptr) slots[slot] = Py_NewRef(value);
                Py_CLEAR(key);
                Py_CLEAR(value);
            }
        }
    }
    if (check_required(spec, slots) < 0) goto error;
    return 0;
error:
    Py_XDECREF(key);
    Py_XDECREF(value);
    for (Py_ssize_t i = 0; i < nparams; ++i) Py_CLEAR(slots[i]);
    return -1;
}

int check_exact_type(PyObject *obj, PyTypeObject *expected, const char *param,
                     bool none_allowed, bool annotated)
{
    if (Py_IS_TYPE(obj, expected) || (none_allowed && obj == Py_None)) {
        return 0;
    }
    bool subclass = PyObject_TypeCheck(obj, expected);
#ifdef CPROTECTION_ALLOW_LIST_SUBCLASSES
    if (annotated && subclass) return 0;
#endif
    raise_argument_type(obj, expected, param);
    if (annotated && subclass) {
        attach_note(kListSubclassNote);
    }
    return -1;
}

void raise_argument_type(PyObject *obj, PyTypeObject *expected, const char *param)
{
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param, expected->tp_name, Py_TYPE(obj)->tp_name);
}

void raise_unexpected_type(const char *expected, PyObject *obj)
{
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(obj)->tp_name);
}

void raise_none_refused(void)
{
    PyErr_SetString(PyExc_TypeError,
                    "cannot pass None into a C function argument that is declared 'not None'");
}

// ---------------------------------------------------------------------------
// Conversions

int convert_int32(PyObject *obj, int *out)
{
    PyObject *value = as_int_object(obj);
    if (value == nullptr) return -1;
    long long wide;
    int status = read_int64(value, &wide);
    Py_DECREF(value);
    if (status < 0) return -1;
    if (wide < INT32_MIN || wide > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return -1;
    }
    *out = static_cast<int>(wide);
    return 0;
}

int convert_int64(PyObject *obj, long long *out)
{
    PyObject *value = as_int_object(obj);
    if (value == nullptr) return -1;
    int status = read_int64(value, out);
    Py_DECREF(value);
    return status;
}

int convert_uint8(PyObject *obj, unsigned char *out)
{
    PyObject *value = as_int_object(obj);
    if (value == nullptr) return -1;
    int status = -1;
    int overflow = 0;
    long long wide = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (wide == -1 && PyErr_Occurred()) goto done;
    if (overflow < 0 || (overflow == 0 && wide < 0)) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to unsigned char");
        goto done;
    }
    if (overflow > 0) {
        // Above the signed 64-bit range: let the interpreter's own unsigned
        // conversion decide between "too large for unsigned char" and its
        // own overflow for values past 64 bits.
        unsigned long long big = PyLong_AsUnsignedLongLong(value);
        if (big == static_cast<unsigned long long>(-1) && PyErr_Occurred()) goto done;
        wide = 256;
    }
    if (wide > 255) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to unsigned char");
        goto done;
    }
    *out = static_cast<unsigned char>(wide);
    status = 0;
done:
    Py_DECREF(value);
    return status;
}

int convert_flag(PyObject *obj)
{
    if (obj == Py_True) return 1;
    if (obj == Py_False || obj == Py_None) return 0;
    return PyObject_IsTrue(obj);
}

// ---------------------------------------------------------------------------
// Override dispatch

Dispatch dispatch_override(CProtectionObject *self, PyObject *name, PyObject *arg,
                           const CallableSpec *own, bool result_must_be_bytearray,
                           PyObject **result)
{
    PyTypeObject *type = Py_TYPE(self);
    if (type->tp_dictoffset == 0 &&
        !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_IS_ABSTRACT)) {
        return Dispatch::run_operation;
    }
    PyObject *found = PyObject_GetAttr(reinterpret_cast<PyObject *>(self), name);
    if (found == nullptr) goto error;
    {
        PyObject *func = PyMethod_Check(found) ? PyMethod_GET_FUNCTION(found) : found;
        if (is_own_function(func, own)) {
            Py_DECREF(found);
            return Dispatch::run_operation;
        }
    }
    *result = PyObject_CallOneArg(found, arg);
    Py_DECREF(found);
    if (*result == nullptr) goto error;
    if (result_must_be_bytearray && *result != Py_None && !PyByteArray_CheckExact(*result)) {
        raise_unexpected_type("bytearray", *result);
        Py_CLEAR(*result);
        goto error;
    }
    return Dispatch::overridden;
error:
    add_entry(own, own->first_line);
    return Dispatch::failed;
}

// ---------------------------------------------------------------------------
// Traceback entries

void add_traceback_in(PyObject *globals, const char *funcname, int line, const char *filename)
{
    // An entry belongs to a pending exception, and its frame needs the
    // module's globals, which an unfinished or failed import has not got.
    if (!PyErr_Occurred() || globals == nullptr) return;
    PyObject *exc = PyErr_GetRaisedException();
    PyObject *code = traceback_code(funcname, line, filename);
    PyFrameObject *frame = nullptr;
    if (code != nullptr) {
        frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code), globals, nullptr);
    }
    // A failure to build the entry must not replace the error it describes.
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
    }
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

void add_traceback(const char *funcname, int line, const char *filename)
{
    add_traceback_in(module_dict.load(std::memory_order_acquire), funcname, line, filename);
}

void add_entry(const CallableSpec *spec, int line)
{
    add_traceback(spec->traceback_name, line, spec->filename);
}

}  // namespace cprotection

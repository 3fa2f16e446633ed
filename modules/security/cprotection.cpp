// The module kovrin.modules.security.cprotection: its definition,
// create and exec steps, and the CProtection class.
#include "cprotection_internal.h"

#include <stdio.h>
#include <string.h>

PyMODINIT_FUNC PyInit_cprotection(void);

// A host that embeds the interpreter may set this before importing us to
// run the module as __main__.
extern "C" Py_EXPORTED_SYMBOL int __pyx_module_is_main_kovrin__modules__security__cprotection;
int __pyx_module_is_main_kovrin__modules__security__cprotection = 0;

namespace cprotection {

std::atomic<PyObject *> module_dict = nullptr;
PyObject *builtins_module = nullptr;
PyObject *empty_tuple = nullptr;
CProtectionVTable vtable;

namespace {

// Module initialisation's own traceback entries carry this name.
constexpr char kModuleInitName[] = "init kovrin.modules.security.cprotection";

const char *const kInitParams[] = {"flip_direction"};

// __init__ is reached through the type's init slot, so only its binding
// description and traceback entry live here.
CallableSpec init_spec = {
    .name = "__init__", .qualname = "CProtection.__init__",
    .traceback_name = "kovrin.modules.security.cprotection.CProtection.__init__",
    .filename = kModuleSource, .first_line = 14,
    .is_method = true, .min_positional = 0, .max_positional = 1, .param_names = kInitParams,
};

// The create and exec steps share these, under init_lock.  The import
// system serialises imports of one name only, and the module can be
// imported under another name at the same time, from another thread or
// from Python code that the exec step runs.  The lock is held only to read
// and change these, never while Python code runs: it may import the
// module again on the same thread, and a PyMutex cannot be taken twice.
PyMutex init_lock = {};
PY_INT64_T owning_interpreter = -1;
// The module once its exec step succeeded, for the life of the process.
PyObject *held_module = nullptr;
// The module an exec step is filling (borrowed: the step's caller holds
// it), and the thread that runs that step.  That thread holds making_gate
// for as long, so others wait on the gate for the step to end.  It never
// waits there itself: finding itself the maker, it refuses the import.
PyObject *making_module = nullptr;
PyThreadState *making_thread = nullptr;
PyMutex making_gate = {};
// A weak reference to the module last created and not yet executed: a
// create step under the other name hands it out instead of a second one.
// Weak, so that a module created and then dropped is not handed out.
PyObject *created_module = nullptr;
// The full name as a key made once: taking the entry out again after a
// failed exec must not need an allocation, which may be what failed.
PyObject *full_name_key = nullptr;

// ---------------------------------------------------------------------------
// The class

PyObject *cprotection_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self;
    if (PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT)) {
        // object.__new__ raises the interpreter's error for abstract classes.
        self = PyBaseObject_Type.tp_new(type, empty_tuple, nullptr);
    } else {
        self = type->tp_alloc(type, 0);
    }
    if (self == nullptr) return nullptr;
    reinterpret_cast<CProtectionObject *>(self)->vtab = &vtable;
    return self;
}

int cprotection_init(PyObject *op, PyObject *args, PyObject *kwds)
{
    PyObject *argument;
    if (bind_arguments_dict(&init_spec, args, kwds, &argument) < 0) {
        add_entry(&init_spec, init_spec.first_line);
        return -1;
    }
    int flip = argument ? convert_flag(argument) : 0;
    Py_XDECREF(argument);
    if (flip < 0) {
        add_entry(&init_spec, init_spec.first_line);
        return -1;
    }
    // The flag is converted above, with no section open: its __bool__ may
    // run anything.  The reset itself is one section.
    auto *self = reinterpret_cast<CProtectionObject *>(op);
    Py_BEGIN_CRITICAL_SECTION(self);
    self->active = 0;
    self->flip_direction = flip;
    self->base = 0;
    memset(self->decryption_vector, 0, sizeof self->decryption_vector + sizeof self->encryption_vector);
    self->decryption_index = 0;
    self->encryption_index = 0;
    Py_END_CRITICAL_SECTION();
    return 0;
}

// The finalizer branch is for a class that adds tp_finalize and keeps this
// dealloc; CProtection has none, and a Python subclass's dealloc is the
// interpreter's own, so no call from Python takes it.
void cprotection_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    if (type->tp_finalize != nullptr && type->tp_dealloc == cprotection_dealloc &&
        (!PyType_IS_GC(type) || !PyObject_GC_IsFinalized(self))) {
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    }
    type->tp_free(self);
}

}  // namespace

PyTypeObject CProtectionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "kovrin.modules.security.cprotection.CProtection",
    .tp_basicsize = sizeof(CProtectionObject),
    .tp_dealloc = cprotection_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_methods = pickle_methods,
    .tp_init = cprotection_init,
    .tp_new = cprotection_new,
};

namespace {

// ---------------------------------------------------------------------------
// Module initialisation

int copy_spec_attribute(PyObject *spec, PyObject *dict, const char *from, const char *to,
                        bool skip_none)
{
    PyObject *value;
    int found = PyObject_GetOptionalAttrString(spec, from, &value);
    if (found <= 0) return found;
    int status = 0;
    if (!(skip_none && value == Py_None)) {
        status = PyDict_SetItemString(dict, to, value);
    }
    Py_DECREF(value);
    return status;
}

// The module that a create step hands out rather than make one: the one
// made, else the one being made, else the one created and still alive; a
// new reference, or nullptr.  Called under init_lock; runs no Python code.
PyObject *existing_module_locked(void)
{
    if (held_module != nullptr) return Py_NewRef(held_module);
    if (making_module != nullptr) return Py_NewRef(making_module);
    PyObject *module = nullptr;
    if (created_module != nullptr && PyWeakref_GetRef(created_module, &module) < 0) PyErr_Clear();
    return module;
}

// Sets *existing to the module to hand out, if any (a new reference), or
// to nullptr when a new one is to be made.  Returns -1 with an exception
// set when this interpreter may not have the module.
int claim_module(PyObject **existing)
{
    *existing = nullptr;
    PY_INT64_T current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return -1;  // only for an interpreter being torn down
    bool refused = false;
    PyMutex_Lock(&init_lock);
    if (owning_interpreter == -1) owning_interpreter = current;
    refused = current != owning_interpreter;
    if (!refused) *existing = existing_module_locked();
    PyMutex_Unlock(&init_lock);
    if (refused) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return -1;
    }
    return 0;
}

// A new module named by the spec, with the spec's attributes copied.
PyObject *new_module(PyObject *spec)
{
    PyObject *name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) return nullptr;
    PyObject *module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (module == nullptr) return nullptr;
    PyObject *dict = PyModule_GetDict(module);
    if (copy_spec_attribute(spec, dict, "loader", "__loader__", false) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", false) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", false) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", true) < 0) {
        Py_CLEAR(module);
    }
    return module;
}

PyObject *module_create(PyObject *spec, PyModuleDef *)
{
    PyObject *module = nullptr, *existing = nullptr, *reference = nullptr;
    if (claim_module(&existing) < 0) goto done;
    if (existing != nullptr) {
        module = existing;
        existing = nullptr;
        goto done;
    }
    // Made with no lock held: reading the spec may run any Python code.
    module = new_module(spec);
    if (module == nullptr) goto done;
    reference = PyWeakref_NewRef(module, nullptr);
    if (reference == nullptr) {
        Py_CLEAR(module);
        goto done;
    }
    // Another thread may have made or created one meanwhile: the first to
    // get here is the module of both imports.  Otherwise this one is
    // recorded, and the reference left to release is the one it replaces.
    PyMutex_Lock(&init_lock);
    existing = existing_module_locked();
    if (existing == nullptr) {
        PyObject *replaced = created_module;
        created_module = reference;
        reference = replaced;
    }
    PyMutex_Unlock(&init_lock);
    if (existing != nullptr) {
        Py_SETREF(module, existing);
        existing = nullptr;
    }
done:
    Py_XDECREF(reference);
    return module;
}

// Stores a value in the class dictionary the way a class body assignment
// would: the type cache is invalidated and __set_name__ honoured (which the
// module's own callables, all that it stores, do not have).
int set_class_attribute(const char *name, PyObject *value)
{
    PyObject *key = PyUnicode_InternFromString(name);
    if (key == nullptr) return -1;
    int status = PyDict_SetItem(CProtectionType.tp_dict, key, value);
    PyType_Modified(&CProtectionType);
    if (status == 0) {
        PyObject *set_name;
        status = PyObject_GetOptionalAttrString(value, "__set_name__", &set_name);
        if (status > 0) {
            PyObject *result = PyObject_CallFunctionObjArgs(set_name, &CProtectionType, key, nullptr);
            status = result ? 0 : -1;
            Py_XDECREF(result);
            Py_DECREF(set_name);
        }
    }
    Py_DECREF(key);
    return status < 0 ? -1 : 0;
}

// Returns 1 when `func` has the given __name__, 0 when not, -1 on error.
// Only ever given the module's own callables, whose __name__ is a str.
int has_function_name(PyObject *func, const char *expected)
{
    PyObject *name;
    int found = PyObject_GetOptionalAttrString(func, "__name__", &name);
    if (found <= 0) return found;
    int equal = PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, expected) == 0;
    Py_DECREF(name);
    return equal;
}

// Moves a built-in method to the protocol name pickle calls: `target`
// receives `source`, which leaves the class dictionary.
int move_class_attribute(const char *source, const char *target, bool *found)
{
    PyObject *type = reinterpret_cast<PyObject *>(&CProtectionType);
    PyObject *value;
    int status = PyObject_GetOptionalAttrString(type, source, &value);
    *found = status > 0;
    if (status <= 0) return status;
    status = PyDict_SetItemString(CProtectionType.tp_dict, target, value);
    Py_DECREF(value);
    if (status == 0) status = PyDict_DelItemString(CProtectionType.tp_dict, source);
    return status;
}

// Each test below reads the class as this file defines it, so one way
// through is taken; the others keep a class that defines its own pickling
// protocol as it is.
int arrange_pickling(void)
{
    PyObject *type = reinterpret_cast<PyObject *>(&CProtectionType);
    PyObject *object = reinterpret_cast<PyObject *>(&PyBaseObject_Type);
    PyObject *object_getstate = nullptr, *type_getstate = nullptr;
    PyObject *object_reduce_ex = nullptr, *type_reduce_ex = nullptr;
    PyObject *object_reduce = nullptr, *type_reduce = nullptr, *type_setstate = nullptr;
    int status = -1;
    bool found;

    if (PyObject_GetOptionalAttrString(type, "__getstate__", &type_getstate) < 0 ||
        PyObject_GetOptionalAttrString(object, "__getstate__", &object_getstate) < 0) goto done;
    if (type_getstate != nullptr && type_getstate != object_getstate) {
        status = 0;
        goto done;
    }
    object_reduce_ex = PyObject_GetAttrString(object, "__reduce_ex__");
    if (object_reduce_ex == nullptr) goto done;
    type_reduce_ex = PyObject_GetAttrString(type, "__reduce_ex__");
    if (type_reduce_ex == nullptr) goto done;
    if (type_reduce_ex != object_reduce_ex) {
        status = 0;
        goto done;
    }
    object_reduce = PyObject_GetAttrString(object, "__reduce__");
    if (object_reduce == nullptr) goto done;
    type_reduce = PyObject_GetAttrString(type, "__reduce__");
    if (type_reduce == nullptr) goto done;
    {
        int named = type_reduce == object_reduce ? 0 : has_function_name(type_reduce, "__reduce_cython__");
        if (named < 0) goto done;
        if (type_reduce != object_reduce && !named) {
            status = 0;
            goto done;
        }
    }
    if (move_class_attribute("__reduce_cython__", "__reduce__", &found) < 0) goto done;
    if (!found && type_reduce == object_reduce) goto done;
    if (PyObject_GetOptionalAttrString(type, "__setstate__", &type_setstate) < 0) goto done;
    {
        int named = type_setstate ? has_function_name(type_setstate, "__setstate_cython__") : 1;
        if (named < 0) goto done;
        if (named) {
            if (move_class_attribute("__setstate_cython__", "__setstate__", &found) < 0) goto done;
            if (!found && type_setstate == nullptr) goto done;
        }
    }
    PyType_Modified(&CProtectionType);
    status = 0;
done:
    if (status < 0 && !PyErr_Occurred()) {
        PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s",
                     CProtectionType.tp_name);
    }
    Py_XDECREF(object_getstate);
    Py_XDECREF(type_getstate);
    Py_XDECREF(object_reduce_ex);
    Py_XDECREF(type_reduce_ex);
    Py_XDECREF(object_reduce);
    Py_XDECREF(type_reduce);
    Py_XDECREF(type_setstate);
    return status;
}

CallableSpec *const kClassCallables[] = {&activate_spec, &decrypt_spec, &encrypt_spec,
                                         &reduce_spec, &setstate_spec};

int store_callables(PyObject *dict, const char **failed_file, int *failed_line)
{
    PyObject *func = nullptr;
    for (CallableSpec *spec : kClassCallables) {
        *failed_file = spec->filename;
        *failed_line = spec->first_line;
        func = function_new(spec);
        if (func == nullptr) return -1;
        if (spec == &activate_spec) {
            PyObject *annotation = PyUnicode_FromString("list[int]");
            int status = annotation ? PyDict_SetItemString(function_annotations(func), "keys", annotation) : -1;
            Py_XDECREF(annotation);
            if (status < 0) goto error;
        }
        if (set_class_attribute(spec->name, func) < 0) goto error;
        Py_CLEAR(func);
    }
    *failed_file = unpickle_spec.filename;
    *failed_line = unpickle_spec.first_line;
    func = function_new(&unpickle_spec);
    if (func == nullptr || PyDict_SetItemString(dict, unpickle_spec.name, func) < 0) goto error;
    Py_DECREF(func);
    return 0;
error:
    Py_XDECREF(func);
    return -1;
}

// The exec step's work, run by the one thread that makes the module, with
// no lock held.
int fill_module(PyObject *module)
{
    const char *failed_file = kModuleSource;
    int failed_line = 0;  // no traceback entry before the function type exists
    bool entered_full_name = false;
    PyObject *modules = PyImport_GetModuleDict(), *dict = PyModule_GetDict(module);
    PyObject *enumerate_func, *capsule;

    if (builtins_module == nullptr) {
        builtins_module = PyImport_ImportModule("builtins");
        if (builtins_module == nullptr) goto error;
    }
    if (PyObject_SetAttrString(module, "__builtins__", builtins_module) < 0) goto error;

    {
        int running_major = (Py_Version >> 24) & 0xff;
        int running_minor = (Py_Version >> 16) & 0xff;
        // Never taken by a build that loads: other versions have another ABI tag.
        if (running_major != PY_MAJOR_VERSION || running_minor != PY_MINOR_VERSION) {
            char message[200];
            snprintf(message, sizeof message,
                     "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                     PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match",
                     running_major, running_minor);
            if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) < 0) goto error;
        }
    }

    if (empty_tuple == nullptr) {
        empty_tuple = PyTuple_New(0);
        if (empty_tuple == nullptr) goto error;  // the interpreter's singleton: never fails
    }
    if (init_cipher() < 0 || init_pickle_support() < 0) goto error;

    failed_line = 1;
    if (init_call_helpers() < 0) goto error;

    if (__pyx_module_is_main_kovrin__modules__security__cprotection) {
        PyObject *main_name = PyUnicode_FromString("__main__");
        int status = main_name ? PyObject_SetAttrString(module, "__name__", main_name) : -1;
        Py_XDECREF(main_name);
        if (status < 0) goto error;
    }

    // Imported under another name, the module is still reachable by its own.
    {
        if (intern_once(&full_name_key, kModuleName) < 0) goto error;
        int present = PyDict_Contains(modules, full_name_key);
        if (present < 0) goto error;
        if (!present) {
            if (PyDict_SetItem(modules, full_name_key, module) < 0) goto error;
            entered_full_name = true;
        }
    }

    if (PyObject_GetOptionalAttrString(builtins_module, "enumerate", &enumerate_func) < 0) goto error;
    if (enumerate_func == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", "enumerate");
        goto error;
    }
    Py_DECREF(enumerate_func);

    if (init_callable_spec(&init_spec) < 0) goto error;
    for (CallableSpec *spec : kClassCallables) {
        if (init_callable_spec(spec) < 0) goto error;
    }
    if (init_callable_spec(&unpickle_spec) < 0) goto error;

    vtable.activate = cipher_activate;
    vtable.decrypt = cipher_decrypt;
    vtable.encrypt = cipher_encrypt;

    if (PyType_Ready(&CProtectionType) < 0) goto error;
    capsule = PyCapsule_New(&vtable, nullptr, nullptr);
    if (capsule == nullptr) goto error;
    if (PyDict_SetItemString(CProtectionType.tp_dict, "__pyx_vtable__", capsule) < 0) {
        Py_DECREF(capsule);
        goto error;
    }
    Py_DECREF(capsule);
    PyType_Modified(&CProtectionType);
    if (PyObject_SetAttrString(module, "CProtection", reinterpret_cast<PyObject *>(&CProtectionType)) < 0) goto error;
    if (arrange_pickling() < 0) goto error;
    if (store_callables(dict, &failed_file, &failed_line) < 0) goto error;
    failed_file = kModuleSource;
    failed_line = 1;
    {
        PyObject *test_dict = PyDict_New();
        if (test_dict == nullptr) goto error;
        int status = PyDict_SetItemString(dict, "__test__", test_dict);
        Py_DECREF(test_dict);
        if (status < 0) goto error;
    }
    return 0;
error:
    if (failed_line != 0) add_traceback_in(dict, kModuleInitName, failed_line, failed_file);
    // A later import starts again from the create step, under either name.
    if (entered_full_name) {
        PyObject *exc = PyErr_GetRaisedException();
        if (PyDict_DelItem(modules, full_name_key) < 0) PyErr_Clear();
        PyErr_SetRaisedException(exc);
    }
    return -1;
}

enum class ExecOutcome { made_already, refused, reentered, make };

int module_exec(PyObject *module)
{
    PyThreadState *current = PyThreadState_Get();
    PyObject *stale = nullptr;
    ExecOutcome outcome = ExecOutcome::refused;
    PyMutex_Lock(&init_lock);
    for (;;) {
        if (held_module != nullptr) {
            outcome = held_module == module ? ExecOutcome::made_already : ExecOutcome::refused;
            break;
        }
        if (making_module == nullptr) {
            // This thread makes the module.  A created module not yet
            // executed is not handed out any more: this one is.
            outcome = ExecOutcome::make;
            making_module = module;
            making_thread = current;
            PyMutex_Lock(&making_gate);
            stale = created_module;
            created_module = nullptr;
            break;
        }
        if (making_thread == current) {
            outcome = ExecOutcome::reentered;
            break;
        }
        // Another thread makes it: wait for its step to end, then look
        // again.  Made, it is this module (the create step handed it out)
        // or the import is a re-initialisation; failed, this thread tries.
        PyMutex_Unlock(&init_lock);
        PyMutex_Lock(&making_gate);
        PyMutex_Unlock(&making_gate);
        PyMutex_Lock(&init_lock);
    }
    PyMutex_Unlock(&init_lock);
    Py_XDECREF(stale);

    int status = -1;
    switch (outcome) {
    case ExecOutcome::made_already:
        status = 0;
        break;
    case ExecOutcome::refused:
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'cprotection' has already been imported. Re-initialisation is not supported.");
        break;
    case ExecOutcome::reentered:
        PyErr_SetString(PyExc_ImportError,
                        "Module 'cprotection' is being initialised by this thread, which cannot "
                        "import it again until that has finished.");
        break;
    case ExecOutcome::make:
        status = fill_module(module);
        PyMutex_Lock(&init_lock);
        if (status == 0) {
            held_module = Py_NewRef(module);
            module_dict.store(PyModule_GetDict(module), std::memory_order_release);
        }
        making_module = nullptr;
        making_thread = nullptr;
        PyMutex_Unlock(&making_gate);
        PyMutex_Unlock(&init_lock);
        break;
    }
    return status;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    CPROTECTION_BUILD_SLOTS
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "cprotection",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
};

}  // namespace
}  // namespace cprotection

PyMODINIT_FUNC PyInit_cprotection(void)
{
    return PyModuleDef_Init(&cprotection::module_def);
}

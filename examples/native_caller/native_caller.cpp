// A minimal extension module that calls CProtection's operations through
// its native method table, the way another compiled module would.  It
// compiles against the cprotection.h installed with the package (see
// build.py for where that is).
//
//     import native_caller
//     native_caller.call("encrypt", instance, bytearray(b"..."), skip_dispatch=1)
#include "cprotection.h"

#include <string.h>

#include <atomic>

namespace {

// Filled by the first call that finds them empty.  Without the GIL, calls
// on several threads may all get there: each looks the table up and
// stores the same two values.  The class is stored before the table, so a
// call that sees the table also sees the class.
std::atomic<CProtectionVTable *> table = nullptr;
std::atomic<PyTypeObject *> cprotection_type = nullptr;

// Takes the table out of the capsule the class publishes.
int load_table(void)
{
    if (table.load(std::memory_order_acquire) != nullptr) return 0;
    PyObject *module = PyImport_ImportModule("kovrin.modules.security.cprotection");
    if (module == nullptr) return -1;
    PyObject *type = PyObject_GetAttrString(module, "CProtection");
    Py_DECREF(module);
    if (type == nullptr) return -1;
    PyObject *capsule;
    int found = PyDict_GetItemStringRef(reinterpret_cast<PyTypeObject *>(type)->tp_dict, "__pyx_vtable__",
                                        &capsule);
    if (found <= 0) {
        Py_DECREF(type);
        // Only a missing entry is the class's fault; a failed lookup keeps its own error.
        if (found == 0) PyErr_SetString(PyExc_RuntimeError, "CProtection publishes no __pyx_vtable__");
        return -1;
    }
    auto *found_table = static_cast<CProtectionVTable *>(PyCapsule_GetPointer(capsule, nullptr));
    Py_DECREF(capsule);  // the class keeps it, and the table with it
    if (found_table == nullptr) {
        Py_DECREF(type);
        return -1;
    }
    // The class is kept for the process, by the call that stores it first.
    PyTypeObject *stored = nullptr;
    if (!cprotection_type.compare_exchange_strong(stored, reinterpret_cast<PyTypeObject *>(type))) {
        Py_DECREF(type);
    }
    table.store(found_table, std::memory_order_release);
    return 0;
}

PyObject *call(PyObject *, PyObject *args, PyObject *kwds)
{
    static const char *keywords[] = {"operation", "instance", "argument", "skip_dispatch", nullptr};
    const char *operation;
    PyObject *instance, *argument;
    int skip_dispatch = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "sOO|i", const_cast<char **>(keywords), &operation,
                                     &instance, &argument, &skip_dispatch)) {
        return nullptr;
    }
    if (load_table() < 0) return nullptr;
    // The entries trust their caller on the instance's type, so check it
    // here.  The argument goes through as it is: the data entries take any
    // object, and the keying entry refuses anything but a list.
    if (!PyObject_TypeCheck(instance, cprotection_type.load(std::memory_order_relaxed))) {
        PyErr_SetString(PyExc_TypeError, "instance must be a CProtection");
        return nullptr;
    }
    auto *self = reinterpret_cast<CProtectionObject *>(instance);
    CProtectionVTable *entries = table.load(std::memory_order_relaxed);
    if (strcmp(operation, "activate") == 0) return entries->activate(self, argument, skip_dispatch);
    if (strcmp(operation, "decrypt") == 0) return entries->decrypt(self, argument, skip_dispatch);
    if (strcmp(operation, "encrypt") == 0) return entries->encrypt(self, argument, skip_dispatch);
    PyErr_Format(PyExc_ValueError, "unknown operation %s", operation);
    return nullptr;
}

PyMethodDef methods[] = {
    {"call", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(call)),
     METH_VARARGS | METH_KEYWORDS,
     "call(operation, instance, argument, skip_dispatch=1): run one native entry."},
    {nullptr, nullptr, 0, nullptr},
};

// On free-threaded builds the module declares that it runs without the
// GIL; without that, importing it turns the GIL back on for the process.
// Its only state is the table and the class above.
PyModuleDef_Slot slots[] = {
#ifdef Py_GIL_DISABLED
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "native_caller",
    .m_doc = "Calls CProtection's native method table.",
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
};

}  // namespace

PyMODINIT_FUNC PyInit_native_caller(void)
{
    return PyModuleDef_Init(&module_def);
}

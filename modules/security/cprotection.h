// The CProtection record and its native method table: the header that
// other extension modules, in C or C++, compile against.  It is installed
// beside the extension module, in the package directory
// kovrin/modules/security/.
//
// A compiled caller reads the capsule stored in the class dictionary under
// "__pyx_vtable__" (no capsule name) and calls through the table:
//
//     CProtectionVTable *table = (CProtectionVTable *)
//         PyCapsule_GetPointer(capsule, NULL);
//     PyObject *out = table->encrypt(self, data, /*skip_dispatch=*/1);
#ifndef KOVRIN_CPROTECTION_H
#define KOVRIN_CPROTECTION_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stddef.h>

typedef struct CProtectionObject CProtectionObject;
typedef struct CProtectionVTable CProtectionVTable;

// Each entry takes the instance (a CProtection or an instance of a
// subclass: not checked), one argument and skip_dispatch, and returns a new
// reference, or NULL with an exception set.  With skip_dispatch == 0 a
// Python-level override in a subclass is honoured first, and gets the
// argument as it is.
//
// The data entries (decrypt, encrypt) take any object: before activate they
// return it as it is; afterwards an exact bytearray is read directly and
// anything else is copied through bytearray() first.  The keying entry
// (activate) takes a list or an instance of a list subclass, and refuses
// anything else with TypeError.
typedef PyObject *(*CProtectionEntry)(CProtectionObject *self, PyObject *arg,
                                      int skip_dispatch);

struct CProtectionVTable {
    CProtectionEntry activate;
    CProtectionEntry decrypt;
    CProtectionEntry encrypt;
};

struct CProtectionObject {
    PyObject_HEAD
    CProtectionVTable *vtab;
    int active;
    int flip_direction;
    unsigned char base;
    // The two vectors form one 16-byte block, decryption half first.
    unsigned char decryption_vector[8];
    unsigned char encryption_vector[8];
    Py_ssize_t decryption_index;
    Py_ssize_t encryption_index;
};

#ifdef __cplusplus
static_assert(offsetof(CProtectionObject, encryption_vector) ==
                  offsetof(CProtectionObject, decryption_vector) + 8,
              "the two vectors form one 16-byte block");
#endif

#endif  // KOVRIN_CPROTECTION_H

// The cipher: keying from a key list and the two stream transforms, with
// their Python-facing methods and native entries.
#include "cprotection_internal.h"

#include "kernels.h"

#include <string.h>

namespace cprotection {

namespace {

// Keying constants.  Both peers must use the same values, and stored
// pickles carry vectors derived from them, so they never change.
// Entry i is XORed with base to give position i of the plain vector.
constexpr unsigned char kPositionOffsets[8] = {0x3d, 0x81, 0xc6, 0x1f, 0x57, 0xa2, 0xe9, 0x64};
// XORed into every byte of the masked vector, so that the two directions
// of one instance never share a vector.
constexpr unsigned char kDirectionMask = 0x5b;

constexpr int kActivateFoldLine = 37;
constexpr int kDecryptCopyLine = 66;
constexpr int kEncryptCopyLine = 96;

const char *const kActivateParams[] = {"keys"};
const char *const kDecryptParams[] = {"encrypted_data"};
const char *const kEncryptParams[] = {"raw_data"};

// Attribute names an override is looked up under.
PyObject *str_activate = nullptr;
PyObject *str_decrypt = nullptr;
PyObject *str_encrypt = nullptr;

// Chosen once at module exec: the fastest kernel this CPU runs.
const Kernel *kernel = &kScalarKernel;

// Up to this many bytes the byte loops write straight into the result.
constexpr Py_ssize_t kShortInput = 1024;

// The body of both data entries: the override dispatch, the pass-through
// before keying, then one direction into a new bytearray.  Longer byte
// loops run in place on a copy of the argument: reading and writing one
// buffer keeps them clear of the stalls that two page-aligned buffers (as
// large allocations are) cause when loads and stores fall 4 KiB apart.
// Short inputs, and kernels that load whole blocks before storing them,
// write straight into an uninitialised result instead.  Anything but an
// exact bytearray (None included) is copied by calling the bytearray type,
// so its errors are the interpreter's own.
PyObject *data_entry(CProtectionObject *self, PyObject *data, int skip_dispatch, PyObject *name,
                     const CallableSpec *spec, unsigned char *vector, Py_ssize_t *index,
                     KernelFunction transform, bool always_separate, int copy_line)
{
    PyObject *result = nullptr;
    int active;
    if (!skip_dispatch) {
        // One case per Dispatch value and no default: a value added later
        // without a case here fails the build (-Wswitch, warnings are errors).
        switch (dispatch_override(self, name, data, spec, true, &result)) {
        case Dispatch::overridden: return result;
        case Dispatch::failed: return nullptr;
        case Dispatch::run_operation: break;
        }
    }
    if (PyByteArray_CheckExact(data)) {
        // An exact bytearray runs no Python code while it is read, so the
        // whole call is one section over the record and the argument: the
        // keying test, the index, the byte loop and the write-back, with
        // the argument's size and bytes held still under the loop.
        Py_BEGIN_CRITICAL_SECTION2(self, data);
        active = self->active;
        if (active) {
            Py_ssize_t size = PyByteArray_GET_SIZE(data);
            bool separate = always_separate || size <= kShortInput;
            result = PyByteArray_FromStringAndSize(separate ? nullptr : PyByteArray_AS_STRING(data), size);
            if (result != nullptr) {
                auto *out = reinterpret_cast<unsigned char *>(PyByteArray_AS_STRING(result));
                const auto *in = separate ? reinterpret_cast<const unsigned char *>(PyByteArray_AS_STRING(data)) : out;
                *index = transform(vector, *index, in, out, size);
            }
        }
        Py_END_CRITICAL_SECTION2();
        if (!active) return Py_NewRef(data);
        if (result == nullptr) add_entry(spec, copy_line);
        return result;
    }
    // Anything else is copied by Python code, which may call back into this
    // instance, so the keying test and the loop are two sections with the
    // copy between them.  The loop then runs on the state the record has
    // when it starts, as it does when the copy's own code changes it; a
    // record reset in between (by that code or by another thread) is
    // tested again there, so that an inactive record never takes bytes and
    // the call is then one that ran after the reset.
    Py_BEGIN_CRITICAL_SECTION(self);
    active = self->active;
    Py_END_CRITICAL_SECTION();
    if (!active) return Py_NewRef(data);
    result = PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyByteArray_Type), data);
    if (result == nullptr) {
        add_entry(spec, copy_line);
        return nullptr;
    }
    Py_BEGIN_CRITICAL_SECTION(self);
    active = self->active;
    if (active) {
        auto *out = reinterpret_cast<unsigned char *>(PyByteArray_AS_STRING(result));
        *index = transform(vector, *index, out, out, PyByteArray_GET_SIZE(result));
    }
    Py_END_CRITICAL_SECTION();
    if (!active) Py_SETREF(result, Py_NewRef(data));
    return result;
}

// ---------------------------------------------------------------------------
// Python-facing methods

// The three Python-facing cipher methods: bind the one argument (one
// positional argument needs no binding), test its exact type, then run the
// native entry without override dispatch.
PyObject *single_argument_method(const CallableSpec *spec, CProtectionEntry entry,
                                 PyTypeObject *expected, bool none_allowed, bool annotated,
                                 PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                 PyObject *kwnames)
{
    PyObject *argument;
    if (nargs == 1 && kwnames == nullptr) {
        argument = args[0];
    } else if (bind_arguments(spec, args, nargs, kwnames, &argument) < 0) {
        add_entry(spec, spec->first_line);
        return nullptr;
    }
    if (check_exact_type(argument, expected, spec->param_names[0], none_allowed, annotated) < 0) {
        return nullptr;
    }
    PyObject *result = entry(reinterpret_cast<CProtectionObject *>(self), argument, 1);
    if (result == nullptr) add_entry(spec, spec->first_line);
    return result;
}

PyObject *activate_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    return single_argument_method(&activate_spec, cipher_activate, &PyList_Type, false, true, self,
                                  args, nargs, kwnames);
}

PyObject *decrypt_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    return single_argument_method(&decrypt_spec, cipher_decrypt, &PyByteArray_Type, true, false,
                                  self, args, nargs, kwnames);
}

PyObject *encrypt_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    return single_argument_method(&encrypt_spec, cipher_encrypt, &PyByteArray_Type, true, false,
                                  self, args, nargs, kwnames);
}

}  // namespace

CallableSpec activate_spec = {
    .name = "activate", .qualname = "CProtection.activate",
    .traceback_name = "kovrin.modules.security.cprotection.CProtection.activate",
    .filename = kModuleSource, .first_line = 27,
    .doc =
        "\n        Activate protection using a list of bytes.\n"
        "        Computes a base by XOR-ing each key, then fills the encryption/decryption vectors.\n"
        "        ",
    .is_method = true, .min_positional = 1, .max_positional = 1,
    .param_names = kActivateParams, .impl = activate_method,
};

CallableSpec decrypt_spec = {
    .name = "decrypt", .qualname = "CProtection.decrypt",
    .traceback_name = "kovrin.modules.security.cprotection.CProtection.decrypt",
    .filename = kModuleSource, .first_line = 53,
    .doc =
        "\n        Decrypt the encrypted_data using the internal decryption vector.\n"
        "        This method does not modify encrypted_data, but returns a new bytearray.\n"
        "        ",
    .is_method = true, .min_positional = 1, .max_positional = 1,
    .param_names = kDecryptParams, .impl = decrypt_method,
};

CallableSpec encrypt_spec = {
    .name = "encrypt", .qualname = "CProtection.encrypt",
    .traceback_name = "kovrin.modules.security.cprotection.CProtection.encrypt",
    .filename = kModuleSource, .first_line = 84,
    .doc =
        "\n        Encrypt the raw_data using the internal encryption vector.\n"
        "        Returns a new bytearray with the encrypted data.\n"
        "        ",
    .is_method = true, .min_positional = 1, .max_positional = 1,
    .param_names = kEncryptParams, .impl = encrypt_method,
};

// ---------------------------------------------------------------------------
// Native entries

PyObject *cipher_activate(CProtectionObject *self, PyObject *keys, int skip_dispatch)
{
    PyObject *result = nullptr;
    if (!skip_dispatch) {
        switch (dispatch_override(self, str_activate, keys, &activate_spec, false, &result)) {
        case Dispatch::overridden: return result;
        case Dispatch::failed: return nullptr;
        case Dispatch::run_operation: break;
        }
    }
    // Compiled callers reach this entry without the method's exact-type
    // test; anything but a list would be read as one.
    if (!PyList_Check(keys)) {
        raise_argument_type(keys, &PyList_Type, "keys");
        return nullptr;
    }
    // Fold into a local: a key that fails to convert leaves the record
    // exactly as it was, so a retry starts from the same base.  Each key
    // runs its conversion with no section open.
    unsigned char fold = 0;
    Py_INCREF(keys);
    for (Py_ssize_t i = 0;; ++i) {
        // Read the length again each step, under the list's own section:
        // an __int__ or another thread may have changed the list.
        PyObject *item = nullptr;
        Py_BEGIN_CRITICAL_SECTION(keys);
        if (i < PyList_GET_SIZE(keys)) item = Py_NewRef(PyList_GET_ITEM(keys, i));
        Py_END_CRITICAL_SECTION();
        if (item == nullptr) break;
        int key;
        int status = convert_int32(item, &key);
        Py_DECREF(item);
        if (status < 0) {
            add_entry(&activate_spec, kActivateFoldLine);
            Py_DECREF(keys);
            return nullptr;
        }
        fold ^= static_cast<unsigned char>(key & 0xff);
    }
    Py_DECREF(keys);

    // The base is read and written back in one section, so that keyings
    // of the same record, from other threads or from a key's own __int__,
    // each add their fold and none is lost.
    Py_BEGIN_CRITICAL_SECTION(self);
    unsigned char base = self->base ^ fold;
    unsigned char plain[8], masked[8];
    for (int i = 0; i < 8; ++i) {
        plain[i] = base ^ kPositionOffsets[i];
        masked[i] = plain[i] ^ kDirectionMask;
    }
    self->base = base;
    memcpy(self->decryption_vector, self->flip_direction ? masked : plain, 8);
    memcpy(self->encryption_vector, self->flip_direction ? plain : masked, 8);
    self->active = 1;
    Py_END_CRITICAL_SECTION();
    Py_RETURN_NONE;
}

PyObject *cipher_decrypt(CProtectionObject *self, PyObject *data, int skip_dispatch)
{
    return data_entry(self, data, skip_dispatch, str_decrypt, &decrypt_spec, self->decryption_vector,
                      &self->decryption_index, kernel->decrypt, false, kDecryptCopyLine);
}

PyObject *cipher_encrypt(CProtectionObject *self, PyObject *data, int skip_dispatch)
{
    return data_entry(self, data, skip_dispatch, str_encrypt, &encrypt_spec, self->encryption_vector,
                      &self->encryption_index, kernel->encrypt, kernel->encrypt_out_of_place,
                      kEncryptCopyLine);
}

int init_cipher(void)
{
    kernel = &best_kernel();
    if (intern_once(&str_activate, "activate") < 0 || intern_once(&str_decrypt, "decrypt") < 0 ||
        intern_once(&str_encrypt, "encrypt") < 0) {
        return -1;
    }
    return 0;
}

}  // namespace cprotection

// The cipher: keying from a key list and the two stream transforms, with
// their Python-facing methods and native entries.
#define CPROTECTION_BUILDING_MODULE
#include "cprotection.h"

#include <stdint.h>
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

inline uint64_t load_vector(const unsigned char vector[8])
{
    uint64_t word = 0;
    for (int i = 7; i >= 0; --i) word = (word << 8) | vector[i];
    return word;
}

inline void store_vector(unsigned char vector[8], uint64_t word)
{
    for (int i = 0; i < 8; ++i) vector[i] = static_cast<unsigned char>(word >> (8 * i));
}

// The vector lives in a 64-bit word, byte k at bits 8k, and the index as a
// bit offset.  Only the low six bits of `shift` are ever used, so the index
// step needs no masking: shift ^ (byte << 3) moves it by (byte & 7) * 8.
//
// Encrypting byte p at position k: out = v[k] ^ p, then v[k] = p, which is
// v ^= out << 8k.  Decrypting byte c: p = v[k] ^ c, then v[k] = p, which is
// v ^= c << 8k; either way the index moves by the plaintext's low bits.
Py_ssize_t encrypt_bytes(unsigned char vector[8], Py_ssize_t index,
                         const unsigned char *src, unsigned char *dst, Py_ssize_t n)
{
    uint64_t word = load_vector(vector);
    uint64_t shift = static_cast<uint64_t>(index & 7) << 3;
    for (Py_ssize_t i = 0; i < n; ++i) {
        uint64_t plain = src[i];
        uint64_t out = ((word >> (shift & 63)) ^ plain) & 0xff;
        dst[i] = static_cast<unsigned char>(out);
        word ^= out << (shift & 63);
        shift ^= plain << 3;
    }
    store_vector(vector, word);
    return static_cast<Py_ssize_t>((shift >> 3) & 7);
}

Py_ssize_t decrypt_bytes(unsigned char vector[8], Py_ssize_t index,
                         const unsigned char *src, unsigned char *dst, Py_ssize_t n)
{
    uint64_t word = load_vector(vector);
    uint64_t shift = static_cast<uint64_t>(index & 7) << 3;
    for (Py_ssize_t i = 0; i < n; ++i) {
        uint64_t cipher = src[i];
        uint64_t lane = word >> (shift & 63);
        dst[i] = static_cast<unsigned char>(lane ^ cipher);
        word ^= cipher << (shift & 63);
        shift ^= (lane ^ cipher) << 3;
    }
    store_vector(vector, word);
    return static_cast<Py_ssize_t>((shift >> 3) & 7);
}

using Transform = Py_ssize_t (*)(unsigned char *, Py_ssize_t, const unsigned char *,
                                 unsigned char *, Py_ssize_t);

// Builds the new bytearray and runs one direction over it.  An exact
// bytearray is transformed straight from its buffer into an uninitialised
// result; anything else (None included) goes through the bytearray type, so
// its errors are the interpreter's own, and is then transformed in place.
PyObject *run_transform(PyObject *data, unsigned char *vector, Py_ssize_t *index,
                        Transform transform, const CallableSpec *spec, int copy_line)
{
    PyObject *result;
    const unsigned char *src;
    if (PyByteArray_CheckExact(data)) {
        result = PyByteArray_FromStringAndSize(nullptr, PyByteArray_GET_SIZE(data));
        src = reinterpret_cast<const unsigned char *>(PyByteArray_AS_STRING(data));
    } else {
        result = PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyByteArray_Type), data);
        src = result ? reinterpret_cast<const unsigned char *>(PyByteArray_AS_STRING(result)) : nullptr;
    }
    if (result == nullptr) {
        add_traceback(spec->traceback_name, copy_line, spec->filename);
        return nullptr;
    }
    auto *dst = reinterpret_cast<unsigned char *>(PyByteArray_AS_STRING(result));
    *index = transform(vector, *index, src, dst, PyByteArray_GET_SIZE(result));
    return result;
}

// ---------------------------------------------------------------------------
// Python-facing methods

PyObject *activate_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames)
{
    PyObject *keys;
    if (bind_arguments(&activate_spec, args, nargs, kwnames, &keys) < 0) {
        add_traceback(activate_spec.traceback_name, activate_spec.first_line, activate_spec.filename);
        return nullptr;
    }
    if (check_exact_type(keys, &PyList_Type, "keys", false, true) < 0) return nullptr;
    PyObject *result = cipher_activate(reinterpret_cast<CProtectionObject *>(self), keys, 1);
    if (result == nullptr) {
        add_traceback(activate_spec.traceback_name, activate_spec.first_line, activate_spec.filename);
    }
    return result;
}

PyObject *data_method(const CallableSpec *spec, CProtectionEntry entry, const char *param,
                      PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *data;
    if (bind_arguments(spec, args, nargs, kwnames, &data) < 0) {
        add_traceback(spec->traceback_name, spec->first_line, spec->filename);
        return nullptr;
    }
    if (check_exact_type(data, &PyByteArray_Type, param, true, false) < 0) return nullptr;
    PyObject *result = entry(reinterpret_cast<CProtectionObject *>(self), data, 1);
    if (result == nullptr) {
        add_traceback(spec->traceback_name, spec->first_line, spec->filename);
    }
    return result;
}

PyObject *decrypt_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    return data_method(&decrypt_spec, cipher_decrypt, "encrypted_data", self, args, nargs, kwnames);
}

PyObject *encrypt_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    return data_method(&encrypt_spec, cipher_encrypt, "raw_data", self, args, nargs, kwnames);
}

}  // namespace

PyObject *str_activate = nullptr;
PyObject *str_decrypt = nullptr;
PyObject *str_encrypt = nullptr;

CallableSpec activate_spec = {
    "activate", "CProtection.activate",
    "kovrin.modules.security.cprotection.CProtection.activate", kModuleSource, 27,
    "\n        Activate protection using a list of bytes.\n"
    "        Computes a base by XOR-ing each key, then fills the encryption/decryption vectors.\n"
    "        ",
    true, 1, 1, kActivateParams, activate_method, {}, nullptr,
};

CallableSpec decrypt_spec = {
    "decrypt", "CProtection.decrypt",
    "kovrin.modules.security.cprotection.CProtection.decrypt", kModuleSource, 53,
    "\n        Decrypt the encrypted_data using the internal decryption vector.\n"
    "        This method does not modify encrypted_data, but returns a new bytearray.\n"
    "        ",
    true, 1, 1, kDecryptParams, decrypt_method, {}, nullptr,
};

CallableSpec encrypt_spec = {
    "encrypt", "CProtection.encrypt",
    "kovrin.modules.security.cprotection.CProtection.encrypt", kModuleSource, 84,
    "\n        Encrypt the raw_data using the internal encryption vector.\n"
    "        Returns a new bytearray with the encrypted data.\n"
    "        ",
    true, 1, 1, kEncryptParams, encrypt_method, {}, nullptr,
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
    // Fold into a local: a key that fails to convert leaves the record
    // exactly as it was, so a retry starts from the same base.
    unsigned char base = self->base;
    Py_INCREF(keys);
    // Read the length again each step: an __int__ may have changed the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys); ++i) {
        PyObject *item = Py_NewRef(PyList_GET_ITEM(keys, i));
        int key;
        int status = convert_int32(item, &key);
        Py_DECREF(item);
        if (status < 0) {
            add_traceback(activate_spec.traceback_name, kActivateFoldLine, activate_spec.filename);
            Py_DECREF(keys);
            return nullptr;
        }
        base ^= static_cast<unsigned char>(key & 0xff);
    }
    Py_DECREF(keys);

    unsigned char plain[8], masked[8];
    for (int i = 0; i < 8; ++i) {
        plain[i] = base ^ kPositionOffsets[i];
        masked[i] = plain[i] ^ kDirectionMask;
    }
    self->base = base;
    memcpy(self->decryption_vector, self->flip_direction ? masked : plain, 8);
    memcpy(self->encryption_vector, self->flip_direction ? plain : masked, 8);
    self->active = 1;
    Py_RETURN_NONE;
}

PyObject *cipher_decrypt(CProtectionObject *self, PyObject *data, int skip_dispatch)
{
    PyObject *result = nullptr;
    if (!skip_dispatch) {
        switch (dispatch_override(self, str_decrypt, data, &decrypt_spec, true, &result)) {
        case Dispatch::overridden: return result;
        case Dispatch::failed: return nullptr;
        case Dispatch::run_operation: break;
        }
    }
    if (!self->active) return Py_NewRef(data);
    return run_transform(data, self->decryption_vector, &self->decryption_index, decrypt_bytes,
                         &decrypt_spec, kDecryptCopyLine);
}

PyObject *cipher_encrypt(CProtectionObject *self, PyObject *data, int skip_dispatch)
{
    PyObject *result = nullptr;
    if (!skip_dispatch) {
        switch (dispatch_override(self, str_encrypt, data, &encrypt_spec, true, &result)) {
        case Dispatch::overridden: return result;
        case Dispatch::failed: return nullptr;
        case Dispatch::run_operation: break;
        }
    }
    if (!self->active) return Py_NewRef(data);
    return run_transform(data, self->encryption_vector, &self->encryption_index, encrypt_bytes,
                         &encrypt_spec, kEncryptCopyLine);
}

int init_cipher(void)
{
    str_activate = PyUnicode_InternFromString("activate");
    str_decrypt = PyUnicode_InternFromString("decrypt");
    str_encrypt = PyUnicode_InternFromString("encrypt");
    if (str_activate == nullptr || str_decrypt == nullptr || str_encrypt == nullptr) return -1;
    return 0;
}

}  // namespace cprotection

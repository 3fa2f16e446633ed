// Pickle support: the reduce value, the set-state method and the module
// level unpickle function, with the state tuple's conversions.
#include "cprotection_internal.h"

#include <string.h>

namespace cprotection {

namespace {

// The state tuple layout is identified by the first seven hex digits of a
// digest of its field names: SHA-256 (the one we emit), SHA-1 and MD5.
constexpr long long kEmittedChecksum = 0xc4c669c;
constexpr long long kSha1Checksum = 0x635491f;
constexpr long long kMd5Checksum = 0xd001271;
constexpr char kStateFields[] =
    "active, base, decryption_index, decryption_vector, encryption_index, "
    "encryption_vector, flip_direction";

constexpr char kSetStateName[] =
    "kovrin.modules.security.cprotection.__pyx_unpickle_CProtection__set_state";
constexpr char kVectorConversionName[] = "carray.from_py.__Pyx_carray_from_py_unsigned_char";

constexpr Py_ssize_t kVectorSize = 8;
constexpr Py_ssize_t kStateFieldCount = 7;

// The line each traceback entry names, by function; stored tracebacks and
// their readers compare them, so they never move.
// The vector conversion: its length, its iterator, an item, the count.
constexpr int kVectorLengthLine = 82, kVectorIterLine = 86, kVectorItemLine = 89, kVectorCountLine = 95;
// The set-state helper: the seven fields, then the instance dictionary.
constexpr int kSetStateFieldsLine = 12, kSetStateDictLine = 13;
// __reduce_cython__: its definition, the state tuple, __dict__, its truth,
// the longer tuple, and the reduce value with or without a __setstate__ state.
constexpr int kReduceLine = 1, kReduceStateLine = 5, kReduceDictLine = 6, kReduceFlagLine = 7;
constexpr int kReduceExtendLine = 8, kReduceWithSetStateLine = 13, kReduceValueLine = 15;
// __setstate_cython__: its arguments, then the state.
constexpr int kSetStateCythonLine = 16, kSetStateApplyLine = 17;
// __pyx_unpickle_CProtection: its arguments, the checksum, the new instance,
// its state.
constexpr int kUnpickleLine = 4, kUnpickleChecksumLine = 6, kUnpickleNewLine = 7, kUnpickleStateLine = 9;

const char *const kSetStateParams[] = {"__pyx_state"};
const char *const kUnpickleParams[] = {"__pyx_type", "__pyx_checksum", "__pyx_state"};

PyObject *checksum_object = nullptr;
PyObject *str_dict = nullptr;
PyObject *str_new = nullptr;
PyObject *str_update = nullptr;
PyObject *str_unpickle = nullptr;

void add_reduce_traceback(int line)
{
    add_entry(&reduce_spec, line);
}

void add_vector_traceback(int line)
{
    add_traceback(kVectorConversionName, line, kStringSource);
}

// ---------------------------------------------------------------------------
// State conversions

int raise_too_many_values(void)
{
    PyErr_Format(PyExc_IndexError, "too many values found during array assignment, expected %zd",
                 kVectorSize);
    add_vector_traceback(kVectorCountLine);
    return -1;
}

int raise_not_enough_values(Py_ssize_t count)
{
    PyErr_Format(PyExc_IndexError,
                 "not enough values found during array assignment, expected %zd, got %zd",
                 kVectorSize, count);
    add_vector_traceback(kVectorCountLine);
    return -1;
}

// Fills `out` with exactly eight bytes taken from any sized sequence or
// iterable of integers 0..255.  A list is walked at its current length at
// every step (its iterator reads it anew), so conversion code that resizes
// it is seen.
int convert_vector(PyObject *value, unsigned char out[kVectorSize])
{
    Py_ssize_t length = PyObject_Length(value);
    if (length < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError)) {
            add_vector_traceback(kVectorLengthLine);
            return -1;
        }
        // Unsized iterables are counted while walking.
        PyErr_Clear();
        length = kVectorSize;
    }
    if (length > kVectorSize) return raise_too_many_values();
    if (length < kVectorSize) return raise_not_enough_values(length);

    PyObject *iterator = PyObject_GetIter(value);
    if (iterator == nullptr) {
        add_vector_traceback(kVectorIterLine);
        return -1;
    }
    Py_ssize_t count = 0;
    PyObject *item;
    while ((item = PyIter_Next(iterator)) != nullptr) {
        int status = count == kVectorSize ? -2 : convert_uint8(item, &out[count]);
        Py_DECREF(item);
        if (status < 0) {
            Py_DECREF(iterator);
            if (status == -2) return raise_too_many_values();
            add_vector_traceback(kVectorItemLine);
            return -1;
        }
        ++count;
    }
    Py_DECREF(iterator);
    if (PyErr_Occurred()) {
        add_vector_traceback(kVectorIterLine);
        return -1;
    }
    if (count != kVectorSize) return raise_not_enough_values(count);
    return 0;
}

// Indices go through __index__; a value outside 0..7 would send the
// transforms outside the vectors, so it is refused here.
int convert_index(PyObject *obj, const char *field, Py_ssize_t *out)
{
    PyObject *value = PyLong_CheckExact(obj) ? Py_NewRef(obj) : PyNumber_Index(obj);
    if (value == nullptr) return -1;
    long long index = PyLong_AsLongLong(value);
    Py_DECREF(value);
    if (index == -1 && PyErr_Occurred()) return -1;
    if (index < 0 || index >= kVectorSize) {
        PyErr_Format(PyExc_ValueError, "%s out of range: %lld (expected 0..7)", field, index);
        return -1;
    }
    *out = static_cast<Py_ssize_t>(index);
    return 0;
}

PyObject *state_item(PyObject *state, Py_ssize_t position)
{
    if (position >= PyTuple_GET_SIZE(state)) {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return nullptr;
    }
    return PyTuple_GET_ITEM(state, position);
}

// Position 7 of a deferred-form state: the instance dictionary's contents.
// A plain dict takes them only once all were read: a mapping whose keys()
// or __getitem__ fails partway leaves the instance dictionary as it was.
// A dict subclass's own update() gets the mapping itself and answers for
// what it does with it.
int apply_instance_dict(PyObject *self, PyObject *state)
{
    PyObject *extra = PyTuple_GET_ITEM(state, kStateFieldCount);
    PyObject *dict = nullptr, *collected = nullptr, *result = nullptr;
    int status = PyObject_IsTrue(extra);
    if (status <= 0) return status;
    status = -1;
    dict = PyObject_GenericGetDict(self, nullptr);
    if (dict == nullptr) goto done;
    if (PyDict_CheckExact(dict)) {
        collected = PyDict_New();
        if (collected == nullptr || PyDict_Update(collected, extra) < 0) goto done;
        status = PyDict_Update(dict, collected);
    } else {
        result = PyObject_CallMethodOneArg(dict, str_update, extra);
        status = result ? 0 : -1;
    }
done:
    Py_XDECREF(result);
    Py_XDECREF(collected);
    Py_XDECREF(dict);
    return status;
}

// The record's fields, apart from the instance: a restore's converted
// values, or a snapshot for the reduce value.
struct RecordFields {
    int active;
    unsigned char base;
    Py_ssize_t decryption_index;
    unsigned char decryption_vector[kVectorSize];
    Py_ssize_t encryption_index;
    unsigned char encryption_vector[kVectorSize];
    int flip_direction;
};

// Converts all seven fields first and stores them only when every one
// converted and the instance dictionary was updated: a failed restore
// leaves the record exactly as it was.
int apply_state(CProtectionObject *self, PyObject *state)
{
    RecordFields restored;
    PyObject *item;
    int flag;

    if ((item = state_item(state, 0)) == nullptr || (flag = convert_flag(item)) < 0) goto error;
    restored.active = flag;
    if ((item = state_item(state, 1)) == nullptr || convert_uint8(item, &restored.base) < 0) goto error;
    if ((item = state_item(state, 2)) == nullptr ||
        convert_index(item, "decryption_index", &restored.decryption_index) < 0) goto error;
    if ((item = state_item(state, 3)) == nullptr ||
        convert_vector(item, restored.decryption_vector) < 0) goto error;
    if ((item = state_item(state, 4)) == nullptr ||
        convert_index(item, "encryption_index", &restored.encryption_index) < 0) goto error;
    if ((item = state_item(state, 5)) == nullptr ||
        convert_vector(item, restored.encryption_vector) < 0) goto error;
    if ((item = state_item(state, 6)) == nullptr || (flag = convert_flag(item)) < 0) goto error;
    restored.flip_direction = flag;

    if (PyTuple_GET_SIZE(state) > kStateFieldCount &&
        apply_instance_dict(reinterpret_cast<PyObject *>(self), state) < 0) {
        add_traceback(kSetStateName, kSetStateDictLine, kStringSource);
        return -1;
    }

    // Every conversion above may run Python code; the store alone is one
    // section, so no call sees a half-restored record.
    Py_BEGIN_CRITICAL_SECTION(self);
    self->active = restored.active;
    self->base = restored.base;
    self->decryption_index = restored.decryption_index;
    memcpy(self->decryption_vector, restored.decryption_vector, kVectorSize);
    self->encryption_index = restored.encryption_index;
    memcpy(self->encryption_vector, restored.encryption_vector, kVectorSize);
    self->flip_direction = restored.flip_direction;
    Py_END_CRITICAL_SECTION();
    return 0;
error:
    add_traceback(kSetStateName, kSetStateFieldsLine, kStringSource);
    return -1;
}

// A checksum outside 0..0xffffffff is shown with its full signed value.
void raise_incompatible_checksum(long long checksum)
{
    PyObject *pickle = PyImport_ImportModule("pickle");
    if (pickle == nullptr) return;
    PyObject *error_class = PyObject_GetAttrString(pickle, "PickleError");
    Py_DECREF(pickle);
    if (error_class == nullptr) return;
    char received[32];
    if (checksum < 0) {
        PyOS_snprintf(received, sizeof received, "-0x%llx", 0ULL - static_cast<unsigned long long>(checksum));
    } else {
        PyOS_snprintf(received, sizeof received, "0x%llx", static_cast<unsigned long long>(checksum));
    }
    PyErr_Format(error_class, "Incompatible checksums (%s vs (0x%x, 0x%x, 0x%x) = (%s))", received,
                 static_cast<unsigned>(kEmittedChecksum), static_cast<unsigned>(kSha1Checksum),
                 static_cast<unsigned>(kMd5Checksum), kStateFields);
    Py_DECREF(error_class);
}

// Found by name at every call, as a global would be.
PyObject *lookup_unpickle_function(void)
{
    PyObject *func;
    // No namespace to look in before the import has succeeded.
    PyObject *globals = module_dict.load(std::memory_order_acquire);
    if (globals != nullptr && PyDict_GetItemRef(globals, str_unpickle, &func) != 0) return func;
    if (PyObject_GetOptionalAttr(builtins_module, str_unpickle, &func) != 0) return func;
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", str_unpickle);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Callables

PyObject *reduce_impl(PyObject *op, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    auto *self = reinterpret_cast<CProtectionObject *>(op);
    PyObject *state = nullptr, *dict = nullptr, *func = nullptr, *result = nullptr;
    int use_setstate = 0;

    RecordFields snapshot;

    if (bind_arguments(&reduce_spec, args, nargs, kwnames, nullptr) < 0) return nullptr;

    // One consistent copy of the record, taken in one section; the objects
    // are built from the copy once it has closed.
    Py_BEGIN_CRITICAL_SECTION(self);
    snapshot.active = self->active;
    snapshot.base = self->base;
    snapshot.decryption_index = self->decryption_index;
    memcpy(snapshot.decryption_vector, self->decryption_vector, kVectorSize);
    snapshot.encryption_index = self->encryption_index;
    memcpy(snapshot.encryption_vector, self->encryption_vector, kVectorSize);
    snapshot.flip_direction = self->flip_direction;
    Py_END_CRITICAL_SECTION();
    state = Py_BuildValue("(Obny#ny#O)", snapshot.active ? Py_True : Py_False, snapshot.base,
                          snapshot.decryption_index, snapshot.decryption_vector, kVectorSize,
                          snapshot.encryption_index, snapshot.encryption_vector, kVectorSize,
                          snapshot.flip_direction ? Py_True : Py_False);
    if (state == nullptr) {
        add_reduce_traceback(kReduceStateLine);
        goto done;
    }
    if (PyObject_GetOptionalAttr(op, str_dict, &dict) < 0) {
        add_reduce_traceback(kReduceDictLine);
        goto done;
    }
    if (dict != nullptr && dict != Py_None) {
        use_setstate = convert_flag(dict);
        if (use_setstate < 0) {
            add_reduce_traceback(kReduceFlagLine);
            goto done;
        }
        if (use_setstate) {
            PyObject *extended = PyTuple_New(kStateFieldCount + 1);
            if (extended == nullptr) {
                add_reduce_traceback(kReduceExtendLine);
                goto done;
            }
            for (Py_ssize_t i = 0; i < kStateFieldCount; ++i) {
                PyTuple_SET_ITEM(extended, i, Py_NewRef(PyTuple_GET_ITEM(state, i)));
            }
            PyTuple_SET_ITEM(extended, kStateFieldCount, Py_NewRef(dict));
            Py_SETREF(state, extended);
        }
    }
    func = lookup_unpickle_function();
    if (func != nullptr) {
        if (use_setstate) {
            result = Py_BuildValue("(O(OOO)O)", func, Py_TYPE(op), checksum_object, Py_None, state);
        } else {
            result = Py_BuildValue("(O(OOO))", func, Py_TYPE(op), checksum_object, state);
        }
    }
    if (result == nullptr) add_reduce_traceback(use_setstate ? kReduceWithSetStateLine : kReduceValueLine);
done:
    Py_XDECREF(state);
    Py_XDECREF(dict);
    Py_XDECREF(func);
    return result;
}

PyObject *setstate_impl(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *state;
    if (bind_arguments(&setstate_spec, args, nargs, kwnames, &state) < 0) {
        add_entry(&setstate_spec, kSetStateCythonLine);
        return nullptr;
    }
    if (!PyTuple_CheckExact(state)) {
        if (state == Py_None) {
            raise_none_refused();
        } else {
            raise_unexpected_type("tuple", state);
        }
        add_entry(&setstate_spec, kSetStateApplyLine);
        return nullptr;
    }
    if (apply_state(reinterpret_cast<CProtectionObject *>(self), state) < 0) {
        add_entry(&setstate_spec, kSetStateApplyLine);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *unpickle_impl(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *slots[3];
    long long checksum;
    PyObject *new_method = nullptr, *instance = nullptr;

    if (bind_arguments(&unpickle_spec, args, nargs, kwnames, slots) < 0 ||
        convert_int64(slots[1], &checksum) < 0) {
        add_entry(&unpickle_spec, kUnpickleLine);
        return nullptr;
    }
    PyObject *type = slots[0], *state = slots[2];
    if (check_exact_type(state, &PyTuple_Type, "__pyx_state", true, false) < 0) return nullptr;
    if (checksum != kEmittedChecksum && checksum != kSha1Checksum && checksum != kMd5Checksum) {
        raise_incompatible_checksum(checksum);
        add_entry(&unpickle_spec, kUnpickleChecksumLine);
        return nullptr;
    }
    // Always the class this module created, whatever the namespace holds now.
    new_method = PyObject_GetAttr(reinterpret_cast<PyObject *>(&CProtectionType), str_new);
    if (new_method != nullptr) {
        instance = PyObject_CallOneArg(new_method, type);
        Py_DECREF(new_method);
    }
    if (instance == nullptr) {
        add_entry(&unpickle_spec, kUnpickleNewLine);
        return nullptr;
    }
    if (state != Py_None &&
        apply_state(reinterpret_cast<CProtectionObject *>(instance), state) < 0) {
        Py_DECREF(instance);
        add_entry(&unpickle_spec, kUnpickleStateLine);
        return nullptr;
    }
    return instance;
}

}  // namespace

CallableSpec reduce_spec = {
    .name = "__reduce_cython__", .qualname = "CProtection.__reduce_cython__",
    .traceback_name = "kovrin.modules.security.cprotection.CProtection.__reduce_cython__",
    .filename = kStringSource, .first_line = kReduceLine,
    .is_method = true, .impl = reduce_impl,
};

CallableSpec setstate_spec = {
    .name = "__setstate_cython__", .qualname = "CProtection.__setstate_cython__",
    .traceback_name = "kovrin.modules.security.cprotection.CProtection.__setstate_cython__",
    .filename = kStringSource, .first_line = kSetStateCythonLine,
    .is_method = true, .min_positional = 1, .max_positional = 1,
    .param_names = kSetStateParams, .impl = setstate_impl,
};

CallableSpec unpickle_spec = {
    .name = "__pyx_unpickle_CProtection", .qualname = "__pyx_unpickle_CProtection",
    .traceback_name = "kovrin.modules.security.cprotection.__pyx_unpickle_CProtection",
    .filename = kStringSource, .first_line = kUnpickleLine,
    .min_positional = 3, .max_positional = 3,
    .param_names = kUnpickleParams, .impl = unpickle_impl,
};

// The class's built-in methods; module initialisation moves them to
// __reduce__ and __setstate__.
PyMethodDef pickle_methods[] = {
    {"__reduce_cython__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(reduce_impl)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate_cython__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(setstate_impl)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int init_pickle_support(void)
{
    if (checksum_object == nullptr) {
        checksum_object = PyLong_FromLongLong(kEmittedChecksum);
        if (checksum_object == nullptr) return -1;
    }
    if (intern_once(&str_dict, "__dict__") < 0 || intern_once(&str_new, "__new__") < 0 ||
        intern_once(&str_update, "update") < 0 ||
        intern_once(&str_unpickle, "__pyx_unpickle_CProtection") < 0) {
        return -1;
    }
    return 0;
}

}  // namespace cprotection

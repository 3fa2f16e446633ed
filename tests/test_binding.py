"""Argument binding, exact-type tests, conversions and traceback entries of every callable."""

import collections
import ctypes
import pickle
import sys
import warnings

import pytest

from helpers import IndexOnly, IntLike, module_entries, python_capi, traceback_entries
from kovrin.modules.security import cprotection
from kovrin.modules.security.cprotection import CProtection, __pyx_unpickle_CProtection as unpickle

pytestmark = pytest.mark.core

FULL_NAME = "kovrin.modules.security.cprotection"
SOURCE = "modules/security/cprotection"
STRINGSOURCE = "<stringsource>"
CHECKSUM = 0xC4C669C
ZERO = bytes(8)
FIELDS = ("active, base, decryption_index, decryption_vector, encryption_index, "
          "encryption_vector, flip_direction")

INIT = (f"{FULL_NAME}.CProtection.__init__", SOURCE, 14)
ACTIVATE = (f"{FULL_NAME}.CProtection.activate", SOURCE, 27)
ACTIVATE_KEY = (f"{FULL_NAME}.CProtection.activate", SOURCE, 37)
DECRYPT = (f"{FULL_NAME}.CProtection.decrypt", SOURCE, 53)
ENCRYPT = (f"{FULL_NAME}.CProtection.encrypt", SOURCE, 84)
SETSTATE = (f"{FULL_NAME}.CProtection.__setstate_cython__", STRINGSOURCE, 16)
SETSTATE_BODY = (f"{FULL_NAME}.CProtection.__setstate_cython__", STRINGSOURCE, 17)
SET_STATE = (f"{FULL_NAME}.__pyx_unpickle_CProtection__set_state", STRINGSOURCE, 12)
UNPICKLE = (f"{FULL_NAME}.__pyx_unpickle_CProtection", STRINGSOURCE, 4)
UNPICKLE_CHECKSUM = (f"{FULL_NAME}.__pyx_unpickle_CProtection", STRINGSOURCE, 6)

INT_SUBCLASS_WARNING = ("__int__ returned non-int (type {}).  The ability to return an instance "
                        "of a strict subclass of int is deprecated, and may be removed in a "
                        "future version of Python.")

# A handle of our own, so that setting restype/argtypes does not leak into other tests.
capi = python_capi()
capi.PyObject_Vectorcall.restype = ctypes.py_object
capi.PyObject_Vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t,
                                     ctypes.py_object]
capi.PyLong_AsLongLong.restype = ctypes.c_longlong
capi.PyLong_AsLongLong.argtypes = [ctypes.py_object]
capi.PyLong_AsUnsignedLongLong.restype = ctypes.c_ulonglong
capi.PyLong_AsUnsignedLongLong.argtypes = [ctypes.py_object]


def host_overflow_message(conversion, value):
    """The interpreter's own message for a value its 64-bit conversion refuses."""
    with pytest.raises(OverflowError) as info:
        conversion(value)
    return str(info.value)


def vectorcall(function, args, kwnames, kwvalues):
    """Calls function the way compiled code does, with any objects as keyword names."""
    items = [*args, *kwvalues]
    array = (ctypes.py_object * len(items))(*items)
    return capi.PyObject_Vectorcall(function, ctypes.cast(array, ctypes.c_void_p), len(args),
                                    tuple(kwnames))


def equal_copy(name):
    """A new string equal to name, so that it is not the interned parameter name."""
    copy = "".join(list(name))
    assert copy == name and copy is not sys.intern(name)
    return copy


def state(obj):
    return obj.__reduce__()[1][2]


def busy():
    """A keyed instance that has already transformed data in both directions."""
    obj = CProtection(True)
    obj.activate([0x5A, 0x13, 7])
    obj.encrypt(bytearray(b"some stream data"))
    obj.decrypt(bytearray(b"reply"))
    assert state(obj)[0] is True
    return obj


class IntSubclass(int):
    pass



class RaisingInt:
    def __int__(self):
        raise LookupError("no int")


class AlwaysEqual(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return True


class RaisingEqual(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise LookupError("no comparison")


class ListSubclass(list):
    pass


class BytearraySubclass(bytearray):
    pass


DATA = bytearray(b"payload")
OBJ = CProtection()


# --- argument counts and keywords ---------------------------------------------------------

# Non-string keyword names, from a dict or from a compiled caller.
NON_STRING_KEYWORDS = [
    (lambda: OBJ.encrypt(**{1: DATA}), "keywords must be strings", []),
    (lambda: OBJ.encrypt(DATA, **{"raw_data": DATA, 2: DATA}), "keywords must be strings", []),
    (lambda: OBJ.__reduce_cython__(**{1: 2}), "keywords must be strings", []),
    (lambda: CProtection(**{1: 2}), "keywords must be strings", [INIT]),
    (lambda: CProtection(**{"flip_direction": 1, 2: 3}), "keywords must be strings", [INIT]),
    (lambda: vectorcall(OBJ.encrypt, [], [1], [DATA]), "encrypt() keywords must be strings",
     [ENCRYPT]),
    (lambda: vectorcall(OBJ.encrypt, [DATA], [b"raw_data"], [DATA]),
     "encrypt() keywords must be strings", [ENCRYPT]),
    (lambda: vectorcall(CProtection.activate, [OBJ], [2], [[]]),
     "activate() keywords must be strings", [ACTIVATE]),
    (lambda: vectorcall(OBJ.__reduce_cython__, [], [1], [2]),
     "__reduce_cython__() keywords must be strings", []),
    (lambda: vectorcall(unpickle, [CProtection, CHECKSUM], [3], [None]),
     "__pyx_unpickle_CProtection() keywords must be strings", [UNPICKLE]),
    (lambda: vectorcall(CProtection, [], [1], [True]), "keywords must be strings", [INIT]),
]


@pytest.mark.parametrize("call, message, entries", [
    (lambda: OBJ.encrypt(), "encrypt() takes exactly 1 positional argument (0 given)", [ENCRYPT]),
    (lambda: OBJ.encrypt(DATA, DATA), "encrypt() takes exactly 1 positional argument (2 given)",
     [ENCRYPT]),
    (lambda: OBJ.encrypt(DATA, DATA, bogus=1),
     "encrypt() takes exactly 1 positional argument (2 given)", [ENCRYPT]),
    (lambda: OBJ.decrypt(), "decrypt() takes exactly 1 positional argument (0 given)", [DECRYPT]),
    (lambda: OBJ.activate([], []), "activate() takes exactly 1 positional argument (2 given)",
     [ACTIVATE]),
    (lambda: OBJ.activate(), "activate() takes exactly 1 positional argument (0 given)",
     [ACTIVATE]),
    (lambda: CProtection(1, 2), "__init__() takes at most 1 positional argument (2 given)", [INIT]),
    (lambda: CProtection(1, 2, flip=3), "__init__() takes at most 1 positional argument (2 given)",
     [INIT]),
    (lambda: OBJ.__reduce_cython__(1),
     "__reduce_cython__() takes exactly 0 positional arguments (1 given)", []),
    (lambda: OBJ.__reduce__(1),
     "__reduce_cython__() takes exactly 0 positional arguments (1 given)", []),
    (lambda: OBJ.__setstate_cython__(),
     "__setstate_cython__() takes exactly 1 positional argument (0 given)", [SETSTATE]),
    (lambda: unpickle(), "__pyx_unpickle_CProtection() takes exactly 3 positional arguments "
     "(0 given)", [UNPICKLE]),
    (lambda: unpickle(CProtection, CHECKSUM, None, None),
     "__pyx_unpickle_CProtection() takes exactly 3 positional arguments (4 given)", [UNPICKLE]),
    (lambda: unpickle(CProtection, __pyx_state=None),
     "__pyx_unpickle_CProtection() takes exactly 3 positional arguments (1 given)", [UNPICKLE]),
    # The number given is the position of the first empty parameter.
    (lambda: unpickle(__pyx_type=CProtection, __pyx_state=None),
     "__pyx_unpickle_CProtection() takes exactly 3 positional arguments (1 given)", [UNPICKLE]),
    (lambda: unpickle(__pyx_checksum=CHECKSUM, __pyx_state=None),
     "__pyx_unpickle_CProtection() takes exactly 3 positional arguments (0 given)", [UNPICKLE]),
    (lambda: OBJ.encrypt(data=DATA), "encrypt() got an unexpected keyword argument 'data'",
     [ENCRYPT]),
    (lambda: OBJ.encrypt(DATA, raw_data=DATA),
     "encrypt() got multiple values for keyword argument 'raw_data'", [ENCRYPT]),
    (lambda: OBJ.decrypt(DATA, encrypted_data=DATA),
     "decrypt() got multiple values for keyword argument 'encrypted_data'", [DECRYPT]),
    # Only compiled code can repeat a name within one call's keyword names.
    (lambda: vectorcall(OBJ.encrypt, [], ["raw_data", "raw_data"], [DATA, DATA]),
     "encrypt() got multiple values for keyword argument 'raw_data'", [ENCRYPT]),
    (lambda: OBJ.activate(key=[]), "activate() got an unexpected keyword argument 'key'",
     [ACTIVATE]),
    (lambda: CProtection(flip=1), "__init__() got an unexpected keyword argument 'flip'", [INIT]),
    (lambda: CProtection(True, flip_direction=False),
     "__init__() got multiple values for keyword argument 'flip_direction'", [INIT]),
    (lambda: OBJ.__reduce_cython__(x=1),
     "__reduce_cython__() got an unexpected keyword argument 'x'", []),
    (lambda: OBJ.__reduce_cython__(**{"x": 1, "y": 2}),
     "__reduce_cython__() got an unexpected keyword argument 'x'", []),
    (lambda: OBJ.__setstate_cython__((), __pyx_state=()),
     "__setstate_cython__() got multiple values for keyword argument '__pyx_state'", [SETSTATE]),
    (lambda: unpickle(CProtection, CHECKSUM, __pyx_type=CProtection),
     "__pyx_unpickle_CProtection() got multiple values for keyword argument '__pyx_type'",
     [UNPICKLE]),
    # Keywords are bound before a missing parameter is reported.
    (lambda: unpickle(CProtection, __pyx_state=None, other=1),
     "__pyx_unpickle_CProtection() got an unexpected keyword argument 'other'", [UNPICKLE]),
    # Dictionaries are walked in their order for the first unknown key.
    (lambda: CProtection(**{"a": 1, "b": 2}), "__init__() got an unexpected keyword argument 'a'",
     [INIT]),
    (lambda: CProtection(**{"flip_direction": 1, "b": 2}),
     "__init__() got an unexpected keyword argument 'b'", [INIT]),
    (lambda: CProtection(1, **{"flip_direction": 0}),
     "__init__() got multiple values for keyword argument 'flip_direction'", [INIT]),
    (lambda: OBJ.encrypt(**{"data": DATA}), "encrypt() got an unexpected keyword argument 'data'",
     [ENCRYPT]),
    # Keys equal by value but not the interned parameter names.
    (lambda: OBJ.encrypt(DATA, **{equal_copy("raw_data"): DATA}),
     "encrypt() got multiple values for keyword argument 'raw_data'", [ENCRYPT]),
    (lambda: CProtection(0, **{equal_copy("flip_direction"): 0}),
     "__init__() got multiple values for keyword argument 'flip_direction'", [INIT]),
    # str subclasses are compared with ==.
    (lambda: OBJ.encrypt(DATA, **{AlwaysEqual("other"): DATA}),
     "encrypt() got multiple values for keyword argument 'other'", [ENCRYPT]),
] + NON_STRING_KEYWORDS)
def test_binding_errors(call, message, entries):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert module_entries(info.value) == entries


@pytest.mark.parametrize("call", [
    lambda data: OBJ.encrypt(raw_data=data),
    lambda data: OBJ.encrypt(**{"raw_data": data}),
    lambda data: OBJ.encrypt(**{equal_copy("raw_data"): data}),
    lambda data: OBJ.encrypt(**{type("Name", (str,), {})("raw_data"): data}),
    lambda data: OBJ.encrypt(**{AlwaysEqual("anything"): data}),
    lambda data: CProtection.encrypt(OBJ, raw_data=data),
    lambda data: vectorcall(OBJ.encrypt, [], [equal_copy("raw_data")], [data]),
    lambda data: vectorcall(OBJ.encrypt, [], [AlwaysEqual("anything")], [data]),
])
def test_keyword_forms_bind_the_parameter(call):
    data = bytearray(b"unkeyed data passes through")
    assert call(data) is data


@pytest.mark.parametrize("make", [
    lambda: CProtection(flip_direction=1),
    lambda: CProtection(**{"flip_direction": 1}),
    lambda: CProtection(**{equal_copy("flip_direction"): 1}),
    lambda: CProtection(**{type("Name", (str,), {})("flip_direction"): 1}),
    lambda: vectorcall(CProtection, [], [equal_copy("flip_direction")], [1]),
])
def test_init_keyword_forms(make):
    assert state(make())[6] is True


def test_other_keyword_forms():
    obj = CProtection()
    obj.activate(keys=[7])
    reference = CProtection()
    reference.activate([7])
    assert state(obj) == state(reference)
    new_state = (True, 9, 1, bytes(range(8)), 2, bytes(range(8, 16)), True)
    obj.__setstate_cython__(__pyx_state=new_state)
    assert state(obj) == new_state
    restored = unpickle(CProtection, __pyx_state=new_state, __pyx_checksum=CHECKSUM)
    assert state(restored) == new_state
    restored = unpickle(__pyx_type=CProtection, __pyx_checksum=CHECKSUM, __pyx_state=None)
    assert state(restored) == state(CProtection())


@pytest.mark.parametrize("call", [
    lambda: OBJ.encrypt(**{RaisingEqual("raw_data"): DATA}),
    lambda: OBJ.encrypt(DATA, **{RaisingEqual("raw_data"): DATA}),
    lambda: CProtection(**{RaisingEqual("flip_direction"): 1}),
    lambda: CProtection(**{RaisingEqual("other"): 1}),
])
def test_keyword_comparison_errors_propagate(call):
    with pytest.raises(LookupError, match="no comparison"):
        call()


# --- methods called through the class ------------------------------------------------------

@pytest.mark.parametrize("name", ["activate", "decrypt", "encrypt",
                                  "__reduce_cython__", "__setstate_cython__"])
def test_class_method_without_arguments(name):
    for call in (lambda: getattr(CProtection, name)(), lambda: getattr(CProtection, name)(x=1)):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == f"{name}() needs an argument"
        assert module_entries(info.value) == []


@pytest.mark.parametrize("name, args", [
    ("activate", ([1, 2],)), ("decrypt", (bytearray(b"abc"),)), ("encrypt", (bytearray(b"abc"),)),
    ("__reduce_cython__", ()), ("__setstate_cython__", ((True, 1, 0, ZERO, 0, ZERO, True),)),
    ("__reduce__", ()), ("__setstate__", ((True, 1, 0, ZERO, 0, ZERO, True),)),
    ("__init__", (True,)),
])
def test_class_method_refuses_other_instances(name, args):
    method = getattr(CProtection, name)
    target = bytearray(b"\xff" * 64)
    for stranger in (target, object(), None, 5, CProtection, type("Lookalike", (), {})()):
        with pytest.raises(TypeError):
            method(stranger, *args)
    assert target == bytearray(b"\xff" * 64)


# --- exact-type tests -----------------------------------------------------------------------

@pytest.mark.parametrize("call, message", [
    (lambda: OBJ.encrypt(bytes(4)),
     "Argument 'raw_data' has incorrect type (expected bytearray, got bytes)"),
    (lambda: OBJ.encrypt(BytearraySubclass(b"ab")),
     "Argument 'raw_data' has incorrect type (expected bytearray, got BytearraySubclass)"),
    (lambda: OBJ.encrypt(raw_data=memoryview(b"ab")),
     "Argument 'raw_data' has incorrect type (expected bytearray, got memoryview)"),
    (lambda: OBJ.decrypt("text"),
     "Argument 'encrypted_data' has incorrect type (expected bytearray, got str)"),
    (lambda: OBJ.decrypt(BytearraySubclass()),
     "Argument 'encrypted_data' has incorrect type (expected bytearray, got BytearraySubclass)"),
    (lambda: OBJ.activate((1, 2)), "Argument 'keys' has incorrect type (expected list, got tuple)"),
    (lambda: OBJ.activate(None),
     "Argument 'keys' has incorrect type (expected list, got NoneType)"),
    (lambda: OBJ.activate(keys=range(3)),
     "Argument 'keys' has incorrect type (expected list, got range)"),
    # The type's own recorded name, which for these types includes their module.
    (lambda: OBJ.activate(collections.OrderedDict()),
     "Argument 'keys' has incorrect type (expected list, got collections.OrderedDict)"),
    (lambda: OBJ.activate(OBJ),
     f"Argument 'keys' has incorrect type (expected list, got {FULL_NAME}.CProtection)"),
    (lambda: unpickle(CProtection, CHECKSUM, []),
     "Argument '__pyx_state' has incorrect type (expected tuple, got list)"),
    (lambda: unpickle(CProtection, 0, type("StateTuple", (tuple,), {})()),
     "Argument '__pyx_state' has incorrect type (expected tuple, got StateTuple)"),
])
def test_exact_type_refusals(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)
    assert module_entries(info.value) == []


def test_list_subclass_gets_an_explanatory_note():
    obj = busy()
    before = state(obj)
    with pytest.raises(TypeError) as info:
        obj.activate(ListSubclass([1]))
    assert str(info.value) == "Argument 'keys' has incorrect type (expected list, got ListSubclass)"
    notes = info.value.__notes__
    assert len(notes) == 1 and isinstance(notes[0], str)
    assert "PEP 484" in notes[0]
    assert module_entries(info.value) == []
    assert state(obj) == before


@pytest.mark.parametrize("name", ["encrypt", "decrypt"])
def test_none_passes_the_data_test(name):
    assert getattr(CProtection(), name)(None) is None


def test_checksum_is_converted_before_the_state_is_tested():
    with pytest.raises(TypeError) as info:
        unpickle(CProtection, "1", [])
    assert str(info.value) == "an integer is required"
    assert module_entries(info.value) == [UNPICKLE]


# --- signed 32-bit conversion (keys of activate) -------------------------------------------

@pytest.mark.parametrize("key, low_byte", [
    (2147483647, 0xFF), (-2147483648, 0x00), (-1, 0xFF), (256, 0x00), (True, 1),
    (3.9, 3), (-3.9, -3 & 0xFF), (IntSubclass(0x1234), 0x34), (IntLike(0x7F01), 0x01),
])
def test_key_conversion_accepts(key, low_byte):
    obj = CProtection()
    obj.activate([key])
    assert state(obj)[1] == low_byte


@pytest.mark.parametrize("key, error, message", [
    (2147483648, OverflowError, "value too large to convert to int"),
    (-2147483649, OverflowError, "value too large to convert to int"),
    (2 ** 63, OverflowError, host_overflow_message(capi.PyLong_AsLongLong, 2 ** 63)),
    (-2 ** 63 - 1, OverflowError, host_overflow_message(capi.PyLong_AsLongLong, -2 ** 63 - 1)),
    (IndexOnly(), TypeError, "an integer is required"),
    ("1", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (IntLike(1.5), TypeError, "__int__ returned non-int (type float)"),
    (IntLike("7"), TypeError, "__int__ returned non-int (type str)"),
    (RaisingInt(), LookupError, "no int"),
])
def test_key_conversion_refuses_and_changes_nothing(key, error, message):
    obj = busy()
    before = state(obj)
    with pytest.raises(error) as info:
        obj.activate([0x21, key, 0x42])
    assert str(info.value) == message
    assert module_entries(info.value) == [ACTIVATE, ACTIVATE_KEY]
    assert state(obj) == before


def test_int_subclass_from_int_warns_and_is_used():
    obj = CProtection()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        obj.activate([IntLike(IntSubclass(0x1C7))])
    assert [(w.category, str(w.message)) for w in caught] == [
        (DeprecationWarning, INT_SUBCLASS_WARNING.format("IntSubclass"))]
    assert state(obj)[1] == 0xC7


def test_int_subclass_warning_as_error_fails_the_conversion():
    obj = busy()
    before = state(obj)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning) as info:
            obj.activate([1, IntLike(IntSubclass(5))])
    assert str(info.value) == INT_SUBCLASS_WARNING.format("IntSubclass")
    assert module_entries(info.value) == [ACTIVATE, ACTIVATE_KEY]
    assert state(obj) == before


# --- unsigned 8-bit conversion (base of an applied state) ----------------------------------

@pytest.mark.parametrize("value, expected", [
    (0, 0), (255, 255), (True, 1), (3.9, 3), (IntSubclass(200), 200), (IntLike(17), 17),
])
def test_byte_conversion_accepts(value, expected):
    obj = busy()
    obj.__setstate__((True, value, 1, ZERO, 2, ZERO, False))
    assert state(obj)[1] == expected


NEGATIVE = "can't convert negative value to unsigned char"
TOO_LARGE = "value too large to convert to unsigned char"


@pytest.mark.parametrize("value, error, message", [
    (-1, OverflowError, NEGATIVE),
    (-2 ** 63, OverflowError, NEGATIVE),
    (-2 ** 100, OverflowError, NEGATIVE),
    (256, OverflowError, TOO_LARGE),
    (2 ** 32, OverflowError, TOO_LARGE),
    (2 ** 63 - 1, OverflowError, TOO_LARGE),
    (2 ** 63, OverflowError, TOO_LARGE),
    (2 ** 64 - 1, OverflowError, TOO_LARGE),
    (2 ** 64, OverflowError, host_overflow_message(capi.PyLong_AsUnsignedLongLong, 2 ** 64)),
    (2 ** 100, OverflowError, host_overflow_message(capi.PyLong_AsUnsignedLongLong, 2 ** 100)),
    (IndexOnly(), TypeError, "an integer is required"),
    ("1", TypeError, "an integer is required"),
    (IntLike(2.0), TypeError, "__int__ returned non-int (type float)"),
])
def test_byte_conversion_refuses_and_changes_nothing(value, error, message):
    obj = busy()
    before = state(obj)
    with pytest.raises(error) as info:
        obj.__setstate__((False, value, 0, ZERO, 0, ZERO, False))
    assert str(info.value) == message
    assert module_entries(info.value) == [SETSTATE_BODY, SET_STATE]
    assert state(obj) == before


# --- signed 64-bit conversion (layout checksum) --------------------------------------------

def refused(value):
    accepted = "0xc4c669c, 0x635491f, 0xd001271"
    return f"Incompatible checksums ({hex(value)} vs ({accepted}) = ({FIELDS}))"


@pytest.mark.parametrize("value, converted", [
    (2 ** 63 - 1, 2 ** 63 - 1), (-2 ** 63, -2 ** 63), (-1, -1), (0, 0), (3.9, 3),
    (CHECKSUM + 2 ** 32, CHECKSUM + 2 ** 32), (CHECKSUM - 2 ** 32, CHECKSUM - 2 ** 32),
    (IntSubclass(5), 5), (IntLike(-7), -7),
])
def test_checksum_conversion_then_refusal(value, converted):
    with pytest.raises(pickle.PickleError) as info:
        unpickle(CProtection, value, None)
    assert str(info.value) == refused(converted)
    assert module_entries(info.value) == [UNPICKLE_CHECKSUM]


@pytest.mark.parametrize("value", [
    CHECKSUM, 0x635491F, 0xD001271, IntSubclass(CHECKSUM), float(CHECKSUM) + 0.9,
    IntLike(0xD001271),
])
def test_checksum_conversion_accepts(value):
    assert state(unpickle(CProtection, value, None)) == state(CProtection())


@pytest.mark.parametrize("value, error, message", [
    (2 ** 63, OverflowError, host_overflow_message(capi.PyLong_AsLongLong, 2 ** 63)),
    (-2 ** 63 - 1, OverflowError, host_overflow_message(capi.PyLong_AsLongLong, -2 ** 63 - 1)),
    ("206333596", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (IndexOnly(), TypeError, "an integer is required"),
    (IntLike(None), TypeError, "__int__ returned non-int (type NoneType)"),
])
def test_checksum_conversion_refuses(value, error, message):
    with pytest.raises(error) as info:
        unpickle(CProtection, value, None)
    assert str(info.value) == message
    assert module_entries(info.value) == [UNPICKLE]


# --- truth value of flip_direction ---------------------------------------------------------

class Truth:
    def __init__(self, value):
        self.value, self.calls = value, 0

    def __bool__(self):
        self.calls += 1
        return self.value


class Sized:
    def __init__(self, size):
        self.size = size

    def __len__(self):
        return self.size


@pytest.mark.parametrize("value, flag", [
    (True, True), (False, False), (None, False), (0, False), (1, True), (5, True), (-1, True),
    ("", False), ("x", True), ([], False), ([0], True), (0.0, False), (0.5, True),
    (Sized(0), False), (Sized(3), True),
])
def test_flip_direction_truth_value(value, flag):
    assert state(CProtection(value))[6] is flag
    assert state(CProtection(flip_direction=value))[6] is flag


@pytest.mark.parametrize("value", [True, False])
def test_flip_direction_calls_bool_once(value):
    truth = Truth(value)
    assert state(CProtection(truth))[6] is value
    assert truth.calls == 1


def test_failing_truth_test_propagates_the_same_exception():
    raised = LookupError("no truth")

    class Untruthful:
        def __bool__(self):
            raise raised

    with pytest.raises(LookupError) as info:
        CProtection(Untruthful())
    assert info.value is raised
    assert module_entries(info.value) == [INIT]


def test_bool_returning_non_bool_fails():
    with pytest.raises(TypeError) as info:
        CProtection(Truth(1))
    assert module_entries(info.value) == [INIT]


# --- re-initialisation ---------------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, flag", [
    ((True,), {}, True), ((), {}, False), ((None,), {}, False),
    ((), {"flip_direction": "yes"}, True),
])
def test_init_resets_the_whole_record(args, kwargs, flag):
    obj = busy()
    assert state(obj) != (False, 0, 0, ZERO, 0, ZERO, flag)
    assert obj.__init__(*args, **kwargs) is None
    assert state(obj) == (False, 0, 0, ZERO, 0, ZERO, flag)
    data = bytearray(b"passes through")
    assert obj.encrypt(data) is data and data == bytearray(b"passes through")


class RaisingBool:
    def __bool__(self):
        raise LookupError("no truth")


@pytest.mark.parametrize("args, kwargs, error", [
    ((1, 2), {}, TypeError),
    ((True,), {"flip_direction": False}, TypeError),
    ((), {"flip": True}, TypeError),
    ((), {1: True}, TypeError),
    ((), {RaisingEqual("other"): True}, LookupError),
    ((RaisingBool(),), {}, LookupError),
    ((), {"flip_direction": RaisingBool()}, LookupError),
])
def test_failed_init_changes_nothing(args, kwargs, error):
    obj = busy()
    before = state(obj)
    with pytest.raises(error) as info:
        obj.__init__(*args, **kwargs)
    assert module_entries(info.value) == [INIT]
    assert state(obj) == before


# --- traceback entries ---------------------------------------------------------------------

@pytest.mark.parametrize("call", [
    lambda: CProtection(1, 2), lambda: OBJ.activate(), lambda: OBJ.activate(["x"]),
    lambda: OBJ.decrypt(), lambda: OBJ.encrypt(), lambda: OBJ.__setstate_cython__(),
    lambda: OBJ.__setstate__((None, -1)), lambda: unpickle(CProtection, None, None),
    lambda: unpickle(CProtection, 0, None),
])
def test_entries_are_innermost_and_run_in_the_module_namespace(call):
    with pytest.raises(Exception) as info:
        call()
    entries = module_entries(info.value)
    assert entries
    assert traceback_entries(info.value)[-len(entries):] == entries
    tb = info.value.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_filename in (SOURCE, STRINGSOURCE):
            assert tb.tb_frame.f_globals is vars(cprotection)
        tb = tb.tb_next


class FlipFloppingEqual(str):
    """Unequal to everything on the first comparison, equal on every later one."""

    __hash__ = str.__hash__

    def __init__(self, _value):
        self.compared = 0

    def __eq__(self, other):
        self.compared += 1
        return self.compared > 1


def test_keyword_compared_once_when_reporting_it():
    # The key's answer may change between comparisons; the one comparison
    # that decided decides the message, and the call fails cleanly.
    with pytest.raises(TypeError) as info:
        CProtection(**{FlipFloppingEqual("zz"): 1})
    assert str(info.value) == "__init__() got an unexpected keyword argument 'zz'"
    assert module_entries(info.value) == [(FULL_NAME + ".CProtection.__init__", SOURCE, 14)]

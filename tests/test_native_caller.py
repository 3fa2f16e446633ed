"""The native method table as another compiled module uses it.

`native_caller.call(operation, instance, argument, skip_dispatch)` runs one
entry of CProtection's native method table.  With skip_dispatch 0 the entry
first looks for a Python-level override of the operation; with 1 it runs
the operation straight away.
"""

import pytest

from helpers import module_entries, state
from kovrin.modules.security.cprotection import CProtection

pytestmark = pytest.mark.core

SOURCE = "modules/security/cprotection"
QUALNAME = "kovrin.modules.security.cprotection.CProtection."
LINES = {"activate": 27, "decrypt": 53, "encrypt": 84}
DATA_OPERATIONS = ["encrypt", "decrypt"]
ALL_OPERATIONS = ["activate", "decrypt", "encrypt"]

def argument_for(operation):
    return [17, 300] if operation == "activate" else bytearray(b"native payload")


def prepared(obj):
    """Keys obj and moves both directions away from their start.

    Goes through the class's own methods so that overrides stay untouched.
    """
    CProtection.activate(obj, [0x33, 7])
    CProtection.encrypt(obj, bytearray(b"warm-up"))
    CProtection.decrypt(obj, bytearray(b"\x10\x20"))
    return obj


def expected_run(operation, argument):
    """Result and state of the operation itself, on a plain prepared twin."""
    twin = prepared(CProtection(True))
    result = getattr(twin, operation)(argument)
    return result, state(twin)


class Recorder:
    """Collects the calls an override receives."""

    def __init__(self):
        self.calls = []


def overriding_class(operation, behaviour):
    recorder = Recorder()

    def override(self, argument):
        recorder.calls.append((self, argument))
        return behaviour(argument)

    cls = type("Overriding", (CProtection,), {operation: override})
    return cls, recorder


MARKER = bytearray(b"from the override")


# --------------------------------------------------------------------------
# dispatch


@pytest.mark.parametrize("operation", ALL_OPERATIONS)
def test_override_handles_call_when_dispatch_not_skipped(native_caller, operation):
    result_object = MARKER if operation != "activate" else ("any", "object")
    cls, recorder = overriding_class(operation, lambda argument: result_object)
    obj = prepared(cls(True))
    before = state(obj)
    argument = argument_for(operation)
    result = native_caller.call(operation, obj, argument, 0)
    assert result is result_object
    assert recorder.calls == [(obj, argument)]
    assert recorder.calls[0][1] is argument
    # the operation itself did not run
    assert state(obj) == before


@pytest.mark.parametrize("operation", ALL_OPERATIONS)
def test_override_ignored_when_dispatch_skipped(native_caller, operation):
    cls, recorder = overriding_class(operation, lambda argument: MARKER)
    obj = prepared(cls(True))
    argument = argument_for(operation)
    result = native_caller.call(operation, obj, argument, 1)
    expected_result, expected_state = expected_run(operation, argument_for(operation))
    assert recorder.calls == []
    assert result == expected_result
    assert state(obj) == expected_state


@pytest.mark.parametrize("operation", ALL_OPERATIONS)
def test_python_facing_method_never_dispatches(operation):
    cls, recorder = overriding_class(operation, lambda argument: MARKER)
    obj = prepared(cls(True))
    result = getattr(CProtection, operation)(obj, argument_for(operation))
    expected_result, expected_state = expected_run(operation, argument_for(operation))
    assert recorder.calls == []
    assert result == expected_result
    assert state(obj) == expected_state


@pytest.mark.parametrize("operation", ALL_OPERATIONS)
@pytest.mark.parametrize("skip_dispatch", [0, 1])
def test_plain_instance_runs_the_operation(native_caller, operation, skip_dispatch):
    obj = prepared(CProtection(True))
    result = native_caller.call(operation, obj, argument_for(operation), skip_dispatch)
    expected_result, expected_state = expected_run(operation, argument_for(operation))
    assert result == expected_result
    if operation != "activate":
        assert type(result) is bytearray
    assert state(obj) == expected_state


class MyBytearray(bytearray):
    pass


@pytest.mark.parametrize("operation", DATA_OPERATIONS)
@pytest.mark.parametrize("size", [5, 64, 1500], ids=["short", "one-block", "long"])
# A subclass that overrides nothing runs the operation under dispatch too,
# not the Python method with its exact-type test.
@pytest.mark.parametrize("cls, skip_dispatch", [(CProtection, 1), (type("Plain", (CProtection,), {}), 0)],
                         ids=["skip-dispatch", "plain-subclass-dispatch"])
def test_bytearray_subclass_argument_is_copied(native_caller, operation, size, cls, skip_dispatch):
    payload = bytes(range(256)) * 6
    argument = MyBytearray(payload[:size])
    obj = prepared(cls(True))
    result = native_caller.call(operation, obj, argument, skip_dispatch)
    expected_result, expected_state = expected_run(operation, bytearray(payload[:size]))
    assert type(result) is bytearray and result is not argument
    assert result == expected_result
    assert argument == payload[:size]
    assert state(obj) == expected_state


@pytest.mark.parametrize("operation", ALL_OPERATIONS)
def test_subclass_without_override_runs_the_operation(native_caller, operation):
    cls = type("Plain", (CProtection,), {})
    obj = prepared(cls(True))
    result = native_caller.call(operation, obj, argument_for(operation), 0)
    expected_result, expected_state = expected_run(operation, argument_for(operation))
    assert result == expected_result
    assert state(obj) == expected_state


@pytest.mark.parametrize("operation", ALL_OPERATIONS)
def test_override_in_subclass_without_instance_dict(native_caller, operation):
    cls = type("Slotted", (CProtection,), {"__slots__": (), operation: lambda self, argument: MARKER})
    obj = prepared(cls(True))
    assert not hasattr(obj, "__dict__")
    before = state(obj)
    assert native_caller.call(operation, obj, argument_for(operation), 0) is MARKER
    assert state(obj) == before


@pytest.mark.parametrize("operation, assigned", [(name, name) for name in ALL_OPERATIONS] +
                         [("encrypt", "decrypt"), ("decrypt", "encrypt")])
def test_class_method_assigned_in_subclass_runs_that_method(native_caller, operation, assigned):
    # The entry's own method is no override and the operation runs; another
    # operation's method is an override, so that one runs instead.
    cls = type("Assigned", (CProtection,), {operation: getattr(CProtection, assigned)})
    obj = prepared(cls(True))
    result = native_caller.call(operation, obj, argument_for(operation), 0)
    expected_result, expected_state = expected_run(assigned, argument_for(operation))
    assert result == expected_result
    assert state(obj) == expected_state


@pytest.mark.parametrize("operation", ALL_OPERATIONS)
def test_instance_dict_entry_counts_as_override(native_caller, operation):
    cls = type("WithDict", (CProtection,), {})
    obj = prepared(cls(True))
    before = state(obj)
    seen = []
    obj.__dict__[operation] = lambda argument: seen.append(argument) or MARKER
    argument = argument_for(operation)
    assert native_caller.call(operation, obj, argument, 0) is MARKER
    assert seen == [argument] and seen[0] is argument
    assert state(obj) == before


@pytest.mark.parametrize("operation", DATA_OPERATIONS)
def test_nothing_is_cached_between_calls(native_caller, operation):
    cls = type("Changing", (CProtection,), {})
    obj = prepared(cls(True))
    twin = prepared(CProtection(True))

    first = native_caller.call(operation, obj, bytearray(b"one"), 0)
    assert first == getattr(twin, operation)(bytearray(b"one"))

    setattr(obj, operation, lambda argument: MARKER)
    before = state(obj)
    assert native_caller.call(operation, obj, bytearray(b"two"), 0) is MARKER
    assert state(obj) == before

    delattr(obj, operation)
    third = native_caller.call(operation, obj, bytearray(b"three"), 0)
    assert third == getattr(twin, operation)(bytearray(b"three"))
    assert state(obj) == state(twin)


class CallableOverride:
    def __init__(self):
        self.arguments = []

    def __call__(self, argument):
        self.arguments.append(argument)
        return MARKER


@pytest.mark.parametrize("operation", DATA_OPERATIONS)
@pytest.mark.parametrize("kind", ["staticmethod", "callable-object", "method-descriptor", "builtin-method"])
def test_other_callables_are_overrides(native_caller, operation, kind):
    argument = argument_for(operation)
    seen = []
    if kind == "builtin-method":
        # a built-in function object, but not one of the class's own
        callable_override = None
        namespace = {operation: staticmethod(seen.append)}
        expected = None
    elif kind == "staticmethod":
        callable_override = CallableOverride()
        namespace = {operation: staticmethod(callable_override)}
        expected = MARKER
    elif kind == "callable-object":
        callable_override = CallableOverride()
        namespace = {operation: callable_override}
        expected = MARKER
    else:
        # a built-in method of another type, not the operation's own entry
        callable_override = None
        namespace = {operation: staticmethod(bytearray.copy)}
        expected = argument
    cls = type("Other", (CProtection,), namespace)
    obj = prepared(cls(True))
    before = state(obj)
    result = native_caller.call(operation, obj, argument, 0)
    assert result == expected
    if callable_override is not None:
        assert result is MARKER
        assert callable_override.arguments == [argument]
    elif kind == "builtin-method":
        assert seen == [argument] and seen[0] is argument
    else:
        assert result is not argument
    assert state(obj) == before


@pytest.mark.parametrize("operation", DATA_OPERATIONS)
def test_override_may_extend_the_operation(native_caller, operation):
    def override(self, argument):
        return getattr(super(cls, self), operation)(argument) + b"!"

    cls = type("Extending", (CProtection,), {operation: override})
    obj = prepared(cls(True))
    result = native_caller.call(operation, obj, argument_for(operation), 0)
    expected_result, expected_state = expected_run(operation, argument_for(operation))
    assert result == expected_result + b"!"
    assert state(obj) == expected_state


# --------------------------------------------------------------------------
# override results


@pytest.mark.parametrize("operation", DATA_OPERATIONS)
def test_none_result_passes_through(native_caller, operation):
    cls, recorder = overriding_class(operation, lambda argument: None)
    obj = prepared(cls(True))
    before = state(obj)
    assert native_caller.call(operation, obj, argument_for(operation), 0) is None
    assert len(recorder.calls) == 1
    assert state(obj) == before


@pytest.mark.parametrize("operation", DATA_OPERATIONS)
@pytest.mark.parametrize(
    "bad_result, type_name",
    [
        ("text", "str"),
        (b"bytes", "bytes"),
        (MyBytearray(b"sub"), "MyBytearray"),
        ([1, 2], "list"),
        (memoryview(b"view"), "memoryview"),
    ],
    ids=["str", "bytes", "bytearray-subclass", "list", "memoryview"],
)
def test_result_must_be_bytearray_or_none(native_caller, operation, bad_result, type_name):
    cls, recorder = overriding_class(operation, lambda argument: bad_result)
    obj = prepared(cls(True))
    before = state(obj)
    with pytest.raises(TypeError) as info:
        native_caller.call(operation, obj, argument_for(operation), 0)
    assert str(info.value) == f"Expected bytearray, got {type_name}"
    assert module_entries(info.value) == [(QUALNAME + operation, SOURCE, LINES[operation])]
    assert len(recorder.calls) == 1
    assert state(obj) == before


@pytest.mark.parametrize(
    "result_object",
    [None, "text", 42, b"bytes", bytearray(b"b"), ["list"], object()],
    ids=["none", "str", "int", "bytes", "bytearray", "list", "object"],
)
def test_activate_override_result_returned_unchanged(native_caller, result_object):
    cls, recorder = overriding_class("activate", lambda argument: result_object)
    obj = cls(False)
    before = state(obj)
    keys = [1, 2, 3]
    assert native_caller.call("activate", obj, keys, 0) is result_object
    assert recorder.calls == [(obj, keys)]
    assert state(obj) == before
    assert state(obj)["active"] is False


class OverrideFailure(Exception):
    pass


@pytest.mark.parametrize("operation", ALL_OPERATIONS)
def test_override_exception_propagates(native_caller, operation):
    raised = OverrideFailure("from the override")

    def behaviour(argument):
        raise raised

    cls, recorder = overriding_class(operation, behaviour)
    obj = prepared(cls(True))
    before = state(obj)
    with pytest.raises(OverrideFailure) as info:
        native_caller.call(operation, obj, argument_for(operation), 0)
    assert info.value is raised
    assert module_entries(info.value) == [(QUALNAME + operation, SOURCE, LINES[operation])]
    assert state(obj) == before


@pytest.mark.parametrize("operation", ALL_OPERATIONS)
def test_lookup_failure_propagates(native_caller, operation):
    class LookupFails(CProtection):
        def __getattribute__(self, name):
            if name == operation:
                raise OverrideFailure(name)
            return super().__getattribute__(name)

    obj = prepared(LookupFails(True))
    before = state(obj)
    with pytest.raises(OverrideFailure) as info:
        native_caller.call(operation, obj, argument_for(operation), 0)
    assert str(info.value) == operation
    assert module_entries(info.value) == [(QUALNAME + operation, SOURCE, LINES[operation])]
    assert state(obj) == before


@pytest.mark.parametrize("operation", DATA_OPERATIONS)
def test_operation_failure_through_native_entry(native_caller, operation):
    # None on a keyed instance fails while building the result; a native
    # caller sees only the entry of the failing step, not the method's.
    build_line = {"encrypt": 96, "decrypt": 66}[operation]
    obj = prepared(CProtection(False))
    before = state(obj)
    with pytest.raises(TypeError) as info:
        native_caller.call(operation, obj, None, 1)
    assert module_entries(info.value) == [(QUALNAME + operation, SOURCE, build_line)]
    assert state(obj) == before


def test_activate_conversion_failure_through_native_entry(native_caller):
    obj = prepared(CProtection(False))
    before = state(obj)
    with pytest.raises(TypeError, match="^an integer is required$") as info:
        native_caller.call("activate", obj, [5, "x"], 1)
    assert module_entries(info.value) == [(QUALNAME + "activate", SOURCE, 37)]
    assert state(obj) == before


# --------------------------------------------------------------------------
# the keying entry's argument


class Keys(list):
    pass


@pytest.mark.parametrize("skip_dispatch", [0, 1])
@pytest.mark.parametrize(
    "keys, type_name",
    [((1, 2), "tuple"), (None, "NoneType"), (bytearray(b"\x01\x02"), "bytearray"), ({1: 2}, "dict")],
    ids=["tuple", "none", "bytearray", "dict"],
)
def test_keying_entry_refuses_what_is_not_a_list(native_caller, keys, type_name, skip_dispatch):
    obj = prepared(CProtection(True))
    before = state(obj)
    with pytest.raises(TypeError) as info:
        native_caller.call("activate", obj, keys, skip_dispatch)
    assert str(info.value) == f"Argument 'keys' has incorrect type (expected list, got {type_name})"
    assert module_entries(info.value) == []
    assert state(obj) == before


def test_keying_entry_takes_a_list_subclass_as_its_list(native_caller):
    obj = prepared(CProtection(True))
    assert native_caller.call("activate", obj, Keys([17, 300]), 1) is None
    assert state(obj) == expected_run("activate", [17, 300])[1]


def test_keying_override_gets_what_is_not_a_list(native_caller):
    # The override runs before the entry looks at the argument.
    cls, recorder = overriding_class("activate", lambda argument: MARKER)
    obj = prepared(cls(True))
    assert native_caller.call("activate", obj, (1, 2), 0) is MARKER
    assert recorder.calls == [(obj, (1, 2))]


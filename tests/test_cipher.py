"""Keying and stream transform of CProtection.

The keying constants (position offsets and direction mask) are fixed by the
implementation, so the tests below never spell out vector contents: they
check the relations that keying guarantees and replay the transform with a
small reference model of the byte rules, starting from the state the
instance reports through its pickle state.
"""

import builtins
import functools
import operator
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from helpers import FIELDS, IndexOnly, model_decrypt, model_encrypt, module_entries, state
from kovrin.modules.security import cprotection
from kovrin.modules.security.cprotection import CProtection

pytestmark = pytest.mark.core

SOURCE = "modules/security/cprotection"
QUALNAME = "kovrin.modules.security.cprotection.CProtection."

SETTINGS = settings(
    max_examples=60,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)

int32 = st.integers(-(2**31), 2**31 - 1)
key_lists = st.lists(int32, max_size=6)

# The lengths at which the transforms change paths: the vector kernels start
# at 16 bytes, and up to SHORT_INPUT bytes are written straight into the
# result while longer inputs are copied first.
SHORT_INPUT = 1024
LENGTH_CLASSES = [(0, 0), (1, 15), (16, SHORT_INPUT), (SHORT_INPUT + 1, SHORT_INPUT + 40), (2048, 6144)]


def length_class(data):
    return next(i for i, (low, high) in enumerate(LENGTH_CLASSES) if low <= len(data) <= high)


def payload(lengths):
    """Random bytes of a length in the range, their low bits cleared or not
    (a position that never moves), from a drawn seed: several KiB is beyond
    what hypothesis draws byte by byte."""
    return st.builds(lambda n, seed, mask: bytes(b & mask for b in random.Random(seed).randbytes(n)),
                     st.integers(*lengths), st.integers(0, 2**32 - 1), st.sampled_from([0xFF, 0xF8]))


# One piece of every length class per example, in any order, so that every
# seed reaches every path.
every_length = st.permutations(LENGTH_CLASSES).flatmap(lambda classes: st.tuples(*map(payload, classes)))


# --------------------------------------------------------------------------
# helpers

def low_byte_xor(values):
    return functools.reduce(operator.xor, (int(v) & 255 for v in values), 0)


def xor_bytes(a, b):
    return bytes(x ^ y for x, y in zip(a, b, strict=True))


def keyed(flip, keys):
    obj = CProtection(flip)
    obj.activate(list(keys))
    return obj
def cut(data, cut_points):
    """Split data at the given (sorted, de-duplicated) positions."""
    points = sorted({p for p in cut_points if 0 < p < len(data)})
    bounds = [0, *points, len(data)]
    return [data[lo:hi] for lo, hi in zip(bounds, bounds[1:])]


# --------------------------------------------------------------------------
# keying


@SETTINGS
@given(keys=key_lists)
def test_peers_keyed_with_same_keys_get_crossed_vectors(keys):
    a = keyed(False, keys)
    b = keyed(True, keys)
    sa, sb = state(a), state(b)
    assert sa["active"] is True and sb["active"] is True
    assert sa["flip_direction"] is False and sb["flip_direction"] is True
    assert sa["base"] == sb["base"] == low_byte_xor(keys)
    assert sa["encryption_vector"] == sb["decryption_vector"]
    assert sa["decryption_vector"] == sb["encryption_vector"]
    assert len(sa["encryption_vector"]) == len(sa["decryption_vector"]) == 8
    assert (sa["decryption_index"], sa["encryption_index"]) == (0, 0)
    assert (sb["decryption_index"], sb["encryption_index"]) == (0, 0)


@SETTINGS
@given(keys=key_lists, flip=st.booleans())
def test_directions_differ_by_one_fixed_non_zero_mask(keys, flip):
    reference = state(keyed(False, []))
    reference_mask = xor_bytes(reference["decryption_vector"], reference["encryption_vector"])
    s = state(keyed(flip, keys))
    mask = xor_bytes(s["decryption_vector"], s["encryption_vector"])
    assert len(set(mask)) == 1
    assert mask[0] != 0
    assert mask == reference_mask


@SETTINGS
@given(keys=key_lists, flip=st.booleans())
def test_vectors_are_the_unkeyed_vectors_shifted_by_base(keys, flip):
    empty = state(keyed(flip, []))
    s = state(keyed(flip, keys))
    shift = bytes([low_byte_xor(keys)] * 8)
    assert s["decryption_vector"] == xor_bytes(empty["decryption_vector"], shift)
    assert s["encryption_vector"] == xor_bytes(empty["encryption_vector"], shift)


@SETTINGS
@given(key=int32, flip=st.booleans())
def test_single_key_shifts_every_vector_byte_by_its_low_byte(key, flip):
    empty = state(keyed(flip, []))
    one = state(keyed(flip, [key]))
    assert xor_bytes(empty["encryption_vector"], one["encryption_vector"]) == bytes([key & 255] * 8)
    assert xor_bytes(empty["decryption_vector"], one["decryption_vector"]) == bytes([key & 255] * 8)


def test_activate_on_fresh_instance_with_no_keys():
    obj = CProtection()
    assert obj.activate([]) is None
    s = state(obj)
    assert s["active"] is True
    assert s["base"] == 0
    assert (s["decryption_index"], s["encryption_index"]) == (0, 0)
    assert s["decryption_vector"] != s["encryption_vector"]


class IntOnly:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


@pytest.mark.parametrize(
    "keys, contributions",
    [
        ([1, 256], [1, 0]),
        ([-1], [255]),
        ([2147483647], [255]),
        ([-2147483648], [0]),
        ([3.9], [3]),
        ([-3.9], [-3]),
        ([True], [1]),
        ([False, 9], [0, 9]),
        ([IntOnly(300)], [300]),
        ([7, 7], [0]),
    ],
    ids=["256-contributes-0", "minus-1", "int32-max", "int32-min", "float", "negative-float",
         "true", "false", "dunder-int", "repeated-cancels"],
)
@pytest.mark.parametrize("flip", [False, True])
def test_key_conversion(keys, contributions, flip):
    obj = keyed(flip, keys)
    s = state(obj)
    assert s["base"] == low_byte_xor(contributions)
    # The whole keyed state is the same as keying with the plain integers.
    assert s == state(keyed(flip, contributions))


def test_activate_accepts_keys_by_keyword():
    obj = CProtection()
    assert obj.activate(keys=[7]) is None
    assert state(obj) == state(keyed(False, [7]))
    assert state(obj)["base"] == 7


@SETTINGS
@given(keys=key_lists, flip=st.booleans(), first=key_lists)
def test_keying_twice_with_same_list_restores_base(keys, flip, first):
    obj = keyed(flip, first)
    before = state(obj)["base"]
    obj.activate(list(keys))
    obj.activate(list(keys))
    assert state(obj)["base"] == before
    assert state(obj) == state(keyed(flip, first))


@SETTINGS
@given(keys=key_lists, more=key_lists, flip=st.booleans(),
       sent=st.binary(min_size=1, max_size=20), received=st.binary(min_size=1, max_size=20))
def test_rekeying_rewrites_vectors_from_base_and_keeps_indices(keys, more, flip, sent, received):
    obj = keyed(flip, keys)
    obj.encrypt(bytearray(sent))
    obj.decrypt(bytearray(received))
    running = state(obj)
    obj.activate(list(more))
    s = state(obj)
    fresh = state(keyed(flip, [*keys, *more]))
    assert s["base"] == low_byte_xor([*keys, *more])
    assert s["encryption_vector"] == fresh["encryption_vector"]
    assert s["decryption_vector"] == fresh["decryption_vector"]
    assert s["encryption_index"] == running["encryption_index"]
    assert s["decryption_index"] == running["decryption_index"]
    assert s["active"] is True
    assert s["flip_direction"] is flip


class Mutator:
    """A key whose conversion edits the key list it sits in."""

    def __init__(self, value, edit):
        self.value = value
        self.edit = edit
        self.keys = None

    def __int__(self):
        self.edit(self.keys)
        return self.value


def _append(keys):
    keys.extend([4, 16])


def _truncate(keys):
    del keys[2:]


def _clear(keys):
    keys.clear()


def _replace_next(keys):
    keys[2] = 128


@pytest.mark.parametrize(
    "edit, walked",
    [
        (_append, [2, 32, 1, 64, 4, 16]),
        (_truncate, [2, 32]),
        (_clear, [2, 32]),
        (_replace_next, [2, 32, 128, 64]),
    ],
    ids=["grows", "shrinks", "cleared", "replaced"],
)
def test_key_list_changed_during_conversion_is_walked_as_it_is(edit, walked):
    mutator = Mutator(32, edit)
    keys = [2, mutator, 1, 64]
    mutator.keys = keys
    obj = CProtection()
    obj.activate(keys)
    assert state(obj)["base"] == low_byte_xor(walked)
    assert state(obj) == state(keyed(False, walked))


def _fresh():
    return CProtection()


def _keyed_fresh():
    return keyed(True, [11, 300])


def _keyed_running():
    obj = keyed(False, [0x5A])
    obj.encrypt(bytearray(b"some traffic"))
    obj.decrypt(bytearray(b"\x01\x02\x03"))
    return obj


def _raise_value_error(keys):
    raise ValueError("conversion refused")


class NotIntResult:
    def __int__(self):
        return "7"


BAD_KEYS = [
    pytest.param(lambda: ["1"], TypeError, "an integer is required", id="str"),
    pytest.param(lambda: [None], TypeError, "an integer is required", id="none"),
    pytest.param(lambda: [IndexOnly()], TypeError, "an integer is required", id="index-only"),
    pytest.param(lambda: [5, "x"], TypeError, "an integer is required", id="after-good-key"),
    pytest.param(lambda: [1, 2, object()], TypeError, "an integer is required", id="object"),
    pytest.param(lambda: [NotIntResult()], TypeError, "__int__ returned non-int (type str)",
                 id="int-returns-str"),
    pytest.param(lambda: [2147483648], OverflowError, "value too large to convert to int",
                 id="int32-max-plus-1"),
    pytest.param(lambda: [9, -2147483649], OverflowError, "value too large to convert to int",
                 id="int32-min-minus-1"),
    pytest.param(lambda: [3, 2**70], OverflowError, None, id="beyond-int64"),
    pytest.param(lambda: [5, Mutator(6, _raise_value_error)], ValueError, "conversion refused",
                 id="int-raises"),
]


@pytest.mark.parametrize("make_keys, exc_type, message", BAD_KEYS)
@pytest.mark.parametrize("make_obj", [_fresh, _keyed_fresh, _keyed_running],
                         ids=["fresh", "keyed", "running"])
def test_failed_activate_changes_nothing(make_obj, make_keys, exc_type, message):
    obj = make_obj()
    before = state(obj)
    with pytest.raises(exc_type) as info:
        obj.activate(make_keys())
    if message is not None:
        assert str(info.value) == message
    assert state(obj) == before


@pytest.mark.parametrize("make_obj", [_fresh, _keyed_fresh, _keyed_running],
                         ids=["fresh", "keyed", "running"])
def test_retry_after_failed_activate_matches_untouched_twin(make_obj):
    obj = make_obj()
    twin = make_obj()
    with pytest.raises(TypeError, match="^an integer is required$"):
        obj.activate([5, "x"])
    obj.activate([5])
    twin.activate([5])
    assert state(obj) == state(twin)


def test_retry_after_failed_activate_equals_fresh_keying():
    obj = CProtection(True)
    with pytest.raises(TypeError):
        obj.activate([5, "x"])
    obj.activate([5, 6])
    assert state(obj) == state(keyed(True, [5, 6]))
    assert state(obj)["base"] == 5 ^ 6


def test_conversion_failure_traceback_entries():
    obj = CProtection()
    with pytest.raises(TypeError) as info:
        obj.activate([1, "x"])
    assert module_entries(info.value) == [
        (QUALNAME + "activate", SOURCE, 27),
        (QUALNAME + "activate", SOURCE, 37),
    ]


class MyList(list):
    pass


@pytest.mark.parametrize(
    "keys, type_name, noted",
    [
        ((1, 2), "tuple", False),
        (None, "NoneType", False),
        (MyList([1, 2]), "MyList", True),
        ({1: 2}, "dict", False),
    ],
    ids=["tuple", "none", "list-subclass", "dict"],
)
def test_activate_refuses_anything_but_a_list(keys, type_name, noted):
    obj = _keyed_running()
    before = state(obj)
    with pytest.raises(TypeError) as info:
        obj.activate(keys)
    assert str(info.value) == (
        f"Argument 'keys' has incorrect type (expected list, got {type_name})"
    )
    assert bool(getattr(info.value, "__notes__", None)) is noted
    assert module_entries(info.value) == []
    assert state(obj) == before


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "activate() takes exactly 1 positional argument (0 given)"),
        (([1], [2]), {}, "activate() takes exactly 1 positional argument (2 given)"),
        ((), {"key": [1]}, "activate() got an unexpected keyword argument 'key'"),
        (([1],), {"keys": [1]}, "activate() got multiple values for keyword argument 'keys'"),
    ],
    ids=["none", "two", "unknown-keyword", "twice"],
)
def test_activate_argument_errors(args, kwargs, message):
    obj = _keyed_running()
    before = state(obj)
    with pytest.raises(TypeError) as info:
        obj.activate(*args, **kwargs)
    assert str(info.value) == message
    assert module_entries(info.value) == [(QUALNAME + "activate", SOURCE, 27)]
    assert state(obj) == before


# --------------------------------------------------------------------------
# stream transform: byte rules


OPERATIONS = st.tuples(
    st.lists(st.sampled_from(["encrypt", "decrypt"]), min_size=len(LENGTH_CLASSES),
             max_size=len(LENGTH_CLASSES)),
    every_length,
).map(lambda drawn: list(zip(*drawn)))


@SETTINGS
@given(keys=key_lists, flip=st.booleans(), operations=OPERATIONS)
def test_transform_follows_the_byte_rules(keys, flip, operations):
    assert sorted(length_class(data) for _, data in operations) == list(range(len(LENGTH_CLASSES)))
    obj = keyed(flip, keys)
    for name, data in operations:
        before = state(obj)
        argument = bytearray(data)
        result = getattr(obj, name)(argument)
        after = state(obj)

        assert type(result) is bytearray
        assert result is not argument
        assert argument == data  # never modified
        if name == "encrypt":
            expected, vector, index = model_encrypt(
                before["encryption_vector"], before["encryption_index"], data)
            changed = ("encryption_vector", "encryption_index")
        else:
            expected, vector, index = model_decrypt(
                before["decryption_vector"], before["decryption_index"], data)
            changed = ("decryption_vector", "decryption_index")
        assert bytes(result) == expected
        assert (after[changed[0]], after[changed[1]]) == (vector, index)
        for field in FIELDS:
            if field not in changed:
                assert after[field] == before[field], field
        assert 0 <= after["encryption_index"] <= 7
        assert 0 <= after["decryption_index"] <= 7


@SETTINGS
@given(keys=key_lists, flip=st.booleans(), stream=every_length,
       cuts=st.lists(st.integers(0, 64), max_size=10),
       name=st.sampled_from(["encrypt", "decrypt"]))
def test_any_cut_gives_same_output_and_state(keys, flip, stream, cuts, name):
    # The stream comes in calls of every length class, the first piece cut further.
    assert sorted(map(length_class, stream)) == list(range(len(LENGTH_CLASSES)))
    data = b"".join(stream)
    whole = keyed(flip, keys)
    bytewise = keyed(flip, keys)
    pieces = keyed(flip, keys)

    out_whole = getattr(whole, name)(bytearray(data))
    out_bytewise = b"".join(getattr(bytewise, name)(bytearray([b])) for b in data)
    calls = [*cut(stream[0], cuts), *stream[1:]]
    out_pieces = b"".join(getattr(pieces, name)(bytearray(p)) for p in calls)

    assert bytes(out_whole) == out_bytewise == out_pieces
    assert state(whole) == state(bytewise) == state(pieces)


@SETTINGS
@given(keys=key_lists, flip=st.booleans(), prefix=st.binary(max_size=20),
       p0=st.integers(0, 31).map(lambda v: v * 8), p1=st.integers(0, 255))
def test_byte_after_one_with_low_bits_zero_is_masked_by_it(keys, flip, prefix, p0, p1):
    obj = keyed(flip, keys)
    obj.encrypt(bytearray(prefix))
    out = obj.encrypt(bytearray([p0, p1]))
    assert out[1] == p0 ^ p1


@SETTINGS
@given(keys=key_lists, flip=st.booleans(), data=st.binary(min_size=1, max_size=32))
def test_decrypting_own_ciphertext_does_not_restore_it(keys, flip, data):
    obj = keyed(flip, keys)
    s = state(obj)
    mask = s["encryption_vector"][0] ^ s["decryption_vector"][0]
    back = obj.decrypt(obj.encrypt(bytearray(data)))
    assert back != data
    # Both directions start at position 0, so the first byte comes back
    # disturbed by exactly the difference between the two vectors.
    assert back[0] == data[0] ^ mask


@pytest.mark.parametrize("name", ["encrypt", "decrypt"])
def test_result_built_without_looking_up_bytearray_by_name(monkeypatch, name):
    obj = keyed(False, [42])
    twin = keyed(False, [42])
    expected = getattr(twin, name)(bytearray(b"plain"))
    argument = bytearray(b"plain")

    def rebound(*args):
        raise AssertionError("bytearray looked up by name")

    monkeypatch.setattr(builtins, "bytearray", rebound)
    monkeypatch.setattr(cprotection, "bytearray", rebound, raising=False)
    try:
        result = getattr(obj, name)(argument)
    finally:
        monkeypatch.undo()
    assert type(result) is bytearray
    assert result == expected


# --------------------------------------------------------------------------
# stream transform: two peers


@SETTINGS
@given(keys=key_lists, flip=st.booleans(),
       forward=st.binary(max_size=48), backward=st.binary(max_size=48), data=st.data())
def test_peers_restore_each_others_streams(keys, flip, forward, backward, data):
    a = keyed(flip, keys)
    b = keyed(not flip, keys)
    channels = [
        {"sender": a, "receiver": b, "plain": forward, "sent": 0, "cipher": b"", "got": b""},
        {"sender": b, "receiver": a, "plain": backward, "sent": 0, "cipher": b"", "got": b""},
    ]

    def choices():
        found = []
        for ch in channels:
            if ch["sent"] < len(ch["plain"]):
                found.append(("send", ch))
            if len(ch["got"]) < len(ch["cipher"]):
                found.append(("receive", ch))
        return found

    while available := choices():
        action, ch = data.draw(st.sampled_from(available))
        if data.draw(st.booleans()):
            # an empty call in between changes nothing
            assert ch["sender"].encrypt(bytearray()) == b""
            assert ch["receiver"].decrypt(bytearray()) == b""
        if action == "send":
            remaining = len(ch["plain"]) - ch["sent"]
            n = data.draw(st.integers(1, remaining))
            piece = ch["plain"][ch["sent"]:ch["sent"] + n]
            ch["cipher"] += bytes(ch["sender"].encrypt(bytearray(piece)))
            ch["sent"] += n
        else:
            remaining = len(ch["cipher"]) - len(ch["got"])
            n = data.draw(st.integers(1, remaining))
            piece = ch["cipher"][len(ch["got"]):len(ch["got"]) + n]
            ch["got"] += bytes(ch["receiver"].decrypt(bytearray(piece)))

    assert channels[0]["got"] == forward
    assert channels[1]["got"] == backward
    sa, sb = state(a), state(b)
    assert (sa["encryption_vector"], sa["encryption_index"]) == (
        sb["decryption_vector"], sb["decryption_index"])
    assert (sb["encryption_vector"], sb["encryption_index"]) == (
        sa["decryption_vector"], sa["decryption_index"])
    for s in (sa, sb):
        assert 0 <= s["encryption_index"] <= 7
        assert 0 <= s["decryption_index"] <= 7


@SETTINGS
@given(keys=key_lists, data=st.binary(min_size=1, max_size=32), position=st.integers(0, 31),
       flip=st.booleans())
def test_altered_byte_puts_peers_out_of_step(keys, data, position, flip):
    a = keyed(flip, keys)
    b = keyed(not flip, keys)
    position %= len(data)
    cipher = a.encrypt(bytearray(data))
    cipher[position] ^= 0xFF
    restored = b.decrypt(cipher[:position + 1])
    assert restored[:position] == data[:position]
    assert restored[position] == data[position] ^ 0xFF
    # The wrong plaintext byte moved the receiver to another position.
    sent = model_encrypt(state(keyed(flip, keys))["encryption_vector"], 0, data[:position + 1])
    assert state(b)["decryption_index"] == sent[2] ^ 7
    assert state(b)["decryption_vector"] != sent[1]


# --------------------------------------------------------------------------
# stream transform: edge cases


@pytest.mark.parametrize("name", ["encrypt", "decrypt"])
@pytest.mark.parametrize(
    "make_argument",
    [lambda: bytearray(b"pass me through"), lambda: bytearray(), lambda: None],
    ids=["bytearray", "empty", "none"],
)
@pytest.mark.parametrize("flip", [False, True])
def test_unkeyed_instance_passes_the_argument_through(name, make_argument, flip):
    obj = CProtection(flip)
    argument = make_argument()
    copy = None if argument is None else bytes(argument)
    before = state(obj)
    assert getattr(obj, name)(argument) is argument
    if argument is not None:
        assert argument == copy
    assert state(obj) == before


@pytest.mark.parametrize("name", ["encrypt", "decrypt"])
def test_reinitialised_instance_passes_through_again(name):
    obj = _keyed_running()
    obj.__init__(True)
    argument = bytearray(b"abc")
    assert getattr(obj, name)(argument) is argument
    assert argument == b"abc"
    assert state(obj)["active"] is False


@pytest.mark.parametrize("name", ["encrypt", "decrypt"])
@pytest.mark.parametrize("make_obj", [_keyed_fresh, _keyed_running], ids=["keyed", "running"])
def test_empty_bytearray_on_keyed_instance(name, make_obj):
    obj = make_obj()
    before = state(obj)
    argument = bytearray()
    result = getattr(obj, name)(argument)
    assert type(result) is bytearray
    assert result is not argument
    assert len(result) == 0
    assert state(obj) == before


@pytest.mark.parametrize(
    "name, method_line, build_line",
    [("encrypt", 84, 96), ("decrypt", 53, 66)],
)
@pytest.mark.parametrize("make_obj", [_keyed_fresh, _keyed_running], ids=["keyed", "running"])
def test_none_on_keyed_instance(make_obj, name, method_line, build_line):
    obj = make_obj()
    before = state(obj)
    with pytest.raises(TypeError) as info:
        getattr(obj, name)(None)
    assert module_entries(info.value) == [
        (QUALNAME + name, SOURCE, method_line),
        (QUALNAME + name, SOURCE, build_line),
    ]
    assert state(obj) == before


class MyBytearray(bytearray):
    pass


REFUSED = [
    pytest.param(lambda: bytes(4), "bytes", id="bytes"),
    pytest.param(lambda: memoryview(bytearray(b"abcd")), "memoryview", id="memoryview"),
    pytest.param(lambda: [1, 2, 3], "list", id="list"),
    pytest.param(lambda: MyBytearray(b"abcd"), "MyBytearray", id="bytearray-subclass"),
    pytest.param(lambda: "abcd", "str", id="str"),
    pytest.param(lambda: 4, "int", id="int"),
]


@pytest.mark.parametrize("make_argument, type_name", REFUSED)
@pytest.mark.parametrize("name, parameter", [("encrypt", "raw_data"), ("decrypt", "encrypted_data")])
@pytest.mark.parametrize("make_obj", [_fresh, _keyed_running], ids=["unkeyed", "running"])
def test_argument_must_be_exactly_bytearray(make_obj, name, parameter, make_argument, type_name):
    obj = make_obj()
    before = state(obj)
    argument = make_argument()
    with pytest.raises(TypeError) as info:
        getattr(obj, name)(argument)
    assert str(info.value) == (
        f"Argument '{parameter}' has incorrect type (expected bytearray, got {type_name})"
    )
    assert not getattr(info.value, "__notes__", None)
    assert module_entries(info.value) == []
    assert state(obj) == before


@pytest.mark.parametrize("name, parameter", [("encrypt", "raw_data"), ("decrypt", "encrypted_data")])
def test_data_accepted_by_keyword(name, parameter):
    obj = keyed(True, [3, 4])
    twin = keyed(True, [3, 4])
    by_keyword = getattr(obj, name)(**{parameter: bytearray(b"keyword data")})
    positional = getattr(twin, name)(bytearray(b"keyword data"))
    assert by_keyword == positional
    assert state(obj) == state(twin)


@pytest.mark.parametrize(
    "name, parameter, line",
    [("encrypt", "raw_data", 84), ("decrypt", "encrypted_data", 53)],
)
@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f, p: f(), "{name}() takes exactly 1 positional argument (0 given)"),
        (lambda f, p: f(bytearray(), bytearray()),
         "{name}() takes exactly 1 positional argument (2 given)"),
        (lambda f, p: f(bytearray(), **{p: bytearray()}),
         "{name}() got multiple values for keyword argument '{parameter}'"),
        (lambda f, p: f(data=bytearray()), "{name}() got an unexpected keyword argument 'data'"),
    ],
    ids=["none", "two", "twice", "unknown-keyword"],
)
def test_data_argument_errors(name, parameter, line, call, message):
    obj = _keyed_running()
    before = state(obj)
    with pytest.raises(TypeError) as info:
        call(getattr(obj, name), parameter)
    assert str(info.value) == message.format(name=name, parameter=parameter)
    assert module_entries(info.value) == [(QUALNAME + name, SOURCE, line)]
    assert state(obj) == before

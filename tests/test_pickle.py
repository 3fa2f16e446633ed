"""Pickle support of CProtection: reduce value, state tuple, layout checksum,
the restoring function and the state application."""

import abc
import builtins
import copy
import hashlib
import multiprocessing
import pickle
import struct

import pytest
from hypothesis import given, settings, strategies as st

from helpers import FIELDS, IndexOnly, IntLike, model_decrypt, model_encrypt, module_entries, state_tuple
from pickle_worker import continue_stream, run_ops

from kovrin.modules.security import cprotection
from kovrin.modules.security.cprotection import CProtection

pytestmark = pytest.mark.core

MOD = "kovrin.modules.security.cprotection"
UNPICKLE = cprotection.__pyx_unpickle_CProtection

EMITTED = 0xC4C669C
ACCEPTED = (0xC4C669C, 0x635491F, 0xD001271)

SRC = "<stringsource>"
F_REDUCE = MOD + ".CProtection.__reduce_cython__"
F_SETSTATE = MOD + ".CProtection.__setstate_cython__"
F_UNPICKLE = MOD + ".__pyx_unpickle_CProtection"
F_SET_STATE = MOD + ".__pyx_unpickle_CProtection__set_state"
F_CARRAY = "carray.from_py.__Pyx_carray_from_py_unsigned_char"

ZERO8 = bytes(8)
FRESH_STATE = (False, 0, 0, ZERO8, 0, ZERO8, False)
KEYS = [0x1234, 77, -5, 2147483647]
# A valid state with every field distinct from a fresh or keyed instance.
VALID = (True, 0x5A, 3, bytes(range(10, 18)), 6, bytes(range(200, 208)), False)


def chain(*pairs):
    """Expected module entries, outermost first, all in <stringsource>."""
    return [(name, SRC, line) for name, line in pairs]


def refused_message(rendered):
    return ("Incompatible checksums (%s vs (0xc4c669c, 0x635491f, 0xd001271) = "
            "(active, base, decryption_index, decryption_vector, "
            "encryption_index, encryption_vector, flip_direction))" % rendered)




# --- life-cycle states and restorers ---------------------------------------

def _keyed(flip):
    obj = CProtection(flip)
    obj.activate(list(KEYS))
    return obj


def _running(flip):
    obj = _keyed(flip)
    obj.encrypt(bytearray(b"the first chunk of the stream"))
    obj.decrypt(bytearray(b"\x13\x37\x00\xff\x42 reply bytes"))
    obj.encrypt(bytearray(b"\x00\x08\x10"))
    return obj


LIFECYCLE = {
    "fresh": lambda: CProtection.__new__(CProtection),
    "unkeyed-false": lambda: CProtection(),
    "unkeyed-true": lambda: CProtection(True),
    "keyed-false": lambda: _keyed(False),
    "keyed-true": lambda: _keyed(True),
    "running-false": lambda: _running(False),
    "running-true": lambda: _running(True),
}

CONTINUATION = [
    ("encrypt", b"continue the stream \x00\x01\x02"),
    ("decrypt", b"\x99\x88\x77 and back"),
    ("encrypt", b""),
    ("decrypt", bytes(range(0, 256, 7))),
    ("activate", [9, 300, -1]),
    ("encrypt", b"after rekeying"),
    ("decrypt", b"after rekeying too"),
]

RESTORERS = {
    **{f"pickle-{p}": (lambda obj, p=p: pickle.loads(pickle.dumps(obj, p)))
       for p in range(pickle.HIGHEST_PROTOCOL + 1)},
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
}


# --- reduce value ----------------------------------------------------------

@pytest.mark.parametrize("flip, expected_flag", [(False, False), (True, True)])
def test_reduce_value_of_constructed_instance(flip, expected_flag):
    value = CProtection(flip).__reduce__()
    assert value == (UNPICKLE, (CProtection, 206333596,
                                (False, 0, 0, ZERO8, 0, ZERO8, expected_flag)))
    assert value[0] is UNPICKLE
    assert value[1][0] is CProtection
    assert [type(x) for x in value[1][2]] == [bool, int, int, bytes, int, bytes, bool]


def test_fresh_instance_reduces_like_constructed_one():
    assert CProtection.__new__(CProtection).__reduce__() == CProtection().__reduce__()


@pytest.mark.parametrize("name", sorted(LIFECYCLE))
def test_reduce_is_same_for_every_protocol_and_changes_nothing(name):
    obj = LIFECYCLE[name]()
    value = obj.__reduce__()
    assert len(value) == 2  # CProtection itself never takes the deferred form
    assert obj.__reduce_cython__() == value
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert obj.__reduce_ex__(protocol) == value
    twin = LIFECYCLE[name]()
    assert run_ops(obj, CONTINUATION) == run_ops(twin, CONTINUATION)


def test_reduce_of_keyed_and_running_instance_carries_stream_state():
    obj = _keyed(False)
    active, base, di, dv, ei, ev, flip = state_tuple(obj)
    assert (active, di, ei, flip) == (True, 0, 0, False)
    assert base == (0x34 ^ 77 ^ (-5 & 0xFF) ^ 0xFF)
    data = b"plaintext \x07\x00 bytes"
    expected, enc_vec, enc_idx = model_encrypt(ev, ei, data)
    assert bytes(obj.encrypt(bytearray(data))) == expected
    after = state_tuple(obj)
    assert after[4] == enc_idx and after[3] == dv and after[:3] == (active, base, di)
    assert after[5] == enc_vec


# --- round trips -----------------------------------------------------------

@pytest.mark.parametrize("restorer", sorted(RESTORERS))
@pytest.mark.parametrize("name", sorted(LIFECYCLE))
def test_round_trip_continues_the_stream(name, restorer):
    original = LIFECYCLE[name]()
    before = original.__reduce__()
    clone = RESTORERS[restorer](original)
    assert type(clone) is CProtection
    assert clone is not original
    assert clone.__reduce__() == before
    assert original.__reduce__() == before
    assert run_ops(clone, CONTINUATION) == run_ops(original, CONTINUATION)
    assert clone.__reduce__() == original.__reduce__()


@pytest.mark.parametrize("restorer", sorted(RESTORERS))
@pytest.mark.parametrize("name", ["fresh", "unkeyed-false", "unkeyed-true"])
def test_restored_unkeyed_instance_passes_data_through(name, restorer):
    clone = RESTORERS[restorer](LIFECYCLE[name]())
    data = bytearray(b"as is")
    assert clone.encrypt(data) is data
    assert clone.decrypt(data) is data
    assert clone.encrypt(None) is None


def test_restored_peer_still_decrypts_the_other_side():
    a, b = CProtection(False), CProtection(True)
    a.activate([5, 6, 7])
    b.activate([5, 6, 7])
    first = a.encrypt(bytearray(b"hello over there"))
    assert b.decrypt(first) == bytearray(b"hello over there")
    a2 = pickle.loads(pickle.dumps(a))
    b2 = pickle.loads(pickle.dumps(b))
    assert b2.decrypt(a2.encrypt(bytearray(b"continued"))) == bytearray(b"continued")
    assert a2.decrypt(b2.encrypt(bytearray(b"reply"))) == bytearray(b"reply")


def test_round_trip_through_spawned_process():
    ctx = multiprocessing.get_context("spawn")
    names = sorted(LIFECYCLE)
    originals = [LIFECYCLE[n]() for n in names]
    before = [obj.__reduce__()[1][2] for obj in originals]
    with ctx.Pool(1) as pool:
        results = pool.map_async(
            continue_stream, [(obj, CONTINUATION) for obj in originals]).get(300)
    for name, obj, state, (outputs, remote_before, remote_after) in zip(
            names, originals, before, results):
        assert remote_before == state, name
        assert outputs == run_ops(obj, CONTINUATION), name
        assert remote_after == obj.__reduce__()[1][2], name


op_strategy = st.one_of(
    st.tuples(st.sampled_from(["encrypt", "decrypt"]), st.binary(max_size=40)),
    st.tuples(st.just("activate"),
              st.lists(st.integers(-2**31, 2**31 - 1), max_size=4)),
)


@settings(max_examples=120, deadline=None)
@given(flip=st.booleans(),
       keys=st.lists(st.integers(-2**31, 2**31 - 1), max_size=5),
       before=st.lists(op_strategy, max_size=8),
       after=st.lists(op_strategy, min_size=1, max_size=8),
       protocol=st.integers(0, pickle.HIGHEST_PROTOCOL))
def test_pickling_mid_stream_continues_identically(flip, keys, before, after, protocol):
    original = CProtection(flip)
    original.activate(keys)
    run_ops(original, before)
    pickled_state = original.__reduce__()
    clone = pickle.loads(pickle.dumps(original, protocol))
    assert clone.__reduce__() == pickled_state
    assert run_ops(clone, after) == run_ops(original, after)
    assert clone.__reduce__() == original.__reduce__()


# --- restoring given states ------------------------------------------------

def _vector_forms():
    return {
        "bytes": bytes,
        "bytearray": bytearray,
        "list": list,
        "tuple": tuple,
        "generator": lambda v: (x for x in v),
        "iterator": lambda v: iter(list(v)),
        "memoryview": lambda v: memoryview(bytes(v)),
    }


VECTOR_FORMS = _vector_forms()


@settings(max_examples=150, deadline=None)
@given(active=st.booleans(), base=st.integers(0, 255),
       di=st.integers(0, 7), dv=st.binary(min_size=8, max_size=8),
       ei=st.integers(0, 7), ev=st.binary(min_size=8, max_size=8),
       flip=st.booleans(), checksum=st.sampled_from(ACCEPTED),
       dform=st.sampled_from(sorted(VECTOR_FORMS)),
       eform=st.sampled_from(sorted(VECTOR_FORMS)),
       enc_data=st.binary(max_size=30), dec_data=st.binary(max_size=30))
def test_restored_state_drives_the_transform(active, base, di, dv, ei, ev, flip,
                                             checksum, dform, eform,
                                             enc_data, dec_data):
    state = (active, base, di, VECTOR_FORMS[dform](dv), ei,
             VECTOR_FORMS[eform](ev), flip)
    obj = UNPICKLE(CProtection, checksum, state)
    assert type(obj) is CProtection
    assert state_tuple(obj) == (active, base, di, dv, ei, ev, flip)
    if not active:
        data = bytearray(enc_data)
        assert obj.encrypt(data) is data
        return
    expected_enc, evec, ei2 = model_encrypt(ev, ei, enc_data)
    expected_dec, dvec, di2 = model_decrypt(dv, di, dec_data)
    assert bytes(obj.encrypt(bytearray(enc_data))) == expected_enc
    assert bytes(obj.decrypt(bytearray(dec_data))) == expected_dec
    assert state_tuple(obj) == (active, base, di2, dvec, ei2, evec, flip)


def test_restored_instance_rekeys_from_restored_base():
    original = _running(True)
    clone = UNPICKLE(CProtection, EMITTED, state_tuple(original))
    original.activate([1, 2, 3])
    clone.activate([1, 2, 3])
    assert state_tuple(clone) == state_tuple(original)


@pytest.mark.parametrize("checksum", ACCEPTED)
def test_accepted_checksum_without_state_gives_fresh_instance(checksum):
    obj = UNPICKLE(CProtection, checksum, None)
    assert type(obj) is CProtection
    assert obj.__reduce__() == CProtection().__reduce__()


def test_checksums_derive_from_the_layout_text():
    text = " ".join(FIELDS).encode("ascii")
    derived = tuple(int(hashlib.new(algo, text).hexdigest()[:7], 16)
                    for algo in ("sha256", "sha1", "md5"))
    assert derived == ACCEPTED
    # the module accepts exactly these derived values and emits the first
    for checksum in derived:
        assert state_tuple(UNPICKLE(CProtection, checksum, VALID)) == VALID
    assert CProtection().__reduce__()[1][1] == derived[0]
    # and the field list of the refusal names the same fields in the same order
    with pytest.raises(pickle.PickleError) as info:
        UNPICKLE(CProtection, 0, None)
    assert str(info.value).endswith("= (%s))" % ", ".join(FIELDS))


def test_keyword_arguments_of_the_restoring_function():
    obj = UNPICKLE(__pyx_state=VALID, __pyx_checksum=0x635491F,
                   __pyx_type=CProtection)
    assert state_tuple(obj) == VALID


class MyInt(int):
    pass


class Len0:
    def __len__(self):
        return 0


@pytest.mark.parametrize("checksum", [206333596.9, IntLike(104155423),
                                      MyInt(218108529)],
                         ids=["float", "int-slot", "int-subclass"])
def test_checksum_converts_through_integer_conversion(checksum):
    assert state_tuple(UNPICKLE(CProtection, checksum, VALID)) == VALID


@pytest.mark.parametrize("checksum, rendered", [
    (0, "0x0"),
    (1, "0x1"),
    (True, "0x1"),
    (0xC4C669D, "0xc4c669d"),
    (0xFFFFFFFF, "0xffffffff"),
    (0x1FFFFFFFF, "0x1ffffffff"),
    (0x10C4C669C, "0x10c4c669c"),   # low 32 bits equal the emitted checksum
    (-1, "-0x1"),
    (-0xC4C669C, "-0xc4c669c"),
    (-0x100000000 + 0xC4C669C, "-0xf3b39964"),
    (2**63 - 1, "0x7fffffffffffffff"),
    (-2**63, "-0x8000000000000000"),
])
@pytest.mark.parametrize("state", [None, VALID, ()], ids=["none", "valid", "empty"])
def test_refused_checksum(checksum, rendered, state):
    with pytest.raises(pickle.PickleError) as info:
        UNPICKLE(CProtection, checksum, state)
    assert type(info.value) is pickle.PickleError
    assert str(info.value) == refused_message(rendered)
    assert module_entries(info.value) == chain((F_UNPICKLE, 6))


def test_refusal_looks_up_pickle_error_at_call_time(monkeypatch):
    class Replacement(Exception):
        pass

    monkeypatch.setattr(pickle, "PickleError", Replacement)
    with pytest.raises(Replacement) as info:
        UNPICKLE(CProtection, 5, None)
    assert str(info.value) == refused_message("0x5")
    assert module_entries(info.value) == chain((F_UNPICKLE, 6))


def test_refusal_without_pickle_error_raises_lookup_failure(monkeypatch):
    monkeypatch.delattr(pickle, "PickleError")
    with pytest.raises(AttributeError) as info:
        UNPICKLE(CProtection, 5, None)
    assert module_entries(info.value) == chain((F_UNPICKLE, 6))


def test_refusal_without_pickle_module_raises_import_failure(monkeypatch):
    import sys
    monkeypatch.setitem(sys.modules, "pickle", None)
    with pytest.raises(ImportError) as info:
        UNPICKLE(CProtection, 5, None)
    assert module_entries(info.value) == chain((F_UNPICKLE, 6))


def test_accepted_checksum_does_not_import_pickle(monkeypatch):
    import sys
    monkeypatch.setitem(sys.modules, "pickle", None)
    assert state_tuple(UNPICKLE(CProtection, EMITTED, VALID)) == VALID


class MyTuple(tuple):
    pass


class AbstractSub(CProtection, metaclass=abc.ABCMeta):
    @abc.abstractmethod
    def required(self):
        pass


@pytest.mark.parametrize("args, exc, message, entries", [
    ((CProtection, 0, []), TypeError,
     "Argument '__pyx_state' has incorrect type (expected tuple, got list)", []),
    ((CProtection, EMITTED, MyTuple(VALID)), TypeError,
     "Argument '__pyx_state' has incorrect type (expected tuple, got MyTuple)", []),
    ((CProtection, "0", []), TypeError, "an integer is required",
     [(F_UNPICKLE, 4)]),
    ((CProtection, IndexOnly(EMITTED), None), TypeError,
     "an integer is required", [(F_UNPICKLE, 4)]),
    ((CProtection, None, None), TypeError, "an integer is required",
     [(F_UNPICKLE, 4)]),
    ((CProtection, 2**63, None), OverflowError, None, [(F_UNPICKLE, 4)]),
    ((CProtection, -2**63 - 1, None), OverflowError, None, [(F_UNPICKLE, 4)]),
    ((int, 0, None), pickle.PickleError, refused_message("0x0"),
     [(F_UNPICKLE, 6)]),
    ((int, EMITTED, None), TypeError, None, [(F_UNPICKLE, 7)]),
    ((int, 0x635491F, VALID), TypeError, None, [(F_UNPICKLE, 7)]),
    (("not a type", EMITTED, None), TypeError, None, [(F_UNPICKLE, 7)]),
    ((dict, EMITTED, None), TypeError, None, [(F_UNPICKLE, 7)]),
    ((AbstractSub, EMITTED, VALID), TypeError, None, [(F_UNPICKLE, 7)]),
], ids=["state-list", "state-tuple-subclass", "checksum-str-before-state",
        "checksum-index-only", "checksum-none", "checksum-too-big",
        "checksum-too-small", "checksum-before-type", "type-int",
        "type-int-with-state", "type-not-a-type", "type-dict", "type-abstract"])
def test_restoring_function_check_order(args, exc, message, entries):
    with pytest.raises(exc) as info:
        UNPICKLE(*args)
    if message is not None:
        assert str(info.value) == message
    assert module_entries(info.value) == chain(*entries)


@pytest.mark.parametrize("call, message", [
    (lambda: UNPICKLE(CProtection, EMITTED),
     "__pyx_unpickle_CProtection() takes exactly 3 positional arguments (2 given)"),
    (lambda: UNPICKLE(CProtection, EMITTED, None, None),
     "__pyx_unpickle_CProtection() takes exactly 3 positional arguments (4 given)"),
    (lambda: UNPICKLE(CProtection, __pyx_state=None),
     "__pyx_unpickle_CProtection() takes exactly 3 positional arguments (1 given)"),
    (lambda: UNPICKLE(CProtection, EMITTED, None, state=None),
     "__pyx_unpickle_CProtection() got an unexpected keyword argument 'state'"),
    (lambda: UNPICKLE(CProtection, EMITTED, None, __pyx_type=CProtection),
     "__pyx_unpickle_CProtection() got multiple values for keyword argument "
     "'__pyx_type'"),
])
def test_restoring_function_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert module_entries(info.value) == chain((F_UNPICKLE, 4))


def test_restoring_uses_the_module_own_class(monkeypatch):
    monkeypatch.setattr(cprotection, "CProtection", int)
    obj = UNPICKLE(CProtection, EMITTED, VALID)
    assert type(obj) is CProtection
    assert state_tuple(obj) == VALID


# --- hand-made pickle streams ----------------------------------------------

def p0(value):
    """Protocol 0 text for the few value kinds a state needs."""
    if value is True:
        return b"I01\n"
    if value is False:
        return b"I00\n"
    if value is None:
        return b"N"
    if isinstance(value, int):
        return b"I%d\n" % value
    if isinstance(value, list):
        return b"(" + b"".join(p0(v) for v in value) + b"l"
    if isinstance(value, tuple):
        return b"(" + b"".join(p0(v) for v in value) + b"t"
    if isinstance(value, bytearray):
        return b"c__builtin__\nbytearray\n(" + p0(list(value)) + b"tR"
    raise TypeError(value)


def p2(value):
    """Protocol 2 opcodes for the few value kinds a state needs."""
    if value is True:
        return b"\x88"
    if value is False:
        return b"\x89"
    if value is None:
        return b"N"
    if isinstance(value, int):
        if 0 <= value <= 255:
            return b"K" + bytes([value])
        if -2**31 <= value < 2**31:
            return b"J" + struct.pack("<i", value)
        raw = value.to_bytes((value.bit_length() + 8) // 8, "little", signed=True)
        return b"\x8a" + bytes([len(raw)]) + raw
    if isinstance(value, list):
        return b"](" + b"".join(p2(v) for v in value) + b"e"
    if isinstance(value, tuple):
        return b"(" + b"".join(p2(v) for v in value) + b"t"
    if isinstance(value, bytearray):
        return b"cbuiltins\nbytearray\n" + p2(list(value)) + b"\x85R"
    raise TypeError(value)


def stream0(checksum, state):
    return (b"c" + MOD.encode() + b"\n__pyx_unpickle_CProtection\n"
            b"(c" + MOD.encode() + b"\nCProtection\n"
            + p0(checksum) + p0(state) + b"tR.")


def stream2(checksum, state):
    return (b"\x80\x02c" + MOD.encode() + b"\n__pyx_unpickle_CProtection\n"
            b"c" + MOD.encode() + b"\nCProtection\n"
            + p2(checksum) + p2(state) + b"\x87R.")


STREAMS = {"protocol-0": stream0, "protocol-2": stream2}

HAND_STATE = (True, 0xA5, 7, [0, 1, 2, 3, 252, 253, 254, 255], 2,
              [9, 8, 7, 6, 5, 4, 3, 0], True)
CONTAINERS = {"list": list, "tuple": tuple, "bytearray": bytearray}


def _hand_state(dcontainer, econtainer):
    s = list(HAND_STATE)
    s[3] = CONTAINERS[dcontainer](s[3])
    s[5] = CONTAINERS[econtainer](s[5])
    return tuple(s)


def _expected_hand_state():
    s = list(HAND_STATE)
    s[3], s[5] = bytes(s[3]), bytes(s[5])
    return tuple(s)


def _check_hand_restored(obj):
    assert type(obj) is CProtection
    assert state_tuple(obj) == _expected_hand_state()
    data = b"stream goes on \x00\x07"
    expected, _, _ = model_encrypt(HAND_STATE[5], HAND_STATE[4], data)
    assert bytes(obj.encrypt(bytearray(data))) == expected
    expected, _, _ = model_decrypt(HAND_STATE[3], HAND_STATE[2], data)
    assert bytes(obj.decrypt(bytearray(data))) == expected


@pytest.mark.parametrize("container", sorted(CONTAINERS))
@pytest.mark.parametrize("checksum", ACCEPTED, ids=hex)
@pytest.mark.parametrize("stream", sorted(STREAMS))
def test_hand_made_stream_restores(stream, checksum, container):
    other = {"list": "tuple", "tuple": "bytearray", "bytearray": "list"}[container]
    data = STREAMS[stream](checksum, _hand_state(container, other))
    _check_hand_restored(pickle.loads(data))


def test_hand_made_protocol_0_text_is_literal():
    # written out in full once, so the encoder above is not the only witness
    data = (b"ckovrin.modules.security.cprotection\n__pyx_unpickle_CProtection\n"
            b"(ckovrin.modules.security.cprotection\nCProtection\n"
            b"I104155423\n"
            b"(I01\nI165\nI7\n(I0\nI1\nI2\nI3\nI252\nI253\nI254\nI255\nl"
            b"I2\n(I9\nI8\nI7\nI6\nI5\nI4\nI3\nI0\nt"
            b"I01\nttR.")
    _check_hand_restored(pickle.loads(data))


def test_hand_made_stream_with_build_applies_state():
    # reduce with no state, then BUILD: the host calls __setstate__
    data = (b"\x80\x02c" + MOD.encode() + b"\n__pyx_unpickle_CProtection\n"
            b"c" + MOD.encode() + b"\nCProtection\n"
            + p2(0xD001271) + b"N\x87R"
            + p2(_hand_state("bytearray", "list")) + b"b.")
    _check_hand_restored(pickle.loads(data))


@pytest.mark.parametrize("checksum, rendered", [
    (0, "0x0"), (-1, "-0x1"), (0x1FFFFFFFF, "0x1ffffffff"),
    (0x10635491F, "0x10635491f")])
@pytest.mark.parametrize("stream", sorted(STREAMS))
def test_hand_made_stream_with_refused_checksum(stream, checksum, rendered):
    data = STREAMS[stream](checksum, _hand_state("list", "list"))
    with pytest.raises(pickle.PickleError) as info:
        pickle.loads(data)
    assert type(info.value) is pickle.PickleError
    assert str(info.value) == refused_message(rendered)
    assert module_entries(info.value) == chain((F_UNPICKLE, 6))


@pytest.mark.parametrize("stream", sorted(STREAMS))
def test_hand_made_stream_with_short_vector(stream):
    state = list(_hand_state("list", "list"))
    state[3] = state[3][:7]
    with pytest.raises(IndexError) as info:
        pickle.loads(STREAMS[stream](EMITTED, tuple(state)))
    assert str(info.value) == ("not enough values found during array assignment, "
                               "expected 8, got 7")
    assert module_entries(info.value) == chain(
        (F_UNPICKLE, 9), (F_SET_STATE, 12), (F_CARRAY, 95))


class Forged:
    def __init__(self, checksum, state):
        self.checksum = checksum
        self.state = state


class ForgingPickler(pickle.Pickler):
    def reducer_override(self, obj):
        if isinstance(obj, Forged):
            return UNPICKLE, (CProtection, obj.checksum, obj.state)
        return NotImplemented


def forge(checksum, state, protocol):
    import io
    buf = io.BytesIO()
    ForgingPickler(buf, protocol).dump(Forged(checksum, state))
    return buf.getvalue()


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("checksum", ACCEPTED, ids=hex)
def test_forged_reduce_restores(checksum, protocol):
    for dc, ec in [("list", "tuple"), ("tuple", "bytearray"), ("bytearray", "list")]:
        _check_hand_restored(pickle.loads(forge(checksum, _hand_state(dc, ec), protocol)))


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_forged_reduce_with_refused_checksum(protocol):
    data = forge(0xC4C669B, _hand_state("list", "list"), protocol)
    with pytest.raises(pickle.PickleError) as info:
        pickle.loads(data)
    assert str(info.value) == refused_message("0xc4c669b")


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_names_a_stream_refers_to(protocol):
    assert UNPICKLE.__module__ == MOD
    assert UNPICKLE.__qualname__ == "__pyx_unpickle_CProtection"
    assert CProtection.__reduce__.__name__ == "__reduce_cython__"
    assert CProtection.__setstate__.__name__ == "__setstate_cython__"
    assert "__reduce_ex__" not in CProtection.__dict__
    assert pickle.loads(pickle.dumps(UNPICKLE, protocol)) is UNPICKLE
    assert pickle.loads(pickle.dumps(CProtection, protocol)) is CProtection
    data = pickle.dumps(CProtection(), protocol)
    assert b"__pyx_unpickle_CProtection" in data
    assert MOD.encode() in data


# --- state application: accepted element forms -----------------------------

def _with(position, value, base=VALID):
    s = list(base)
    s[position] = value
    return tuple(s)


@pytest.mark.parametrize("value, flag", [
    (2, True), ("x", True), ([0], True), (1.5, True),
    (None, False), ("", False), ([], False), (0, False), (Len0(), False),
])
@pytest.mark.parametrize("position", [0, 6])
def test_flag_conversion(position, value, flag):
    state = _with(position, value)
    assert state_tuple(UNPICKLE(CProtection, EMITTED, state))[position] is flag


@pytest.mark.parametrize("value, stored", [
    (0, 0), (255, 255), (True, 1), (3.9, 3), (IntLike(200), 200), (MyInt(17), 17),
])
def test_base_conversion(value, stored):
    assert state_tuple(UNPICKLE(CProtection, EMITTED, _with(1, value)))[1] == stored


@pytest.mark.parametrize("value, stored", [
    (0, 0), (7, 7), (True, 1), (False, 0), (IndexOnly(5), 5), (MyInt(6), 6),
])
@pytest.mark.parametrize("position", [2, 4])
def test_index_conversion(position, value, stored):
    state = state_tuple(UNPICKLE(CProtection, EMITTED, _with(position, value)))
    assert state[position] == stored and type(state[position]) is int


UCHAR_TOO_LARGE = "value too large to convert to unsigned char"
UCHAR_NEGATIVE = "can't convert negative value to unsigned char"


@pytest.mark.parametrize("value, message", [
    (256, UCHAR_TOO_LARGE),
    (2**31, UCHAR_TOO_LARGE),
    (2**32 + 5, UCHAR_TOO_LARGE),
    (2**63 - 1, UCHAR_TOO_LARGE),
    (2**63, UCHAR_TOO_LARGE),
    (2**64 - 1, UCHAR_TOO_LARGE),
    (-1, UCHAR_NEGATIVE),
    (-256, UCHAR_NEGATIVE),
    (-2**63, UCHAR_NEGATIVE),
    (-2**70, UCHAR_NEGATIVE),
], ids=lambda v: hex(v) if isinstance(v, int) else
    ("too-large" if v == UCHAR_TOO_LARGE else "negative"))
@pytest.mark.parametrize("position", [1, 3, 5])
def test_unsigned_byte_range(position, value, message):
    element = value if position == 1 else [0] * 7 + [value]
    with pytest.raises(OverflowError) as info:
        UNPICKLE(CProtection, EMITTED, _with(position, element))
    assert str(info.value) == message
    inner = [] if position == 1 else [(F_CARRAY, 89)]
    assert module_entries(info.value) == chain((F_UNPICKLE, 9), (F_SET_STATE, 12), *inner)


@pytest.mark.parametrize("value", [2**64, 2**100], ids=hex)
@pytest.mark.parametrize("position", [1, 3])
def test_unsigned_byte_beyond_64_bits_is_the_host_overflow(position, value):
    # neither of the module's own range messages: the host's conversion speaks
    element = value if position == 1 else [value] * 8
    with pytest.raises(OverflowError) as info:
        UNPICKLE(CProtection, EMITTED, _with(position, element))
    assert str(info.value) not in (UCHAR_TOO_LARGE, UCHAR_NEGATIVE)


class OwnValueInt(int):
    """An int subclass whose conversion hooks lie; its own value must win."""

    def __int__(self):
        return 0

    def __index__(self):
        return 0


@pytest.mark.parametrize("position, element, stored", [
    (1, OwnValueInt(77), 77),
    (2, OwnValueInt(5), 5),
    (4, OwnValueInt(6), 6),
    (3, [OwnValueInt(9)] * 8, bytes([9] * 8)),
])
def test_int_subclass_converts_by_its_own_value(position, element, stored):
    obj = UNPICKLE(CProtection, OwnValueInt(EMITTED), _with(position, element))
    assert state_tuple(obj)[position] == stored


class IntReturns:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


DEPRECATED_INT = ("__int__ returned non-int (type MyInt).  The ability to return "
                  "an instance of a strict subclass of int is deprecated, and may "
                  "be removed in a future version of Python.")


@pytest.mark.parametrize("position", [1, 3])
def test_int_slot_returning_int_subclass_warns(position):
    element = IntReturns(MyInt(9))
    element = element if position == 1 else [element] + [9] * 7
    with pytest.warns(DeprecationWarning) as record:
        obj = UNPICKLE(CProtection, EMITTED, _with(position, element))
    assert [str(w.message) for w in record] == [DEPRECATED_INT]
    assert state_tuple(obj)[position] == (9 if position == 1 else bytes([9] * 8))


@pytest.mark.parametrize("position", [1, 3])
def test_int_slot_warning_as_error_changes_nothing(position):
    import warnings
    element = IntReturns(MyInt(9))
    element = element if position == 1 else [element] + [9] * 7
    target = _running(True)
    before = target.__reduce__()
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning) as info:
            target.__setstate__(_with(position, element))
    assert str(info.value) == DEPRECATED_INT
    inner = [] if position == 1 else [(F_CARRAY, 89)]
    assert module_entries(info.value) == chain((F_SETSTATE, 17), (F_SET_STATE, 12), *inner)
    assert target.__reduce__() == before


class LenTypeError:
    def __init__(self, values, error=TypeError):
        self.values, self.error = values, error

    def __len__(self):
        raise self.error("no length")

    def __iter__(self):
        return iter(self.values)


VEC = [1, 2, 3, 4, 250, 251, 252, 253]


@pytest.mark.parametrize("make", [
    lambda: VEC,
    lambda: tuple(VEC),
    lambda: bytearray(VEC),
    lambda: bytes(VEC),
    lambda: (v for v in VEC),
    lambda: iter(VEC),
    lambda: map(int, VEC),
    lambda: LenTypeError(VEC),
    lambda: LenTypeError(VEC, OverflowError),
    lambda: LenTypeError(VEC, type("TE", (TypeError,), {})),
    lambda: [float(v) + 0.5 for v in VEC],
    lambda: [IntLike(v) for v in VEC],
    lambda: type("L", (list,), {})(VEC),
], ids=["list", "tuple", "bytearray", "bytes", "generator", "iterator", "map",
        "len-typeerror", "len-overflowerror", "len-typeerror-subclass", "floats", "int-slot", "list-subclass"])
@pytest.mark.parametrize("position", [3, 5])
def test_vector_conversion_accepts(position, make):
    state = state_tuple(UNPICKLE(CProtection, EMITTED, _with(position, make())))
    assert state[position] == bytes(VEC)


class Explosive:
    def __bool__(self):
        raise AssertionError("touched")

    def __len__(self):
        raise AssertionError("touched")

    def __index__(self):
        raise AssertionError("touched")


@pytest.mark.parametrize("tail", [
    (None,), ({},), (None, Explosive()), ({}, Explosive(), Explosive()),
], ids=["none", "empty-dict", "none-then-more", "empty-dict-then-more"])
def test_eighth_element_ignored_when_false_and_rest_unread(tail):
    obj = UNPICKLE(CProtection, EMITTED, VALID + tail)
    assert state_tuple(obj) == VALID
    target = _running(False)
    assert target.__setstate__(VALID + tail) is None
    assert state_tuple(target) == VALID


def test_eighth_element_with_false_truth_value_is_not_used():
    obj = UNPICKLE(CProtection, EMITTED, VALID + (Len0(),))
    assert state_tuple(obj) == VALID


# --- state application: failures ------------------------------------------

class BoolRaises:
    def __bool__(self):
        raise RuntimeError("no truth")


class LenRaises:
    def __init__(self, error):
        self.error = error

    def __len__(self):
        raise self.error("length refused")

    def __iter__(self):
        raise AssertionError("must not be walked")


class FixedLen:
    def __init__(self, length, values):
        self.length, self.values = length, values

    def __len__(self):
        return self.length

    def __iter__(self):
        if self.values is None:
            raise AssertionError("must not be walked")
        return iter(self.values)


class IterRaises:
    def __len__(self):
        return 8

    def __iter__(self):
        yield 1
        yield 2
        raise RuntimeError("iteration broke")


class Grower:
    def __init__(self, target):
        self.target = target

    def __int__(self):
        self.target.append(1)
        return 1


class Shrinker:
    def __init__(self, target):
        self.target = target

    def __int__(self):
        self.target.pop()
        return 1


def _growing_list():
    lst = [0] * 8
    lst[0] = Grower(lst)
    return lst


def _shrinking_list():
    lst = [0] * 8
    lst[0] = Shrinker(lst)
    return lst


def _gen(values):
    return lambda: (v for v in values)


NOT_ENOUGH = "not enough values found during array assignment, expected 8, got %d"
TOO_MANY = "too many values found during array assignment, expected 8"
RANGE = "%s out of range: %s (expected 0..7)"

# (id, position, value factory, exception, message or None, inner entries)
BAD_ELEMENTS = [
    ("active-bool-raises", 0, BoolRaises, RuntimeError, "no truth", []),
    ("flip-bool-raises", 6, BoolRaises, RuntimeError, "no truth", []),
    ("base-256", 1, lambda: 256, OverflowError,
     "value too large to convert to unsigned char", []),
    ("base-negative", 1, lambda: -1, OverflowError,
     "can't convert negative value to unsigned char", []),
    ("base-huge", 1, lambda: 2**64, OverflowError, None, []),
    ("base-str", 1, lambda: "1", TypeError, "an integer is required", []),
    ("base-index-only", 1, lambda: IndexOnly(3), TypeError,
     "an integer is required", []),
    ("dec-index-float", 2, lambda: 1.0, TypeError, None, []),
    ("enc-index-str", 4, lambda: "0", TypeError, None, []),
    ("dec-index-int-slot-only", 2, lambda: IntLike(1), TypeError, None, []),
    ("dec-index-too-big", 2, lambda: 2**63, OverflowError, None, []),
    ("enc-index-too-small", 4, lambda: -2**63 - 1, OverflowError, None, []),
    ("dec-index-8", 2, lambda: 8, ValueError, RANGE % ("decryption_index", 8), []),
    ("dec-index-9", 2, lambda: 9, ValueError, RANGE % ("decryption_index", 9), []),
    ("dec-index-neg", 2, lambda: -1, ValueError,
     RANGE % ("decryption_index", -1), []),
    ("dec-index-max", 2, lambda: 2**63 - 1, ValueError,
     RANGE % ("decryption_index", 2**63 - 1), []),
    ("dec-index-min", 2, lambda: -2**63, ValueError,
     RANGE % ("decryption_index", -2**63), []),
    ("dec-index-via-index", 2, lambda: IndexOnly(9), ValueError,
     RANGE % ("decryption_index", 9), []),
    ("enc-index-9", 4, lambda: 9, ValueError, RANGE % ("encryption_index", 9), []),
    ("enc-index-neg", 4, lambda: -1, ValueError,
     RANGE % ("encryption_index", -1), []),
    ("enc-index-1000", 4, lambda: 1000, ValueError,
     RANGE % ("encryption_index", 1000), []),
    ("dec-vector-7", 3, lambda: bytes(7), IndexError, NOT_ENOUGH % 7,
     [(F_CARRAY, 95)]),
    ("enc-vector-7", 5, lambda: [1] * 7, IndexError, NOT_ENOUGH % 7,
     [(F_CARRAY, 95)]),
    ("dec-vector-9", 3, lambda: list(range(9)), IndexError, TOO_MANY,
     [(F_CARRAY, 95)]),
    ("enc-vector-9-bytearray", 5, lambda: bytearray(9), IndexError, TOO_MANY,
     [(F_CARRAY, 95)]),
    ("vector-empty", 3, lambda: (), IndexError, NOT_ENOUGH % 0, [(F_CARRAY, 95)]),
    ("vector-empty-generator", 3, _gen([]), IndexError, NOT_ENOUGH % 0,
     [(F_CARRAY, 95)]),
    ("vector-generator-7", 5, _gen(range(7)), IndexError, NOT_ENOUGH % 7,
     [(F_CARRAY, 95)]),
    ("vector-generator-9", 3, _gen(range(9)), IndexError, TOO_MANY,
     [(F_CARRAY, 95)]),
    ("vector-generator-ninth-unconverted", 5, _gen(list(range(8)) + ["x"]),
     IndexError, TOO_MANY, [(F_CARRAY, 95)]),
    ("vector-len-type-error-9", 3, lambda: LenTypeError(range(9)), IndexError,
     TOO_MANY, [(F_CARRAY, 95)]),
    ("vector-grows-while-walked", 3, _growing_list, IndexError, TOO_MANY,
     [(F_CARRAY, 95)]),
    ("vector-shrinks-while-walked", 5, _shrinking_list, IndexError,
     NOT_ENOUGH % 7, [(F_CARRAY, 95)]),
    ("vector-256", 3, lambda: [0] * 7 + [256], OverflowError,
     "value too large to convert to unsigned char", [(F_CARRAY, 89)]),
    ("vector-negative", 5, lambda: [-1] + [0] * 7, OverflowError,
     "can't convert negative value to unsigned char", [(F_CARRAY, 89)]),
    ("vector-str-item", 3, lambda: [0, "a"] + [0] * 6, TypeError,
     "an integer is required", [(F_CARRAY, 89)]),
    ("vector-generator-256", 5, _gen([0] * 3 + [256] + [0] * 4), OverflowError,
     "value too large to convert to unsigned char", [(F_CARRAY, 89)]),
    ("base-int-slot-returns-str", 1, lambda: IntReturns("x"), TypeError,
     "__int__ returned non-int (type str)", []),
    ("vector-int-slot-returns-str", 5, lambda: [IntReturns("x")] * 8, TypeError,
     "__int__ returned non-int (type str)", [(F_CARRAY, 89)]),
    ("vector-len-8-iterates-9", 3, lambda: FixedLen(8, range(9)), IndexError,
     TOO_MANY, [(F_CARRAY, 95)]),
    ("vector-len-8-iterates-7", 5, lambda: FixedLen(8, range(7)), IndexError,
     NOT_ENOUGH % 7, [(F_CARRAY, 95)]),
    ("vector-len-7-iterates-8", 3, lambda: FixedLen(7, range(8)), IndexError,
     NOT_ENOUGH % 7, [(F_CARRAY, 95)]),
    ("vector-len-100", 5, lambda: FixedLen(100, None), IndexError,
     TOO_MANY, [(F_CARRAY, 95)]),
    ("vector-len-value-error", 3, lambda: LenRaises(ValueError), ValueError,
     "length refused", [(F_CARRAY, 82)]),
    ("vector-len-runtime-error", 5, lambda: LenRaises(RuntimeError), RuntimeError,
     "length refused", [(F_CARRAY, 82)]),
    ("vector-iteration-breaks", 3, IterRaises, RuntimeError, "iteration broke",
     [(F_CARRAY, 86)]),
    ("vector-not-iterable", 5, lambda: 5, TypeError, None, [(F_CARRAY, 86)]),
    ("vector-none", 3, lambda: None, TypeError, None, [(F_CARRAY, 86)]),
]


@pytest.mark.parametrize("position, make, exc, message, inner",
                         [row[1:] for row in BAD_ELEMENTS],
                         ids=[row[0] for row in BAD_ELEMENTS])
def test_bad_element_in_restoring_function(position, make, exc, message, inner):
    with pytest.raises(exc) as info:
        UNPICKLE(CProtection, EMITTED, _with(position, make()))
    if message is not None:
        assert str(info.value) == message
    assert module_entries(info.value) == chain(
        (F_UNPICKLE, 9), (F_SET_STATE, 12), *inner)


@pytest.mark.parametrize("position, make, exc, message, inner",
                         [row[1:] for row in BAD_ELEMENTS],
                         ids=[row[0] for row in BAD_ELEMENTS])
def test_bad_element_in_setstate_changes_nothing(position, make, exc, message, inner):
    target = _running(True)
    before = target.__reduce__()
    with pytest.raises(exc) as info:
        target.__setstate__(_with(position, make()))
    if message is not None:
        assert str(info.value) == message
    assert module_entries(info.value) == chain(
        (F_SETSTATE, 17), (F_SET_STATE, 12), *inner)
    assert target.__reduce__() == before
    assert run_ops(target, CONTINUATION) == run_ops(_running(True), CONTINUATION)


@pytest.mark.parametrize("length", range(7))
def test_short_state_tuple_changes_nothing(length):
    target = _running(False)
    before = target.__reduce__()
    with pytest.raises(IndexError) as info:
        target.__setstate__(VALID[:length])
    assert module_entries(info.value) == chain((F_SETSTATE, 17), (F_SET_STATE, 12))
    assert target.__reduce__() == before
    with pytest.raises(IndexError) as info:
        UNPICKLE(CProtection, EMITTED, VALID[:length])
    assert module_entries(info.value) == chain((F_UNPICKLE, 9), (F_SET_STATE, 12))


def test_six_element_state_on_keyed_instance_changes_nothing():
    target = _keyed(True)
    before = target.__reduce__()
    with pytest.raises(IndexError):
        target.__setstate__(VALID[:6])
    assert target.__reduce__() == before
    assert run_ops(target, CONTINUATION) == run_ops(_keyed(True), CONTINUATION)


def test_first_failing_position_wins():
    # a range failure of the decryption index comes before a bad vector after it
    with pytest.raises(ValueError):
        UNPICKLE(CProtection, EMITTED, _with(3, bytes(7), _with(2, 9)))
    # a bad decryption vector comes before an out-of-range encryption index
    with pytest.raises(IndexError):
        UNPICKLE(CProtection, EMITTED, _with(4, 9, _with(3, bytes(7))))
    # both indices out of range: the decryption index is reported
    with pytest.raises(ValueError) as info:
        UNPICKLE(CProtection, EMITTED, _with(4, 10, _with(2, 9)))
    assert str(info.value) == "decryption_index out of range: 9 (expected 0..7)"
    # a bad base comes before a short tuple
    with pytest.raises(OverflowError):
        UNPICKLE(CProtection, EMITTED, (True, 256))


def test_nonempty_dict_on_plain_instance_changes_nothing():
    target = _running(False)
    before = target.__reduce__()
    with pytest.raises(AttributeError) as info:
        target.__setstate__(VALID + ({"tag": 1},))
    assert module_entries(info.value) == chain((F_SETSTATE, 17), (F_SET_STATE, 13))
    assert target.__reduce__() == before
    with pytest.raises(AttributeError) as info:
        UNPICKLE(CProtection, EMITTED, VALID + ({"tag": 1},))
    assert module_entries(info.value) == chain((F_UNPICKLE, 9), (F_SET_STATE, 13))


def test_eighth_element_truth_failure_changes_nothing():
    target = _running(False)
    before = target.__reduce__()
    with pytest.raises(RuntimeError, match="no truth"):
        target.__setstate__(VALID + (BoolRaises(),))
    assert target.__reduce__() == before


class Tagged(CProtection):
    pass


class Recorder:
    """Logs each conversion hook together with the target's state at that time."""

    def __init__(self, target):
        self.target = target
        self.log = []

    def seen(self, position):
        self.log.append((position, state_tuple(self.target)))


class RecBool:
    def __init__(self, rec, position, value, fail=False):
        self.rec, self.position, self.value, self.fail = rec, position, value, fail

    def __bool__(self):
        self.rec.seen(self.position)
        if self.fail:
            raise RuntimeError("fail at %d" % self.position)
        return self.value


class RecInt(RecBool):
    def __int__(self):
        self.rec.seen(self.position)
        if self.fail:
            raise RuntimeError("fail at %d" % self.position)
        return self.value

    __index__ = __int__


def _rec_vector(rec, position, values, fail=False):
    def gen():
        rec.seen(position)
        if fail:
            raise RuntimeError("fail at %d" % position)
        yield from values
    return gen()


class RecMapping:
    def __init__(self, rec, data, fail=False):
        self.rec, self.data, self.fail = rec, data, fail

    def __len__(self):
        return len(self.data)

    def keys(self):
        self.rec.seen(7)
        if self.fail:
            raise RuntimeError("fail at 7")
        return list(self.data)

    def __getitem__(self, key):
        return self.data[key]


def _recorded_state(rec, fail_at=None):
    f = lambda p: p == fail_at  # noqa: E731
    return (RecBool(rec, 0, True, f(0)), RecInt(rec, 1, 0x5A, f(1)),
            RecInt(rec, 2, 3, f(2)), _rec_vector(rec, 3, range(10, 18), f(3)),
            RecInt(rec, 4, 6, f(4)), _rec_vector(rec, 5, range(200, 208), f(5)),
            RecBool(rec, 6, False, f(6)), RecMapping(rec, {"tag": "new"}, f(7)))


def test_state_application_converts_in_order_before_storing():
    target = Tagged(True)
    target.activate([3, 4])
    target.encrypt(bytearray(b"some data"))
    target.old = "kept"
    before = state_tuple(target)
    rec = Recorder(target)
    assert target.__setstate__(_recorded_state(rec)) is None
    assert [p for p, _ in rec.log] == list(range(8))
    # nothing was stored while conversions and the dictionary update ran
    assert all(seen == before for _, seen in rec.log)
    assert state_tuple(target) == VALID
    assert target.__dict__ == {"old": "kept", "tag": "new"}


class UpdateKept(dict):
    """An instance dictionary of a dict subclass, whose own update() takes the state."""

    def update(self, other):
        self.given = other
        if "refuse" in other:
            raise RuntimeError("update refused")
        super().update(other)


@pytest.mark.parametrize("extra", [{"tag": "new"}, {"refuse": 1}], ids=["updated", "refused"])
def test_instance_dict_subclass_takes_the_state_through_its_update(extra):
    target = Tagged(False)
    target.__dict__ = UpdateKept(old="kept")
    before = state_tuple(target)
    if "refuse" in extra:
        with pytest.raises(RuntimeError, match="update refused"):
            target.__setstate__(VALID + (extra,))
        assert state_tuple(target) == before and target.__dict__ == {"old": "kept"}
    else:
        assert target.__setstate__(VALID + (extra,)) is None
        assert state_tuple(target) == VALID and target.__dict__ == {"old": "kept", "tag": "new"}
    assert target.__dict__.given is extra


@pytest.mark.parametrize("fail_at", range(8))
def test_failed_state_application_stops_and_changes_nothing(fail_at):
    target = Tagged(False)
    target.activate([8])
    target.decrypt(bytearray(b"abc"))
    target.old = "kept"
    before = state_tuple(target)
    rec = Recorder(target)
    with pytest.raises(RuntimeError, match="fail at %d" % fail_at) as info:
        target.__setstate__(_recorded_state(rec, fail_at))
    assert [p for p, _ in rec.log] == list(range(fail_at + 1))
    assert state_tuple(target) == before
    assert target.__dict__ == {"old": "kept"}
    inner = [(F_CARRAY, 86)] if fail_at in (3, 5) else []
    line = 13 if fail_at == 7 else 12
    assert module_entries(info.value) == chain(
        (F_SETSTATE, 17), (F_SET_STATE, line), *inner)


# --- __setstate__ and method arguments -------------------------------------

@pytest.mark.parametrize("arg, message", [
    ([*VALID], "Expected tuple, got list"),
    (None, "cannot pass None into a C function argument that is declared 'not None'"),
    (MyTuple(VALID), "Expected tuple, got MyTuple"),
    (dict(a=1), "Expected tuple, got dict"),
])
@pytest.mark.parametrize("method", ["__setstate__", "__setstate_cython__"])
def test_setstate_refuses_non_tuple(method, arg, message):
    target = _running(False)
    before = target.__reduce__()
    with pytest.raises(TypeError) as info:
        getattr(target, method)(arg)
    assert str(info.value) == message
    assert module_entries(info.value) == chain((F_SETSTATE, 17))
    assert target.__reduce__() == before


@pytest.mark.parametrize("name", sorted(LIFECYCLE))
def test_setstate_makes_target_continue_like_source(name):
    source = LIFECYCLE[name]()
    target = _running(True)
    assert target.__setstate_cython__(__pyx_state=source.__reduce__()[1][2]) is None
    assert target.__reduce__() == source.__reduce__()
    assert run_ops(target, CONTINUATION) == run_ops(source, CONTINUATION)


@pytest.mark.parametrize("call, message, entries", [
    (lambda o: o.__setstate_cython__(),
     "__setstate_cython__() takes exactly 1 positional argument (0 given)",
     [(F_SETSTATE, 16)]),
    (lambda o: o.__setstate__(VALID, VALID),
     "__setstate_cython__() takes exactly 1 positional argument (2 given)",
     [(F_SETSTATE, 16)]),
    (lambda o: o.__setstate_cython__(state=VALID),
     "__setstate_cython__() got an unexpected keyword argument 'state'",
     [(F_SETSTATE, 16)]),
    (lambda o: o.__reduce_cython__(1),
     "__reduce_cython__() takes exactly 0 positional arguments (1 given)", []),
    (lambda o: o.__reduce__(1, 2),
     "__reduce_cython__() takes exactly 0 positional arguments (2 given)", []),
    (lambda o: o.__reduce_cython__(x=1),
     "__reduce_cython__() got an unexpected keyword argument 'x'", []),
], ids=["setstate-none", "setstate-two", "setstate-keyword", "reduce-one",
        "reduce-two", "reduce-keyword"])
def test_method_argument_errors(call, message, entries):
    target = _running(False)
    before = target.__reduce__()
    with pytest.raises(TypeError) as info:
        call(target)
    assert str(info.value) == message
    assert module_entries(info.value) == chain(*entries)
    assert target.__reduce__() == before


# --- subclasses and the deferred form --------------------------------------

def _tagged():
    obj = Tagged(True)
    obj.activate([11, 22])
    obj.encrypt(bytearray(b"tagged stream"))
    obj.tag = ["label", 1]
    return obj


def test_subclass_with_attribute_takes_deferred_form():
    obj = _tagged()
    value = obj.__reduce__()
    assert len(value) == 3
    assert value[0] is UNPICKLE
    assert value[1] == (Tagged, 206333596, None) and value[1][0] is Tagged
    state = value[2]
    assert type(state) is tuple and len(state) == 8
    assert state[7] is obj.__dict__
    twin = CProtection(True)
    twin.activate([11, 22])
    twin.encrypt(bytearray(b"tagged stream"))
    assert state[:7] == twin.__reduce__()[1][2]


@pytest.mark.parametrize("restorer", sorted(RESTORERS))
def test_subclass_with_attribute_round_trips(restorer):
    original = _tagged()
    clone = RESTORERS[restorer](original)
    assert type(clone) is Tagged and clone is not original
    assert clone.tag == ["label", 1]
    assert clone.__reduce__()[2][:7] == original.__reduce__()[2][:7]
    assert run_ops(clone, CONTINUATION) == run_ops(original, CONTINUATION)
    if restorer == "copy":
        assert clone.tag is original.tag
    else:
        assert clone.tag is not original.tag


@pytest.mark.parametrize("restorer", sorted(RESTORERS))
def test_subclass_referring_to_itself_round_trips(restorer):
    original = _tagged()
    original.me = original
    clone = RESTORERS[restorer](original)
    assert type(clone) is Tagged
    expected = clone if restorer != "copy" else original
    assert clone.me is expected
    assert clone.__reduce__()[2][:7] == original.__reduce__()[2][:7]


def test_deferred_form_restores_through_setstate():
    obj = _tagged()
    func, args, state = obj.__reduce__()
    clone = func(*args)
    assert type(clone) is Tagged
    assert state_tuple(clone) == FRESH_STATE
    clone.__setstate__(state)
    assert clone.tag is obj.tag
    assert state_tuple(clone) == state[:7]


@pytest.mark.parametrize("restorer", sorted(RESTORERS))
def test_subclass_with_empty_dict_takes_direct_form(restorer):
    obj = Tagged(True)
    obj.activate([1])
    value = obj.__reduce__()
    assert len(value) == 2 and value[0] is UNPICKLE
    assert value[1][0] is Tagged and value[1][1] == 206333596
    clone = RESTORERS[restorer](obj)
    assert type(clone) is Tagged and clone.__dict__ == {}
    assert clone.__reduce__() == value


class Slotted(CProtection):
    __slots__ = ()


class InitForbidden(CProtection):
    def __init__(self, *args):
        raise AssertionError("__init__ must not run on restore")


@pytest.mark.parametrize("cls", [Slotted, InitForbidden])
def test_subclass_restores_without_init(cls):
    obj = cls.__new__(cls)
    obj.__setstate__(VALID)
    value = obj.__reduce__()
    assert value == (UNPICKLE, (cls, 206333596, VALID))
    clone = pickle.loads(pickle.dumps(obj))
    assert type(clone) is cls and clone.__reduce__() == value
    assert type(UNPICKLE(cls, 0x635491F, VALID)) is cls


def test_setstate_merges_dictionary_into_subclass_instance():
    obj = Tagged()
    obj.kept = 1
    obj.tag = "old"
    own = obj.__dict__
    obj.__setstate__(VALID + ({"tag": "new", "extra": 2},))
    assert obj.__dict__ is own
    assert own == {"kept": 1, "tag": "new", "extra": 2}
    assert state_tuple(obj) == VALID


def test_unpickled_subclass_with_state_dict():
    obj = UNPICKLE(Tagged, 0xD001271, VALID + ({"tag": 5},))
    assert type(obj) is Tagged and obj.tag == 5
    assert obj.__reduce__() == (UNPICKLE, (Tagged, 206333596, None),
                                VALID + (obj.__dict__,))


def test_unusable_dictionary_update_changes_nothing():
    obj = _tagged()
    before = obj.__reduce__()[2][:7]
    with pytest.raises((TypeError, AttributeError, ValueError)) as info:
        obj.__setstate__(VALID + ([1, 2],))
    assert module_entries(info.value) == chain((F_SETSTATE, 17), (F_SET_STATE, 13))
    assert obj.__reduce__()[2][:7] == before
    assert obj.__dict__ == {"tag": ["label", 1]}


class DictProperty(CProtection):
    """The instance's __dict__ as seen by reduce is whatever `shown` gives."""

    def __init__(self, shown):
        super().__init__()
        object.__setattr__(self, "_shown", shown)

    @property
    def __dict__(self):
        return object.__getattribute__(self, "_shown")()


def _raise(exc):
    def f():
        raise exc
    return f


class TruthRaises:
    def __bool__(self):
        raise RuntimeError("truth of dict")


def test_reduce_treats_missing_dict_as_none():
    obj = DictProperty(_raise(AttributeError("none here")))
    assert obj.__reduce__() == (UNPICKLE, (DictProperty, 206333596, FRESH_STATE))
    obj = DictProperty(lambda: None)
    assert obj.__reduce__() == (UNPICKLE, (DictProperty, 206333596, FRESH_STATE))


def test_reduce_uses_truth_of_nondict_dict_value():
    marker = ["truthy"]
    obj = DictProperty(lambda: marker)
    value = obj.__reduce__()
    assert value[1] == (DictProperty, 206333596, None)
    assert value[2][:7] == FRESH_STATE and value[2][7] is marker
    assert len(DictProperty(lambda: []).__reduce__()) == 2


@pytest.mark.parametrize("shown, exc, line", [
    (_raise(RuntimeError("dict read")), RuntimeError, 6),
    (TruthRaises, RuntimeError, 7),
])
def test_reduce_failures_reading_dict(shown, exc, line):
    obj = DictProperty(shown)
    with pytest.raises(exc) as info:
        obj.__reduce__()
    assert module_entries(info.value) == chain((F_REDUCE, line))


# --- the restoring function is looked up by name on each reduce -------------

@pytest.mark.parametrize("make, line", [(CProtection, 15), (_tagged, 13)],
                         ids=["direct", "deferred"])
def test_reduce_without_restoring_function(make, line):
    obj = make()
    saved = cprotection.__dict__["__pyx_unpickle_CProtection"]
    assert not hasattr(builtins, "__pyx_unpickle_CProtection")
    del cprotection.__pyx_unpickle_CProtection
    try:
        with pytest.raises(NameError) as info:
            obj.__reduce__()
    finally:
        cprotection.__pyx_unpickle_CProtection = saved
    assert str(info.value) == "name '__pyx_unpickle_CProtection' is not defined"
    assert module_entries(info.value) == chain((F_REDUCE, line))
    assert obj.__reduce__()[0] is UNPICKLE


def test_reduce_finds_restoring_function_by_name():
    def stand_in(*args):
        return args

    saved = cprotection.__dict__["__pyx_unpickle_CProtection"]
    try:
        cprotection.__pyx_unpickle_CProtection = stand_in
        assert CProtection().__reduce__()[0] is stand_in
        del cprotection.__pyx_unpickle_CProtection
        builtins.__pyx_unpickle_CProtection = stand_in
        assert CProtection().__reduce__()[0] is stand_in
    finally:
        cprotection.__pyx_unpickle_CProtection = saved
        if hasattr(builtins, "__pyx_unpickle_CProtection"):
            del builtins.__pyx_unpickle_CProtection
    assert CProtection().__reduce__()[0] is UNPICKLE


# --- traceback chain example ------------------------------------------------

def test_seven_byte_vector_traceback_chain():
    with pytest.raises(IndexError) as info:
        UNPICKLE(CProtection, EMITTED, _with(3, bytes(7)))
    assert module_entries(info.value) == [
        ("kovrin.modules.security.cprotection.__pyx_unpickle_CProtection",
         "<stringsource>", 9),
        ("kovrin.modules.security.cprotection.__pyx_unpickle_CProtection__set_state",
         "<stringsource>", 12),
        ("carray.from_py.__Pyx_carray_from_py_unsigned_char", "<stringsource>", 95),
    ]


# --- reference counts ---------------------------------------------------------

def _leak_cases():
    vec = [1, 2, 3, 4, 5, 6, 7, 8]
    good = _with(3, vec)
    short = _with(5, [1] * 7)
    tagged = _tagged()
    state8 = VALID + ({"tag": 2},)
    plain = _running(False)
    return {
        "restore": (lambda: UNPICKLE(CProtection, EMITTED, good), [good, vec, CProtection]),
        "restore-subclass": (lambda: UNPICKLE(Tagged, EMITTED, state8), [state8, Tagged]),
        "short-vector": (lambda: UNPICKLE(CProtection, EMITTED, short), [short, CProtection]),
        "refused": (lambda: UNPICKLE(CProtection, 0, good), [good, CProtection]),
        "reduce-deferred": (tagged.__reduce__, [tagged, tagged.__dict__, Tagged]),
        "setstate-dict": (lambda: tagged.__setstate__(state8), [tagged, state8]),
        "setstate-refused-dict": (lambda: plain.__setstate__(state8), [plain, state8]),
        "setstate-range": (lambda: plain.__setstate__(_with(4, 9)), [plain]),
    }


@pytest.mark.parametrize("case", sorted(_leak_cases()))
def test_no_reference_leaks(case):
    import gc
    import sys
    call, watched = _leak_cases()[case]

    def run(n):
        for _ in range(n):
            try:
                call()
            except Exception:
                pass

    run(5)
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    run(200)
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before

"""Memory and reference leak checks for every public path of CProtection.

Each path runs WARMUP times, then CALLS times between two counts of allocated
blocks taken after a full collection: one lost block per call adds about CALLS,
far above TOLERANCE.  An over-tolerance round is measured again (ROUNDS at most),
so a one-off interpreter cache fill passes while a steady leak fails every round.
The reference counts of the objects passed in must not move either.
Calls per path: CALLS_PER_PATH = 2200 (6200 at most, with repeated rounds).
"""

import copy
import gc
import pickle
import sys

import pytest

from kovrin.modules.security import cprotection
from kovrin.modules.security.cprotection import CProtection

WARMUP, CALLS, ROUNDS, TOLERANCE = 200, 2000, 3, 100
CALLS_PER_PATH = WARMUP + CALLS
unpickle, CHECKSUM = cprotection.__pyx_unpickle_CProtection, 206333596
T, O, I, A, P = TypeError, OverflowError, IndexError, AttributeError, pickle.PickleError


class Boom(Exception):
    """Raised by the hostile helpers below."""


def boom(*args):
    raise Boom


class Name(str):
    """A keyword name that is a str subclass, so binding matches it by ==."""
    __hash__ = str.__hash__


RaisingName = type("RaisingName", (Name,), {"__eq__": boom, "__hash__": str.__hash__})
RaisingBool = type("RaisingBool", (), {"__bool__": boom})


class Rewriter:
    """Its __int__ rewrites the key list being walked to [0, *tail]."""
    def __init__(self, keys, tail):
        self.keys, self.tail = keys, tail

    def __int__(self):
        self.keys[:] = [0, *self.tail]
        return 3


def rewritten(tail):
    keys = [None, 1]
    keys[0] = Rewriter(keys, tail)
    return keys


def keyed(cls=CProtection, flip=False):
    obj = cls(flip)
    obj.activate([0x5A, 3])
    obj.encrypt(bytearray(b"warm"))
    return obj


Tagged = type("Tagged", (CProtection,), {})
MyList, MyBytearray = type("MyList", (list,), {}), type("MyBytearray", (bytearray,), {})
OBJ, PLAIN, OTHER, TAG = keyed(), CProtection(), keyed(), keyed(Tagged)
TAG.tag = ["attribute"]
DATA, KEYS, VALID = bytearray(b"payload" * 9), [1, 2, 300], keyed(flip=True).__reduce__()[1][2]
WATCHED = (OBJ, PLAIN, OTHER, TAG, DATA, KEYS, VALID, CProtection, Tagged)
C, U = CProtection, unpickle


def at(position, make):
    return lambda: (*VALID[:position], make(), *VALID[position + 1:])


BAD_STATES = {
    "empty": (lambda: (), I), "six": (lambda: VALID[:6], I), "dict-on-plain": (lambda: (*VALID, {1: 1}), A),
    "flag0": (at(0, RaisingBool), Boom), "flag6": (at(6, RaisingBool), Boom), "base-str": (at(1, str), T),
    "base-256": (at(1, lambda: 256), O), "base-neg": (at(1, lambda: -1), O), "index-str": (at(2, str), T),
    "base-huge": (at(1, lambda: 2**70), O),
    "index-float": (at(4, float), T), "vec-7": (at(3, lambda: bytes(7)), I),
    "index-huge": (at(2, lambda: 2**64), O), "index-9": (at(2, lambda: 9), ValueError),
    "index-neg": (at(4, lambda: -1), ValueError), "vec-256": (at(5, lambda: [256] * 8), O),
    "vec-9": (at(5, lambda: bytes(9)), I), "vec-empty-gen": (at(3, lambda: (b for b in ())), I),
    "vec-not-iterable": (at(5, lambda: 5), T), "vec-str-item": (at(3, lambda: [0] * 7 + ["x"]), T),
    "vec-gen-raises": (at(3, lambda: (boom() for b in [1])), Boom),
}
PATHS = {
    "init": (lambda: C(True), None), "init-kw": (lambda: C(flip_direction=[1]), None),
    "reinit": (lambda: OTHER.__init__(None), None), "init-two-args": (lambda: C(1, 2), T),
    "init-kw-name-subclass": (lambda: C(**{Name("flip_direction"): 1}), None),
    "init-bad-kw": (lambda: C(flip=1), T), "init-raising-bool": (lambda: C(RaisingBool()), Boom),
    "init-multiple": (lambda: C(True, flip_direction=False), T),
    "init-raising-name": (lambda: C(**{RaisingName("zz"): 1}), Boom),
    "activate": (lambda: OBJ.activate(KEYS), None), "activate-kw": (lambda: OBJ.activate(keys=[]), None),
    "activate-bad-element": (lambda: OBJ.activate([5, "x"]), T), "activate-no-arg": (OBJ.activate, T),
    "activate-rewritten-list": (lambda: OBJ.activate(rewritten([4, 5])), None),
    "activate-rewritten-list-fails": (lambda: OBJ.activate(rewritten([None])), T),
    "activate-overflow": (lambda: OBJ.activate([1, 2**31]), O),
    "activate-tuple": (lambda: OBJ.activate(()), T),
    "activate-huge": (lambda: OBJ.activate([2**70]), O),
    "activate-list-sub": (lambda: OBJ.activate(MyList()), T),
    "pickle-round-trip": (lambda: pickle.loads(pickle.dumps(OBJ)), None),
    "copy": (lambda: copy.copy(OBJ), None),
    "pickle-subclass-with-dict": (lambda: pickle.loads(pickle.dumps(TAG)), None),
    "reduce-subclass-with-dict": (TAG.__reduce__, None), "reduce-extra-arg": (lambda: OBJ.__reduce__(1), T),
    "setstate": (lambda: OTHER.__setstate__(VALID), None),
    "setstate-list": (lambda: OBJ.__setstate__([1]), T),
    "setstate-none": (lambda: OBJ.__setstate__(None), T), "unpickle": (lambda: U(C, CHECKSUM, VALID), None),
    "setstate-dict-not-mapping": (lambda: TAG.__setstate__((*VALID, 5)), A),
    "unpickle-deferred": (lambda: U(Tagged, 0x635491F, None), None),
    "unpickle-refused": (lambda: U(C, 0, VALID), P),
    "unpickle-refused-negative": (lambda: U(C, -5, VALID), P), "unpickle-bad-state": (lambda: U(C, 1, []), T),
    "unpickle-refused-wide": (lambda: U(C, 2**40, None), P),
    "unpickle-checksum-str": (lambda: U(C, "", ()), T),
    "unpickle-checksum-huge": (lambda: U(C, 2**64, None), O),
    "unpickle-bad-type": (lambda: U(int, CHECKSUM, ()), T),
    "unpickle-bad-kw": (lambda: U(C, CHECKSUM, state=None), T),
}
for state_name, (make, exc) in BAD_STATES.items():
    PATHS[f"setstate-{state_name}"] = (lambda m=make: OTHER.__setstate__(m()), exc)
    PATHS[f"unpickle-{state_name}"] = (lambda m=make: U(C, CHECKSUM, m()), exc)
for op, kw in (("encrypt", "raw_data"), ("decrypt", "encrypted_data")):
    PATHS[f"{op}-through-class-no-arg"] = (getattr(C, op), T)
    PATHS[f"{op}-foreign-self"] = (lambda o=op: getattr(C, o)(object(), DATA), T)
    for target_name, c in (("keyed", getattr(OBJ, op)), ("unkeyed", getattr(PLAIN, op))):
        PATHS.update({f"{op}-{target_name}-{case}": entry for case, entry in {
            "ok": (lambda c=c: c(DATA), None), "kw": (lambda c=c, k=kw: c(**{k: DATA}), None),
            "kw-name-subclass": (lambda c=c, k=kw: c(**{Name(k): DATA}), None),
            "none": (lambda c=c: c(None), T if target_name == "keyed" else None),
            "bytes": (lambda c=c: c(b"data"), T), "subclass": (lambda c=c: c(MyBytearray(b"x")), T),
            "multiple": (lambda c=c, k=kw: c(DATA, **{k: DATA}), T), "no-arg": (c, T),
            "unexpected": (lambda c=c: c(data=DATA), T),
            "raising-name": (lambda c=c: c(**{RaisingName("zz"): DATA}), Boom),
        }.items()})


def assert_no_leak(fn, raises=None, watched=WATCHED):
    def once():
        try:
            fn()
        except raises or ():
            return
        assert raises is None, f"expected {raises.__name__}"

    for _ in range(WARMUP):
        once()
    growth = []
    for _ in range(ROUNDS):
        gc.collect()
        refs, blocks = [sys.getrefcount(o) for o in watched], sys.getallocatedblocks()
        for _ in range(CALLS):
            once()
        gc.collect()
        growth.append(sys.getallocatedblocks() - blocks)
        assert [sys.getrefcount(o) for o in watched] == refs, "references to the arguments leaked"
        if growth[-1] <= TOLERANCE:
            return
    pytest.fail(f"allocated blocks grew by {growth} per {CALLS} calls")


@pytest.mark.parametrize("name", sorted(PATHS))
def test_no_leak(name):
    assert_no_leak(*PATHS[name])


OVERRIDES = {"str": lambda self, arg: "str", "same": lambda self, arg: arg,
             "none": lambda self, arg: None, "raise": boom}


@pytest.mark.parametrize("operation, kind, raises", [
    ("encrypt", "str", T), ("decrypt", "str", T), ("encrypt", "same", None), ("decrypt", "none", None),
    ("activate", "str", None), ("encrypt", "raise", Boom), ("decrypt", "raise", Boom),
    ("activate", "raise", Boom),
])
@pytest.mark.parametrize("skip_dispatch", [0, 1])
def test_no_leak_through_native_entries(native_caller, operation, kind, raises, skip_dispatch):
    """Overrides reached by a compiled caller of the native entries (skip_dispatch 0), or skipped (1)."""
    cls = type("Overriding", (CProtection,), {operation: OVERRIDES[kind]})
    obj = cls(True)
    CProtection.activate(obj, [7])
    argument = list(KEYS) if operation == "activate" else bytearray(b"native")
    assert_no_leak(lambda: native_caller.call(operation, obj, argument, skip_dispatch),
                   raises if skip_dispatch == 0 else None, watched=(obj, argument, cls))

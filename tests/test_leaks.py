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
import itertools
import pickle
import sys
import warnings

import pytest

from helpers import IntLike
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
# Hashes as "x", so only binding's own == finds the parameter it is equal to.
EqualToAnything = type("EqualToAnything", (Name,), {"__eq__": lambda self, other: True,
                                                    "__hash__": str.__hash__})
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
# Values that are not immortal: a leaked or a lost reference to one shows.
HELD, INT_SUBCLASS, NOT_INT = ["held"], type("IntSubclass", (int,), {})(7), ["not an int"]
# Enough references that one lost per call shows as a count rather than a crash.
HELD_REFERENCES = [HELD] * 2 * CALLS_PER_PATH
OVER, HUGE = 2**31, 2**70
WATCHED = (OBJ, PLAIN, OTHER, TAG, DATA, KEYS, KEYS[2], VALID, CProtection, Tagged, HELD,
           INT_SUBCLASS, NOT_INT, OVER, HUGE)
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
    "reinit-none": (lambda: OTHER.__init__(None), None),
    "init-raising-bool": (lambda: C(RaisingBool()), Boom),
    "activate": (lambda: OBJ.activate(KEYS), None), "activate-kw": (lambda: OBJ.activate(keys=[]), None),
    "activate-bad-element": (lambda: OBJ.activate([5, "x"]), T), "activate-no-arg": (OBJ.activate, T),
    "activate-rewritten-list": (lambda: OBJ.activate(rewritten([4, 5])), None),
    "activate-rewritten-list-fails": (lambda: OBJ.activate(rewritten([None])), T),
    "activate-overflow": (lambda: OBJ.activate([1, OVER]), O),
    "activate-tuple": (lambda: OBJ.activate(()), T),
    "activate-huge": (lambda: OBJ.activate([HUGE]), O),
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
# The flag argument as an immortal value, a new list each call, and a watched list.
FLAGS = {"immortal": lambda: True, "fresh": lambda: ["fresh"], "held": lambda: HELD}
INIT_PATHS = {
    "init": (C, None), "init-kw": (lambda v: C(flip_direction=v), None),
    "reinit": (OTHER.__init__, None), "init-two-args": (lambda v: C(v, v), T),
    "init-bound-then-bad-kw": (lambda v: C(v, bad=1), T), "init-bad-kw": (lambda v: C(flip=v), T),
    "init-kw-name-subclass": (lambda v: C(**{Name("flip_direction"): v}), None),
    "init-kw-name-equal": (lambda v: C(**{EqualToAnything("x"): v}), None),
    "init-multiple": (lambda v: C(v, flip_direction=v), T),
    "init-raising-name": (lambda v: C(**{RaisingName("zz"): v}), Boom),
}
for (path_name, (call, exc)), (flag_name, make) in itertools.product(INIT_PATHS.items(), FLAGS.items()):
    PATHS[f"{path_name}-{flag_name}"] = (lambda c=call, m=make: c(m()), exc)


def converting(action, value, fn):
    """fn run on IntLike(value), with the DeprecationWarning of an int subclass turned to action."""
    def run():
        with warnings.catch_warnings():
            warnings.simplefilter(action, DeprecationWarning)
            fn(IntLike(value))
    return run


D = DeprecationWarning
for path_name, value, fn, when_error, when_ignored in [
    ("activate", INT_SUBCLASS, lambda k: OBJ.activate([k]), D, None),
    ("activate-not-int", NOT_INT, lambda k: OBJ.activate([k]), T, T),
    ("setstate-base", INT_SUBCLASS, lambda k: OTHER.__setstate__((*VALID[:1], k, *VALID[2:])), D, None),
    ("unpickle-checksum", INT_SUBCLASS, lambda k: U(C, k, None), D, P),
]:
    PATHS[f"int-conversion-{path_name}-error"] = (converting("error", value, fn), when_error)
    PATHS[f"int-conversion-{path_name}-ignored"] = (converting("ignore", value, fn), when_ignored)
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
        assert [sys.getrefcount(o) for o in watched] == refs, "references to the arguments moved"
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
    ("activate", "raise", Boom), ("encrypt", "inherited", None), ("decrypt", "inherited", None),
    ("activate", "inherited", None),
])
@pytest.mark.parametrize("skip_dispatch", [0, 1])
def test_no_leak_through_native_entries(native_caller, operation, kind, raises, skip_dispatch):
    """Overrides reached by a compiled caller of the native entries (skip_dispatch 0), or skipped (1).

    An inherited method is looked up and found to be no override."""
    cls = type("Overriding", (CProtection,), {operation: OVERRIDES[kind]} if kind in OVERRIDES else {})
    obj = cls(True)
    CProtection.activate(obj, [7])
    argument = list(KEYS) if operation == "activate" else bytearray(b"native")
    assert_no_leak(lambda: native_caller.call(operation, obj, argument, skip_dispatch),
                   raises if skip_dispatch == 0 else None, watched=(obj, argument, cls))

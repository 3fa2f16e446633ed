"""Fuzzing CProtection with hostile arguments.

A hostile object has a random subset of __int__, __index__, __bool__, __len__
and __iter__; each may raise HostileError, return anything (wrong types too),
rewrite the lists being walked or run another operation on the instance under
test.  Every call must end normally or with an exception in ALLOWED, and a
failed call must leave the instance as the last hostile operation left it.
Examples per test: FUZZ_EXAMPLES (env CPROTECTION_FUZZ_EXAMPLES, default 200),
run in rounds of at most ROUND_EXAMPLES, each reported as a test of its own so
that a long run shows its progress.
"""

import io
import os
import pickle
import pickletools
import warnings

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
import pytest

from kovrin.modules.security import cprotection
from kovrin.modules.security.cprotection import CProtection

FUZZ_EXAMPLES = int(os.environ.get("CPROTECTION_FUZZ_EXAMPLES", "200"))
ROUND_EXAMPLES = 10_000
ROUNDS = max(1, -(-FUZZ_EXAMPLES // ROUND_EXAMPLES))
SETTINGS = settings(max_examples=-(-FUZZ_EXAMPLES // ROUNDS), deadline=None,
                    suppress_health_check=list(HealthCheck))
# Each round draws its own examples; the parameter only splits the run.
in_rounds = pytest.mark.parametrize("fuzz_round", range(ROUNDS), ids=lambda n: f"round{n}")
UNPICKLE, CHECKSUMS = cprotection.__pyx_unpickle_CProtection, [206333596, 0x635491F, 0xD001271]


class HostileError(Exception):
    """Raised on purpose by hostile objects, generators and keyword names."""


def hostile_raise(*args):
    raise HostileError


ALLOWED = (TypeError, ValueError, OverflowError, IndexError, AttributeError, pickle.PickleError,
           EOFError, KeyError, DeprecationWarning, HostileError)
MyInt, Tagged = type("MyInt", (int,), {}), type("Tagged", (CProtection,), {})
NAME_TYPES = {"str": str, **{mode: type("KeywordName", (str,), {"__eq__": eq, "__hash__": str.__hash__})
                             for mode, eq in [("compare", str.__eq__), ("raise", hostile_raise),
                                              ("always", lambda s, o: True), ("never", lambda s, o: False)]}}


def fields(obj):
    reduced = obj.__reduce__()
    return reduced[2][:7] if len(reduced) == 3 else reduced[1][2]


def check_fields(f):
    active, base, di, dv, ei, ev, flip = f
    assert type(active) is type(flip) is bool and type(base) is int and 0 <= base <= 255, f
    assert 0 <= di <= 7 and 0 <= ei <= 7 and type(dv) is type(ev) is bytes and len(dv) == len(ev) == 8, f


def running(cls=CProtection, flip=False):
    obj = cls(flip)
    obj.activate([0x5A, 3])
    obj.decrypt(obj.encrypt(bytearray(b"warm-up")))
    if cls is Tagged:
        obj.tag = "old"
    return obj


def generate(items, fail):
    yield from items
    if fail:
        hostile_raise()


VALID = (*fields(running(flip=True)), {"tag": 1})
CONVERT = {"bytes": bytes, "bytearray": bytearray, "const": {
    "class": CProtection, "tagged": Tagged, "int": int, "state": VALID[:7], "data": b"x"}.get}
EFFECTS = {
    "append": lambda c: [w.append(7) for w in c.lists], "clear": lambda c: [w.clear() for w in c.lists],
    "insert": lambda c: [w.insert(0, 300) for w in c.lists], "pop": lambda c: [w.pop() for w in c.lists if w],
    "activate": lambda c: CProtection.activate(c.target, [5]),
    "init": lambda c: CProtection.__init__(c.target, 1),
    "encrypt": lambda c: CProtection.encrypt(c.target, bytearray(b"ab")),
    "decrypt": lambda c: CProtection.decrypt(c.target, bytearray(b"cd")),
    "setstate": lambda c: CProtection.__setstate__(c.target, VALID[:7]),
}


class Context:
    """What the hostile code of one example may touch, and the state a failure must leave."""

    def __init__(self, kind):
        self.target, self.lists, self.fired = running(*kind), [], 0
        self.expected = fields(self.target)

    def effect(self, name):
        if name == "raise":
            raise HostileError
        if name and self.fired < 16:  # bounded, so a rewritten list cannot be walked forever
            self.fired += 1
            EFFECTS[name](self)
            self.expected = fields(self.target)

    def make(self, recipe):
        """A fresh argument from a drawn recipe; its lists are registered as being walked."""
        if type(recipe) is not tuple:
            return recipe
        kind, body = recipe
        if kind == "hostile":
            return type("Hostile", (), {name: lambda this, name=name, effect=effect, result=result: self.effect(
                effect) or (iter(result) if name == "__iter__" and type(result) is list else result)
                for name, (effect, result) in body.items()})()
        if kind in CONVERT:
            return CONVERT[kind](body)
        items = [self.make(r) for r in body]
        self.lists.append(items)
        if kind in ("list", "tuple"):
            return items if kind == "list" else tuple(items)
        return generate(items, kind == "gen-raise")

    def check(self, call, warning_filter):
        """Runs call and returns whether it succeeded."""
        with warnings.catch_warnings():
            warnings.simplefilter(warning_filter)
            try:
                call()
            except ALLOWED:
                assert fields(self.target) == self.expected, "a failed call changed the instance"
                return False
        check_fields(fields(self.target))
        return True


scalars = st.one_of(st.integers(0, 7), st.integers(-300, 300), st.integers(-2**70, 2**70), st.booleans(),
                    st.none(), st.floats(), st.text(max_size=2), st.builds(MyInt, st.integers(-5, 300)))
hostile = st.tuples(st.just("hostile"), st.dictionaries(
    st.sampled_from(["__int__", "__index__", "__bool__", "__len__", "__iter__"]),
    st.tuples(st.sampled_from([None, "raise", *EFFECTS]), st.one_of(scalars, st.lists(scalars, max_size=9))),
    max_size=5))
leaf = st.one_of(scalars, hostile)
element = st.one_of(leaf, st.tuples(st.just("bytes"), st.binary(max_size=9)), st.tuples(st.sampled_from(
    ["list", "tuple", "gen", "gen-raise"]), st.lists(st.one_of(st.integers(0, 255), leaf), max_size=9)))
values = st.one_of(element, st.tuples(st.just("bytearray"), st.binary(max_size=9)), st.sampled_from(CHECKSUMS),
                   st.tuples(st.just("const"), st.sampled_from(["class", "tagged", "int", "state", "data"])))
kinds = st.sampled_from([(CProtection, False), (CProtection, True), (Tagged, True)])
filters = st.sampled_from(["ignore", "error"])


@in_rounds
@SETTINGS
@given(kind=kinds, keys=st.lists(element, max_size=8), warning_filter=filters)
def test_activate_with_hostile_keys(fuzz_round, kind, keys, warning_filter):
    ctx = Context(kind)
    keys = ctx.make(("list", keys))
    if ctx.check(lambda: ctx.target.activate(keys), warning_filter):
        active, base, di, _, ei, _, flip = after = fields(ctx.target)
        assert active is True and (di, ei) == (ctx.expected[2], ctx.expected[4]), "keying moved an index"
        reference = CProtection(flip)
        reference.activate([base])
        assert fields(reference)[3::2] == after[3::2], "vectors do not derive from the stored base"


@in_rounds
@SETTINGS
@given(kind=kinds, state=st.one_of(st.lists(element, max_size=9), st.tuples(
    st.sampled_from([7, 8, 7, 8, 5, 9]), st.dictionaries(st.integers(0, 8), element, max_size=2))),
    unpickle=st.booleans(), warning_filter=filters,
    checksum=st.one_of(st.sampled_from(CHECKSUMS), st.integers(-2**63, 2**63 - 1)))
def test_restore_with_hostile_state(fuzz_round, kind, state, unpickle, checksum, warning_filter):
    ctx, restored = Context(kind), []
    if type(state) is list:
        state = tuple(ctx.make(r) for r in state)
    else:
        state = tuple(ctx.make(state[1][i]) if i in state[1] else (VALID * 2)[i] for i in range(state[0]))
    call = ((lambda: restored.append(UNPICKLE(type(ctx.target), checksum, state))) if unpickle
            else lambda: ctx.target.__setstate__(state))
    if ctx.check(call, warning_filter):
        for obj in restored or [ctx.target]:
            check_fields(fields(obj))
            twin = CProtection.__new__(type(obj))
            twin.__setstate__(fields(obj))
            assert fields(twin) == fields(obj)


@in_rounds
@SETTINGS
@given(kind=kinds, positional=st.lists(values, max_size=4), warning_filter=filters,
       callee=st.sampled_from(["new", "unpickle", "__init__", "activate", "encrypt", "decrypt",
                               "__setstate__", "__reduce__"]),
       keywords=st.lists(st.tuples(st.one_of(st.text(max_size=3), st.sampled_from([
           "flip_direction", "keys", "raw_data", "encrypted_data", "__pyx_state", "__pyx_type",
           "__pyx_checksum"])), st.sampled_from(sorted(NAME_TYPES)), values),
           max_size=4, unique_by=lambda keyword: keyword[0]))
def test_calls_with_hostile_arguments_and_keyword_names(fuzz_round, kind, callee, positional, keywords, warning_filter):
    ctx = Context(kind)
    args = [ctx.make(r) for r in positional]
    kwargs = {NAME_TYPES[mode](text): ctx.make(r) for text, mode, r in keywords}
    function = {"new": CProtection, "unpickle": UNPICKLE}.get(callee) or getattr(ctx.target, callee)
    if ctx.check(lambda: function(*args, **kwargs), warning_filter) and callee == "__init__":
        assert fields(ctx.target)[:6] == (False, 0, 0, bytes(8), 0, bytes(8)), "__init__ left state behind"


class RestrictedUnpickler(pickle.Unpickler):
    """Resolves only the names CProtection streams refer to (KeyError otherwise); imports nothing."""
    GLOBALS = {(CProtection.__module__, "CProtection"): CProtection, (Tagged.__module__, "Tagged"): Tagged,
               (CProtection.__module__, UNPICKLE.__name__): UNPICKLE,
               ("_codecs", "encode"): lambda text, encoding: text.encode("latin1")}  # protocols 0-2

    def find_class(self, module, name):
        return self.GLOBALS[module, name]


def huge_request(data):
    """Whether the unpickler would be asked for gigabytes (a far memo slot, or a length beyond the data).

    Such streams are skipped: they test the allocator, and a sanitizer build aborts on them."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # protocol 0 strings with odd escapes
            return any(op.name.endswith("PUT") and arg > 10**5 for op, arg, _ in pickletools.genops(data))
    except Exception as exc:
        return "remain" in str(exc)


def state_region(stream):
    """(stream, start, end): from the op after the checksum up to STOP, where the state lies."""
    ops = list(pickletools.genops(stream))
    return stream, next(ops[i + 1][2] for i, op in enumerate(ops) if op[1] == CHECKSUMS[0]), ops[-1][2]


STREAMS = [state_region(pickle.dumps(running(*kind), protocol))
           for protocol in range(pickle.HIGHEST_PROTOCOL + 1) for kind in ((CProtection, False), (Tagged, True))]


@in_rounds
@SETTINGS
@given(stream=st.sampled_from(STREAMS), edits=st.lists(st.tuples(
    st.integers(0, 255), st.sampled_from(["set"] * 4 + ["insert", "delete"]), st.integers(0, 255)),
    min_size=1, max_size=2))
def test_mutated_pickle_stream(fuzz_round, stream, edits):
    stream, start, end = stream
    data = bytearray(stream)
    for position, edit, byte in edits:
        position = start + position % (end - start)
        if edit == "delete":
            del data[position]
        else:
            data[position:position + (edit == "set")] = bytes([byte])
    if huge_request(bytes(data)):
        return
    try:
        result = RestrictedUnpickler(io.BytesIO(bytes(data))).load()
    except SystemError:
        raise
    except Exception:  # the pickle machinery's own failures are many and not this module's business
        return
    for obj in [result, *(result if type(result) in (list, tuple) else ())]:
        if isinstance(obj, CProtection):
            check_fields(fields(obj))

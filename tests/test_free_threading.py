"""One shared CProtection under calls that really overlap.

Written for free-threaded interpreters run with the GIL off, where the
threads below run at once; with the GIL they still pass, and cost little.
Every worker stops after a fixed number of calls or at a deadline, whichever
comes first; the checks are on results and states only.
"""

import copy
import functools
import inspect
import itertools
import os
import pickle
import random
import subprocess
import sys
import sysconfig
import threading
import time

import pytest

from helpers import module_entries, state, state_tuple

from kovrin.modules.security.cprotection import CProtection

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
THREADS = 4
CALLS = 5000      # per worker at most
SECONDS = 2.0     # per test at most, for all workers together
KEYS = [0x5A, 3, 1000]


def run_together(workers):
    """Starts the workers at once; each gets its own seeded rng and the deadline."""
    failures, barrier = [], threading.Barrier(len(workers))
    deadline = time.monotonic() + SECONDS

    def guarded(i, worker):
        barrier.wait()
        try:
            worker(random.Random(i), deadline)
        except BaseException as exc:  # reported below, in the test's own thread
            failures.append(exc)

    threads = [threading.Thread(target=guarded, args=(i, w), daemon=True) for i, w in enumerate(workers)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert not any(thread.is_alive() for thread in threads), "a worker never finished"
    if failures:
        raise failures[0]


def calls(deadline):
    for i in range(CALLS):
        if time.monotonic() > deadline:
            return
        yield i


def keyed(flip):
    obj = CProtection(flip)
    obj.activate(list(KEYS))
    return obj


def transform_logger(obj, operation, log, send=None):
    """Sends distinct random chunks through one direction of obj, logging (sent, received).

    send(obj, operation, data) makes each call; by default the method, with a bytearray.
    """
    send = send or (lambda obj, operation, data: getattr(obj, operation)(bytearray(data)))

    def work(rng, deadline):
        for _ in calls(deadline):
            sent = rng.randbytes(rng.randrange(16, 3000))
            log.append((sent, bytes(send(obj, operation, sent))))
    return work


def native_bytes(native_caller):
    """A send for transform_logger: the native method table, with bytes, which the entry copies."""
    def send(obj, operation, data):
        out = native_caller.call(operation, obj, data, 1)
        # Before keying the entry gives the argument back as it is.
        assert out is data or (type(out) is bytearray and len(out) == len(data)), (type(out), len(out))
        return out
    return send


def follow(peer, inverse, logs):
    """The peer takes whole calls greedily, each thread's in its own order; returns its state after each."""
    heads, states = [0] * len(logs), [state(peer)]
    for _ in range(sum(map(len, logs))):
        for t, log in enumerate(logs):
            if heads[t] < len(log):
                sent, received = log[heads[t]]
                trial = copy.copy(peer)
                if bytes(getattr(trial, inverse)(bytearray(received))) == sent:
                    peer, heads[t] = trial, heads[t] + 1
                    states.append(state(peer))
                    break
        else:
            pytest.fail(f"the peer placed {sum(heads)} of {sum(map(len, logs))} calls")
    return states


# (operation on the shared instance, its flip, the peer's inverse, the two directions' field
# prefixes, how the data goes in: an exact bytearray through the method, which is read in place,
# or bytes through the native table, which are copied first)
DIRECTIONS = [("encrypt", False, "decrypt", "encryption", "decryption", "bytearray"),
              ("decrypt", True, "encrypt", "decryption", "encryption", "bytearray"),
              ("encrypt", False, "decrypt", "encryption", "decryption", "native-bytes"),
              ("decrypt", True, "encrypt", "decryption", "encryption", "native-bytes")]


@pytest.mark.parametrize("operation, flip, inverse, own, peers, data", DIRECTIONS,
                         ids=[f"{d[0]}-{d[5]}" for d in DIRECTIONS])
def test_overlapping_calls_are_whole_calls_in_some_order(operation, flip, inverse, own, peers, data,
                                                         request):
    send = native_bytes(request.getfixturevalue("native_caller")) if data == "native-bytes" else None
    shared, logs = keyed(flip), [[] for _ in range(THREADS)]
    run_together([transform_logger(shared, operation, log, send) for log in logs])
    final = follow(keyed(not flip), inverse, logs)[-1]
    assert [state(shared)[f"{own}_{f}"] for f in ("index", "vector")] == [final[f"{peers}_{f}"] for f in (
        "index", "vector")]


# ---------------------------------------------------------------------------
# Stress: each case makes its workers and the check that follows them.

def derives_from_base(obj):
    s = state(obj)
    reference = CProtection(s["flip_direction"])
    reference.activate([s["base"]])
    return s["active"] and all(state(reference)[f] == s[f] for f in ("decryption_vector", "encryption_vector"))


def keying_while_the_list_changes():
    # Fresh int objects, freed as soon as they leave the list, and the list's
    # array reallocated often; a walk that kept a stale pointer would crash.
    # Kept to a few hundred keys, so that each walk stays short.
    obj, keys = CProtection(), list(range(64))

    def fresh(rng, count=1):
        return [rng.randrange(256, 2**31) for _ in range(count)]

    # Each edit is one list operation, so two editing threads never fail on each other's change.
    edits = [lambda rng: keys.extend(fresh(rng)), lambda rng: keys.__delitem__(slice(-1, None)),
             lambda rng: keys.clear(), lambda rng: len(keys) < 300 and keys.extend(fresh(rng, rng.randrange(64))),
             lambda rng: keys.insert(0, *fresh(rng)), lambda rng: keys.__delitem__(slice(0, 8))]

    def mutate(rng, deadline):
        for _ in calls(deadline):
            for _ in range(20):
                rng.choice(edits)(rng)

    def activate(rng, deadline):
        for _ in calls(deadline):
            for _ in range(5):
                obj.activate(keys)

    return [mutate, mutate, activate, activate], lambda: derives_from_base(obj)


def encrypting_while_the_argument_resizes():
    obj, data, longest = keyed(False), bytearray(2000), 6000

    def resize(rng, deadline):
        for _ in calls(deadline):
            for _ in range(20):
                if len(data) > longest - 1000:
                    del data[rng.randrange(len(data)):]
                else:
                    data.extend(rng.randbytes(rng.randrange(1000)))

    def encrypt(rng, deadline):
        for _ in calls(deadline):
            out = obj.encrypt(data)
            assert type(out) is bytearray and len(out) <= longest, (type(out), len(out))

    def check():
        s = state(obj)
        return 0 <= s["encryption_index"] <= 7 and s["decryption_vector"] == state(keyed(False))["decryption_vector"]

    # One resizing thread: before 3.14 a bytearray takes no lock of its own,
    # so two threads resizing one crash the interpreter whatever is read.
    return [resize, encrypt, encrypt, encrypt], check


def pickling_while_encrypting():
    obj, logs, snapshots = keyed(False), [[] for _ in range(3)], []

    def dump(rng, deadline):
        for _ in calls(deadline):
            snapshots.append(pickle.dumps(obj))

    def check():
        # Every snapshot is the record after some number of whole calls.
        after = {(s["decryption_index"], s["decryption_vector"]) for s in follow(keyed(True), "decrypt", logs)}
        start = state(obj)
        for snapshot in snapshots:
            loaded = state(pickle.loads(snapshot))
            assert (loaded["encryption_index"], loaded["encryption_vector"]) in after, loaded
            assert {f: loaded[f] for f in ("active", "base", "decryption_index", "decryption_vector")} == \
                {f: start[f] for f in ("active", "base", "decryption_index", "decryption_vector")}
        return len(snapshots) > 0

    return [transform_logger(obj, "encrypt", log) for log in logs] + [dump], check


def keying_from_every_thread():
    obj, folds = keyed(True), [[] for _ in range(THREADS)]
    start = state(obj)["base"]

    def activate(fold):
        def work(rng, deadline):
            activate, zeros = obj.activate, [0] * 32
            for _ in calls(deadline):
                for _ in range(20):
                    key = rng.randrange(-2**31, 2**31)
                    # Zeros change no fold, but make each walk, and any window for losing one, longer.
                    activate([key] + zeros)
                    fold.append(key & 0xff)
        return work

    def check():
        # No fold is lost: the base is the start's XOR every key's low byte.
        return state(obj)["base"] == functools.reduce(int.__xor__, sum(folds, []), start) and derives_from_base(obj)

    return [activate(fold) for fold in folds], check


def whole_state_test():
    """A test of whether a state, as state_tuple gives it, is one that whole __init__, activate
    and encrypt calls leave: a reset zeroes everything, a keying derives both vectors from the
    base, and encrypting changes the encryption half alone."""
    derived = {}
    for flip in (False, True):
        for base in range(256):
            reference = CProtection(flip)
            reference.activate([base])
            derived[base, flip] = state(reference)["decryption_vector"]

    def is_whole(fields):
        active, base, decryption_index, decryption_vector, encryption_index, encryption_vector, flip = fields
        if not active:
            return (base, decryption_index, encryption_index) == (0, 0, 0) and \
                decryption_vector == encryption_vector == bytes(8)
        return decryption_index == 0 and decryption_vector == derived[base, flip]
    return is_whole


def reinitialising_while_encrypting(native_caller):
    # A reset that runs across an encrypt leaves the encrypt's write-back, a stale vector and
    # index, on the inactive record.  Long inputs keep the encrypts inside their byte loops most
    # of the time.  Bytes through the native table are copied with no section open, so a reset
    # may come between their keying test and their loop, which must then leave the reset record
    # as it is.
    obj, is_whole = keyed(False), whole_state_test()
    native = native_bytes(native_caller)

    def reinitialise(rng, deadline):
        for _ in calls(deadline):
            for _ in range(10):
                obj.__init__(rng.random() < 0.5)
                # Only this thread keys, so the record stays reset until it does; the snapshot
                # waits for an encrypt still running, and then shows its write-back.
                fields = state_tuple(obj)
                assert is_whole(fields), fields
                obj.activate([rng.randrange(256)])
                for _ in range(4):  # time for the encrypts to start
                    fields = state_tuple(obj)
                    assert is_whole(fields), fields

    def encrypt(send, sizes):
        def work(rng, deadline):
            data = [rng.randbytes(rng.randrange(*sizes)) for _ in range(16)]
            for _ in calls(deadline):
                for chunk in data:
                    send(obj, "encrypt", chunk)
        return work

    method = encrypt(lambda obj, _, data: obj.encrypt(bytearray(data)), (8000, 16000))
    return [reinitialise, method, method, encrypt(native, (8, 64))], lambda: is_whole(state_tuple(obj))


def snapshots(obj, acceptable):
    """A worker that pickles obj's state over and over, each state passing acceptable."""
    def dump(rng, deadline):
        reduce = obj.__reduce__
        for _ in calls(deadline):
            for _ in range(100):
                fields = reduce()[1][2]
                assert acceptable(fields), fields
    return dump


def pickling_while_reinitialising():
    # Resets and keyings rewrite every field in turn; a snapshot taken across one mixes two
    # states, such as an active record with zero vectors, or a reset one with a base.  The
    # loops bind their calls ahead, so that most of their time is spent in the module.
    obj, is_whole = keyed(False), whole_state_test()

    def reinitialise(rng, deadline):
        reset, activate = obj.__init__, obj.activate
        flags, keys = [rng.random() < 0.5 for _ in range(100)], [[rng.randrange(1, 256)] for _ in range(100)]
        for _ in calls(deadline):
            for flag, key in zip(flags, keys):
                reset(flag)
                activate(key)

    dump = snapshots(obj, is_whole)
    return [reinitialise, reinitialise, dump, dump], lambda: is_whole(state_tuple(obj))


def pickling_while_restoring():
    # A restore stores all seven fields in turn; a snapshot taken across one mixes two of the
    # states restored, which no snapshot may show.
    states = []
    for i in range(8):
        sample = CProtection(i % 2 == 0)
        sample.activate([i + 1, 3 * i])
        sample.encrypt(bytearray(range(i * 5)))
        sample.decrypt(bytearray(range(i * 3)))
        states.append(state_tuple(sample))
    obj, known = CProtection(), set(states)
    obj.__setstate__(states[0])

    def restore(rng, deadline):
        setstate, order = obj.__setstate__, [rng.choice(states) for _ in range(100)]
        for _ in calls(deadline):
            for state in order:
                setstate(state)

    return [restore, restore, restore, snapshots(obj, known.__contains__)], lambda: state_tuple(obj) in known


def raising_from_every_thread(native_caller):
    # The module makes the code object of each traceback entry it adds on first use, into a
    # cache that every thread reads; threads that raise at once, for the first time in the
    # process, race on it (ThreadSanitizer sees its lock removed).  Each exception must carry
    # the entries one thread alone gets.
    from kovrin.modules.security import cprotection
    obj = keyed(False)
    raising = [lambda: obj.activate([1, "x"]), lambda: obj.activate([2**40]), lambda: obj.__init__(1, 2),
               lambda: native_caller.call("encrypt", obj, 5.0, 1),
               lambda: native_caller.call("decrypt", obj, object(), 1),
               lambda: obj.__setstate__(("x",)),
               lambda: cprotection.__pyx_unpickle_CProtection(CProtection, 1, ())]
    seen = [[] for _ in raising]

    def entries(call):
        try:
            call()
        except Exception as exc:  # noqa: BLE001 - each call's own error is compared below
            return type(exc), tuple(module_entries(exc))
        return None

    def work(rng, deadline):
        order = list(range(len(raising)))
        # The entries are made in the first rounds; the rest only read them.
        for _ in itertools.islice(calls(deadline), 100):
            rng.shuffle(order)
            for i in order:
                seen[i].append(entries(raising[i]))

    def check():
        for call, got in zip(raising, seen):
            alone = entries(call)
            assert alone is not None and alone[1], alone
            assert set(got) == {alone}, (set(got), alone)
        return True

    return [work] * THREADS, check


STRESS = [keying_while_the_list_changes, encrypting_while_the_argument_resizes, pickling_while_encrypting,
          keying_from_every_thread, reinitialising_while_encrypting, pickling_while_reinitialising,
          raising_from_every_thread, pickling_while_restoring]


@pytest.mark.parametrize("case", STRESS, ids=[c.__name__ for c in STRESS])
def test_shared_instance_under_stress(case, request):
    # A case names the fixtures it needs as its parameters.
    workers, check = case(*map(request.getfixturevalue, inspect.signature(case).parameters))
    run_together(workers)
    assert check()


@pytest.mark.skipif(not FREE_THREADED, reason="only free-threaded interpreters run without the GIL")
@pytest.mark.parametrize("module_name", ["kovrin.modules.security.cprotection", "native_caller"],
                         ids=["module", "compiled-caller-template"])
def test_import_leaves_the_gil_off(module_name, native_caller):
    code = f"import sys; import {module_name}; sys.exit(sys._is_gil_enabled())"
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    # native_caller is found where the session's fixture built it.
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.dirname(native_caller.__file__),
                                                      env.get("PYTHONPATH")]))
    result = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c", code], env=env,
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (0, "")

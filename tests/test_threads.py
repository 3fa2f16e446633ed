"""CProtection instances shared between threads.

The switch interval is cut to a microsecond so that the threads switch
every few bytecodes, between any two operations.  Every worker makes a fixed
number of calls (ITERATIONS); the checks are on results and states only.
"""

import copy
import pickle
import queue
import random
import sys
import threading

import pytest

from kovrin.modules.security.cprotection import CProtection

pytestmark = pytest.mark.core

ITERATIONS = 2000


@pytest.fixture(autouse=True)
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def fields(obj):
    return obj.__reduce__()[1][2]


def check_fields(f):
    active, base, di, dv, ei, ev, flip = f
    assert type(active) is type(flip) is bool and 0 <= base <= 255, f
    assert 0 <= di <= 7 and 0 <= ei <= 7 and len(dv) == len(ev) == 8, f"index outside 0..7: {f}"


def run_together(workers):
    """Starts all workers at once and re-raises the first failure of any of them."""
    failures, barrier = [], threading.Barrier(len(workers))

    def guarded(worker):
        barrier.wait()
        try:
            worker()
        except BaseException as exc:  # reported below, in the test's own thread
            failures.append(exc)

    threads = [threading.Thread(target=guarded, args=(w,), daemon=True) for w in workers]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert not any(thread.is_alive() for thread in threads), "a worker never finished"
    if failures:
        raise failures[0]


def transform_worker(obj, operation, seed, log=None):
    rng = random.Random(seed)

    def work():
        for _ in range(ITERATIONS):
            # logged calls are long enough that no other call can produce the same output by chance
            data = bytearray(rng.randbytes(rng.randrange(0 if log is None else 24, 48)))
            sent = bytes(data)
            out = getattr(obj, operation)(data)
            assert data == sent, "the argument was modified"
            assert out is data or (type(out) is bytearray and len(out) == len(data)), out
            if log is not None:
                log.append((sent, bytes(out)))
            check_fields(fields(obj))
    return work


def test_mixed_operations_on_one_shared_instance():
    obj = CProtection(True)
    obj.activate([0x33, 7])
    rng = random.Random(5)

    def keying():
        for _ in range(ITERATIONS):
            obj.activate([rng.randrange(-2**31, 2**31) for _ in range(rng.randrange(4))])
            check_fields(fields(obj))

    def pickling():
        for _ in range(ITERATIONS):
            for clone in (pickle.loads(pickle.dumps(obj)), copy.copy(obj), copy.deepcopy(obj)):
                check_fields(fields(clone))
            obj.__setstate__(fields(clone))

    def reinitialising():
        for i in range(ITERATIONS):
            obj.__init__(i % 2)
            obj.activate([i])
            check_fields(fields(obj))

    run_together([transform_worker(obj, "encrypt", 1), transform_worker(obj, "encrypt", 2),
                  transform_worker(obj, "encrypt", 3), transform_worker(obj, "decrypt", 4),
                  transform_worker(obj, "decrypt", 5), keying, pickling, reinitialising])
    check_fields(fields(obj))


def replay_order(start, operation, logs):
    """Finds the one order of whole calls, each thread's in its own order, that explains every output."""
    state, heads = start, [0] * len(logs)
    for _ in range(sum(map(len, logs))):
        for t, log in enumerate(logs):
            if heads[t] < len(log):
                scratch = CProtection.__new__(CProtection)
                scratch.__setstate__(state)
                sent, received = log[heads[t]]
                if bytes(getattr(scratch, operation)(bytearray(sent))) == received:
                    state, heads[t] = fields(scratch), heads[t] + 1
                    break
        else:
            pytest.fail(f"no pending {operation} call continues the stream after {sum(heads)} calls")
    return state


def test_concurrent_calls_of_one_direction_form_one_stream():
    obj = CProtection()
    obj.activate([0x5A, 3, 1000])
    start = fields(obj)
    logs = {op: [[] for _ in range(4)] for op in ("encrypt", "decrypt")}
    run_together([transform_worker(obj, op, f"{op}{t}", logs[op][t]) for op in logs for t in range(4)])
    active, base, di, dv, ei, ev, flip = fields(obj)
    assert replay_order(start, "encrypt", logs["encrypt"])[4:6] == (ei, ev)
    assert replay_order(start, "decrypt", logs["decrypt"])[2:4] == (di, dv)


def test_one_thread_per_direction_at_each_peer():
    keys = [0x11, 0x2222, -7]
    peers = {"a": CProtection(False), "b": CProtection(True)}
    for peer in peers.values():
        peer.activate(list(keys))
    wires = {"a": queue.Queue(), "b": queue.Queue()}  # wires[x] carries what x sends
    rng = random.Random(11)
    messages = {name: [rng.randbytes(rng.randrange(0, 64)) for _ in range(ITERATIONS)] for name in peers}
    received = {name: [] for name in peers}

    def sender(name):
        def work():
            for message in messages[name]:
                wires[name].put(peers[name].encrypt(bytearray(message)))
        return work

    def receiver(name, other):
        def work():
            cut = random.Random(name)
            for _ in range(ITERATIONS):
                chunk = wires[other].get(timeout=60)
                at = cut.randrange(len(chunk) + 1)
                received[name].append(bytes(peers[name].decrypt(chunk[:at]) + peers[name].decrypt(chunk[at:])))
        return work

    run_together([sender("a"), sender("b"), receiver("a", "b"), receiver("b", "a")])
    assert received["b"] == messages["a"]
    assert received["a"] == messages["b"]
    check_fields(fields(peers["a"]))
    check_fields(fields(peers["b"]))

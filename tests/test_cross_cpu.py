"""The same bytes on every CPU: this interpreter against one on another CPU.

tools/test-foreign.sh runs the suite under qemu on AArch64 and big-endian
s390x and names the host's interpreter in CPROTECTION_PEER_PYTHON.  A fixed
workload (streams over many lengths, the vectors after keying, pickles cut
mid-stream) must give the same bytes on both, and the pickles written on each
must restore and continue on the other.

A peer that this interpreter cannot start (the host's Linux interpreter,
seen from Windows under wine) leaves what it computed in the file named by
CPROTECTION_PEER_RESULTS instead, as tools/test-windows.sh does: its workload
and the continuation of its own pickles, which are ours once the workloads
match.
"""

import hashlib
import json
import os
import pathlib
import pickle
import platform
import random
import subprocess
import sys

import pytest

from helpers import state_tuple
from kovrin.modules.security.cprotection import CProtection

PEER = os.environ.get("CPROTECTION_PEER_PYTHON")
PEER_RESULTS = os.environ.get("CPROTECTION_PEER_RESULTS")
pytestmark = [pytest.mark.core,
              pytest.mark.skipif(not (PEER or PEER_RESULTS),
                                 reason="compares two platforms: tools/test-foreign.sh runs it under qemu and "
                                        "tools/test-windows.sh under wine, with the host's interpreter as the peer")]

KEY_LISTS = {
    "empty": [],
    "one": [1],
    "minus-one": [-1],
    "signed-32": [-2**31, 2**31 - 1, 0x12345678, -0x789ABCDE],
    "bytes": list(range(256)),
    "high-bytes": [0xFF, 0x80, -0x80, 0x7FFFFF80, -1 << 31],
    "random": random.Random(7).choices(range(-2**31, 2**31), k=33),
}
# Around each width the kernels work in, and long enough for every loop.
LENGTHS = [0, 1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 129, 1000, 4095,
           4096, 65537, 1 << 20]
TAIL = bytes(range(256)) * 3


def workload(name):
    """Each direction's outputs over LENGTHS, the keyed vectors and the pickles cut mid-stream."""
    result = {}
    for flip in (False, True):
        sender, receiver = CProtection(flip), CProtection(not flip)
        sender.activate(list(KEY_LISTS[name]))
        receiver.activate(list(KEY_LISTS[name]))
        keyed = repr(state_tuple(sender))
        stream, plain, pickles = hashlib.sha256(), hashlib.sha256(), []
        data = random.Random(name).randbytes(sum(LENGTHS))
        offset = 0
        for length in LENGTHS:
            ciphertext = sender.encrypt(bytearray(data[offset:offset + length]))
            stream.update(ciphertext)
            plain.update(receiver.decrypt(ciphertext))
            offset += length
            if length in (9, 4095):
                pickles += [pickle.dumps(obj, protocol).hex() for obj in (sender, receiver)
                            for protocol in (2, pickle.HIGHEST_PROTOCOL)]
        assert plain.digest() == hashlib.sha256(data).digest()
        result[str(flip)] = {"keyed": keyed, "stream": stream.hexdigest(), "pickles": pickles}
    return result


def continue_pickles(pickles):
    """Each pickle restored and driven on through TAIL in both directions."""
    outputs = []
    for text in pickles:
        obj = pickle.loads(bytes.fromhex(text))
        outputs.append([obj.encrypt(bytearray(TAIL)).hex(), obj.decrypt(bytearray(TAIL)).hex(),
                        repr(state_tuple(obj))])
    return outputs


def this_platform():
    return f"{sys.platform} {platform.machine()}"


def main():
    """Peer side: the workload of every key list, and the continuation of the pickles on stdin."""
    theirs = json.load(sys.stdin)
    json.dump({name: {"workload": workload(name), "continued": continue_pickles(theirs[name])}
               for name in KEY_LISTS}, sys.stdout)


def write_results(path):
    """Peer side, for a peer that cannot be started: the workload of every
    key list and the continuation of its own pickles, into the file at path."""
    results = {}
    for name in KEY_LISTS:
        done = workload(name)
        results[name] = {"workload": done, "continued": continue_pickles(
            [text for direction in done.values() for text in direction["pickles"]])}
    pathlib.Path(path).write_text(json.dumps({"platform": this_platform(), "results": results}))


@pytest.fixture(scope="module")
def peer():
    """What the peer CPU computes, given this CPU's pickles."""
    here = {name: workload(name) for name in KEY_LISTS}
    ours = {name: [text for direction in here[name].values() for text in direction["pickles"]]
            for name in KEY_LISTS}
    if PEER_RESULTS:
        written = json.loads(pathlib.Path(PEER_RESULTS).read_text())
        assert written["platform"] != this_platform()  # a peer like this one would prove nothing
        return here, ours, written["results"]
    tests = pathlib.Path(__file__).resolve().parent
    result = subprocess.run([PEER, "-c", "import sys; sys.path.insert(0, sys.argv[1]); "
                             "import test_cross_cpu; test_cross_cpu.main()", str(tests)],
                            input=json.dumps(ours), capture_output=True, text=True, check=True,
                            timeout=900)
    machine = subprocess.run([PEER, "-c", "import platform; print(platform.machine())"],
                             capture_output=True, text=True, check=True).stdout.strip()
    assert machine != platform.machine()  # a peer on this CPU would prove nothing
    return here, ours, json.loads(result.stdout)


@pytest.mark.parametrize("name", sorted(KEY_LISTS))
def test_same_bytes_and_pickles_continue_across_cpus(peer, name):
    here, ours, theirs = peer
    assert theirs[name]["workload"] == here[name]
    # This CPU's pickles, restored and continued there, and the other way round.
    assert theirs[name]["continued"] == continue_pickles(ours[name])
    peer_pickles = [text for direction in theirs[name]["workload"].values()
                    for text in direction["pickles"]]
    assert continue_pickles(peer_pickles) == theirs[name]["continued"]

"""Compares the transform kernel chosen at import with the byte-by-byte rules.

Run by test_kernels.py in a fresh interpreter per kernel, with
CPROTECTION_KERNEL set; exits non-zero on the first difference.  With
CPROTECTION_NATIVE_CALLER naming the built native caller, the native entries
also transform instances of a bytearray subclass, which are copied first and
transformed in place.
"""

import importlib.util
import os
import random
import sys

from hypothesis import given, settings, strategies as st

from helpers import model_decrypt, model_encrypt
from kovrin.modules.security.cprotection import CProtection


def make_data(length: int, seed: int, repeat_positions: bool) -> bytes:
    """Random bytes; or bytes whose low bits keep the index on few positions."""
    rng = random.Random(seed)
    if repeat_positions:
        return bytes(rng.choice([0, 8, 1, 9, 0xF8]) for _ in range(length))
    return rng.randbytes(length)


def load_native_caller():
    path = os.environ.get("CPROTECTION_NATIVE_CALLER")
    if not path:
        return None
    spec = importlib.util.spec_from_file_location("native_caller", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


native_caller = load_native_caller()


class Buffer(bytearray):
    pass


data_strategy = st.builds(make_data, st.integers(0, 5000), st.integers(0, 2**32), st.booleans())


@settings(max_examples=int(sys.argv[1]) if len(sys.argv) > 1 else 300, deadline=None)
@given(data=data_strategy, vectors=st.binary(min_size=16, max_size=16),
       indices=st.tuples(st.integers(0, 7), st.integers(0, 7)), cut=st.integers(0, 5000))
def check_kernel(data, vectors, indices, cut):
    decryption_vector, encryption_vector = vectors[:8], vectors[8:]
    decryption_index, encryption_index = indices
    start = (True, 0, decryption_index, decryption_vector, encryption_index, encryption_vector, False)
    cipher = CProtection.__new__(CProtection)
    cipher.__setstate__(start)
    cut = min(cut, len(data))
    encrypted = cipher.encrypt(bytearray(data[:cut])) + cipher.encrypt(bytearray(data[cut:]))
    decrypted = cipher.decrypt(bytearray(data[:cut])) + cipher.decrypt(bytearray(data[cut:]))
    results = [(encrypted, decrypted, cipher.__reduce__()[1][2])]
    if native_caller is not None:
        twin = CProtection.__new__(CProtection)
        twin.__setstate__(start)
        results.append((native_caller.call("encrypt", twin, Buffer(data), 1),
                        native_caller.call("decrypt", twin, Buffer(data), 1), twin.__reduce__()[1][2]))

    expected_encrypted, encryption_end, encryption_index_end = model_encrypt(
        encryption_vector, encryption_index, data)
    expected_decrypted, decryption_end, decryption_index_end = model_decrypt(
        decryption_vector, decryption_index, data)
    for encrypted, decrypted, state in results:
        assert encrypted == expected_encrypted
        assert (state[5], state[4]) == (encryption_end, encryption_index_end)
        assert decrypted == expected_decrypted
        assert (state[3], state[2]) == (decryption_end, decryption_index_end)


if __name__ == "__main__":
    check_kernel()
    print("kernel matches")

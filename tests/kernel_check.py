"""Compares the transform kernel chosen at import with the byte-by-byte rules.

Run by test_kernels.py in a fresh interpreter per kernel, with
CPROTECTION_KERNEL set; exits non-zero on the first difference.  With
CPROTECTION_NATIVE_CALLER naming the built native caller, the native entries
also transform instances of a bytearray subclass, which they copy first and
transform in place.

    CPROTECTION_KERNEL=avx512 python kernel_check.py [EXAMPLES]
"""

import os
import random
import sys

from hypothesis import example, given, settings, strategies as st

from helpers import load_extension, model_decrypt, model_encrypt, state
from kovrin.modules.security.cprotection import CProtection

native_caller_path = os.environ.get("CPROTECTION_NATIVE_CALLER")
native_caller = load_extension("native_caller", native_caller_path) if native_caller_path else None


class Buffer(bytearray):
    pass


def make_data(length: int, seed: int, repeat_positions: bool) -> bytes:
    """Random bytes; or bytes whose low bits keep the index on few positions."""
    rng = random.Random(seed)
    if repeat_positions:
        return bytes(rng.choice([0, 8, 1, 9, 0xF8]) for _ in range(length))
    return rng.randbytes(length)


def transform_through_native_entries(obj, data):
    """Both directions through the native entries, on a subclass instance."""
    results = []
    for operation in ("encrypt", "decrypt"):
        argument = Buffer(data)
        result = native_caller.call(operation, obj, argument, 1)
        assert type(result) is bytearray and result is not argument
        assert argument == data
        results.append(result)
    return results


data_strategy = st.builds(make_data, st.integers(0, 5000), st.integers(0, 2**32), st.booleans())
# Lengths at the edges of the block kernel and of the short-input path.
EDGES = [(length, repeat) for length in (63, 64, 65, 128, 129, 1024, 1025) for repeat in (False, True)]


def with_edges(test):
    for length, repeat in EDGES:
        test = example(data=make_data(length, length, repeat), vectors=bytes(range(16)),
                       indices=(5, 3), cut=64)(test)
    return test


@settings(max_examples=int(sys.argv[1]) if len(sys.argv) > 1 else 300, deadline=None)
@given(data=data_strategy, vectors=st.binary(min_size=16, max_size=16),
       indices=st.tuples(st.integers(0, 7), st.integers(0, 7)), cut=st.integers(0, 5000))
@with_edges
def check_kernel(data, vectors, indices, cut):
    decryption_vector, encryption_vector = vectors[:8], vectors[8:]
    decryption_index, encryption_index = indices
    initial_state = (True, 0, decryption_index, decryption_vector, encryption_index,
                     encryption_vector, False)
    cipher = CProtection.__new__(CProtection)
    cipher.__setstate__(initial_state)
    cut = min(cut, len(data))
    encrypted = cipher.encrypt(bytearray(data[:cut])) + cipher.encrypt(bytearray(data[cut:]))
    decrypted = cipher.decrypt(bytearray(data[:cut])) + cipher.decrypt(bytearray(data[cut:]))
    results = [(encrypted, decrypted, state(cipher))]
    if native_caller is not None:
        twin = CProtection.__new__(CProtection)
        twin.__setstate__(initial_state)
        results.append((*transform_through_native_entries(twin, data), state(twin)))

    expected_encrypted, encryption_vector, encryption_index = model_encrypt(
        encryption_vector, encryption_index, data)
    expected_decrypted, decryption_vector, decryption_index = model_decrypt(
        decryption_vector, decryption_index, data)
    for encrypted, decrypted, fields in results:
        assert encrypted == expected_encrypted
        assert (fields["encryption_vector"], fields["encryption_index"]) == (encryption_vector,
                                                                             encryption_index)
        assert decrypted == expected_decrypted
        assert (fields["decryption_vector"], fields["decryption_index"]) == (decryption_vector,
                                                                             decryption_index)


if __name__ == "__main__":
    if native_caller is None:
        print("native entries not checked: CPROTECTION_NATIVE_CALLER is not set")
    check_kernel()
    print("kernel matches")

"""Shared test helpers."""

import ctypes
import importlib.util
import pathlib
import sys


def load_extension(name, path):
    """Imports the compiled module at path under the given name."""
    spec = importlib.util.spec_from_file_location(name, pathlib.Path(path))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def python_capi():
    """The interpreter's C API as a library of its own, so that the argtypes a
    test sets stay its own: the process itself on POSIX, the interpreter's DLL
    on Windows."""
    if sys.platform == "win32":
        return ctypes.PyDLL("python", handle=sys.dllhandle)
    return ctypes.PyDLL(None)


class IntLike:
    """Converts to an integer through __int__ only, returning `value` as is."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IndexOnly:
    """Converts to an integer through __index__ only."""

    def __init__(self, value=3):
        self.value = value

    def __index__(self):
        return self.value


def traceback_entries(exc):
    """(function name, file, line) of each traceback entry, innermost last."""
    entries = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        entries.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return entries


def module_entries(exc):
    """The synthetic entries added by the module, innermost last."""
    return [e for e in traceback_entries(exc)
            if e[1] in ("modules/security/cprotection", "<stringsource>")]


# The state tuple's fields, in their order.
FIELDS = ("active", "base", "decryption_index", "decryption_vector", "encryption_index",
          "encryption_vector", "flip_direction")


def state_tuple(obj):
    """The seven fields of the pickle state, for the direct or deferred form."""
    reduced = obj.__reduce__()
    return tuple(reduced[2][:7]) if len(reduced) == 3 else reduced[1][2]


def state(obj):
    """The record's fields, by name, as the pickle state reports them."""
    return dict(zip(FIELDS, state_tuple(obj)))


def model_encrypt(vector, index, data):
    """Byte rules of the encrypting direction; returns (output, vector, index)."""
    vector = bytearray(vector)
    out = bytearray()
    for plain in data:
        out.append(vector[index] ^ plain)
        vector[index] = plain
        index ^= plain & 7
    return bytes(out), bytes(vector), index


def model_decrypt(vector, index, data):
    """Byte rules of the decrypting direction; returns (output, vector, index)."""
    vector = bytearray(vector)
    out = bytearray()
    for cipher in data:
        plain = cipher ^ vector[index]
        vector[index] = plain
        out.append(plain)
        index ^= plain & 7
    return bytes(out), bytes(vector), index


def not_run(reason):
    """Skips with the reason, but fails in CI, where every tool is installed."""
    import os

    import pytest

    if os.environ.get("CI"):
        pytest.fail(f"not run in CI: {reason}")
    pytest.skip(f"not run: {reason}")

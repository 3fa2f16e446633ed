"""Prints, as JSON, what introspection and failures show of the module.

tools/test-newer.sh runs it on every interpreter the package is tested on and
requires the same report from each.  Names, docstrings, signatures,
annotations, help() texts, messages, traceback entries and pickles are the
module's to decide; what the interpreter decides is left out or put in one
form: help()'s title line, and how help() renders a string annotation,
which 3.14 shows unquoted, as it does for any function.

    python tests/introspection_report.py
"""

import inspect
import json
import pickle
import pydoc
import sys
import typing

from kovrin.modules.security import cprotection
from kovrin.modules.security.cprotection import CProtection

CALLABLES = {name: vars(CProtection)[name] for name in
             ("activate", "decrypt", "encrypt", "__reduce_cython__", "__setstate_cython__")}
CALLABLES["__pyx_unpickle_CProtection"] = cprotection.__pyx_unpickle_CProtection
ABSENT = "<absent>"


def annotation_formats():
    """inspect.signature's options for each annotation format; none before 3.14."""
    try:
        import annotationlib
    except ImportError:
        return [{}]
    return [{"annotation_format": form} for form in annotationlib.Format
            if form.name in ("VALUE", "FORWARDREF", "STRING")]


def annotations_every_way(function):
    """Each distinct annotations dictionary that the interpreter's tools give."""
    found = {repr(getattr(function, "__annotations__", ABSENT)),
             repr(inspect.get_annotations(function))}
    for options in annotation_formats():
        if options:
            import annotationlib
            found.add(repr(annotationlib.get_annotations(function, format=options["annotation_format"])))
    return sorted(found)


def string_annotation_rendering():
    """How this interpreter's help() shows the annotation "list[int]" of a Python function."""
    def reference(keys: "list[int]"):
        pass
    text = pydoc.render_doc(reference, renderer=pydoc.plaintext)
    return text[text.index("(keys: ") + len("(keys: "):text.index(")")]


def help_text(obj):
    """help()'s text without its title line, string annotations in one form."""
    text = pydoc.render_doc(obj, renderer=pydoc.plaintext).split("\n", 1)[1]
    return text.replace(": " + string_annotation_rendering(), ": <string 'list[int]'>")


def describe(function):
    return {
        "type": type(function).__qualname__,
        "names": [function.__name__, function.__qualname__, function.__module__],
        "__doc__": function.__doc__,
        "__text_signature__": getattr(function, "__text_signature__", ABSENT),
        "__annotate__": repr(getattr(function, "__annotate__", ABSENT)),
        "signatures": sorted({str(inspect.signature(function, **options))
                              for options in annotation_formats()}),
        "annotations": annotations_every_way(function),
        "type hints": repr(typing.get_type_hints(function)),
        "help": help_text(function),
    }


def failure(call):
    try:
        call()
    except Exception as error:  # noqa: BLE001 - every failure is part of the report
        entries = []
        tb = error.__traceback__
        while tb is not None:
            code = tb.tb_frame.f_code
            if code.co_filename in ("modules/security/cprotection", "<stringsource>"):
                entries.append([code.co_name, code.co_qualname, code.co_filename, tb.tb_lineno])
            tb = tb.tb_next
        return [type(error).__name__, str(error), getattr(error, "__notes__", []), entries]
    return None


def failures():
    keyed = CProtection()
    keyed.activate([1, 2, 3])

    class Keys(list):
        pass

    calls = {
        "encrypt()": lambda: keyed.encrypt(),
        "encrypt(data=)": lambda: keyed.encrypt(data=bytearray()),
        "encrypt(bytes)": lambda: keyed.encrypt(b""),
        "activate(tuple)": lambda: keyed.activate((1, 2)),
        "activate(list subclass)": lambda: keyed.activate(Keys()),
        "activate(huge)": lambda: keyed.activate([1 << 40]),
        "CProtection(1, 2)": lambda: CProtection(1, 2),
        "class encrypt()": lambda: CProtection.encrypt(),
        "__setstate_cython__(None)": lambda: keyed.__setstate_cython__(None),
        "unpickle(bad checksum)": lambda: cprotection.__pyx_unpickle_CProtection(CProtection, 1, None),
    }
    return {name: failure(call) for name, call in calls.items()}


def report():
    keyed = CProtection(True)
    keyed.activate([5, 6, 7])
    ciphertext = keyed.encrypt(bytearray(b"stream"))
    return {
        "callables": {name: describe(function) for name, function in CALLABLES.items()},
        "pickling routines": [CProtection.__reduce__.__name__, CProtection.__setstate__.__name__],
        "bound signature": str(inspect.signature(keyed.activate)),
        "class help": help_text(CProtection),
        "failures": failures(),
        "ciphertext": ciphertext.hex(),
        "pickles": {protocol: pickle.dumps(keyed, protocol).hex() for protocol in range(6)},
    }


if __name__ == "__main__":
    json.dump(report(), sys.stdout, indent=1, sort_keys=True)
    print()

"""Prints, as JSON, what introspection shows of the module's callables and class.

tools/test-newer.sh runs it on every interpreter the package is tested on and
requires the same report from each.  Names, docstrings, signatures,
annotations in every form the interpreter offers and help() texts are the
module's to decide (the suite pins down bytes, pickles, messages and
traceback entries on each interpreter by itself); what the interpreter
decides is left out or put in one form: help()'s title line, and how help()
renders a string annotation, which 3.14 shows unquoted, as it does for any
function.

    python tests/describe_callables.py
"""

import functools
import inspect
import json
import pydoc
import sys
import typing

from kovrin.modules.security import cprotection
from kovrin.modules.security.cprotection import CProtection

CALLABLES = {name: vars(CProtection)[name] for name in
             ("activate", "decrypt", "encrypt", "__reduce_cython__", "__setstate_cython__")}
CALLABLES["__pyx_unpickle_CProtection"] = cprotection.__pyx_unpickle_CProtection
ABSENT = "<absent>"

try:
    import annotationlib
    FORMATS = [annotationlib.Format.VALUE, annotationlib.Format.FORWARDREF, annotationlib.Format.STRING]
except ImportError:  # before 3.14, which evaluates annotations lazily
    FORMATS = []


def annotations_every_way(function):
    """Each distinct annotations dictionary that the interpreter's tools give."""
    found = {repr(getattr(function, "__annotations__", ABSENT)), repr(inspect.get_annotations(function))}
    return sorted(found | {repr(annotationlib.get_annotations(function, format=form)) for form in FORMATS})


def signatures_every_way(function):
    found = {str(inspect.signature(function))}
    return sorted(found | {str(inspect.signature(function, annotation_format=form)) for form in FORMATS})


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
        "wrapper annotations": repr(functools.wraps(function)(lambda *args: None).__annotations__),
        "signatures": signatures_every_way(function),
        "annotations": annotations_every_way(function),
        "type hints": repr(typing.get_type_hints(function)),
        "help": help_text(function),
    }


def report():
    return {
        "callables": {name: describe(function) for name, function in CALLABLES.items()},
        "bound signature": str(inspect.signature(CProtection().activate)),
        "class help": help_text(CProtection),
    }


if __name__ == "__main__":
    json.dump(report(), sys.stdout, indent=1, sort_keys=True)
    print()

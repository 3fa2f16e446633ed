"""Every Python block of the README and docs/native-api.md runs as written; every C block compiles."""

import pathlib
import re

import build as native_caller_build
import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
NATIVE_API = ROOT / "docs" / "native-api.md"
DOCUMENTS = {path: path.read_text() for path in (README, NATIVE_API)}


def blocks(language):
    """(document, source) of each block in the language, and an id per block."""
    found, ids = [], []
    for path, text in DOCUMENTS.items():
        for i, block in enumerate(re.findall(rf"```{language}\n(.*?)```", text, re.DOTALL)):
            found.append((path, block))
            ids.append(f"{path.stem}-block{i}")
    return found, ids


BLOCKS, BLOCK_IDS = blocks("python")
C_BLOCKS, C_BLOCK_IDS = blocks("c")


def test_readme_has_examples():
    assert sum(path == README for path, _ in BLOCKS) >= 2
    assert sum(path == NATIVE_API for path, _ in BLOCKS) >= 1
    assert sum(path == NATIVE_API for path, _ in C_BLOCKS) >= 1


@pytest.mark.parametrize("path, source", BLOCKS, ids=BLOCK_IDS)
def test_readme_block_runs(path, source):
    exec(compile(source, str(path), "exec"), {"__name__": "readme"})


@pytest.mark.parametrize("path, source", C_BLOCKS, ids=C_BLOCK_IDS)
def test_readme_c_block_compiles_against_the_installed_header(path, source, tmp_path):
    caller = tmp_path / "caller.c"
    caller.write_text(source)
    native_caller_build.check_syntax(caller, "c")

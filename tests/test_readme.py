"""Every Python block in the README runs as written; every C block compiles."""

import pathlib
import re

import build as native_caller_build
import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
TEXT = README.read_text()
BLOCKS = re.findall(r"```python\n(.*?)```", TEXT, re.DOTALL)
C_BLOCKS = re.findall(r"```c\n(.*?)```", TEXT, re.DOTALL)


def test_readme_has_examples():
    assert len(BLOCKS) >= 2
    assert len(C_BLOCKS) >= 1


@pytest.mark.parametrize("source", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_block_runs(source):
    exec(compile(source, str(README), "exec"), {"__name__": "readme"})


@pytest.mark.parametrize("source", C_BLOCKS, ids=[f"c-block{i}" for i in range(len(C_BLOCKS))])
def test_readme_c_block_compiles_against_the_installed_header(source, tmp_path):
    caller = tmp_path / "caller.c"
    caller.write_text(source)
    native_caller_build.check_syntax(caller, "c")

import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples" / "native_caller"))

import build as native_caller_build  # noqa: E402
from helpers import load_extension  # noqa: E402

from kovrin.modules.security import cprotection  # noqa: E402


@pytest.fixture(scope="session")
def native_caller(tmp_path_factory):
    """The compiled caller of CProtection's native method table."""
    return load_extension("native_caller",
                          native_caller_build.build(tmp_path_factory.mktemp("native_caller")))


@pytest.fixture
def module():
    return cprotection

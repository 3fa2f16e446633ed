"""The wheel needs nothing but libc and works from a fresh environment."""

import os
import pathlib
import shutil
import subprocess
import sys
import venv

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.skipif(bool(os.environ.get("CPROTECTION_SANITIZED")),
                                reason="the sanitizer build is not a wheel to ship")


def run(*command, cwd=None):
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True, check=True).stdout


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    run(sys.executable, "-m", "pip", "wheel", "--quiet", "--no-build-isolation", "--no-deps",
        str(ROOT), "-w", str(out))
    (built,) = out.glob("*.whl")
    return built


def test_wheel_is_manylinux(wheel):
    report = run(sys.executable, "-m", "auditwheel", "show", str(wheel))
    assert '"manylinux_' in report
    assert "requires no external shared libraries" in report


def test_two_peers_run_from_an_installed_wheel(wheel, tmp_path):
    environment = tmp_path / "env"
    venv.create(environment, with_pip=False)
    python = environment / "bin" / "python"
    run(sys.executable, "-m", "pip", "--python", str(python), "install", "--quiet", "--no-deps",
        str(wheel))
    example = shutil.copy(ROOT / "examples" / "two_peers.py", tmp_path)
    located = run(str(python), "-c",
                  "import kovrin.modules.security.cprotection as m; print(m.__file__)", cwd=tmp_path)
    assert pathlib.Path(located.strip()).is_relative_to(environment)
    output = run(str(python), example, "--mebibytes", "1", cwd=tmp_path)
    assert output.splitlines()[-1] == "ok"


def test_build_switch_lets_list_subclasses_through(tmp_path):
    out = tmp_path / "wheel"
    run(sys.executable, "-m", "pip", "wheel", "--quiet", "--no-build-isolation", "--no-deps",
        "--config-settings=cmake.define.CPROTECTION_ALLOW_LIST_SUBCLASSES=ON",
        f"--config-settings=build-dir={tmp_path / 'build'}", str(ROOT), "-w", str(out))
    environment = tmp_path / "env"
    venv.create(environment, with_pip=False)
    python = environment / "bin" / "python"
    run(sys.executable, "-m", "pip", "--python", str(python), "install", "--quiet", "--no-deps",
        str(next(out.glob("*.whl"))))
    check = """
from kovrin.modules.security.cprotection import CProtection
class Keys(list):
    pass
strict, relaxed = CProtection(), CProtection()
strict.activate([3, 9])
relaxed.activate(Keys([3, 9]))
assert strict.__reduce__()[1][2] == relaxed.__reduce__()[1][2]
try:
    relaxed.activate((1, 2))
except TypeError as error:
    print(error)
"""
    output = run(str(python), "-c", check, cwd=tmp_path)
    assert output.strip() == "Argument 'keys' has incorrect type (expected list, got tuple)"

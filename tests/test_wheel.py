"""The wheel needs nothing but libc and works from a fresh environment."""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import pytest

if sys.platform == "win32":
    pytest.skip("builds a manylinux wheel; tools/test-windows.sh builds the win_amd64 wheel with pip "
                "and installs it, and `make wheel` smoke-tests it", allow_module_level=True)

import venv  # noqa: E402  (the embeddable Windows interpreter has none)

ROOT = pathlib.Path(__file__).resolve().parent.parent

pytestmark = [
    pytest.mark.skipif(bool(os.environ.get("CPROTECTION_SANITIZED")),
                       reason="the sanitizer build is not a wheel to ship"),
    # Under qemu, tools/smoke-foreign-wheel.sh checks the cross-built wheel.
    pytest.mark.skipif(bool(os.environ.get("CPROTECTION_EMULATED")),
                       reason="needs pip, build and auditwheel inside the interpreter, "
                              "which the emulated one under qemu does not have"),
]


def run(*command, cwd=None, env=None):
    result = subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    """The wheel that `make wheel` leaves, built here without build isolation."""
    out = tmp_path_factory.mktemp("dist")
    run(str(ROOT / "tools" / "build-wheel.sh"), str(out), "--no-isolation",
        env={**os.environ, "BUILD_PYTHON": sys.executable})
    (built,) = out.glob("*.whl")
    assert [p.suffix for p in out.iterdir() if p != built] == [".gz"]  # and the sdist
    return built


def test_wheel_is_repaired_to_the_policy_auditwheel_reports(wheel):
    report = run(sys.executable, "-m", "auditwheel", "show", str(wheel))
    policy = re.search(r'platform\s+tag:\s+"(manylinux_\w+)"', report).group(1)
    assert policy in wheel.name.removesuffix(".whl").split("-")[-1].split(".")
    assert "requires no external shared libraries" in report


COMPILED_CALLER_CHECK = """
import sys
sys.path.insert(0, sys.argv[1])
import native_caller
from kovrin.modules.security.cprotection import CProtection
sender, receiver = CProtection(), CProtection(True)
native_caller.call("activate", sender, [0x1234, 77])
receiver.activate([0x1234, 77])
assert receiver.decrypt(native_caller.call("encrypt", sender, bytearray(b"hello"))) == b"hello"
try:
    native_caller.call("activate", sender, (1, 2))
except TypeError as error:
    print(error)
"""


def test_two_peers_and_a_compiled_caller_run_from_an_installed_wheel(wheel, tmp_path):
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
    # The caller compiles against the header the wheel installed: the build
    # script knows no path into the source tree.
    caller_dir = tmp_path / "caller"
    run(str(python), str(ROOT / "examples" / "native_caller" / "build.py"), str(caller_dir),
        cwd=tmp_path)
    output = run(str(python), "-c", COMPILED_CALLER_CHECK, str(caller_dir), cwd=tmp_path)
    assert output.strip() == "Argument 'keys' has incorrect type (expected list, got tuple)"


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

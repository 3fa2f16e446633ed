"""tools/bootstrap.sh on a machine that has no Python 3.13."""

import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SYSTEM_PYTHONS = ["/usr/bin/python3.13", "/usr/local/bin/python3.13"]


@pytest.mark.skipif(sys.platform == "win32", reason="runs tools/bootstrap.sh, a bash script for Linux and macOS")
@pytest.mark.skipif(any(map(os.path.exists, SYSTEM_PYTHONS)),
                    reason="the script always finds this machine's system Python 3.13")
@pytest.mark.parametrize("name_it, message", [
    (False, "bootstrap: no Python 3.13 found (tried python3.13 on PATH, {home}/pyenv/versions/3.13*"),
    (True, "bootstrap: PYTHON={bin}/python3.13 is not a working Python 3.13 or newer;"),
], ids=["searched", "named"])
def test_bootstrap_without_python313_fails_with_one_line(tmp_path, name_it, message):
    bin_dir, home = tmp_path / "bin", tmp_path / "home"
    bin_dir.mkdir()
    home.mkdir()
    (bin_dir / "dirname").symlink_to("/usr/bin/dirname")
    # What a pyenv shim does for a version that is not selected.
    impostor = bin_dir / "python3.13"
    impostor.write_text("#!/bin/sh\necho 'python3.13: command not found' >&2\nexit 127\n")
    impostor.chmod(0o755)
    environment = {"PATH": str(bin_dir), "HOME": str(home), "PYENV_ROOT": str(home / "pyenv"),
                   "CPROTECTION_VENV": str(tmp_path / "venv")}
    if name_it:
        environment["PYTHON"] = str(impostor)
    result = subprocess.run(["/bin/bash", str(ROOT / "tools" / "bootstrap.sh")], env=environment,
                            capture_output=True, text=True)
    assert result.returncode == 1
    assert result.stdout == ""
    (line,) = result.stderr.splitlines()
    assert line.startswith(message.format(home=home, bin=bin_dir))
    assert line.endswith("PYTHON=/path/to/python3.13 make test")
    assert not (tmp_path / "venv").exists()

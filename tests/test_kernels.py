"""Every transform kernel the CPU supports gives the byte-by-byte results."""

import os
import pathlib
import subprocess
import sys

import pytest

# Kernel name and the CPU flags (as /proc/cpuinfo names them) it needs.
KERNELS = {
    "scalar": [],
    "bmi2": ["bmi1", "bmi2"],
    "avx512": ["bmi1", "bmi2", "abm", "pclmulqdq", "avx512f", "avx512bw", "avx512vbmi",
               "avx512_vbmi2"],
}


def cpu_flags() -> set[str]:
    try:
        text = pathlib.Path("/proc/cpuinfo").read_text()
    except OSError:
        return set()
    for line in text.splitlines():
        if line.startswith("flags"):
            return set(line.split(":", 1)[1].split())
    return set()


@pytest.mark.parametrize("kernel", sorted(KERNELS))
def test_kernel_matches_byte_rules(kernel, native_caller):
    if kernel != "scalar":
        if sys.platform != "linux" or os.uname().machine != "x86_64":
            pytest.skip(f"{kernel} kernel: x86-64 only")
        missing = [flag for flag in KERNELS[kernel] if flag not in cpu_flags()]
        if missing:
            pytest.skip(f"{kernel} kernel skipped: CPU lacks {', '.join(missing)}")
    script = pathlib.Path(__file__).with_name("kernel_check.py")
    result = subprocess.run([sys.executable, str(script), "300"], capture_output=True, text=True,
                            env={**os.environ, "CPROTECTION_KERNEL": kernel,
                                 "CPROTECTION_NATIVE_CALLER": native_caller.__file__},
                            timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr

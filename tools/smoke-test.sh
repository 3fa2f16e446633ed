#!/usr/bin/env bash
# Tries an installed package out from a scratch directory, so that nothing
# of the work tree is imported: the two-peer demo must end in "ok", and a
# compiled caller of the native method table, built against the installed
# header (by $CXX when set), must carry a stream to Python and refuse a
# tuple of keys with the module's own message.  On a free-threaded
# interpreter the GIL must stay off with both modules imported, unless
# PYTHON_GIL=1 turns it on.
#
#     tools/smoke-test.sh PYTHON [PYTHON OPTIONS...]
#
# PYTHON sees the package: a virtual environment's interpreter, or an
# emulated one with PYTHONPATH set.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

cp "$root/examples/two_peers.py" .
"$@" two_peers.py --mebibytes 1 >demo.out
# A Windows interpreter ends its lines with CR LF.
[ "$(tail -n 1 demo.out | tr -d '\r')" = ok ] || { cat demo.out >&2; exit 1; }
"$@" "$root/examples/native_caller/build.py" caller >/dev/null
"$@" - caller <<'PY'
import os, platform, sys, sysconfig
sys.path.insert(0, sys.argv[1])
import native_caller
from kovrin.modules.security.cprotection import CProtection
if sysconfig.get_config_var("Py_GIL_DISABLED") and os.environ.get("PYTHON_GIL") != "1":
    assert not sys._is_gil_enabled(), "the GIL was turned on"
sender, receiver = CProtection(), CProtection(True)
native_caller.call("activate", sender, [0x1234, 77])
receiver.activate([0x1234, 77])
message = bytearray(b"from a compiled caller")
assert receiver.decrypt(native_caller.call("encrypt", sender, message)) == message
try:
    native_caller.call("activate", sender, (1, 2))
except TypeError as error:
    assert str(error) == "Argument 'keys' has incorrect type (expected list, got tuple)", error
else:
    raise AssertionError("the native entry took a tuple as keys")
print(f"demo and compiled caller ok on {platform.machine()}")
PY

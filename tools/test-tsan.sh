#!/usr/bin/env bash
# Runs the free-threading tests on a ThreadSanitizer build of the
# free-threaded CPython (built once per machine by
# tools/build-python-ft.sh --tsan) against a ThreadSanitizer build of the
# module, in .venv-tsan, with the GIL off.  The sanitizer options and the
# suppressions are the ones CPython's own free-threaded CI uses.  Fails when
# any report names the module; reports that lie wholly inside the
# interpreter are counted and left in the log directory.  Further arguments
# go to pytest instead of the default test files.
set -euo pipefail
cd "$(dirname "$0")/.."

python=$(tools/build-python-ft.sh --tsan)
source_dir=$(tools/cpython-source.sh)
PYTHON=$python CPROTECTION_VENV=.venv-tsan \
CPROTECTION_PIP_ARGS="--config-settings=cmake.define.CPROTECTION_THREAD_SANITIZER=ON --config-settings=build-dir=build/tsan --config-settings=install.strip=false" \
    tools/bootstrap.sh

logs=build/tsan-logs
rm -rf "$logs"
mkdir -p "$logs"
tests=("$@")
# The case that resizes a bytearray while it is being encrypted is left
# out: CPython 3.13's bytearray methods take no lock, so its resizes race
# with every reader of the buffer, this module's too, and no extension can
# close that from outside.  The plain free-threaded run keeps it.
[ ${#tests[@]} -gt 0 ] || tests=(tests/test_free_threading.py tests/test_threads.py
    --deselect "tests/test_free_threading.py::test_shared_instance_under_stress[encrypting_while_the_argument_resizes]")
status=0
PYTHON_GIL=0 \
TSAN_OPTIONS="log_path=$PWD/$logs/report suppressions=$source_dir/Tools/tsan/suppressions_free_threading.txt handle_segv=0" \
    .venv-tsan/bin/python -m pytest -q -p no:cacheprovider "${tests[@]}" || status=$?

# A frame in the module names its shared object; a bare "cprotection"
# would also match the cache's path in every frame of the interpreter.
module_frame='cprotection\.cpython-'
reports=$(cat "$logs"/report.* 2>/dev/null | grep -c '^WARNING: ThreadSanitizer' || true)
ours=$(cat "$logs"/report.* 2>/dev/null | grep -c "$module_frame" || true)
echo "test-tsan: $reports report(s) in $logs, $ours frame(s) in the module"
if [ "$ours" -gt 0 ]; then
    grep -l "$module_frame" "$logs"/report.* | head -n 1 | xargs cat
    exit 1
fi
exit "$status"

# The two set-up commands of the README: `make demo` and `make test`.
# Each bootstraps .venv with a Python 3.13 and installs the package first;
# PYTHON=/path/to/python3.N names the interpreter (3.13 or newer) to build
# .venv from, CPROTECTION_VENV=DIR another directory for it.
VENV_PYTHON := $(or $(CPROTECTION_VENV),.venv)/bin/python

.PHONY: install demo test test-fast test-clang test-asan test-ft test-tsan test-foreign-quick test-foreign \
	test-newer coverage fuzz bench bench-update wheel clean

install:
	tools/bootstrap.sh

demo: install
	$(VENV_PYTHON) examples/two_peers.py

# The full suite, then again against a clang build, a sanitizer build and
# the free-threaded interpreter with the GIL off, then its core under qemu
# on AArch64 and big-endian s390x, then on CPython 3.14 and 3.15 with the
# newest g++ and clang, and on 3.14's debug build.
test: test-fast test-clang test-asan test-ft test-foreign-quick test-newer

test-fast: install
	$(VENV_PYTHON) -m pytest -q

test-clang:
	tools/test-clang.sh

test-asan:
	tools/test-asan.sh

# The free-threaded CPython is built once per machine, into ~/.cache.
test-ft:
	tools/test-ft.sh

# The free-threading tests on a ThreadSanitizer build of that interpreter
# and the module; not part of `test`, see the README for its time.
test-tsan:
	tools/test-tsan.sh

# Under qemu, in Debian's Python 3.13 for each CPU, against the module
# cross-built for it: the core files, or the whole suite.
FOREIGN_ARCHS := arm64 s390x
FOREIGN_QUICK := tests/test_known_answers.py tests/test_binding.py tests/test_cipher.py \
	tests/test_pickle.py tests/test_module.py tests/test_threads.py tests/test_native_caller.py \
	tests/test_cross_cpu.py

test-foreign-quick: install
	for arch in $(FOREIGN_ARCHS); do tools/test-foreign.sh $$arch $(FOREIGN_QUICK) || exit 1; done

test-foreign: install
	for arch in $(FOREIGN_ARCHS); do tools/test-foreign.sh $$arch || exit 1; done

# Line and branch coverage of modules/security over the suite, from a gcov
# build in .venv-coverage; not part of test.
coverage:
	tools/coverage.sh

# In a chroot of Debian's development suite, made once (minutes) under
# ~/.cache/kovrin-cprotection; needs root and debootstrap.
test-newer: install
	VENV_PYTHON=$(VENV_PYTHON) tools/test-newer.sh

# Many more hostile inputs than the regular suite tries, in rounds that
# each print a line when they end.
fuzz: install
	CPROTECTION_FUZZ_EXAMPLES=200000 $(VENV_PYTHON) -m pytest -v tests/test_fuzz.py

# Prints the tables and writes them, with a chart, under build/bench;
# bench-update refreshes the committed bench/results.md and chart instead.
bench: install
	$(VENV_PYTHON) -m pip install --quiet matplotlib
	$(VENV_PYTHON) bench/bench.py

bench-update: install
	$(VENV_PYTHON) -m pip install --quiet matplotlib
	$(VENV_PYTHON) bench/bench.py --output bench

# A fresh dist/ with an sdist and a manylinux wheel, and the wheel's
# platform report; then the free-threaded (cp313t) wheel, tried out in a
# fresh free-threaded environment; then the AArch64 wheel, cross-built, and its smoke test
# under qemu; then the CPython 3.14 and 3.15 wheels, built and smoke-tested
# in the chroot of test-newer.
wheel: install
	rm -rf dist
	BUILD_PYTHON=$(VENV_PYTHON) tools/build-wheel.sh dist
	tools/build-wheel-ft.sh dist
	BUILD_PYTHON=$(VENV_PYTHON) tools/build-foreign-wheel.sh arm64 dist
	BUILD_PYTHON=$(VENV_PYTHON) tools/smoke-foreign-wheel.sh arm64 dist
	tools/build-wheel-newer.sh dist

clean:
	rm -rf build dist .venv .venv-asan .venv-clang .venv-coverage .venv-ft .venv-tsan .hypothesis .pytest_cache
	find examples tests bench tools -name __pycache__ -prune -exec rm -rf {} +

# The two set-up commands of the README: `make demo` and `make test`.
# Each bootstraps .venv with a Python 3.13 and installs the package first;
# PYTHON=/path/to/python3.13 names the interpreter to build .venv from,
# CPROTECTION_VENV=DIR another directory for it.
VENV_PYTHON := $(or $(CPROTECTION_VENV),.venv)/bin/python

.PHONY: install demo test test-fast test-clang test-asan test-ft test-tsan fuzz bench bench-update wheel clean

install:
	tools/bootstrap.sh

demo: install
	$(VENV_PYTHON) examples/two_peers.py

# The full suite, then again against a clang build, a sanitizer build and
# the free-threaded interpreter with the GIL off.
test: test-fast test-clang test-asan test-ft

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
# fresh free-threaded environment.
wheel: install
	rm -rf dist
	BUILD_PYTHON=$(VENV_PYTHON) tools/build-wheel.sh dist
	tools/build-wheel-ft.sh dist

clean:
	rm -rf build dist .venv .venv-asan .venv-clang .venv-ft .venv-tsan .hypothesis .pytest_cache
	find examples tests bench tools -name __pycache__ -prune -exec rm -rf {} +

# The two set-up commands of the README: `make demo` and `make test`.
# Each bootstraps .venv with a Python 3.13 and installs the package first;
# PYTHON=/path/to/python3.13 names the interpreter to build .venv from,
# CPROTECTION_VENV=DIR another directory for it.
VENV_PYTHON := $(or $(CPROTECTION_VENV),.venv)/bin/python

.PHONY: install demo test test-fast test-asan fuzz bench wheel clean

install:
	tools/bootstrap.sh

demo: install
	$(VENV_PYTHON) examples/two_peers.py

# The full suite, then again against the sanitizer build.
test: test-fast test-asan

test-fast: install
	$(VENV_PYTHON) -m pytest -q

test-asan:
	tools/test-asan.sh

# Many more hostile inputs than the regular suite tries, in rounds that
# each print a line when they end.
fuzz: install
	CPROTECTION_FUZZ_EXAMPLES=200000 $(VENV_PYTHON) -m pytest -v tests/test_fuzz.py

bench: install
	$(VENV_PYTHON) -m pip install --quiet matplotlib
	$(VENV_PYTHON) bench/bench.py

# A fresh dist/ with an sdist and a manylinux wheel, and the wheel's
# platform report.
wheel: install
	rm -rf dist
	tools/build-wheel.sh dist

clean:
	rm -rf build dist .venv .venv-asan .hypothesis .pytest_cache
	find examples tests bench tools -name __pycache__ -prune -exec rm -rf {} +

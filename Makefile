# The two set-up commands of the README: `make demo` and `make test`.
# Each bootstraps .venv with a Python 3.13 and installs the package first.
VENV_PYTHON := .venv/bin/python

.PHONY: install demo test test-fast test-clang test-asan fuzz bench bench-update wheel clean

install:
	tools/bootstrap.sh

demo: install
	$(VENV_PYTHON) examples/two_peers.py

# The full suite, then again against a clang build and a sanitizer build.
test: test-fast test-clang test-asan

test-fast: install
	$(VENV_PYTHON) -m pytest -q

test-clang:
	tools/test-clang.sh

test-asan:
	tools/test-asan.sh

# Many more hostile inputs than the regular suite tries.
fuzz: install
	CPROTECTION_FUZZ_EXAMPLES=200000 $(VENV_PYTHON) -m pytest -q tests/test_fuzz.py

# Prints the tables and writes them, with a chart, under build/bench;
# bench-update refreshes the committed bench/results.md and chart instead.
bench: install
	$(VENV_PYTHON) -m pip install --quiet matplotlib
	$(VENV_PYTHON) bench/bench.py

bench-update: install
	$(VENV_PYTHON) -m pip install --quiet matplotlib
	$(VENV_PYTHON) bench/bench.py --output bench

# An sdist and a wheel in dist/, and the wheel's platform report.
wheel: install
	$(VENV_PYTHON) -m build --outdir dist .
	$(VENV_PYTHON) -m auditwheel show dist/*.whl

clean:
	rm -rf build dist .venv .venv-asan .venv-clang

# The two set-up commands of the README: `make demo` and `make test`.
# Each bootstraps .venv with a Python 3.13 and installs the package first.
VENV_PYTHON := .venv/bin/python

.PHONY: install demo test bench clean

install:
	tools/bootstrap.sh

demo: install
	$(VENV_PYTHON) examples/two_peers.py

test: install
	$(VENV_PYTHON) -m pytest -q

bench: install
	$(VENV_PYTHON) -m pip install --quiet matplotlib
	$(VENV_PYTHON) bench/bench.py

clean:
	rm -rf build dist .venv

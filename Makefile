# `make help` lists the targets.  Those that run Python bootstrap .venv
# first: PYTHON=/path/to/python3.N names the interpreter (3.13 or newer) to
# build it from, CPROTECTION_VENV=DIR another directory for it.
VENV_PYTHON := $(or $(CPROTECTION_VENV),.venv)/bin/python

.PHONY: help install demo check test test-clang test-asan test-ft test-tsan test-foreign-quick \
	test-foreign test-windows test-newer test-coverage test-fuzz bench bench-update wheel clean

install: ## create or update .venv and build the package into it
	tools/bootstrap.sh

help: ## list the targets
	@awk -F ':.*## ' '/^[a-z][a-z-]*:.*## / { printf "  %-19s %s\n", $$1, $$2 }' $(MAKEFILE_LIST)

demo: install ## two peers exchange 4 MiB each way over loopback
	$(VENV_PYTHON) examples/two_peers.py

check: install ## the suite against the normal (gcc) build: the daily loop
	$(VENV_PYTHON) -m pytest -q

test: check test-clang test-asan test-ft test-foreign-quick test-windows test-newer ## check and each leg below not marked "not in test"; what CI runs

test-clang: ## the suite against a clang build, in .venv-clang
	tools/test-clang.sh

test-asan: ## the suite against an ASan and UBSan build, in .venv-asan
	tools/test-asan.sh

test-ft: ## the suite on a free-threaded CPython 3.13 with the GIL off, in .venv-ft
	tools/test-ft.sh

test-tsan: ## the threading tests under ThreadSanitizer (not in test)
	tools/test-tsan.sh

# Each root runs one of Debian's Pythons under qemu (3.13 for each CPU,
# 3.14 and 3.15 for AArch64), against the module cross-built for it.
FOREIGN_ARCHS := arm64 s390x arm64-3.14 arm64-3.15

test-foreign-quick: install ## the tests marked core under qemu on each of FOREIGN_ARCHS
	for arch in $(FOREIGN_ARCHS); do tools/test-foreign.sh $$arch -m core || exit 1; done

test-foreign: install ## the whole suite the same way (not in test)
	for arch in $(FOREIGN_ARCHS); do tools/test-foreign.sh $$arch || exit 1; done

test-windows: install ## the suite in python.org's CPython 3.13 for Windows under wine, on the wheel MSVC builds through pip
	BUILD_PYTHON=$(VENV_PYTHON) tools/test-windows.sh

test-newer: install ## the suite on CPython 3.14, 3.15 and 3.14's debug build, in a Debian chroot (needs root)
	VENV_PYTHON=$(VENV_PYTHON) tools/test-newer.sh

test-coverage: ## line and branch coverage of modules/security, in .venv-coverage (not in test)
	tools/coverage.sh

test-fuzz: install ## 200,000 hostile inputs per fuzz test, a line per round (not in test)
	CPROTECTION_FUZZ_EXAMPLES=200000 $(VENV_PYTHON) -m pytest -v tests/test_fuzz.py

bench: install ## print the benchmark tables; write them with a chart under build/bench
	$(VENV_PYTHON) -m pip install --quiet matplotlib
	$(VENV_PYTHON) bench/bench.py

bench-update: install ## the same, rewriting the committed bench/results.md and chart
	$(VENV_PYTHON) -m pip install --quiet matplotlib
	$(VENV_PYTHON) bench/bench.py --output bench

# The x86-64 wheels for CPython 3.14 and 3.15 are built and smoke-tested in
# the chroot of test-newer, the AArch64 ones (3.13, 3.14, 3.15) under qemu,
# the win_amd64 one, built by MSVC through pip, under wine.
wheel: install ## a fresh dist/ with the sdist and every wheel, repaired and tried out
	rm -rf dist
	BUILD_PYTHON=$(VENV_PYTHON) tools/build-wheel.sh dist
	tools/build-wheel-ft.sh dist
	for root in arm64 arm64-3.14 arm64-3.15; do \
		BUILD_PYTHON=$(VENV_PYTHON) tools/build-foreign-wheel.sh $$root dist && \
		BUILD_PYTHON=$(VENV_PYTHON) tools/smoke-foreign-wheel.sh $$root dist || exit 1; \
	done
	tools/build-wheel-newer.sh dist
	BUILD_PYTHON=$(VENV_PYTHON) tools/build-windows-wheel.sh dist
	BUILD_PYTHON=$(VENV_PYTHON) tools/smoke-windows-wheel.sh dist

clean: ## remove build/, dist/, every .venv* and the test caches
	rm -rf build dist .venv .venv-asan .venv-clang .venv-coverage .venv-ft .venv-tsan .hypothesis .pytest_cache
	find examples tests bench tools -name __pycache__ -prune -exec rm -rf {} +

# Two entry points: `make test` and `make demo`. Each creates .venv and installs what it needs.
PYTHON ?= python3
VENV := .venv
BIN := $(VENV)/bin
BUILD_FLAGS := --no-build-isolation
# The suite and the soak fail when nanobind reports an instance leaked at exit (tools/check_leaks.py). The
# build itself never aborts at exit: a user's program may end while its daemon threads still hold a client.
CHECK_LEAKS := tools/check_leaks.py

.PHONY: install test demo bench bench-smoke format clean test-asan soak

$(BIN)/python:
	$(PYTHON) -m venv $(VENV)
	$(BIN)/pip install -q --upgrade pip

# Build requirements live in the venv so rebuilds reuse build/ incrementally.
$(VENV)/.build-deps: $(BIN)/python pyproject.toml
	$(BIN)/pip install -q "scikit-build-core>=0.10" "nanobind>=2.9,<4" ninja cmake "requests>=2.25" "urllib3>=2"
	touch $@

install: $(VENV)/.build-deps
	$(BIN)/pip install -q $(BUILD_FLAGS) ".[test,simulator,cli]"

test: install
	$(BIN)/python $(CHECK_LEAKS) -m pytest -q

demo: install
	$(BIN)/python examples/tour.py

# Measures the client against bare requests and a plain Python rendering, and writes docs/benchmarks.md.
bench: install
	$(BIN)/python benchmarks/bench.py --output docs/benchmarks.md

# Every benchmark section once with tiny sizes: checks that it runs, not the timings.
bench-smoke: install
	$(BIN)/python benchmarks/bench.py --quick --output /dev/null

format:
	$(BIN)/pip install -q clang-format
	$(BIN)/clang-format -i src/velm_api/*.cpp src/velm_api/*.hpp src/velm_api/operations/*

# The whole suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer, in its own venv and
# build dir so the normal build is left alone. The interpreter is not instrumented, so the ASan runtime is
# preloaded, with libstdc++ beside it: the interpreter does not link it, and ASan can only intercept C++ throws
# (__cxa_throw) when it is there from the start. PYTHONMALLOC=malloc lets ASan see the objects we allocate and
# free through Python. The interpreter's own allocations at exit are not ours to judge (detect_leaks=0);
# nanobind's leak check covers our instances. Reports go to files, so one printed by a child process (the
# examples) cannot go unnoticed.
ASAN_VENV := .venv-asan
ASAN_REPORTS := build/asan/reports
ASAN_FLAGS := --no-build-isolation -Cbuild-dir=build/asan -Ccmake.build-type=RelWithDebInfo \
	-Ccmake.define.VELM_SANITIZE=ON
ASAN_ENV := LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
	PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:halt_on_error=1:log_path=$(CURDIR)/$(ASAN_REPORTS)/asan \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(CURDIR)/$(ASAN_REPORTS)/ubsan

$(ASAN_VENV)/.build-deps: pyproject.toml
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/pip install -q --upgrade pip
	$(ASAN_VENV)/bin/pip install -q "scikit-build-core>=0.10" "nanobind>=3.1,<4" ninja cmake "requests>=2.25" "urllib3>=2"
	touch $@

test-asan: $(ASAN_VENV)/.build-deps
	$(ASAN_VENV)/bin/pip install -q $(ASAN_FLAGS) ".[test,simulator]"
	rm -rf $(ASAN_REPORTS) && mkdir -p $(ASAN_REPORTS)
	$(ASAN_ENV) $(ASAN_VENV)/bin/python $(CHECK_LEAKS) -m pytest -q -p no:cacheprovider
	@if [ -n "$$(ls -A $(ASAN_REPORTS))" ]; then cat $(ASAN_REPORTS)/*; echo "sanitizer reports above"; exit 1; fi
	@echo "no sanitizer reports"

# 100,000 mixed operations and 1,000 waits against an in-process simulator; prints the figures and fails on growth
# of resident memory or of any object type, or on an instance nanobind finds leaked at exit.
soak: install
	$(BIN)/python $(CHECK_LEAKS) tools/soak.py

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV)

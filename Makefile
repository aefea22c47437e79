# Two entry points: `make test` and `make demo`. Each creates .venv and installs what it needs.
PYTHON ?= python3
VENV := .venv
BIN := $(VENV)/bin
# Tests and the tour run with nanobind's leak check fatal: a leaked instance fails the run.
BUILD_FLAGS := --no-build-isolation -Ccmake.define.VELM_ABORT_ON_LEAK=ON

.PHONY: install test demo bench bench-smoke format clean

$(BIN)/python:
	$(PYTHON) -m venv $(VENV)
	$(BIN)/pip install -q --upgrade pip

# Build requirements live in the venv so rebuilds reuse build/ incrementally.
$(VENV)/.build-deps: $(BIN)/python pyproject.toml
	$(BIN)/pip install -q "scikit-build-core>=0.10" "nanobind>=3.1,<4" ninja cmake
	touch $@

install: $(VENV)/.build-deps
	$(BIN)/pip install -q $(BUILD_FLAGS) ".[test,simulator]"

test: install
	$(BIN)/python -m pytest -q

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

clean:
	rm -rf build dist $(VENV)

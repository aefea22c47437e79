# Two entry points: `make test` and `make demo`. Each creates .venv and installs what it needs.
# PYTHON, VENV and BUILD_DIR can be set on the command line: `make test-matrix` runs `make test` with each
# interpreter in its own venv and build dir.
PYTHON ?= python3
VENV ?= .venv
BIN := $(VENV)/bin
# Empty: pyproject.toml's build/{wheel_tag}.
BUILD_DIR ?=
# Warnings in our sources fail the repository's builds (VELM_WERROR; a user's build from the sdist only warns).
BUILD_FLAGS := $(strip --no-build-isolation -Ccmake.define.VELM_WERROR=ON $(if $(BUILD_DIR),-Cbuild-dir=$(BUILD_DIR)))
# The suite and the soak fail when nanobind reports an instance leaked at exit (tools/check_leaks.py). The
# build itself never aborts at exit: a user's program may end while its daemon threads still hold a client.
CHECK_LEAKS := tools/check_leaks.py

# The build requirements (nanobind's version range among them) are written once, in pyproject.toml, where pip's
# isolated builds read them; the venvs here build without isolation and install the same ones.
BUILD_REQUIRES := $(shell sed -n 's/^requires = \[\(.*\)\]$$/\1/p' pyproject.toml | sed 's/", "/" "/g')
ifeq ($(findstring "nanobind,$(BUILD_REQUIRES)),)
$(error no nanobind requirement found in the [build-system] requires of pyproject.toml)
endif

# Which of CPython 3.9 to 3.13 the matrix and wheel targets use; empty: all the machine has.
VERSIONS ?=
PICK_VERSIONS := $(if $(VERSIONS),--versions "$(VERSIONS)")
# The machines the wheel targets build for and check on: x86-64 natively, aarch64 cross-compiled and run under
# qemu-user.
MACHINES ?= x86_64 aarch64
PICK_MACHINES := --machines "$(MACHINES)"

PY_PATHS := src tests benchmarks examples tools
CXX_SOURCES := $(wildcard src/velm_api/*.cpp src/velm_api/*.hpp src/velm_api/operations/*)

.PHONY: install build-deps test demo bench bench-smoke format lint clean test-asan soak test-matrix wheel wheel-audit wheel-check \
	sdist sdist-check ci-deps docs

$(BIN)/python:
	$(PYTHON) -m venv $(VENV)
	$(BIN)/pip install -q --upgrade pip

# Build requirements live in the venv so rebuilds reuse the build dir incrementally.
$(VENV)/.build-deps: $(BIN)/python pyproject.toml
	$(BIN)/pip install -q $(BUILD_REQUIRES) ninja cmake
	touch $@

build-deps: $(VENV)/.build-deps

install: $(VENV)/.build-deps
	$(BIN)/pip install -q $(BUILD_FLAGS) ".[test,simulator,cli]"

# Two workers (pytest-xdist), one per core of a CI machine: most of the suite waits on sockets and timers. A
# worker's leak report reaches standard error as a single run's does.
test: install
	$(BIN)/python $(CHECK_LEAKS) -m pytest -q -n 2

demo: install
	$(BIN)/python examples/tour.py

# Measures the client against bare requests and a plain Python rendering, and writes docs/benchmarks.md.
bench: install
	$(BIN)/python benchmarks/bench.py --output docs/benchmarks.md

# Every benchmark section once with tiny sizes: checks that it runs, not the timings.
bench-smoke: install
	$(BIN)/python benchmarks/bench.py --quick --output /dev/null

# Lint and wheel tools come from pyproject.toml's dependency groups, without building the package.
$(VENV)/.lint-deps: $(BIN)/python pyproject.toml
	$(BIN)/pip install -q --group lint
	touch $@

$(VENV)/.wheel-deps: $(BIN)/python pyproject.toml
	$(BIN)/pip install -q --group wheel
	touch $@

$(VENV)/.docs-deps: $(BIN)/python pyproject.toml
	$(BIN)/pip install -q --group docs
	touch $@

format: $(VENV)/.lint-deps
	$(BIN)/clang-format -i $(CXX_SOURCES)
	$(BIN)/ruff format $(PY_PATHS)

# Every check runs, so that one pass shows all there is to fix; the target fails if any did. tools/check_paths.py
# refuses a path of one machine (a home, a worktree, a scratch folder) in any tracked file. mypy names the
# modules from src/ (quenlo is a namespace package), so the checkout is checked, whatever is installed. Both
# mypy and pyright check TYPED_USES, the README's uses of the typed attributes, against the checkout's stub.
TYPED_USES := tests/typecheck/readme_uses.py
lint: $(VENV)/.lint-deps
	@failed=""; \
	$(BIN)/ruff check $(PY_PATHS) || failed="$$failed ruff-check"; \
	$(BIN)/ruff format --check $(PY_PATHS) || failed="$$failed ruff-format"; \
	$(BIN)/clang-format --dry-run --Werror $(CXX_SOURCES) || failed="$$failed clang-format"; \
	MYPYPATH=src $(BIN)/mypy --strict --explicit-package-bases src/quenlo/sdk $(TYPED_USES) || failed="$$failed mypy"; \
	$(BIN)/basedpyright --pythonpath $(BIN)/python -p $(dir $(TYPED_USES))pyrightconfig.json || failed="$$failed pyright"; \
	$(BIN)/python tools/check_paths.py || failed="$$failed paths"; \
	if [ -n "$$failed" ]; then echo "lint failed:$$failed"; exit 1; fi; echo "lint passed"

# The suite on every CPython from 3.9 to 3.13 the machine has (pyenv's, else python3.X on PATH), each in its own
# venv (.venv-3.X) and build dir (build/py3.X); the one PYTHON is reuses .venv and make test's build dir.
# VERSIONS="3.9 3.12" limits it (and make wheel and make wheel-check) to those.
test-matrix:
	$(PYTHON) tools/pythons.py test --make "$(MAKE)" $(PICK_VERSIONS)

# Wheels into dist/ for each of MACHINES, compiled with Zig's C++ toolchain for glibc 2.17 and tagged
# manylinux_2_17 (manylinux2014) by auditwheel: per version for 3.9 to 3.11, and for 3.12 and newer one abi3 wheel
# when the module is built for the stable ABI (one per version otherwise). The aarch64 modules are compiled
# against the headers of Debian's arm64 CPython packages where Debian has the version (tools/aarch64.py), else
# against this machine's with their sizes checked for aarch64. make test builds keep the system compiler.
wheel: $(VENV)/.wheel-deps
	$(PYTHON) tools/pythons.py wheel --make "$(MAKE)" --auditwheel $(BIN)/auditwheel --zig $(BIN)/python \
		$(PICK_VERSIONS) $(PICK_MACHINES)

# Fails unless every wheel in dist/ installs on glibc 2.17 of the machine it is tagged for: its tag, auditwheel
# show, the newest GLIBC_ symbol version its modules need (readelf -V), and the machine their ELF header names.
wheel-audit: $(VENV)/.wheel-deps
	$(PYTHON) tools/pythons.py audit --auditwheel $(BIN)/auditwheel $(PICK_VERSIONS) $(PICK_MACHINES)

# Each interpreter gets a fresh venv, its wheel from dist/ installed with --only-binary :all:, and runs the tour;
# the aarch64 wheels go to Debian's arm64 CPython run under qemu-user (3.9, 3.11 and 3.13), which also runs a
# smoke of the suite. Needs qemu-user-static (make ci-deps installs it).
# EMULATE="3.9 3.11" limits the versions run under emulation (the others are built and audited only).
wheel-check:
	$(PYTHON) tools/pythons.py wheel-check $(PICK_VERSIONS) $(PICK_MACHINES) $(if $(EMULATE),--emulate "$(EMULATE)")

# The source distribution into dist/: what pip builds on a platform without a wheel. It holds the checkout's
# files less .ci and what .gitignore keeps out (build outputs), so a file git does not track goes in as well:
# build it from a clean checkout. tests/test_packaging.py checks its list of files.
sdist: $(VENV)/.wheel-deps $(VENV)/.build-deps
	rm -f dist/*.tar.gz
	$(BIN)/python -m build --sdist --no-isolation --outdir dist .

# The sdist built by pip in a fresh venv, as a user without a wheel gets it (an isolated build, its requirements
# from the index), once with gcc and libstdc++ and once with clang and libc++; the tour runs against each. A third
# build, with no compiler on PATH, must stop at the one line that asks for one.
sdist-check: sdist
	$(PYTHON) tools/pythons.py sdist-check

# What the wheel and sdist checks need of the machine, from Debian: qemu-user to run aarch64 CPython, clang with
# libc++, and binutils' readelf. The arm64 CPython packages are fetched by tools/aarch64.py as they are needed.
ci-deps:
	apt-get update -qq
	DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends qemu-user-static clang \
		libc++-dev libc++abi-dev binutils

# The reference site into build/site (mkdocs.yml; tools/docs_hooks.py writes the README, operations and command
# line pages). Warnings fail it. The command line's page is its help, so the package is installed first.
docs: install $(VENV)/.docs-deps
	NO_MKDOCS_2_WARNING=1 $(BIN)/mkdocs build --strict

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
	-Ccmake.define.VELM_SANITIZE=ON -Ccmake.define.VELM_WERROR=ON
ASAN_ENV := LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
	PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:halt_on_error=1:log_path=$(CURDIR)/$(ASAN_REPORTS)/asan \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(CURDIR)/$(ASAN_REPORTS)/ubsan

$(ASAN_VENV)/.build-deps: pyproject.toml
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/pip install -q --upgrade pip
	$(ASAN_VENV)/bin/pip install -q $(BUILD_REQUIRES) ninja cmake
	touch $@

test-asan: $(ASAN_VENV)/.build-deps
	$(ASAN_VENV)/bin/pip install -q $(ASAN_FLAGS) ".[test,simulator,cli]"
	rm -rf $(ASAN_REPORTS) && mkdir -p $(ASAN_REPORTS)
	$(ASAN_ENV) $(ASAN_VENV)/bin/python $(CHECK_LEAKS) -m pytest -q -p no:cacheprovider
	@if [ -n "$$(ls -A $(ASAN_REPORTS))" ]; then cat $(ASAN_REPORTS)/*; echo "sanitizer reports above"; exit 1; fi
	@echo "no sanitizer reports"

# 100,000 mixed operations and 1,000 waits against an in-process simulator; prints the figures and fails on growth
# of resident memory or of any object type, or on an instance nanobind finds leaked at exit.
soak: install
	$(BIN)/python $(CHECK_LEAKS) tools/soak.py

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV) .venv-3.*

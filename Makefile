# Front door: each target installs what is missing, then drives CMake. The build lives in build/
# for the default Python 3.12 and in build-py3.X for another one given as PYTHON=/path/to/python3.X.
BUILD_TYPE ?= Release
PYTHON     ?= $(shell tools/find-python)
PY_VERSION  = $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)
PY_SUFFIX   = $(if $(filter-out 3.12,$(PY_VERSION)),-py$(PY_VERSION))
BUILD      ?= build$(PY_SUFFIX)

SANITIZE_BUILD ?= build-sanitize$(PY_SUFFIX)
FUZZ_BUILD     ?= build-fuzz
FUZZ_SECONDS   ?= 600

WINDOWS_BUILD  ?= build-windows

DEMO_BUILD     ?= build-demo$(PY_SUFFIX)

# The project's Python tools live in one venv made with Python 3.12 (tools/find-python), filled
# from the package index with what a target needs: requirements-build.txt (pybind11,
# scikit-build-core, cmake, ninja) for building and running the module, requirements-test.txt
# (build, the type checkers) for the tests, requirements-wheels.txt (zig, auditwheel) for
# `make wheels`. They come first on PATH in every recipe.
VENV        ?= .venv
VENV_PYTHON  = $(VENV)/bin/python
export PATH := $(abspath $(VENV))/bin:$(PATH)
# pybind11's CMake package from the venv: its CMake files serve every Python version. Read from
# the environment by tools/test-pythons and tools/mutants.
PYBIND11_DIR = $$($(VENV_PYTHON) -m pybind11 --cmakedir)

.PHONY: all deps venv venv-build venv-wheels configure install test test-pythons test-windows bench-windows sanitize fuzz fuzz-smoke fuzz-build mutants demo wheels bench costs clean

all: configure
	cmake --build $(BUILD)

deps: venv
	@tools/install-deps

venv: $(VENV)/installed-test
venv-build: $(VENV)/installed-build
venv-wheels: $(VENV)/installed-wheels

$(VENV)/installed-%: requirements-%.txt requirements-build.txt
	@test -x $(VENV_PYTHON) || { py=$$(tools/find-python) && $$py -m venv $(VENV); }
	$(VENV_PYTHON) -m pip install --quiet --disable-pip-version-check -r $<
	@touch $@

configure: deps
	@test -n "$(PYTHON)" || tools/find-python
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DPython_EXECUTABLE=$(PYTHON) \
	      -Dpybind11_DIR=$(PYBIND11_DIR)

# Into PYTHON's site-packages, through pip, so that `pip uninstall veltrani_core` removes it.
install:
	$(PYTHON) -m pip install .

test: all
	ctest --test-dir $(BUILD) --output-on-failure

# The Python tests under every CPython from 3.10 on this machine, each built into build-py3.X.
test-pythons: deps
	pybind11_DIR=$(PYBIND11_DIR) tools/test-pythons

# The file object and its C++ tests cross-built for 64-bit Windows (MinGW-w64, with GoogleTest
# built by the same compiler), and the module for each official Windows CPython 3.10 to 3.13
# (fetched once into WINDOWS_BUILD/pythons), all run under wine, headless, with the wine prefix in
# WINDOWS_BUILD: the C++ suite, then the Python tests with each interpreter (tools/test-windows).
test-windows: venv
	@tools/install-windows-deps
	tools/fetch-windows-pythons $(WINDOWS_BUILD)/pythons
	cmake -S . -B $(WINDOWS_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DVELTRANI_MODULE=OFF -DVELTRANI_GTEST_SOURCE=/usr/src/googletest \
	      -DVELTRANI_WINDOWS_PYTHONS=$(abspath $(WINDOWS_BUILD))/pythons -Dpybind11_DIR=$(PYBIND11_DIR)
	cmake --build $(WINDOWS_BUILD) -j2
	tools/test-windows $(WINDOWS_BUILD)

# bench/bench.py under wine with the Windows CPython WINDOWS_BENCH (cp312 by default) and the
# module built for it by make test-windows.
WINDOWS_BENCH ?= cp312
bench-windows:
	test -f $(WINDOWS_BUILD)/$(WINDOWS_BENCH)/_veltrani_core.pyd || { echo "run make test-windows first" >&2; exit 1; }
	# Python under wine dies at start-up when its output is a regular file: through a pipe.
	PYTHONPATH=$(abspath $(WINDOWS_BUILD))/$(WINDOWS_BENCH) bash -o pipefail -c 'tools/wine-run $(abspath $(WINDOWS_BUILD))/wineprefix \
	    $(WINDOWS_BUILD)/pythons/$(WINDOWS_BENCH)/python.exe bench/bench.py $(BENCH_ARGS) </dev/null 2>&1 | cat'

# Every test again, built with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake -S . -B $(SANITIZE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRANI_SANITIZE=ON -DPython_EXECUTABLE=$(PYTHON) \
	      -Dpybind11_DIR=$(PYBIND11_DIR)
	cmake --build $(SANITIZE_BUILD)
	ctest --test-dir $(SANITIZE_BUILD) --output-on-failure

fuzz-build: deps
	cmake -S fuzz -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(FUZZ_BUILD)

# A short bounded run of each fuzzer (CI); `make fuzz` runs each for FUZZ_SECONDS.
fuzz-smoke: fuzz-build
	fuzz/run $(FUZZ_BUILD) 20

fuzz: fuzz-build
	fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Each fault listed in tools/mutants, planted in turn into a copy in build-mutants/, must make a
# fast test fail.
mutants: deps
	pybind11_DIR=$(PYBIND11_DIR) tools/mutants $(if $(PYTHON),--python $(PYTHON))

# Only what the module needs, for a fresh machine with a Python and a C++ compiler: no Debian
# packages, no test tools, and no C++ tests (GoogleTest) in its own build folder.
demo: venv-build
	@test -n "$(PYTHON)" || tools/find-python
	cmake -S . -B $(DEMO_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(PYTHON) \
	      -Dpybind11_DIR=$(PYBIND11_DIR) -DVELTRANI_TESTS=OFF -DVELTRANI_WERROR=OFF
	cmake --build $(DEMO_BUILD)
	PYTHONPATH=$(DEMO_BUILD) $(PYTHON) examples/demo.py

# A manylinux2014 wheel for each CPython >= 3.10 on this machine into wheelhouse/, each tested in a
# fresh venv of its Python, and a win_amd64 wheel for each Windows CPython 3.10 to 3.13 (the ones
# make test-windows fetches), each installed with pip and tested under wine (tools/build-wheels).
wheels: venv-wheels
	@tools/install-windows-deps
	WINDOWS_PYTHONS=$(abspath $(WINDOWS_BUILD))/pythons tools/build-wheels

bench: all
	PYTHONPATH=$(BUILD) $(PYTHON) bench/bench.py

# Counted costs against open(): system calls and bytes read per operation, memory per object.
costs: all
	PYTHONPATH=$(BUILD) $(PYTHON) bench/costs.py

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(FUZZ_BUILD) $(WINDOWS_BUILD) $(DEMO_BUILD) build-mutants build-wheels wheelhouse

# Front door: each target installs what is missing, then drives CMake. The build lives in build/.
BUILD      ?= build
BUILD_TYPE ?= Release
PYTHON     ?= $(shell tools/find-python)

.PHONY: all deps configure test demo bench clean

all: configure
	cmake --build $(BUILD)

deps:
	@tools/install-deps

configure: deps
	@test -n "$(PYTHON)" || tools/find-python
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DPython_EXECUTABLE=$(PYTHON)

test: all
	ctest --test-dir $(BUILD) --output-on-failure

demo: all
	PYTHONPATH=$(BUILD) $(PYTHON) examples/demo.py

bench: all
	PYTHONPATH=$(BUILD) $(PYTHON) bench/bench.py

clean:
	rm -rf $(BUILD)

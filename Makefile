# The two commands: `make demo` and `make test`. Each sets itself up on a fresh machine.
PYTHON := .venv/bin/python
BUILD_DIR := build/main
# Everything the compiled build reads; the build reruns only when one of these changes.
BUILD_INPUTS := CMakeLists.txt pyproject.toml scripts/requirements.txt \
	$(shell find cmake common signal_core modules host tools tests/CMakeLists.txt tests/cpp tests/support \
		-type f -not -name '*.pyc' 2>/dev/null) \
	$(wildcard bench/CMakeLists.txt bench/*.cpp)

.PHONY: all bootstrap build demo test test-cpp test-python format clean

all: build

bootstrap:
	@scripts/bootstrap

$(BUILD_DIR)/.installed: $(BUILD_INPUTS) | bootstrap
	$(PYTHON) -m pip install --quiet --no-build-isolation --no-deps \
		--config-settings=build-dir=$(BUILD_DIR) \
		--config-settings=cmake.define.TARNWELL_BUILD_TESTS=ON .
	@touch $@

build: bootstrap $(BUILD_DIR)/.installed

demo: build
	$(PYTHON) examples/window_demo.py

test: test-cpp test-python

test-cpp: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure --no-tests=error

test-python: build
	TARNWELL_BUILD_DIR=$(BUILD_DIR) $(PYTHON) -m pytest

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build

# The two commands: `make demo` and `make test`. Each sets itself up on a fresh machine.
PYTHON := .venv/bin/python
BUILD_DIR := build/main
# Everything the compiled build reads; the build reruns only when one of these changes.
BUILD_INPUTS := CMakeLists.txt pyproject.toml scripts/requirements.txt \
	$(shell find cmake common signal_core modules host tools tests/CMakeLists.txt tests/cpp tests/support \
		-type f -not -name '*.pyc' 2>/dev/null) \
	$(wildcard bench/CMakeLists.txt bench/*.cpp bench/floors/*.cpp)

ASAN_DIR := build/asan
# libstdc++ is preloaded too: the interpreter does not link it, and ASan must find its
# __cxa_throw at start-up to intercept C++ exceptions.
ASAN_PRELOAD = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libstdc++.so)

.PHONY: all bootstrap build demo test test-cpp test-python test-asan bench format clean

all: build

bootstrap:
	@scripts/bootstrap

$(BUILD_DIR)/.installed: $(BUILD_INPUTS) | bootstrap
	$(PYTHON) -m pip install --quiet --no-build-isolation --no-deps \
		--config-settings=build-dir=$(BUILD_DIR) \
		--config-settings=cmake.define.TARNWELL_BUILD_TESTS=ON .
	@touch $@

build: bootstrap $(BUILD_DIR)/.installed

# make demo N=300 RATE=20: more readings, faster.
N ?= 120
RATE ?= 10
demo: build
	$(PYTHON) examples/ph_pipeline.py --readings $(N) --rate $(RATE) --out out

test: test-cpp test-python

# Every op beside its Python peer and its floor: a table, JSON and a plot under out/bench.
bench: build
	$(PYTHON) bench/run.py --out out/bench

test-cpp: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure --no-tests=error

test-python: build
	TARNWELL_BUILD_DIR=$(BUILD_DIR) $(PYTHON) -m pytest

# The same suites against a build with AddressSanitizer and UndefinedBehaviorSanitizer. The
# modules go into a folder of their own that shadows the normal install; the interpreter needs
# the ASan runtime preloaded.
$(ASAN_DIR)/.installed: $(BUILD_INPUTS) | bootstrap
	$(PYTHON) -m pip install --quiet --no-build-isolation --no-deps --upgrade \
		--target $(ASAN_DIR)/site \
		--config-settings=build-dir=$(ASAN_DIR) \
		--config-settings=cmake.build-type=RelWithDebInfo \
		--config-settings=cmake.define.TARNWELL_BUILD_TESTS=ON \
		--config-settings=cmake.define.TARNWELL_SANITIZE=ON .
	@touch $@

# Leaks are logged, not fatal, in the Python run: check_leaks.py then fails on those our code
# allocated (the interpreter keeps objects alive until exit on purpose). The interpreter's library
# keeps no frame pointers, so only the slow unwinder finds our frame under a Python object that
# our code leaked (malloc <- PyFloat_FromDouble <- our op); our frames sit within a few frames of
# malloc, and a shorter stack halves the cost of unwinding every allocation.
test-asan: bootstrap $(ASAN_DIR)/.installed
	ASAN_OPTIONS=detect_leaks=1 ctest --test-dir $(ASAN_DIR) --output-on-failure --no-tests=error
	rm -rf $(ASAN_DIR)/logs && mkdir -p $(ASAN_DIR)/logs
	LD_PRELOAD="$(ASAN_PRELOAD)" PYTHONMALLOC=malloc \
		ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=16:log_path=$(CURDIR)/$(ASAN_DIR)/logs/asan \
		LSAN_OPTIONS=exitcode=0 UBSAN_OPTIONS=print_stacktrace=1 \
		PYTHONPATH=$(ASAN_DIR)/site TARNWELL_BUILD_DIR=$(ASAN_DIR) $(PYTHON) -m pytest -p no:cacheprovider
	$(PYTHON) tests/sanitizer/check_leaks.py $(ASAN_DIR)/logs

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build

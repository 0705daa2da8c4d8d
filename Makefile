# The README's commands.  Every target sets up what it needs from scratch:
# a Python 3.12 virtual environment with the pinned dependencies, then the
# package built from this tree.

VENV       := .venv
PY         := $(VENV)/bin/python
STAMP      := $(VENV)/.installed
PYTEST_ARGS ?=

.PHONY: demo test bench sanitize fuzz build lint format accuracy clean

demo: build
	$(PY) examples/rotated_boxes_pipeline.py

test: build
	$(PY) -m pytest $(PYTEST_ARGS)

bench: build
	$(PY) benchmarks/run.py

# The largest error in ulp of the vector cos, sin and atan2 on this machine,
# every variant it can run, against the long double functions.  Without
# glibc's libmvec, the scalar functions alone.
ACCURACY_ARGUMENTS ?= 10000000
accuracy:
	mkdir -p build
	$(CXX) -std=c++20 -O2 -ffp-contract=off -Wall -Wextra -Isrc -DHALVEX_HAS_LIBMVEC \
	    tools/vector_math_accuracy.cpp -o build/vector_math_accuracy -lmvec -lm \
	|| $(CXX) -std=c++20 -O2 -ffp-contract=off -Wall -Wextra -Isrc \
	    tools/vector_math_accuracy.cpp -o build/vector_math_accuracy -lm
	build/vector_math_accuracy $(ACCURACY_ARGUMENTS)

# The hostile-input, leak and thread suites at full length.
FUZZ_EXAMPLES ?= 1000
LEAK_CALLS    ?= 100000
fuzz: build
	HALVEX_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) HALVEX_LEAK_CALLS=$(LEAK_CALLS) HALVEX_THREAD_SECONDS=10 \
	    $(PY) -m pytest -q tests/test_hostile.py tests/test_leaks.py tests/test_threads.py $(PYTEST_ARGS)

$(STAMP): constraints.txt requirements.txt requirements-dev.txt
	test -x $(PY) || "$$(tools/find-python312)" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet -c constraints.txt -r requirements-dev.txt
	touch $@

# WERROR=ON turns compiler warnings into errors, as CI builds.
WERROR ?= OFF
build: $(STAMP)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps -C cmake.define.HALVEX_WERROR=$(WERROR) .

# The C++ sources in the checked-in clang-format style, the Python ones
# through ruff.  `make format` rewrites the C++ sources in that style.
CXX_SOURCES = $(shell find src -name '*.cpp' -o -name '*.hpp')
lint: $(STAMP)
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)
	$(VENV)/bin/ruff check .

format: $(STAMP)
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)

# ASan + UBSan build of the extension modules, staged beside the pure-Python
# files and run with the test suite.  The interpreter itself is not
# instrumented, so the sanitizer runtimes are preloaded and leak detection is
# left to the reference-leak tests.  An impossible allocation (numpy asked for
# 2**62 elements by a hostile shape) returns NULL as glibc's malloc does, so
# numpy raises its MemoryError instead of ASan stopping the run.
SAN_BUILD := build/sanitize
SAN_STAGE := build/sanitize-stage
sanitize: $(STAMP)
	$(VENV)/bin/cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVEX_SANITIZE=ON -DHALVEX_WERROR=$(WERROR) \
	    -DPython_EXECUTABLE=$(abspath $(PY))
	$(VENV)/bin/cmake --build $(SAN_BUILD)
	rm -rf $(SAN_STAGE)
	$(VENV)/bin/cmake --install $(SAN_BUILD) --prefix $(SAN_STAGE)
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONPATH=$(SAN_STAGE) HALVEX_EXPECT_PATH=$(SAN_STAGE) \
	    $(PY) -m pytest -p no:cacheprovider $(PYTEST_ARGS)

clean:
	rm -rf build $(VENV)

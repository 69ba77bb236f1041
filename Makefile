# The README's commands: set-up, build, examples, tests, sanitizers and benchmarks.
PYTHON ?= python3
BUILD ?= build
JOBS ?= $(shell nproc)
CXX_FOR_ASAN ?= g++
CMAKE_FLAGS ?=
# The interpreters the module is built and tested for: the oldest and the newest supported one present
# (`make test`), or all of them (`make test-all`); see scripts/pythons.sh.
PYTHONS ?= $(shell bash scripts/pythons.sh ends)
PYTHONS_ALL = $(shell bash scripts/pythons.sh)
empty :=
space := $(empty) $(empty)
# The Python tests on each interpreter of $(PYTHONS), each against its build of the module; $(1) is the
# build directory.
define run_python_tests
	@main=$$($(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
	for py in $(PYTHONS); do \
	  v=$$($$py -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
	  dir=$(1)/python-$$v; [ "$$v" = "$$main" ] && dir=$(1)/python; \
	  echo "== Python $$v"; PYTHONPATH=$$dir $$py -m pytest -q tests/python || exit 1; \
	done
endef

.PHONY: setup build run test test-all test-cpp test-python wheel sanitize sanitize-python bench fuzz format clean

setup:
	@bash scripts/setup.sh

build: setup
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$$(command -v $(PYTHON)) \
	  -DZARNU_EXTRA_PYTHONS="$(subst $(space),;,$(strip $(PYTHONS)))" $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@echo "== examples/values.cpp"; $(BUILD)/example_values
	@for f in examples/*.py; do echo "== $$f"; PYTHONPATH=$(BUILD)/python $(PYTHON) $$f || exit 1; done

test-cpp: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600 | tail -n 3

test-python: build
	$(call run_python_tests,$(BUILD))

test: test-cpp test-python wheel

test-all:
	@$(MAKE) --no-print-directory test PYTHONS="$(PYTHONS_ALL)"

# A wheel from the package's own build (scikit-build-core), checked against the manylinux policies and
# tagged for the one it meets (it needs no library grafted in: retagging is all a repair would do), then
# installed into a fresh virtual environment where the Python tests run against the installed package.
WHEEL_DIR = build-wheel
wheel: setup
	@rm -rf $(WHEEL_DIR)/raw $(WHEEL_DIR)/dist $(WHEEL_DIR)/venv
	@CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PYTHON) -m pip wheel -q --no-deps --no-build-isolation \
	  --config-settings=build-dir=$(WHEEL_DIR)/cmake -w $(WHEEL_DIR)/raw .
	@$(PYTHON) -m auditwheel show $(WHEEL_DIR)/raw/*.whl 2>/dev/null | tee $(WHEEL_DIR)/auditwheel.txt
	@tag=$$(grep -o -E 'manylinux_[0-9]+_[0-9]+_[a-z0-9_]+' $(WHEEL_DIR)/auditwheel.txt | head -n 1); \
	  [ -n "$$tag" ] || { echo "wheel: no manylinux policy is met"; exit 1; }; \
	  mkdir -p $(WHEEL_DIR)/dist && cp $(WHEEL_DIR)/raw/*.whl $(WHEEL_DIR)/dist/ && \
	  $(PYTHON) -m wheel tags --remove --platform-tag $$tag $(WHEEL_DIR)/dist/*.whl
	@$(PYTHON) -m venv $(WHEEL_DIR)/venv
	@$(WHEEL_DIR)/venv/bin/python -m pip install -q $(WHEEL_DIR)/dist/*.whl pytest mypy
	@cd $(WHEEL_DIR) && venv/bin/python -m pytest -q -p no:cacheprovider $(CURDIR)/tests/python

sanitize: setup
	@cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZARNU_SANITIZE=ON -DZARNU_PYTHON=OFF >/dev/null
	@cmake --build build-sanitize -j $(JOBS)
	@cd build-sanitize && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS) --timeout 1200 | tail -n 3

# The module built with AddressSanitizer and UndefinedBehaviorSanitizer under the Python tests; the
# interpreter is not instrumented, so the sanitizer runtime is preloaded and CPython's own small-object
# allocator is bypassed so that the runtime sees its blocks too. CPython keeps much of its heap until exit:
# leaks are not reported, and the tests that bound the resident set are left out (the sanitizer holds freed
# blocks in quarantine), as are those that run under an address-space limit (its shadow memory needs more)
# and the ones that bound how long another thread waits (every step runs several times slower). The fork
# test is left out too: this runtime keeps no lock of its own safe across a fork (a child forked while
# another thread is inside its allocator waits for good, in the interpreter's own code).
sanitize-python: setup
	@cmake -S . -B build-sanitize-python -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZARNU_SANITIZE=ON -DZARNU_TESTS=OFF \
	  -DPython_EXECUTABLE=$$(command -v $(PYTHON)) -DZARNU_EXTRA_PYTHONS= >/dev/null
	@cmake --build build-sanitize-python -j $(JOBS)
	@PYTHONPATH=build-sanitize-python/python PYTHONMALLOC=malloc LD_PRELOAD="$$($(CXX_FOR_ASAN) -print-file-name=libasan.so) $$($(CXX_FOR_ASAN) -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 $(PYTHON) -m pytest -q -p no:cacheprovider tests/python \
	  --deselect tests/python/test_expression.py::TestMemory::test_flat_over_many_evaluations \
	  --deselect tests/python/test_expression.py::TestMemory::test_small_work_on_any_route_gives_a_peak_back \
	  --deselect tests/python/test_interrupt.py::test_memory_stays_within_what_the_results_need \
	  --deselect tests/python/test_json_document.py::TestDocument::test_a_dead_documents_copy_goes_at_the_next_evaluation \
	  --deselect tests/python/test_lifecycle.py::test_a_fork_while_another_thread_makes_the_process_wide_tables \
	  --deselect tests/python/test_interrupt.py::test_running_out_of_memory_raises_memory_error_on_every_road \
	  --deselect tests/python/test_regex_limits.py::test_a_runaway_backtrack_stack_fails_cleanly_under_a_memory_limit \
	  --deselect tests/python/test_threads.py::test_a_waiting_thread_gets_its_turns_on_every_road \
	  --deselect tests/python/test_threads.py::test_a_waiting_thread_gets_its_turns_while_a_long_input_list_is_read \
	  --deselect tests/python/test_threads.py::test_a_waiting_thread_gets_its_turns_while_long_lists_are_read_and_released

bench: build
	@cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZARNU_BENCH=ON -DZARNU_TESTS=OFF -DZARNU_PYTHON=OFF >/dev/null
	@cmake --build build-bench -j $(JOBS)
	@for b in build-bench/bench_*; do [ -x "$$b" ] && "$$b"; done
	@$(PYTHON) benchmarks/ceiling.py build-bench/bench_eval build-bench/bench_functions build-bench/bench_regex build-bench/bench_audit
	@$(PYTHON) -m pip install -q --disable-pip-version-check jmespath jq
	@PYTHONPATH=$(BUILD)/python $(PYTHON) benchmarks/bench_python.py --json 20
	@PYTHONPATH=$(BUILD)/python $(PYTHON) benchmarks/bench_audit.py
	@PYTHONPATH=$(BUILD)/python $(PYTHON) benchmarks/bench_patterns.py
	@PYTHONPATH=$(BUILD)/python $(PYTHON) benchmarks/bench_scaling.py

# g++ builds the targets (clang before 16 cannot compile libstdc++'s <expected>) against clang's libFuzzer
# runtime; see fuzz/gcc_coverage.cpp.
FUZZ_CXX ?= g++
FUZZ_RUNS ?= 1000000
fuzz: setup
	@CXX=$(FUZZ_CXX) cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZARNU_FUZZ=ON -DZARNU_TESTS=OFF -DZARNU_PYTHON=OFF >/dev/null
	@cmake --build build-fuzz -j $(JOBS)
	@mkdir -p build-fuzz/corpus/json
	@build-fuzz/fuzz_json -runs=$(FUZZ_RUNS) -dict=fuzz/json.dict -artifact_prefix=build-fuzz/ build-fuzz/corpus/json fuzz/corpus/json
	@mkdir -p build-fuzz/corpus/expr
	@build-fuzz/fuzz_expression -runs=$(FUZZ_RUNS) -max_len=512 -timeout=10 -artifact_prefix=build-fuzz/ build-fuzz/corpus/expr fuzz/corpus/expr

format:
	@clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	@rm -rf $(BUILD) build-sanitize build-sanitize-python build-bench build-fuzz $(WHEEL_DIR)

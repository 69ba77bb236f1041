# The README's commands: set-up, build, examples, tests, sanitizers and benchmarks.
PYTHON ?= python3
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: setup build run test test-cpp test-python sanitize bench fuzz format clean

setup:
	@bash scripts/setup.sh

build: setup
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$$(command -v $(PYTHON)) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@echo "== examples/values.cpp"; $(BUILD)/example_values
	@for f in examples/*.py; do echo "== $$f"; PYTHONPATH=$(BUILD)/python $(PYTHON) $$f || exit 1; done

test-cpp: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600 | tail -n 3

test-python: build
	@PYTHONPATH=$(BUILD)/python $(PYTHON) -m pytest -q tests/python

test: test-cpp test-python

sanitize: setup
	@cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZARNU_SANITIZE=ON -DZARNU_PYTHON=OFF >/dev/null
	@cmake --build build-sanitize -j $(JOBS)
	@cd build-sanitize && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS) --timeout 1200 | tail -n 3

bench: build
	@cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZARNU_BENCH=ON -DZARNU_TESTS=OFF -DZARNU_PYTHON=OFF >/dev/null
	@cmake --build build-bench -j $(JOBS)
	@for b in build-bench/bench_*; do [ -x "$$b" ] && "$$b"; done
	@$(PYTHON) -m pip install -q --disable-pip-version-check jmespath jq
	@PYTHONPATH=$(BUILD)/python $(PYTHON) benchmarks/bench_python.py
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
	@rm -rf $(BUILD) build-sanitize build-bench build-fuzz

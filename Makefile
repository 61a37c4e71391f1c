# The two set-up commands: `make demo` and `make test`. Everything builds in
# build/ with CMake; the sanitizer build lives in build-asan/, the fuzzer's in
# build-fuzz/.
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all demo test sanitize bench fuzz deps clean

all: $(BUILD)/.built

demo: all
	$(BUILD)/bin/linecard

test: all
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# Tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DACL_TCAM_SANITIZE=ON -DACL_TCAM_BUILD_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j$(JOBS)

# Builds only what the benchmark needs, so a fresh clone measures within
# minutes; BENCHMARKS.md explains the table.
bench: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS) --target flow_bench
	$(BUILD)/bin/flow_bench $(BENCH_ARGS)

# libFuzzer on the flow operations, with clang, the library and platform under
# AddressSanitizer and UndefinedBehaviorSanitizer. The corpus grows in
# $(FUZZ_BUILD)/corpus, and crash inputs land in $(FUZZ_BUILD).
fuzz:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DACL_TCAM_BUILD_FUZZ=ON -DACL_TCAM_SANITIZE=ON \
		-DACL_TCAM_BUILD_TESTS=OFF -DACL_TCAM_BUILD_BENCH=OFF
	cmake --build $(FUZZ_BUILD) -j$(JOBS)
	@mkdir -p $(FUZZ_BUILD)/corpus
	cd $(FUZZ_BUILD) && bin/fuzz_flow_ops -max_total_time=$(FUZZ_SECONDS) corpus

deps:
	@scripts/build-deps

# Always runs CMake's build: it knows what is stale.
$(BUILD)/.built: deps FORCE
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)
	@touch $@

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)

.PHONY: FORCE
FORCE:

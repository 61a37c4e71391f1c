# The two set-up commands: `make demo` and `make test`. Everything builds in
# build/ with CMake; the sanitizer build lives in build-asan/, the fuzzer's in
# build-fuzz/.
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
S390X_BUILD ?= build-s390x
I386_BUILD ?= build-i386
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all demo test sanitize test-sanitize bench fuzz deps cross-deps test-s390x test-i386 clean

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

# The library, the platform stand-ins and every test cross-built for a target
# and run under qemu-user: s390x is big-endian with 64-bit pointers, i386
# little-endian with 32-bit ones.
test-s390x: cross-deps
	$(call cross_test,s390x,$(S390X_BUILD))

test-i386: cross-deps
	$(call cross_test,i386,$(I386_BUILD))

define cross_test
	cmake -S . -B $(2) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-$(1).cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(2) -j$(JOBS)
	cd $(2) && ctest --output-on-failure -j$(JOBS)
endef

bench: all
	$(BUILD)/bin/flow_bench

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

cross-deps:
	@scripts/build-deps cross

# Always runs CMake's build: it knows what is stale.
$(BUILD)/.built: deps FORCE
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)
	@touch $@

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(S390X_BUILD) $(I386_BUILD)

.PHONY: FORCE
FORCE:

# The two set-up commands: `make demo` and `make test`. Each build variant is
# a preset of CMakePresets.json, its one definition (compiler, options,
# directory); the targets here only name presets. Everything builds in build/
# (preset release); the sanitizer build lives in build-asan/ (asan), the
# fuzzers' in build-fuzz/ (fuzz), the cross builds in build-s390x/ and
# build-i386/. Every preset treats warnings as errors (a plain CMake build
# does not: ACL_TCAM_WERROR defaults to OFF). `make ci-all` runs every check
# that CI runs. CMAKE_FLAGS adds -D options to the release configuration.
# The directories, as the presets name them.
BUILD = build
FUZZ_BUILD = build-fuzz
FUZZ_COV_BUILD = build-fuzz-cov
BUILD_DIRS = $(BUILD) build-package build-asan $(FUZZ_BUILD) $(FUZZ_COV_BUILD) build-s390x build-i386
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 20
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
# Host runs checked under valgrind, one quoted command line each.
LINECARD = $(BUILD)/bin/linecard-sim
VALGRIND_RUNS ?= "$(LINECARD) --drain linecard/scenarios/demo.lcs" \
	"$(LINECARD) --drain linecard/scenarios/nesting.lcs" "$(LINECARD) --drain --random 2000 --seed 1"
FUZZERS = fuzz_stats_msg fuzz_flow_ops fuzz_frame fuzz_jsonrpc fuzz_display fuzz_flow_set fuzz_http_query

.PHONY: all demo demo-scenario test package abi-check test-sanitize sanitize valgrind fuzz fuzz-build fuzz-smoke fuzz-coverage test-s390x \
	test-i386 ci-all bench bench-chassis deps clean

all: $(BUILD)/.built

# The chassis demo: a supervisor, two line cards and an operator session.
demo: all
	scripts/chassis-demo $(BUILD)

# The reference host on its scenario, in one process with the stand-ins.
demo-scenario: all
	$(LINECARD) linecard/scenarios/demo.lcs

test: all
	ctest --preset release -j$(JOBS)

# The Debian packages (cmake/package.cmake), built under /usr in
# build-package/; the .deb files land there. docs/install.md.
package: deps
	cmake --preset package $(CMAKE_FLAGS)
	cmake --build build-package -j$(JOBS)
	cd build-package && cpack
	@ls build-package/*.deb

# The exported dynamic symbols and their version nodes against
# tests/library/abi/exported-symbols.txt (also part of `make test`, natively
# and in every cross build), and a host linked against the unversioned
# library of 1.1.0 and earlier running on this one.
abi-check: all
	ctest --preset abi

# Every test again under AddressSanitizer and UndefinedBehaviorSanitizer,
# the reference host's runs included.
test-sanitize: deps
	$(call preset_test,asan)

sanitize: test-sanitize

# Builds only what the benchmarks need (the library's, then the chassis's
# with the daemons and flowctl), so a fresh clone measures within minutes;
# BENCHMARKS.md explains the tables. BENCH_ARGS go to flow_bench,
# CHASSIS_BENCH_ARGS to chassis_bench; the page's row is bench/page_render.py
# in headless Chromium.
bench: deps
	cmake --preset release $(CMAKE_FLAGS)
	cmake --build --preset bench -j$(JOBS)
	$(BUILD)/bin/flow_bench $(BENCH_ARGS)
	$(BUILD)/bin/chassis_bench $(CHASSIS_BENCH_ARGS)
	/usr/bin/python3 bench/page_render.py $(BUILD)/bin

# The full chassis, 16 cards of 65,535 flows, as an operator meets it (apply
# from one file, show in each format, a supervisor restart, a card's replay):
# minutes, so not part of bench, test or CI; BENCHMARKS.md "The full
# chassis". FULL_CHASSIS_ARGS go to full_chassis_bench.
bench-chassis: deps
	cmake --preset release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS) --target full_chassis_bench
	$(BUILD)/bin/full_chassis_bench $(FULL_CHASSIS_ARGS)

# The host runs under valgrind's memcheck: no error, no lost block, and at
# exit only the counter table and the flow tree with its array
# (scripts/valgrind-runs). Builds only the host.
valgrind: deps
	@scripts/build-deps valgrind
	cmake --preset valgrind $(CMAKE_FLAGS)
	cmake --build --preset valgrind -j$(JOBS)
	scripts/valgrind-runs $(VALGRIND_RUNS)

# libFuzzer with clang, the library and platform under AddressSanitizer and
# UndefinedBehaviorSanitizer. fuzz_stats_msg feeds arbitrary messages to the
# front end, seeded from fuzz/corpus/stats_msg; fuzz_flow_ops drives flow
# operations, traffic and faults. `make fuzz` runs each for FUZZ_SECONDS;
# new inputs land in $(FUZZ_BUILD)/corpus-<fuzzer>, crash inputs in
# $(FUZZ_BUILD).
fuzz: fuzz-build
	$(call run_fuzzers,$(FUZZ_SECONDS))

# CI's bounded run.
fuzz-smoke: fuzz-build
	$(call run_fuzzers,$(FUZZ_SMOKE_SECONDS))

fuzz-build:
	@scripts/build-deps fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz -j$(JOBS)

# Source coverage of the library reached by the fuzzers' corpora (run `make
# fuzz` or `make fuzz-smoke` first), with clang's source-based coverage.
fuzz-coverage:
	@scripts/build-deps fuzz
	cmake --preset fuzz-coverage
	cmake --build --preset fuzz-coverage -j$(JOBS)
	@rm -f $(FUZZ_COV_BUILD)/*.profraw
	@for f in $(FUZZERS); do \
		seeds=""; [ -d fuzz/corpus/$${f#fuzz_} ] && seeds=$(CURDIR)/fuzz/corpus/$${f#fuzz_}; \
		LLVM_PROFILE_FILE=$(FUZZ_COV_BUILD)/$$f.profraw $(FUZZ_COV_BUILD)/bin/$$f -runs=0 \
			$(FUZZ_BUILD)/corpus-$$f $$seeds >/dev/null 2>&1 || exit 1; \
		llvm-profdata merge -o $(FUZZ_COV_BUILD)/$$f.profdata $(FUZZ_COV_BUILD)/$$f.profraw; \
		echo "$$f alone:"; llvm-cov report $(FUZZ_COV_BUILD)/lib/libacl_tcam_flow_stats.so \
			-instr-profile=$(FUZZ_COV_BUILD)/$$f.profdata | tail -1; \
	done
	@llvm-profdata merge -o $(FUZZ_COV_BUILD)/all.profdata $(FUZZ_COV_BUILD)/*.profraw
	llvm-cov report $(FUZZ_COV_BUILD)/lib/libacl_tcam_flow_stats.so -instr-profile=$(FUZZ_COV_BUILD)/all.profdata

define run_fuzzers
	@for f in $(FUZZERS); do \
		mkdir -p $(FUZZ_BUILD)/corpus-$$f && \
		seeds=""; [ -d fuzz/corpus/$${f#fuzz_} ] && seeds=$(CURDIR)/fuzz/corpus/$${f#fuzz_}; \
		echo "$$f: $(1) s"; \
		(cd $(FUZZ_BUILD) && bin/$$f -max_total_time=$(1) -print_final_stats=1 corpus-$$f $$seeds \
			2>fuzz-$$f.log) || { tail -50 $(FUZZ_BUILD)/fuzz-$$f.log; exit 1; }; \
		grep -E "DONE|number_of_executed_units" $(FUZZ_BUILD)/fuzz-$$f.log; \
	done
endef

# The library, the platform stand-ins and every test cross-built for a target
# and run under qemu-user: s390x is big-endian with 64-bit pointers, i386
# little-endian with 32-bit ones.
test-s390x:
	@scripts/build-deps cross
	$(call preset_test,s390x)

test-i386:
	@scripts/build-deps cross
	$(call preset_test,i386)

# Configure, build and test one preset.
define preset_test
	cmake --preset $(1)
	cmake --build --preset $(1) -j$(JOBS)
	ctest --preset $(1) -j$(JOBS)
endef

# Everything CI checks, most important first after the plain tests.
ci-all: test test-s390x test-i386 test-sanitize fuzz-smoke valgrind

deps:
	@scripts/build-deps

# Always runs CMake's build: it knows what is stale.
$(BUILD)/.built: deps FORCE
	cmake --preset release $(CMAKE_FLAGS)
	cmake --build --preset release -j$(JOBS)
	@touch $@

clean:
	rm -rf $(BUILD_DIRS)

.PHONY: FORCE
FORCE:

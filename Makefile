# Thin wrapper: every target first makes sure the Debian packages are there,
# then configures and builds with CMake.
BUILD ?= build
JOBS  ?= $(shell nproc 2>/dev/null || echo 2)
# Any compiler warning fails the build (CI builds this way); WERROR=OFF
# builds anyway, e.g. with a compiler that warns where GCC does not.
WERROR ?= ON

.PHONY: all deps configure build test soak test-sanitize fuzz demo bench install uninstall deb cross-arm64 clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVEL_WARNINGS_AS_ERRORS=$(WERROR) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# The printer application under load for a while (not part of make test):
# the AppSoak tests of app_load_test at full size. They print their
# figures (jobs per second, the server's memory).
soak: build
	@test -x $(BUILD)/tests/app_load_test || \
	  { echo "soak: the printer application is not built (no PAPPL?)"; exit 1; }
	@TAVEL_SOAK=1 $(BUILD)/tests/app_load_test --gtest_filter='AppSoak.*'

# The same suite built with AddressSanitizer and UndefinedBehaviorSanitizer.
# Every program of that build carries its sanitizer options
# (tests/sanitize/SanitizerDefaults.cpp): a report aborts the process, which
# fails its test. ASAN_OPTIONS, UBSAN_OPTIONS and LSAN_OPTIONS set here
# reach every process the tests start, the private cupsd's filters included.
SANITIZE_BUILD ?= build-sanitize
test-sanitize: deps
	@cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVEL_SANITIZE=ON >/dev/null
	@cmake --build $(SANITIZE_BUILD) -j$(JOBS)
	@cd $(SANITIZE_BUILD) && ctest --output-on-failure -j$(JOBS)

# The fuzz targets (fuzz/), built with clang for libFuzzer with both
# sanitizers, each run for FUZZ_SECONDS starting from its seed corpus in the
# repository. New inputs go to $(FUZZ_BUILD)/corpus, findings (crash, hang,
# sanitizer report) to $(FUZZ_BUILD)/findings; keep a finding under
# tests/data/ so that ctest replays it. libcups itself allocates a buffer of
# the header's line length (up to 4 GiB, mostly never touched) before the
# filter sees the header, hence the high limit for single allocations.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
# One target per seed corpus folder (fuzz/CMakeLists.txt makes them so).
FUZZ_TARGETS = $(sort $(notdir $(wildcard fuzz/corpus/fuzz_*)))
fuzz: export ASAN_OPTIONS = abort_on_error=1
fuzz: export UBSAN_OPTIONS = abort_on_error=1:halt_on_error=1:print_stacktrace=1
fuzz: export LSAN_OPTIONS = suppressions=$(CURDIR)/tests/sanitize/lsan.supp:print_suppressions=0
fuzz:
	@scripts/install-deps fuzz
	@CC=clang-14 CXX=clang++-14 cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTAVEL_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_BUILD) -j$(JOBS) --target $(FUZZ_TARGETS)
	@mkdir -p $(FUZZ_BUILD)/findings
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t; \
	  echo "fuzz: $$t for $(FUZZ_SECONDS) s"; \
	  $(FUZZ_BUILD)/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=8192 \
	    -close_fd_mask=3 -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/findings/$$t- \
	    $(FUZZ_BUILD)/corpus/$$t fuzz/corpus/$$t 2>$(FUZZ_BUILD)/$$t.log \
	  || { tail -n 60 $(FUZZ_BUILD)/$$t.log; exit 1; }; \
	  grep -E '^stat::number_of_executed_units' $(FUZZ_BUILD)/$$t.log; \
	done

demo: build
	@scripts/demo $(BUILD)

# Benchmarks want an optimised build of their own, beside the usual one.
BENCH_BUILD ?= $(BUILD)/release
bench: deps
	@cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BENCH_BUILD) -j$(JOBS) --target rastertotavelpress ppds image_bench job_timing >/dev/null
	@bench/run $(BENCH_BUILD)

install: build
	@DESTDIR=$(DESTDIR) cmake --install $(BUILD)

# Removes what `make install` wrote (its manifest lists every file).
uninstall:
	@DESTDIR=$(DESTDIR) cmake --build $(BUILD) --target uninstall

# The Debian package, in $(BUILD)/deb/.
deb: deps
	@scripts/build-deb $(BUILD)

# The whole project for arm64 with Debian's cross toolchain, in
# $(BUILD)-arm64/, its tests under qemu-user (the printer application's
# included), then the arm64 package in $(BUILD)-arm64/deb/.
cross-arm64:
	@scripts/cross-arm64 $(BUILD)-arm64

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(FUZZ_BUILD) out

# Thin wrapper: every target first makes sure the Debian packages are there,
# then configures and builds with CMake.
BUILD ?= build
JOBS  ?= $(shell nproc 2>/dev/null || echo 2)
# Any compiler warning fails the build (CI builds this way); WERROR=OFF
# builds anyway, e.g. with a compiler that warns where GCC does not.
WERROR ?= ON

.PHONY: all deps configure build test demo bench install uninstall deb cross-arm64 clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVEL_WARNINGS_AS_ERRORS=$(WERROR) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

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
# $(BUILD)-arm64/, and its unit tests under qemu-user.
cross-arm64:
	@scripts/cross-arm64 $(BUILD)-arm64

clean:
	rm -rf $(BUILD) out

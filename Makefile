# make demo - install what is missing, build the tool (with the library and
#             the software token it carries), run the demo
# make test - install what is missing, build, run every test: the suite as
#             built, then built with ASan and UBSan (clang, in build-asan)
#             together with a short run of every fuzz target
# make fuzz - run every fuzz target for FUZZ_SECONDS (default 600) each
# make fuzz-coverage - how much of main/ and sim/ the fuzz corpora reach
# make soak - 10,000 message and 1,000 file round trips through pcscd
# make memcheck - the end-to-end tests under valgrind
# make format - apply the project's style (.clang-format); make test checks it
# make deb - the Debian packages, built in DEB_BUILD (default build-deb)
# make deb-check - the packages through lintian, installed on this machine
#             and tried from the installed files (the host example, the
#             software token behind pcscd, draxel-tool), then purged
# make cross-check - the arm64 cross-build, its cipher and in-process tests
#             under qemu-user (installs the cross compiler and arm64 libraries)
# make shared-soak - three loops of the tool on one token through pcscd
#             (SOAK_ROUNDS rounds each, default 40; SOAK_SECONDS instead)
BUILD ?= build
ASAN_BUILD ?= build-asan
COV_BUILD ?= build-cov
DEB_BUILD ?= build-deb
JOBS ?= 2
MAKEFLAGS += --no-print-directory
CMAKE_BUILD_TYPE ?= RelWithDebInfo
FUZZ_SECONDS ?= 600

.PHONY: all deps configure build build-asan test demo bench clean fuzz fuzz-coverage soak memcheck shared-soak \
	format format-check deb deb-check

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(CMAKE_BUILD_TYPE) >/dev/null

build: configure
	cmake --build $(BUILD) -j$(JOBS)

# The sanitizer build also holds the fuzz targets (fuzz/).
build-asan: deps
	CC=clang CXX=clang++ cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=$(CMAKE_BUILD_TYPE) \
		-DDRAXEL_FUZZ=ON >/dev/null
	cmake --build $(ASAN_BUILD) -j$(JOBS)

# The checked build compiles while the plain suite runs: that suite mostly
# waits on pcscd and the virtual cards, and leaves the processors free.
test: build
	scripts/format.sh --check
	scripts/with-pcscd.sh scripts/run-tests.sh $(BUILD) $(ASAN_BUILD)

format: deps
	scripts/format.sh

format-check: deps
	scripts/format.sh --check

fuzz: build-asan
	scripts/fuzz.sh $(ASAN_BUILD) $(FUZZ_SECONDS)

fuzz-coverage: deps
	scripts/fuzz-coverage.sh $(COV_BUILD) $(ASAN_BUILD)

# SOAK_MESSAGES, SOAK_FILES and SOAK_MAX_SECONDS change the counts and set
# a time limit.
soak: build
	scripts/with-pcscd.sh $(BUILD)/tests/soak_tests

shared-soak: build
	scripts/with-pcscd.sh scripts/shared-token-soak.sh $(BUILD)/tools $(BUILD)/sim/draxel-token-sim \
		$${SOAK_ROUNDS:-40} $${SOAK_SECONDS:-0}

memcheck: build
	scripts/with-pcscd.sh scripts/memcheck.sh $(BUILD)

# Only what the demo runs: the tool, with the library and the software token
# it carries; the tests and benchmarks wait for make build or make test.
demo: configure
	cmake --build $(BUILD) -j$(JOBS) --target draxel-tool
	scripts/demo.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(COV_BUILD) $(DEB_BUILD)

# The packages and the source package land in $(DEB_BUILD), never in the
# parent of the work tree.
deb:
	@scripts/install-deps.sh --deb
	JOBS=$(JOBS) scripts/build-deb.sh $(DEB_BUILD)

# Installs the packages system-wide for the length of the check and always
# purges them again.
deb-check: deb
	scripts/deb-check.sh $(DEB_BUILD)

# Speed against libgcrypt and zlib, and the file functions against the bare
# CFB beneath them, each measured in the same run: the cipher on every path
# the processor has, the file functions on its best and on AVX2.
bench: build
	$(BUILD)/bench/cipher_bench
	$(BUILD)/bench/file_bench
	DRAXEL_CIPHER_PATH=avx2 $(BUILD)/bench/file_bench

# The arm64 build under emulation: not part of make test.
CROSS_BUILD ?= build-arm64
.PHONY: cross-check
cross-check:
	@scripts/install-deps.sh --cross
	scripts/cross-check.sh $(CROSS_BUILD)

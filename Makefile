# make demo - install what is missing, build, run the demo
# make test - install what is missing, build, run every test
BUILD ?= build
JOBS ?= 2
MAKEFLAGS += --no-print-directory
CMAKE_BUILD_TYPE ?= RelWithDebInfo

.PHONY: all deps build test demo bench clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(CMAKE_BUILD_TYPE) >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

test: build
	scripts/with-pcscd.sh ctest --test-dir $(BUILD) --output-on-failure

demo: build
	scripts/demo.sh $(BUILD)

clean:
	rm -rf $(BUILD)

# Speed against libgcrypt and zlib, measured in the same run.
bench: build
	$(BUILD)/bench/cipher_bench

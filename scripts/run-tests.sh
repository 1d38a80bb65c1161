#!/usr/bin/env bash
# Runs every test: the suite as built in the first build directory, then the
# same suite built with AddressSanitizer and UndefinedBehaviorSanitizer in
# the second, whose ctest also runs each fuzz target briefly from its seed
# corpus. The second build (make build-asan) compiles while the first suite
# runs. Both suites run whatever the other's outcome; the status is a
# failure if either failed. Needs a pcscd with the vpcd readers
# (scripts/with-pcscd.sh). Tests that use the virtual readers share a ctest
# resource lock, so the suites run two tests at a time safely.
set -uo pipefail

build=${1:?usage: run-tests.sh BUILD ASAN_BUILD}
asan_build=${2:?usage: run-tests.sh BUILD ASAN_BUILD}
here=$(cd "$(dirname "$0")/.." && pwd)

status=0
build_log=$(mktemp /tmp/draxel-build-asan.XXXXXX)
make -C "$here" build-asan ASAN_BUILD="$asan_build" >"$build_log" 2>&1 &
builder=$!
ctest --test-dir "$build" -j2 --output-on-failure || status=1
if ! wait "$builder"; then
	cat "$build_log"
	echo "the checked build failed" >&2
	rm -f "$build_log"
	exit 1
fi
rm -f "$build_log"

# Leaks count as failures; any undefined behaviour ends the process (the
# build has -fno-sanitize-recover) with its stack. An allocation too large
# to make fails as malloc does, for the tests of the library's handling of
# exactly that.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1:check_initialization_order=1:detect_stack_use_after_return=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$asan_build" -j2 --output-on-failure || status=1
exit $status

#!/usr/bin/env bash
# Runs every test: the suite as built in the first build directory, then the
# same suite built with AddressSanitizer and UndefinedBehaviorSanitizer in
# the second, whose ctest also runs each fuzz target briefly from its seed
# corpus. Both run whatever the other's outcome; the status is a failure if
# either failed. Needs a pcscd with the vpcd readers (scripts/with-pcscd.sh).
set -uo pipefail

build=${1:?usage: run-tests.sh BUILD ASAN_BUILD}
asan_build=${2:?usage: run-tests.sh BUILD ASAN_BUILD}

status=0
ctest --test-dir "$build" --output-on-failure || status=1

# Leaks count as failures; any undefined behaviour ends the process (the
# build has -fno-sanitize-recover) with its stack. An allocation too large
# to make fails as malloc does, for the tests of the library's handling of
# exactly that.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1:check_initialization_order=1:detect_stack_use_after_return=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$asan_build" --output-on-failure || status=1
exit $status

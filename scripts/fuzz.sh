#!/usr/bin/env bash
# Runs every fuzz target of the sanitizer build for SECONDS each, one after
# the other, from the committed seeds and what earlier runs found (kept in
# BUILD/fuzz/work/TARGET). Crashes land in BUILD/fuzz/artifacts. Prints, per
# target, the executions, libFuzzer's coverage figures and what it found.
#   scripts/fuzz.sh build-asan 600 [TARGET...]
set -uo pipefail

build=${1:?usage: fuzz.sh BUILD SECONDS [TARGET...]}
seconds=${2:?usage: fuzz.sh BUILD SECONDS [TARGET...]}
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
	targets=(operations decrypt_mes decrypt_file group_texts dubl_text token_apdu)
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
summary=()
for target in "${targets[@]}"; do
	work=$build/fuzz/work/$target
	log=$build/fuzz/$target.log
	mkdir -p "$work" "$build/fuzz/artifacts"
	echo "fuzzing $target for $seconds s (log: $log)"
	"$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 \
		-print_final_stats=1 -artifact_prefix="$build/fuzz/artifacts/$target-" \
		"$work" "$root/fuzz/corpus/$target" >"$log" 2>&1
	rc=$?
	execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
	final=$(grep -E '^#[0-9]+[[:space:]]+(DONE|INITED)' "$log" | tail -1 | sed 's/^#[0-9]*[[:space:]]*//')
	if [ $rc -eq 0 ]; then
		found="nothing"
	else
		found="FOUND: $(grep -m1 -E 'ERROR|runtime error|check failed' "$log")"
		status=1
	fi
	summary+=("$target: ${execs:-?} executions; $final; $found")
done
printf '%s\n' "${summary[@]}"
exit $status

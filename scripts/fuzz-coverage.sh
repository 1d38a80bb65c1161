#!/usr/bin/env bash
# How much of the library and the software token the fuzz targets reach:
# builds the targets with clang's source-based coverage in COV_BUILD, runs
# each once over its committed seeds and what make fuzz found (kept in
# FUZZ_BUILD/fuzz/work/TARGET), and prints llvm-cov's report for main/ and
# sim/.
#   scripts/fuzz-coverage.sh build-cov build-asan
set -euo pipefail

cov=${1:?usage: fuzz-coverage.sh COV_BUILD FUZZ_BUILD}
fuzz_build=${2:?usage: fuzz-coverage.sh COV_BUILD FUZZ_BUILD}
root=$(cd "$(dirname "$0")/.." && pwd)
targets=(operations decrypt_mes decrypt_file group_texts dubl_text token_apdu)
flags="-fprofile-instr-generate -fcoverage-mapping"

CC=clang CXX=clang++ cmake -S "$root" -B "$cov" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DDRAXEL_FUZZ=ON -DBUILD_TESTING=OFF -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
	-DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate >/dev/null
cmake --build "$cov" -j2 --target "${targets[@]/#/fuzz_}" >/dev/null

rm -rf "$cov/profiles"
mkdir -p "$cov/profiles"
objects=()
for target in "${targets[@]}"; do
	inputs=("$root/fuzz/corpus/$target")
	[ -d "$fuzz_build/fuzz/work/$target" ] && inputs+=("$fuzz_build/fuzz/work/$target")
	LLVM_PROFILE_FILE="$cov/profiles/$target.profraw" ASAN_OPTIONS=detect_leaks=0 \
		"$cov/fuzz/fuzz_$target" -runs=0 "${inputs[@]}" >"$cov/profiles/$target.log" 2>&1
	# the first binary is llvm-cov's positional one, the others -object
	[ ${#objects[@]} -gt 0 ] && objects+=(-object)
	objects+=("$cov/fuzz/fuzz_$target")
done
llvm-profdata merge -sparse "$cov"/profiles/*.profraw -o "$cov/profiles/all.profdata"
llvm-cov report -instr-profile "$cov/profiles/all.profdata" "${objects[@]}" \
	"$root/main" "$root/sim"

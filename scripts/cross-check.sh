#!/usr/bin/env bash
# The arm64 cross-build, its cipher and in-process tests run under
# qemu-user: the NEON engine, and everything that runs without pcscd.
# Timings under emulation mean nothing; the test suites are checked for
# their results only.
#
#   cross-check.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-arm64}
toolchain=$PWD/cmake/aarch64-linux-gnu.cmake
jobs=${JOBS:-2}

# libgcrypt's and libgpg-error's arm64 development files, unpacked here: as
# installed packages they would replace the amd64 ones. Their libraries are
# the installed arm64 runtime packages.
sysroot=$PWD/$build/sysroot
if [ ! -f "$sysroot/usr/lib/aarch64-linux-gnu/pkgconfig/libgcrypt.pc" ]; then
	mkdir -p "$build/debs" "$sysroot"
	(cd "$build/debs" && apt-get download -q libgcrypt20-dev:arm64 libgpg-error-dev:arm64 2>&1 |
		grep -v unsandboxed)
	for deb in "$build"/debs/*.deb; do dpkg-deb -x "$deb" "$sysroot"; done
	libdir=$sysroot/usr/lib/aarch64-linux-gnu
	for lib in libgcrypt.so.20 libgpg-error.so.0; do
		ln -sf "/usr/lib/aarch64-linux-gnu/$lib" "$libdir/${lib%.*}"
	done
	sed -i "s|^prefix=.*|prefix=$sysroot/usr|" "$libdir"/pkgconfig/*.pc
fi
export PKG_CONFIG_PATH=$sysroot/usr/lib/aarch64-linux-gnu/pkgconfig

# GoogleTest for the target, from Debian's sources
if [ ! -f "$build/gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
	cmake -S /usr/src/googletest -B "$build/gtest-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
		-DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON \
		-DCMAKE_INSTALL_PREFIX="$PWD/$build/gtest" >/dev/null
	cmake --build "$build/gtest-build" -j"$jobs"
	cmake --install "$build/gtest-build" >/dev/null
fi

include="-isystem $sysroot/usr/include/aarch64-linux-gnu -isystem $sysroot/usr/include"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DCMAKE_PREFIX_PATH="$PWD/$build/gtest" -DCMAKE_CXX_FLAGS="$include" \
	-DCMAKE_C_FLAGS="$include" >/dev/null
# sim_card_test is left out: its vpcd socket cases block under qemu-user.
tests=(cipher_tests unit_tests seam_tests internal_tests management_tests encrypt_tests fault_tests
	sim_token_tests c_host)
cmake --build "$build" -j"$jobs" --target "${tests[@]}"
file "$build/tests/cipher_tests" | grep -q aarch64
ctest --test-dir "$build" --output-on-failure \
	-R '^(cipher|unit|seams|internal|management|encrypt|faults|sim_token|c_host)$'

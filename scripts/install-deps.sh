#!/usr/bin/env bash
# Installs, with apt-get, whatever the build, the tests and the demo need and
# this machine lacks. Quiet and quick when everything is there.
#
#   install-deps.sh [--deb | --cross]
#
# --deb: also what building, checking and testing the Debian packages needs.
# --cross: what the arm64 cross-build and its run under qemu-user need
# (make cross-check) instead: the cross compiler, the emulator, and the arm64
# libraries from Debian's multiarch archive. Only packages that can sit beside
# their amd64 twins: the arm64 development files of libgcrypt and
# libgpg-error would replace the amd64 ones, so scripts/cross-check.sh
# unpacks those into its build directory instead.
set -euo pipefail

packages=(
	make cmake g++ pkg-config binutils
	pcscd libpcsclite-dev vsmartcard-vpcd
	googletest libgtest-dev libbenchmark-dev
	libgcrypt20-dev zlib1g-dev opensc
	clang clang-format libclang-rt-14-dev valgrind
	libcli11-dev nlohmann-json3-dev
	python3 python3-pytest python3-mypy
)
if [ "${1:-}" = "--deb" ]; then
	packages+=(debhelper dpkg-dev fakeroot lintian man-db util-linux
		dh-python pybuild-plugin-pyproject python3-all python3-setuptools)
fi

cross_packages() {
	if ! dpkg --print-foreign-architectures | grep -qx arm64; then
		[ "$(id -u)" -eq 0 ] || { echo "need root to add the arm64 architecture" >&2; exit 1; }
		dpkg --add-architecture arm64
		apt-get update -qq
	fi
	packages=(
		make cmake pkg-config g++-aarch64-linux-gnu qemu-user googletest nlohmann-json3-dev
		libgcrypt20:arm64 libgpg-error0:arm64 zlib1g-dev:arm64 libpcsclite-dev:arm64
	)
}

[ "${1:-}" = "--cross" ] && cross_packages

missing=()
for pkg in "${packages[@]}"; do
	dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
	echo "need root to install packages (run as root or install them by hand)" >&2
	exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"

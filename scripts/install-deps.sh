#!/usr/bin/env bash
# Installs, with apt-get, whatever the build, the tests and the demo need and
# this machine lacks. Quiet and quick when everything is there. With --deb,
# also what building, checking and testing the Debian packages needs.
set -euo pipefail

packages=(
	make cmake g++ pkg-config binutils
	pcscd libpcsclite-dev vsmartcard-vpcd
	googletest libgtest-dev libbenchmark-dev
	libgcrypt20-dev zlib1g-dev opensc
	clang clang-format libclang-rt-14-dev valgrind
	libcli11-dev nlohmann-json3-dev
)
if [ "${1:-}" = "--deb" ]; then
	packages+=(debhelper dpkg-dev fakeroot lintian man-db util-linux)
fi

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

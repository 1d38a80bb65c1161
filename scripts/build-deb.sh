#!/usr/bin/env bash
# Builds the Debian packages from the work tree as it is (committed or not)
# into OUT (default build-deb): dpkg-buildpackage writes its results beside
# the source tree, so the tree is copied to OUT/src first and the packages,
# the source package and the .changes land in OUT, not in the parent of the
# work tree. No network: the build dependencies must be installed
# (scripts/install-deps.sh --deb).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$here/build-deb}")
jobs=${JOBS:-2}

case $out in "$here" | "$here/src" | / ) echo "refusing to build in $out" >&2; exit 1 ;; esac
rm -rf "$out"
mkdir -p "$out/src"

# The files git knows (tracked, or new and not ignored) that exist; outside
# git, the tree without its build folders.
if git -C "$here" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
	(cd "$here" && git ls-files -z --cached --others --exclude-standard |
		while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
		tar --null -T - -cf -) | tar -xf - -C "$out/src"
else
	(cd "$here" && tar --exclude='./build*' --exclude='./.git' -cf - .) | tar -xf - -C "$out/src"
fi

cd "$out/src"
debian/check-symbols.sh main/draxel_lib.map debian/libdraxel-lib1.symbols
# The system's tools only: an interpreter or compiler earlier on a user's
# PATH (a pyenv shim, say) is not what the packages are built for.
PATH=/usr/sbin:/usr/bin:/sbin:/bin DEB_BUILD_OPTIONS="parallel=$jobs ${DEB_BUILD_OPTIONS:-}" \
	dpkg-buildpackage -us -uc --build=full >"$out/build.log" 2>&1 || {
	tail -n 60 "$out/build.log" >&2
	echo "dpkg-buildpackage failed; the whole log is $out/build.log" >&2
	exit 1
}
cd "$out"
ls -1 ./*.deb

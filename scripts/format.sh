#!/usr/bin/env bash
# Applies the project's style (.clang-format) to every C and C++ file that
# git tracks in the source folders, or, with --check, fails naming the files
# that stray from it.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files -- main sim tools tests fuzz bench examples |
	grep -E '\.(c|cc|cpp|h|hpp)$')
if [ "${1:-}" = "--check" ]; then
	if ! clang-format --dry-run -Werror "${files[@]}" 2>/tmp/draxel-format.$$; then
		grep -o '^[^:]*:[0-9]*:[0-9]*: error' /tmp/draxel-format.$$ | cut -d: -f1 | sort -u |
			sed 's/^/not in the project style: /' >&2
		rm -f /tmp/draxel-format.$$
		echo "run make format" >&2
		exit 1
	fi
	rm -f /tmp/draxel-format.$$
	echo "style: ${#files[@]} files checked"
else
	clang-format -i "${files[@]}"
fi

#!/bin/sh
# Fails unless the symbols file lists exactly the names the export map
# exports: a name added to one and not the other is either an export the
# package does not track or a promise the library does not keep.
#   check-symbols.sh MAP SYMBOLS
set -eu
map=${1:?usage: check-symbols.sh MAP SYMBOLS}
symbols=${2:?usage: check-symbols.sh MAP SYMBOLS}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# a name alone on its line (comments aside) in the map's global part
sed -n '/^global:/,/^local:/p' "$map" | sed 's,/\*.*\*/,,' |
	sed -n 's/^[[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\);[[:space:]]*$/\1/p' | sort >"$tmp/map"
sed -n 's/^ \([A-Za-z_][A-Za-z0-9_]*\)@.*/\1/p' "$symbols" | sort >"$tmp/symbols"
[ -s "$tmp/map" ] || { echo "no exported names found in $map" >&2; exit 1; }
if ! diff -u --label "$map" --label "$symbols" "$tmp/map" "$tmp/symbols"; then
	echo "the export map and the symbols file list different names" >&2
	exit 1
fi
echo "symbols: $(wc -l <"$tmp/map") names, the same in both"

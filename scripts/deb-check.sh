#!/usr/bin/env bash
# Tests the Debian packages in OUT (make deb) as a user meets them: lintian,
# then installed on this machine and used from the installed files only:
# the host example compiled with pkg-config, the installed software token
# behind pcscd, the example and a draxel-tool session against it, the man
# page. Every package is purged afterwards, whatever failed, and no file of
# theirs may be left. Needs root; the pcscd part runs under the machine's
# vpcd lock, since the readers are shared.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath "${1:-$here/build-deb}")
packages=(libdraxel-lib1 libdraxel-lib-dev draxel-tool draxel-token-sim python3-draxel)
lock=${DRAXEL_VPCD_LOCK:-/tmp/draxel-vpcd.lock}
work=$(mktemp -d /tmp/draxel-deb-check.XXXXXX)
files=$work/files
dirs=$work/dirs
failed=0

step() { printf '\n== %s\n' "$*"; }
fail() { echo "deb-check: $*" >&2; failed=1; }

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# Purges the packages and checks that nothing listed by dpkg -L is left: no
# file, and no directory that is now empty (a shared one such as /usr/bin
# still holds others' files; /lib may be a link to /usr/lib).
purge_and_verify() {
	step "purge"
	local present=() p
	for p in "${packages[@]}"; do
		dpkg-query -W "$p" >/dev/null 2>&1 && present+=("$p")
	done
	if [ ${#present[@]} -gt 0 ]; then
		DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${present[@]}" >"$work/purge.log" 2>&1 ||
			{ cat "$work/purge.log"; fail "apt-get purge failed"; }
	fi
	for p in "${packages[@]}"; do
		dpkg-query -W "$p" >/dev/null 2>&1 && fail "$p is still known to dpkg"
	done
	local left=0 path
	if [ -s "$files" ]; then
		while IFS= read -r path; do
			if [ -e "$path" ] || [ -L "$path" ]; then
				echo "left: $path"
				left=1
			fi
		done <"$files"
	fi
	if [ -s "$dirs" ]; then
		while IFS= read -r path; do
			if [ -d "$path" ] && [ -z "$(ls -A "$path" 2>/dev/null)" ]; then
				echo "left: $path/ (empty)"
				left=1
			fi
		done <"$dirs"
	fi
	for path in /var/lib/draxel-token-sim /var/lib/private/draxel-token-sim; do
		[ -e "$path" ] && { echo "left: $path"; left=1; }
	done
	[ $left -eq 0 ] && echo "no file of the packages is left" || fail "files of the packages are left"
}

finish() {
	purge_and_verify
	rm -rf "$work"
	if [ $failed -eq 0 ]; then echo "deb-check: passed"; else echo "deb-check: FAILED" >&2; fi
	exit $failed
}
trap finish EXIT
trap 'exit 130' INT TERM

if [ "$(id -u)" -ne 0 ]; then
	fail "installs packages: run as root"
	exit 1
fi
debs=()
for p in "${packages[@]}"; do
	deb=$(ls "$out/${p}_"*.deb 2>/dev/null | head -n 1)
	[ -n "$deb" ] || { fail "no package $p in $out (make deb)"; exit 1; }
	debs+=("$deb")
done
# A copy already installed would be purged at the end: refuse instead.
for p in "${packages[@]}"; do
	installed "$p" && { echo "deb-check: $p is installed already; remove it first" >&2; packages=(); exit 1; }
done

step "lintian"
lintian --fail-on error,warning --info "$out"/*.changes || fail "lintian found errors or warnings"

step "install"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${debs[@]}" \
	>"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "apt-get install failed"; exit 1; }
for p in "${packages[@]}"; do dpkg -L "$p"; done | sort -u | while IFS= read -r path; do
	if [ -d "$path" ]; then echo "$path" >>"$dirs"; else echo "$path" >>"$files"; fi
done
echo "$(wc -l <"$files") files installed"

step "no RUNPATH in the installed binaries"
while IFS= read -r path; do
	[ -f "$path" ] && [ ! -L "$path" ] || continue
	head -c 4 "$path" | grep -q $'\x7fELF' || continue
	if readelf -d "$path" | grep -Eq 'RUNPATH|RPATH'; then fail "$path has a RUNPATH"; fi
done <"$files"

step "the host example, built with pkg-config against the installed library"
# shellcheck disable=SC2046
cc -Wall -Werror -o "$work/host_example" /usr/share/doc/libdraxel-lib-dev/examples/host_example.c \
	$(pkg-config --cflags --libs draxel_lib) || fail "the host example does not build"
loaded=$(ldd "$work/host_example" | sed -n 's/.*libdraxel_lib\.so\.1 => \([^ ]*\) .*/\1/p')
[ -n "$loaded" ] && grep -qx "$(realpath "$loaded")" <(while IFS= read -r f; do realpath "$f"; done <"$files") ||
	fail "the host example does not load the installed library (it loads ${loaded:-nothing})"

step "man draxel-tool"
MANWIDTH=80 man -P cat draxel-tool 2>/dev/null | grep -q 'draxel-tool' || fail "man draxel-tool shows nothing"
for page in draxel-token-sim draxel-vcard; do
	MANWIDTH=80 man -P cat "$page" 2>/dev/null | grep -q "$page" || fail "man $page shows nothing"
done

step "the installed software token behind pcscd, the example and draxel-tool against it"
cat >"$work/session.sh" <<'SESSION'
#!/usr/bin/env bash
# Runs under with-pcscd.sh: the installed daemon in reader 0, then the host
# example and a draxel-tool session on it.
set -euo pipefail
work=$1
/usr/bin/draxel-token-sim --port 35963 --state "$work/token" 2>"$work/token.log" &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null' EXIT
for _ in $(seq 100); do
	/usr/bin/draxel-tool --json readers 2>/dev/null | grep -q '"card": *true' && break
	sleep 0.1
done
export DRAXEL_PIN=1234 DRAXEL_PASS_PHRASE="deb check"
reader="Virtual PCD 00 00"
"$work/host_example" "from the installed example"
# the system's interpreter, which sees the installed package and nothing else
/usr/bin/python3 -I /usr/share/doc/python3-draxel/examples/host_example.py "from the installed package"
/usr/bin/draxel-tool --reader "$reader" info
cipher=$(/usr/bin/draxel-tool --reader "$reader" msg encrypt "Привет from the package")
plain=$(/usr/bin/draxel-tool --reader "$reader" msg decrypt "$cipher")
[ "$plain" = "Привет from the package" ] || { echo "the message came back as: $plain" >&2; exit 1; }
echo "message round trip: ok"
SESSION
chmod +x "$work/session.sh"
flock "$lock" "$here/scripts/with-pcscd.sh" "$work/session.sh" "$work" ||
	{ cat "$work/token.log" 2>/dev/null; fail "the session against the installed token failed"; }

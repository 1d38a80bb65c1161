#!/usr/bin/env bash
# The demo: draxel-tool end to end against the built-in software token, in
# a temporary directory that is removed afterwards. No card, reader or pcscd
# needed.
set -euo pipefail
build=${1:-build}
tool=$(realpath "$build/tools/draxel-tool")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
start=$SECONDS

# Passwords come from the environment (or a prompt, or --pin-fd N), never
# from the command line.
export DRAXEL_PIN=1234 DRAXEL_PUK=12345678 DRAXEL_SECOND_PUK=12345678
export DRAXEL_PASS_PHRASE="demo pass phrase"

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
show() {
	local arg line='$ draxel-tool'
	for arg in "$@"; do
		case $arg in *' '*) line+=" \"$arg\"" ;; *) line+=" $arg" ;; esac
	done
	echo "$line"
}
tool() { show "$@"; "$tool" "$@"; }

step "A software token, issued into the state file token-a"
tool --sim token-a init
tool --sim token-a info

step "A group"
tool --sim token-a group create team
tool --sim token-a group list

step "A message in each of the three modes: the token's keys 0B and 0D, the group's key"
declare -A mode_args=([1]="-m 1" [2]="-m 2" [3]="-g team")
for mode in 1 2 3; do
	# shellcheck disable=SC2206
	args=(--sim token-a msg encrypt ${mode_args[$mode]} "Привет, mode $mode")
	show "${args[@]}"
	cipher=$("$tool" "${args[@]}")
	echo "$cipher"
	# shellcheck disable=SC2206
	args=(--sim token-a msg decrypt ${mode_args[$mode]} "$cipher")
	show "${args[@]}"
	plain=$("$tool" "${args[@]}")
	echo "$plain"
	[ "$plain" = "Привет, mode $mode" ] || { echo "mode $mode: the message came back wrong" >&2; exit 1; }
done
group_cipher=$cipher

step "A 50 MB file in fast mode, and back"
head -c 50000000 /dev/urandom >data.bin
tool --sim token-a file encrypt --fast data.bin
tool --sim token-a file decrypt data.bin.drx -o data.out
sha256sum data.bin data.out
cmp data.bin data.out

step "Copy the token onto a second one (token-b), and decipher there"
tool --sim token-b init
tool --sim token-a --second-reader token-b dup copy
tool --sim token-b msg decrypt -g team "$group_cipher"
echo
tool --sim token-b file decrypt data.bin.drx -o data.b
cmp data.bin data.b && echo "data.b has the same checksum"

step "A wrong PIN: the library's error text, and its own exit status"
show --sim token-a pin verify "   (with DRAXEL_PIN=0000)"
status=0
DRAXEL_PIN=0000 "$tool" --sim token-a pin verify || status=$?
echo "exit status $status (4: wrong password; 5 would be a blocked one)"
[ "$status" -eq 4 ]
tool --sim token-a pin verify

printf '\nThe demo took %d s.\n' $((SECONDS - start))

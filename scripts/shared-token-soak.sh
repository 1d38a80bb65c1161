#!/usr/bin/env bash
# One software token behind pcscd, used by three loops of draxel-tool at
# once, each tool run its own process: two loops of `msg encrypt` and
# `msg decrypt`, and one of token-mode `file encrypt` and `file decrypt`.
# Counts the runs that succeeded, failed, or succeeded with a wrong result
# (a ciphertext that does not decipher again, a plaintext that differs).
#
#   shared-token-soak.sh TOOL_DIR SIM ROUNDS [SECONDS]
#
# Each loop runs ROUNDS rounds, or for SECONDS when that is given. Run it
# under scripts/with-pcscd.sh; it attaches the token to the first vpcd
# reader and stops it, by PID, at the end. Exits 1 on any failure.
set -uo pipefail

tool=$1/draxel-tool
sim=$2
rounds=$3
seconds=${4:-0}
work=$(mktemp -d /tmp/draxel-soak.XXXXXX)
export DRAXEL_PIN=1234 DRAXEL_PASS_PHRASE=phrase

"$sim" --port 35963 >"$work/token.log" 2>&1 &
token=$!
cleanup() {
	kill "$token" 2>/dev/null
	wait "$token" 2>/dev/null
	rm -rf "$work"
}
trap cleanup EXIT
sleep 1.5

# Each loop appends one word a run to its own tally: ok, failed or wrong.
more_rounds() {
	local round=$1 started=$2
	if [ "$seconds" -gt 0 ]; then
		[ $((SECONDS - started)) -lt "$seconds" ]
	else
		[ "$round" -lt "$rounds" ]
	fi
}

message_loop() {
	local name=$1 round=0 started=$SECONDS cipher plain text
	while more_rounds "$round" "$started"; do
		text="$name round $round"
		if cipher=$("$tool" --wait 120 msg encrypt -m 2 "$text" 2>>"$work/$name.err"); then
			echo ok
			if plain=$("$tool" --wait 120 msg decrypt -m 2 "$cipher" 2>>"$work/$name.err"); then
				[ "$plain" = "$text" ] && echo ok || echo wrong
			else
				echo failed
			fi
		else
			echo failed
		fi
		round=$((round + 1))
	done >"$work/$name.tally"
}

file_loop() {
	local round=0 started=$SECONDS
	head -c 30000 /dev/urandom >"$work/data"
	while more_rounds "$round" "$started"; do
		if "$tool" --wait 120 file encrypt -f "$work/data" -o "$work/data.drx" 2>>"$work/file.err" >/dev/null; then
			echo ok
			if "$tool" --wait 120 file decrypt -f "$work/data.drx" -o "$work/back" 2>>"$work/file.err" >/dev/null; then
				cmp -s "$work/data" "$work/back" && echo ok || echo wrong
			else
				echo failed
			fi
		else
			echo failed
		fi
		round=$((round + 1))
	done >"$work/file.tally"
}

start=$SECONDS
message_loop one &
loops=($!)
message_loop two &
loops+=($!)
file_loop &
loops+=($!)
wait "${loops[@]}"

ok=$(cat "$work"/*.tally | grep -c '^ok$')
failed=$(cat "$work"/*.tally | grep -c '^failed$')
wrong=$(cat "$work"/*.tally | grep -c '^wrong$')
echo "shared token: $((ok + failed + wrong)) tool runs in $((SECONDS - start)) s: $ok ok, $failed failed, $wrong wrong"
sort "$work"/*.err 2>/dev/null | uniq -c | sort -rn | head -5
echo "soak: $ok passed, $((failed + wrong)) failed"
[ $((failed + wrong)) -eq 0 ]

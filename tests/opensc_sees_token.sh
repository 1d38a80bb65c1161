#!/usr/bin/env bash
# A PC/SC client that is not ours sees the software token: opensc-tool
# selects the application in the first virtual reader and gets 90 00.
set -uo pipefail
token_sim=$1

"$token_sim" --port 35963 2>/dev/null &
token_pid=$!
trap 'kill "$token_pid" 2>/dev/null; wait "$token_pid" 2>/dev/null' EXIT

for _ in $(seq 50); do
	out=$(opensc-tool -r 0 -s 00:A4:04:0C:0A:4D:45:4B:54:41:5F:50:53:43:48 2>&1)
	if grep -q 'SW1=0x90, SW2=0x00' <<<"$out"; then
		echo "opensc-tool: 90 00 from the software token"
		exit 0
	fi
	sleep 0.2
done
echo "opensc-tool did not get 90 00:" >&2
echo "$out" >&2
exit 1

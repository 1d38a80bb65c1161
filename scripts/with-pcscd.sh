#!/usr/bin/env bash
# Runs a command with a pcscd serving the two vpcd readers (ports 35963 and
# 35964). Uses a pcscd that is already running; otherwise starts one and
# stops it afterwards, by its PID, whatever the command's outcome.
set -uo pipefail

vpcd_ports=(35963 35964)
started_pid=""

stop_started() {
	[ -n "$started_pid" ] || return 0
	kill "$started_pid" 2>/dev/null
	wait "$started_pid" 2>/dev/null
	started_pid=""
}
trap stop_started EXIT
trap 'exit 130' INT TERM

# True when something listens on the TCP port (read from /proc: connecting to
# a vpcd port would look like a card being inserted).
listening() {
	local hex
	hex=$(printf '%04X' "$1")
	grep -q ":$hex 00000000:0000 0A" /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

readers_up() {
	local port
	for port in "${vpcd_ports[@]}"; do
		listening "$port" || return 1
	done
}

if ! readers_up; then
	if pgrep -x pcscd >/dev/null; then
		echo "a pcscd is running without the vpcd readers; stop it or install vsmartcard-vpcd and restart it" >&2
		exit 1
	fi
	mkdir -p /run/pcscd
	log=${PCSCD_LOG:-/tmp/draxel-pcscd.log}
	pcscd --foreground --error >"$log" 2>&1 &
	started_pid=$!
	for _ in $(seq 100); do
		readers_up && break
		kill -0 "$started_pid" 2>/dev/null || { echo "pcscd exited; see $log" >&2; exit 1; }
		sleep 0.1
	done
	readers_up || { echo "pcscd started but the vpcd readers did not appear; see $log" >&2; exit 1; }
fi

"$@"
status=$?
stop_started
exit $status

#!/usr/bin/env bash
# Runs a command with a pcscd serving the two vpcd readers (ports 35963 and
# 35964). Uses a pcscd that is already running; otherwise starts one and
# stops it afterwards, by its PID, whatever the command's outcome.
#
# A pcscd started here is the command's to restart (the fault tests do it):
# it runs under a loop that starts it again when it ends. The command finds
# its PID in the file DRAXEL_PCSCD_PIDFILE (the first one also in
# DRAXEL_PCSCD_STARTED_PID); while the file DRAXEL_PCSCD_PIDFILE.hold exists
# a pcscd that ended is not started again. DRAXEL_PCSCD_LOG is its log.
# None of them is set when the pcscd was already running.
set -uo pipefail

vpcd_ports=(35963 35964)
started_pid=""
pidfile=""

# Starts pcscd again whenever it ends, until told to stop.
supervise() {
	local pid started
	while :; do
		started=$SECONDS
		pcscd --foreground --error >>"$log" 2>&1 &
		pid=$!
		echo "$pid" >"$pidfile"
		wait "$pid"
		[ -e "$pidfile.stop" ] && break
		# one that cannot even start is not started again and again
		[ ! -e "$pidfile.hold" ] && [ $((SECONDS - started)) -lt 2 ] && break
		while [ -e "$pidfile.hold" ] && [ ! -e "$pidfile.stop" ]; do
			sleep 0.1
		done
		[ -e "$pidfile.stop" ] && break
	done
}

stop_started() {
	[ -n "$started_pid" ] || return 0
	touch "$pidfile.stop"
	kill "$(cat "$pidfile" 2>/dev/null)" 2>/dev/null
	wait "$started_pid" 2>/dev/null
	rm -f "$pidfile" "$pidfile.stop" "$pidfile.hold"
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
	: >"$log"
	pidfile=$(mktemp /tmp/draxel-pcscd.XXXXXX)
	supervise &
	started_pid=$!
	for _ in $(seq 100); do
		readers_up && break
		kill -0 "$started_pid" 2>/dev/null || { echo "pcscd exited; see $log" >&2; exit 1; }
		sleep 0.1
	done
	readers_up || { echo "pcscd started but the vpcd readers did not appear; see $log" >&2; exit 1; }
	DRAXEL_PCSCD_STARTED_PID=$(cat "$pidfile")
	export DRAXEL_PCSCD_STARTED_PID DRAXEL_PCSCD_PIDFILE=$pidfile DRAXEL_PCSCD_LOG=$log
fi

"$@"
status=$?
stop_started
exit $status

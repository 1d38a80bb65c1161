#!/usr/bin/env bash
# The demo: a virtual card in the first vpcd reader, and draxel-demo talking
# to it through pcscd. Run under scripts/with-pcscd.sh. Stops the card it
# started, by PID.
set -uo pipefail
build=${1:-build}

"$build/sim/draxel-vcard" --port 35963 &
card_pid=$!
trap 'kill "$card_pid" 2>/dev/null; wait "$card_pid" 2>/dev/null' EXIT

"$build/tools/draxel-demo" "Virtual PCD 00 00"

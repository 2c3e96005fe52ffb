#!/bin/bash
# What one wineserver request costs, on every core and with the session
# pinned to one core (lib.sh's pin_session): every file creation, open,
# query and removal under Wine makes a few, and every process start some
# hundreds (Wine's msvcrt start-up looks the time zone up in the registry).
# A request whose thread runs on another core than the wineserver waits
# for that core to wake. --repeat runs of 20,000 requests each:
# wine.request_us and wine.request_us_one_core (microseconds, fractional).
#
#   measure/server_request.sh
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
for cores in every one; do
    suffix=""
    [ $cores = one ] && suffix=_one_core
    pin_session $cores
    for _ in $(seq "$REPEAT"); do
        add wine "request_us$suffix" "$(wrun "$PROGRAMS/bench_limits.exe" requests 20000 | value request_us)"
    done
done
pin_session every

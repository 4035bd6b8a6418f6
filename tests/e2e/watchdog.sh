#!/usr/bin/env bash
# Ends an e2e session when the process that started it is gone (an interrupted
# ctest run, a killed test script). Started and stopped by session.sh.
#   watchdog.sh STARTER_PID STATE_DIR CACHE_DIR
starter=$1
export E2E_STATE=$2 E2E_CACHE=$3
while kill -0 "$starter" 2>/dev/null && [ -f "$E2E_STATE/env" ]; do sleep 2; done
[ -f "$E2E_STATE/env" ] && E2E_IS_WATCHDOG=$$ bash "$(dirname "$0")/session.sh" stop

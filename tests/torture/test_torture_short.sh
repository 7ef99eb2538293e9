#!/usr/bin/env bash
# test_torture_short.sh [PATH_TO_pop2smtp]
#
# The short form of the crash torture for CI: 15 kill cycles over 40 messages, the sink killed
# three times, everything done within 150 s of relay time (about a minute and a half usually on a
# loaded two-core machine). Fails when a message is lost or damaged, when anything is left in the
# spool or the mailbox, or when the relay logs an unexplained failure (see torture.sh). A failing
# run prints its seed; TORTURE_SEED=that-seed repeats its random choices (the timing differs).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
if [ $# -ge 1 ]; then
    export TORTURE_RELAY="$(realpath "$1")"
fi
export TORTURE_TIME_LIMIT="${TORTURE_TIME_LIMIT:-150}"
export TORTURE_SINK_KILLS="${TORTURE_SINK_KILLS:-3}"
exec bash "$here/torture.sh" 15 40

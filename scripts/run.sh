#!/usr/bin/env bash
# run.sh [ARGUMENTS FOR pop2smtp]
#
# Installs what building needs, builds the relay into build/, and runs it in this terminal.
#
# The program directory is $POP2SMTP_HOME when set, else build/. When it holds a
# TarvixPOP2SMTP.ini, the relay runs with that configuration (arguments are passed on).
# When it does not, this script sets up a demonstration on loopback ports: a private Dovecot POP3
# server with three messages in its mailbox, an SMTP sink that keeps whatever it receives, and a
# configuration for both in a demonstration program directory of its own (your program directory
# is left as it is). The relay runs in the foreground; close it (Ctrl-C) and the servers stop too.
# The demonstration ends by itself after $POP2SMTP_DEMO_SECONDS seconds (default 3600).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root="$(pwd)"

# The demonstration needs Dovecot, Python and aiosmtpd besides the build tools.
bash scripts/deps.sh demo
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target pop2smtp
relay="$root/build/pop2smtp"

home="${POP2SMTP_HOME:-$root/build}"
if [ -f "$home/TarvixPOP2SMTP.ini" ]; then
    echo "Program directory: $home"
    echo "Configuration:     $home/TarvixPOP2SMTP.ini"
    export POP2SMTP_HOME="$home"
    exec "$relay" "$@"
fi

# --- demonstration -------------------------------------------------------------------------------
# The servers are the system test's (tests/system/system_test.py); the SMTP sink is aiosmtpd's.
exec /usr/bin/python3 "$root/scripts/demo.py" "$relay" "$home"

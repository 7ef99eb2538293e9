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

# The demonstration needs Dovecot and Python besides the build tools.
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
source "$root/tests/e2e/lib.sh"
E2E_LIFETIME="${POP2SMTP_DEMO_SECONDS:-3600}"
E2E_KEEP=1 # the delivered messages stay for a look afterwards
e2e_init
trap 'echo' INT # Ctrl-C ends the relay; this script goes on to stop the servers

e2e_add_user demo demo-secret
e2e_start_dovecot
sink_port="$(e2e_free_port)"
e2e_start_sink delivered "$sink_port"

for i in 1 2 3; do
    f="$E2E_WORK/message$i.eml"
    {
        printf 'Return-Path: <sender%d@example.org>\n' "$i"
        printf 'From: Sender %d <sender%d@example.org>\n' "$i" "$i"
        printf 'To: Receiver <receiver@example.net>\n'
        printf 'Subject: Demonstration message %d of 3\n' "$i"
        printf 'Date: %s\n' "$(date -R)"
        printf '\n'
        printf 'This is message %d. The relay took it from the POP3 mailbox, kept it in its\n' "$i"
        printf 'spool and handed it to the SMTP server with a header block of its own.\n'
        printf '.\n'
        printf '.. a line that starts with dots\n'
    } >"$f"
    e2e_seed demo "demo$i" "$f"
done

demo_home="$E2E_WORK/home"
e2e_write_config "$demo_home" \
    "[General]" \
    "POPServer=127.0.0.1" \
    "POPPort=$E2E_POP_PORT" \
    "POPInterval=5000" \
    "POPUser=demo" \
    "POPPassword=demo-secret" \
    "SMTPServer=127.0.0.1" \
    "SMTPPort=$sink_port" \
    "SMTPName=demo.relay" \
    "DebugLevel=*"

cat <<EOF

No TarvixPOP2SMTP.ini in $home: running a demonstration on loopback ports.

  POP3 server (Dovecot)    127.0.0.1:$E2E_POP_PORT, user "demo", 3 messages waiting
  SMTP sink                127.0.0.1:$sink_port
  Delivered messages       $E2E_WORK/delivered/
                           (one file each: a line with the envelope, then the data as sent)
  Relay program directory  $demo_home/
                           (TarvixPOP2SMTP.ini, Messages/ = spool, LogFiles/)

To run the relay with your own servers, put a TarvixPOP2SMTP.ini into $home
(the demonstration's file above is an example). Close the relay with Ctrl-C.
Starting the relay in 5 seconds...
EOF
sleep 5

status=0
POP2SMTP_HOME="$demo_home/" timeout --foreground "$E2E_LIFETIME" "$relay" || status=$?

echo
echo "The relay has stopped (status $status). Delivered messages in $E2E_WORK/delivered/:"
ls -l "$E2E_WORK/delivered/" | sed 1d
echo "Stopping the demonstration servers."

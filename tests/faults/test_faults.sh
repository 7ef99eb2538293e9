#!/usr/bin/env bash
# test_faults.sh PATH_TO_pop2smtp
#
# The fault matrix: the built relay against scripted POP3 and SMTP servers (fault_server.py) that
# misbehave in one way each - refused connections, negative replies at every step, connections
# closed or reset in the middle of a reply or of the message, servers that stall, garbage instead
# of replies, a 10 MiB line without a line feed, NUL and 8-bit bytes, a LIST of 10000 entries - and
# against a hostile machine: a full disk, a spool directory that cannot be written, a log folder
# that disappears, a configuration file that is missing, empty, binary junk or holds a 1 MiB value.
#
# For every row the relay must keep running (still alive, the next poll or delivery attempt comes
# when it should), log what it must, and lose nothing: a message whose spool file could not be
# written is never deleted on the POP3 server (no DELE in the server's transcript).
#
# Each row has its own folder under the work folder, its own servers, relay and spool watcher
# (which records every change of the spool listing with its time, so that checks about "the file
# stays .snd until ..." do not depend on when this script gets round to looking). Rows run in
# parallel, FAULTS_JOBS (default 10) at a time. Output: one line per row, "ok - ROW",
# "FAIL - ROW: why" or "skip - ROW: reason", then "N passed, M failed"; exit status 0 when nothing
# failed. FAULTS_ONLY=REGEX runs the matching rows only; E2E_KEEP=1 keeps the work folder.
set -uo pipefail
FAULTS_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$FAULTS_DIR/../e2e/lib.sh"
E2E_RELAY="$(realpath "${1:?usage: test_faults.sh PATH_TO_pop2smtp}")"
[ -x "$E2E_RELAY" ] || { echo "relay binary not found: $1" >&2; exit 2; }
FAULT_SERVER="$FAULTS_DIR/fault_server.py"
E2E_LIFETIME=200     # no relay, server or watcher outlives this many seconds
ROW_DEADLINE=215     # a row still running this many seconds after the start is stopped and fails
FAULTS_ONLY="${FAULTS_ONLY:-}"
FAULTS_JOBS="${FAULTS_JOBS:-10}"

e2e_init
# A work folder of our own name: other end-to-end runs on the machine use /tmp/p2s.*, and a
# clean-up of those must not take this run's files away in the middle of a row.
rmdir "$E2E_WORK"
E2E_WORK="$(mktemp -d /tmp/faultmatrix.XXXXXX)"
chmod 755 "$E2E_WORK"
STARTED=$SECONDS
PID_FILE="$E2E_WORK/pids"
MOUNT_FILE="$E2E_WORK/mounts"
: >"$PID_FILE"
: >"$MOUNT_FILE"

# Ends what the rows may have left behind (processes by their recorded id, mounts), then runs
# the cleanup of lib.sh with the script's exit status.
faults_cleanup() {
    local status=$? pid m
    set +e
    while read -r pid; do
        [ -n "$pid" ] && e2e_alive "$pid" &&
            grep -qaE 'pop2smtp|fault_server|python' "/proc/$pid/cmdline" 2>/dev/null &&
            kill -TERM "$pid" 2>/dev/null
    done <"$PID_FILE"
    while read -r m; do
        [ -n "$m" ] && mountpoint -q "$m" && umount -l "$m"
    done < <(tac "$MOUNT_FILE" 2>/dev/null)
    (exit "$status")
    e2e_cleanup
}
trap faults_cleanup EXIT

# ---------------------------------------------------------------------------------------------
# Shared test data
# ---------------------------------------------------------------------------------------------
DATA="$E2E_WORK/data"
mkdir -p "$DATA"
e2e_python "$DATA" <<'PY'
import random
d = sys.argv[1]
def put(name, data):
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)

std = (b"Return-Path: <sender@example.org>\n"
       b"From: Sender <sender@example.org>\n"
       b"To: Rcpt <rcpt@example.net>\n"
       b"Subject: fault matrix\n"
       b"\n"
       b"first body line\n"
       b".a line with a leading dot\n"
       b"last body line\n")
put("std.eml", std)                       # a mailbox message (LF line ends)
put("std.msg", stored_form(std))          # the same as the relay stores it

big_body = b"".join(b"%07d %s\n" % (i, b"x" * 60) for i in range(32000))   # about 2 MiB
put("big.msg", stored_form(std.replace(b"first body line\n", big_body)))

# 3 MiB: more than the 2 MiB file system of the full-disk row
put("huge.eml", std.replace(b"first body line\n",
                            b"".join(b"%07d %s\n" % (i, b"h" * 90) for i in range(33000))))

# NUL, control and 8-bit bytes, a bare CR inside a line, dot lines, a long line
binmsg = (b"Return-Path: <bin@example.org>\n"
          b"From: Bin \xe4\xf6\xfc <bin@example.org>\n"
          b"To: Rcpt <rcpt@example.net>\n"
          b"Subject: \x00nul \xff\xfe bytes\n"
          b"\n"
          + bytes(range(0x80, 0x100)) + b"\n"
          + bytes(b for b in range(0x00, 0x20) if b != 0x0A) + b"\n"
          + b"nul\x00in\x00the\x00middle\n"
          + b"bare CR\rinside\n"
          + b"..two dots\n.\x00dot and nul\n"
          + b"\xc3\xa9t\xc3\xa9 utf-8 and \xe9t\xe9 latin-1\n"
          + b"z" * 100000 + b"\n"
          + b"\x00\n")
put("bin.eml", binmsg)

rnd = random.Random(20261204)
while True:
    junk = bytes(rnd.randrange(256) for _ in range(65536))
    if b"general" not in junk.lower():
        break
put("garbage.ini", junk)

# a value of 1 MiB, built from numbered pieces so that a wrong cut shows where it happened
put("long.value", b"".join(b"<%06d>" % i for i in range(131072))[:1 << 20])
PY
[ -s "$DATA/long.value" ] || e2e_fail "test data not written"

# A port that refuses every connection, for the side of the relay that a row does not exercise.
REFUSED_PORT=""
"$E2E_PY" "$FAULT_SERVER" --proto smtp --refuse --transcript "$E2E_WORK/refused.tr" \
    --lifetime "$E2E_LIFETIME" </dev/null >"$E2E_WORK/refused.out" 2>&1 &
E2E_PIDS+=("$!")
refused_ready() {
    REFUSED_PORT="$(awk '$3 == "ready" { print $5; exit }' "$E2E_WORK/refused.tr" 2>/dev/null)"
    [ -n "$REFUSED_PORT" ]
}
e2e_wait 20 "the refusing port holder" refused_ready

# ---------------------------------------------------------------------------------------------
# Helpers used inside a row (each row runs in a subshell of its own; ROW_DIR is its folder)
# ---------------------------------------------------------------------------------------------
ROW_DIR=""
ROW_PATH=""          # ROW_DIR relative to E2E_WORK
HOME_DIR=""          # the relay's program directory
RELAY_LOG=""
SRV_PORT=""
SPOOL_NAME_RE='[0-9]{8}_[0-9]{6}_[0-9a-f]{5}\.(msg|snd|err)'
HAND_PUT=20260101_000000_00001   # the base name of a message put into the spool by hand

now() { date +%s.%N | cut -c1-14; }
# fsub A B: A - B with three decimals
fsub() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a - b }'; }
# fin X LO HI: LO <= X <= HI
fin() { awk -v x="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(x != "" && x + 0 >= lo && x + 0 <= hi) }'; }

row_skip() {
    printf '%s\n' "$*" >"$ROW_DIR/skip"
    exit 77
}

row_cleanup() {
    local pid m
    for pid in "${E2E_PIDS[@]}"; do e2e_stop_pid "$pid"; done
    for pid in "${E2E_WATCHDOGS[@]}"; do e2e_stop_pid "$pid"; done
    if [ -f "$ROW_DIR/mounts" ]; then
        while read -r m; do mountpoint -q "$m" && umount "$m"; done < <(tac "$ROW_DIR/mounts")
    fi
}

track_pid() {
    E2E_PIDS+=("$1")
    echo "$1" >>"$PID_FILE"
}

track_mount() {
    echo "$1" >>"$ROW_DIR/mounts"
    echo "$1" >>"$MOUNT_FILE"
}

# srv NAME ARGS...: starts fault_server.py with transcript ROW_DIR/NAME.tr; sets SRV_PORT.
srv() {
    local name="$1" tr="$ROW_DIR/$1.tr" pid i
    shift
    "$E2E_PY" "$FAULT_SERVER" --transcript "$tr" --lifetime "$E2E_LIFETIME" "$@" \
        </dev/null >"$ROW_DIR/$name.out" 2>&1 &
    pid=$!
    track_pid "$pid"
    for ((i = 0; i < 200; i++)); do
        SRV_PORT="$(awk '$3 == "ready" { print $5; exit }' "$tr" 2>/dev/null)"
        [ -n "$SRV_PORT" ] && return 0
        e2e_alive "$pid" || break
        sleep 0.1
    done
    e2e_fail "fault server $name did not start: $(tail -3 "$ROW_DIR/$name.out")"
}

# Records the listing of HOME_DIR/Messages in ROW_DIR/spool.tr whenever it changes: one line
# "EPOCH NAME..." ("-" for an empty folder, "?" when it cannot be listed), checked every 20 ms.
SPOOL_WATCH_PY='
import os, sys, time
folder, out, life = sys.argv[1], sys.argv[2], float(sys.argv[3])
end = time.time() + life
last = None
with open(out, "a", buffering=1) as f:
    while time.time() < end:
        try:
            names = " ".join(sorted(os.listdir(folder))) or "-"
        except OSError:
            names = "?"
        if names != last:
            f.write("%.3f %s\n" % (time.time(), names))
            last = names
        time.sleep(0.02)
'
spool_watch() {
    "$E2E_PY" -c "$SPOOL_WATCH_PY" "$HOME_DIR/Messages" "$ROW_DIR/spool.tr" "$E2E_LIFETIME" \
        </dev/null >/dev/null 2>&1 &
    track_pid "$!"
    e2e_wait 10 "the spool watcher" test -s "$ROW_DIR/spool.tr"
}

# spool_states FROM TO: the listings in force at some moment between the times FROM and TO
spool_states() {
    awk -v a="$1" -v b="$2" '{ t = $1 + 0; sub(/^[^ ]+ /, "") }
        t <= a + 0 { cur = $0; next }
        t <= b + 0 { if (!shown) { if (cur != "") print cur; shown = 1 } print; next }
        END { if (!shown && cur != "") print cur }' "$ROW_DIR/spool.tr"
}
# spool_always FROM TO ERE WHAT: every listing between FROM and TO matches ERE (whole line)
spool_always() {
    local bad
    bad="$(spool_states "$1" "$2" | grep -vxE -- "$3" | head -1)"
    [ -z "$bad" ] || e2e_fail "$4: the spool held '$bad'"
}
# spool_never FROM TO ERE WHAT: no listing between FROM and TO holds a name matching ERE
spool_never() {
    local bad
    bad="$(spool_states "$1" "$2" | grep -E -- "(^| )$3( |\$)" | head -1)"
    [ -z "$bad" ] || e2e_fail "$4: the spool held '$bad'"
}
# spool_first_time FROM ERE: the time of the first listing after FROM that matches ERE. (The
# watcher sees a change a little after it happened, later than a server notes the connection that
# followed it: windows that start with a rename start at the time the watcher saw it.)
spool_first_time() {
    SPOOL_RE="^($2)\$" awk -v a="$1" '{ t = $1 + 0; l = $0; sub(/^[^ ]+ /, "", l) }
        t > a + 0 && l ~ ENVIRON["SPOOL_RE"] { print $1; exit }' "$ROW_DIR/spool.tr"
}

# config LINE...: writes the relay's configuration file into HOME_DIR
config() { e2e_write_config "$HOME_DIR" "$@"; }

relay_start() {
    e2e_start_relay "$ROW_PATH/relay" "$HOME_DIR"
    echo "$E2E_RELAY_PID" >>"$PID_FILE"
    RELAY_LOG="$E2E_WORK/$ROW_PATH/relay.log"
}

relay_alive() { e2e_alive "$E2E_RELAY_PID"; }
need_alive() { relay_alive || e2e_fail "the relay has exited: $(tail -5 "$RELAY_LOG")"; }

# Relay log: number of lines whose message (after the time stamp) matches an ERE
log_count() { e2e_count "$RELAY_LOG" "^[0-9]{2}:[0-9]{2}:[0-9]{2} $1"; }
log_has() { [ "$(log_count "$1")" -gt 0 ]; }
need_log() { log_has "$1" || e2e_fail "no log line matching '$1'"; }
need_no_log() {
    if log_has "$1"; then
        e2e_fail "unexpected log line: $(grep -aE -m1 "$1" "$RELAY_LOG" | cut -c1-200)"
    fi
}

# Transcript queries. tr_time FILE CONN EVENT: time of the first EVENT of connection CONN.
tr_time() { awk -v c="$2" -v e="$3" '$2 == c && $3 == e { print $1; exit }' "$1" 2>/dev/null; }
tr_has() { [ -n "$(tr_time "$@")" ]; }
tr_conns() { awk '$3 == "open" { n++ } END { print n + 0 }' "$1" 2>/dev/null; }
tr_conns_ge() { [ "$(tr_conns "$1")" -ge "$2" ]; }
# the verbs the client sent on connection CONN, in order, blank-separated
tr_verbs() { awk -v c="$2" '$2 == c && $3 == "C" { printf "%s%s", sep, toupper($4); sep = " " }' "$1"; }
# the lines the client sent on connection CONN
tr_lines() { awk -v c="$2" '$2 == c && $3 == "C" { sub(/^[^ ]+ [^ ]+ C ?/, ""); print }' "$1"; }
# number of client lines on any connection that match the ERE
tr_count_cmd() {
    awk -v r="$2" '$3 == "C" { l = $0; sub(/^[^ ]+ [^ ]+ C ?/, "", l); if (l ~ r) n++ } END { print n + 0 }' "$1"
}
tr_commits() { awk '$3 == "commit" { n++ } END { print n + 0 }' "$1"; }
tr_commits_ge() { [ "$(tr_commits "$1")" -ge "$2" ]; }
tr_conn_gone() { tr_has "$1" "$2" end; }
# the end of connection CONN as the client saw it: our reset or close, else the client's close
tr_conn_cut() {
    local t
    for e in reset close eof; do
        t="$(tr_time "$1" "$2" "$e")"
        [ -n "$t" ] && { echo "$t"; return; }
    done
}

# spool_count [EXTS]: spool files in HOME_DIR/Messages with one of the extensions (default all)
spool_count() {
    find "$HOME_DIR/Messages" -maxdepth 1 -type f -regextype posix-extended \
        -regex ".*/[0-9]{8}_[0-9]{6}_[0-9a-f]{5}\.(${1:-msg|snd|err})" 2>/dev/null | wc -l
}
spool_empty() { [ "$(spool_count)" -eq 0 ]; }
# anything in the spool folder besides spool files (a partial or temporary file)
spool_other() {
    find "$HOME_DIR/Messages" -mindepth 1 -maxdepth 1 2>/dev/null | grep -vE "/$SPOOL_NAME_RE\$" || true
}

# spool_holds RAWFILE COUNT: the spool holds exactly COUNT spool files, each of them the stored
# form of the mailbox message RAWFILE, byte for byte.
spool_holds() {
    e2e_python "$HOME_DIR/Messages" "$1" "$2" <<'PY'
spool, rawfile, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
want = stored_form(open(rawfile, "rb").read())
for attempt in range(20):
    try:
        names = [n for n in os.listdir(spool) if SPOOL_NAME.match(n)]
        got = {n: open(os.path.join(spool, n), "rb").read() for n in names}
        break
    except FileNotFoundError:      # renamed by the dispatch scan between listing and reading
        time.sleep(0.05)
else:
    raise SystemExit("spool keeps changing")
if len(got) != count:
    raise SystemExit("spool holds %d files, expected %d: %s" % (len(got), count, sorted(got)))
for n, data in got.items():
    if data != want:
        raise SystemExit("%s differs from the message: %s" % (n, first_diff(data, want)))
PY
}

# data_is FILE SPOOLFILE: FILE (message data an SMTP server received) has the relay's eight
# header rows, then the body of the spool file SPOOLFILE and CR LF.
data_is() {
    e2e_python "$1" "$2" <<'PY'
data = open(sys.argv[1], "rb").read()
body = body_form(open(sys.argv[2], "rb").read()) + b"\r\n"
rows = data.split(b"\r\n", 8)
if len(rows) < 9 or not rows[0].startswith(b"Message-ID: <") or rows[7] != b"":
    raise SystemExit("header rows: %r" % data[:300])
if rows[8] != body:
    raise SystemExit("body: " + first_diff(rows[8], body))
PY
}

# The relay of a row on the SMTP side: the spool holds one message (SPOOLFILE) put there by hand;
# POP3 goes once to a server with an empty mailbox, whose connection marks the relay's first tick
# (T_START); SMTP goes to the fault server started before (SMTP_PORT).
T_START=""
smtp_relay() {
    local spoolfile="${1:-$DATA/std.msg}"
    srv popmark --proto pop3
    HOME_DIR="$ROW_DIR/home"
    mkdir -p "$HOME_DIR/Messages"
    cp "$spoolfile" "$HOME_DIR/Messages/$HAND_PUT.msg"
    spool_watch
    config "[General]" "POPServer=127.0.0.1" "POPPort=$SRV_PORT" "POPInterval=600000" \
        "SMTPServer=127.0.0.1" "SMTPPort=$SMTP_PORT" "SMTPName=relay.faults.test"
    relay_start
    e2e_wait 20 "the relay's first poll" tr_has "$ROW_DIR/popmark.tr" 1 open
    T_START="$(tr_time "$ROW_DIR/popmark.tr" 1 open)"
}

# The relay of a row on the POP3 side: POP3 from the fault server (POP_PORT), interval
# POP_INTERVAL seconds, SMTP to SMTPPORT (default: a refusing port, so stored messages wait as
# .err files), LINE...: more configuration lines.
POP_INTERVAL=2
pop_relay() {
    local smtp_port="${1:-$REFUSED_PORT}"
    [ $# -gt 0 ] && shift
    HOME_DIR="$ROW_DIR/home"
    mkdir -p "$HOME_DIR"
    [ -e "$HOME_DIR/Messages" ] || mkdir "$HOME_DIR/Messages"
    spool_watch
    config "[General]" "POPServer=127.0.0.1" "POPPort=$POP_PORT" "POPInterval=$((POP_INTERVAL * 1000))" \
        "POPUser=faultuser" "POPPassword=faultpw" "SMTPServer=127.0.0.1" "SMTPPort=$smtp_port" \
        "SMTPName=relay.faults.test" "$@"
    relay_start
}

# After a normal SMTP session CONN: it carried the whole message, and the spool empties.
smtp_delivered_in() {
    local tr="$1" conn="$2" spoolfile="$3" verbs
    e2e_wait 20 "connection $conn ends" tr_conn_gone "$tr" "$conn"
    verbs="$(tr_verbs "$tr" "$conn")"
    [ "$verbs" = "HELO MAIL RCPT DATA QUIT" ] || e2e_fail "connection $conn sent: $verbs"
    [ -f "$ROW_DIR/data/$conn.data" ] || e2e_fail "no message data on connection $conn"
    data_is "$ROW_DIR/data/$conn.data" "$spoolfile" || e2e_fail "message on connection $conn differs"
    e2e_wait 10 "the spool empties after the delivery" spool_empty
}

# ---------------------------------------------------------------------------------------------
# SMTP rows
# ---------------------------------------------------------------------------------------------
smtp_verbs_before() { # the verbs the relay has sent when the reply at POINT arrives
    case "$1" in
    greeting) echo "" ;;
    HELO) echo "HELO" ;;
    MAIL) echo "HELO MAIL" ;;
    RCPT) echo "HELO MAIL RCPT" ;;
    DATA | EOD) echo "HELO MAIL RCPT DATA" ;;
    esac
}

# A reply the relay must refuse at POINT (a negative code, or garbage): it closes the socket at
# once and sends nothing more; the file stays ".snd"; the watchdog (10 s) ends the session and the
# message is offered again; that second session is served normally and delivers it.
row_smtp_refused_reply() {
    local point="$1" action="$2" logre="$3" tr="$ROW_DIR/smtp.tr" t
    srv smtp --proto smtp --data-dir "$ROW_DIR/data" --fault "$point=$action" --faulty-sessions 1
    SMTP_PORT="$SRV_PORT"
    smtp_relay
    e2e_wait 15 "the fault at $point" tr_has "$tr" 1 fault
    e2e_wait 8 "the relay closes the connection after the refused reply" tr_has "$tr" 1 eof
    t="$(fsub "$(tr_time "$tr" 1 eof)" "$(tr_time "$tr" 1 fault)")"
    fin "$t" 0 5 || e2e_fail "connection closed ${t}s after the refused reply (the watchdog, not the reply, ended it)"
    e2e_wait 30 "the message offered again" tr_conns_ge "$tr" 2
    t="$(fsub "$(tr_time "$tr" 2 open)" "$(tr_time "$tr" 1 open)")"
    fin "$t" 9.5 22 || e2e_fail "second attempt ${t}s after the first, expected after the 10 s watchdog"
    [ "$(tr_verbs "$tr" 1)" = "$(smtp_verbs_before "$point")" ] ||
        e2e_fail "first session sent '$(tr_verbs "$tr" 1)', expected '$(smtp_verbs_before "$point")'"
    spool_always "$(spool_first_time 0 "$HAND_PUT\.snd")" "$(tr_time "$tr" 2 open)" "$HAND_PUT\.snd" \
        "between the two attempts"
    smtp_delivered_in "$tr" 2 "$DATA/std.msg"
    need_log "$logre"
    need_no_log '\(   SMTP\) (Socket Error|Closed|Failed)'
    sleep 1
    [ "$(tr_conns "$tr")" -eq 2 ] || e2e_fail "$(tr_conns "$tr") SMTP sessions, expected 2"
    need_alive
}

# A refused reply to the end of the data: no QUIT, the message counts as handed over; its file is
# deleted once the watchdog has reset the session, and it is never offered again.
row_smtp_refused_eod() {
    local code="$1" tr="$ROW_DIR/smtp.tr" t t_del
    srv smtp --proto smtp --data-dir "$ROW_DIR/data" --fault "EOD=reply:$code refused after the data"
    SMTP_PORT="$SRV_PORT"
    smtp_relay
    e2e_wait 15 "the fault at the end of the data" tr_has "$tr" 1 fault
    e2e_wait 8 "the relay closes the connection" tr_has "$tr" 1 eof
    t="$(fsub "$(tr_time "$tr" 1 eof)" "$(tr_time "$tr" 1 fault)")"
    fin "$t" 0 5 || e2e_fail "connection closed ${t}s after the refused reply"
    [ "$(tr_verbs "$tr" 1)" = "HELO MAIL RCPT DATA" ] || e2e_fail "first session sent: $(tr_verbs "$tr" 1)"
    grep -q ' 1 data [0-9]* complete' "$tr" || e2e_fail "the message data was not complete"
    e2e_wait 30 "the spool file deleted" spool_empty
    t_del="$(spool_first_time "$(tr_time "$tr" 1 open)" -)"
    t="$(fsub "$t_del" "$(tr_time "$tr" 1 open)")"
    fin "$t" 9.5 25 || e2e_fail "file deleted ${t}s after the session started, expected after the 10 s watchdog"
    spool_always "$(spool_first_time 0 "$HAND_PUT\.snd")" "$(fsub "$t_del" 0.001)" "$HAND_PUT\.snd" \
        "until the deletion"
    sleep 3
    [ "$(tr_conns "$tr")" -eq 1 ] || e2e_fail "the message was offered again ($(tr_conns "$tr") sessions)"
    need_log "\(<- SMTP\) $code refused after the data"
    need_no_log '\(-> SMTP\) QUIT'
    need_no_log '\(   SMTP\) (Socket Error|Closed)'
    need_alive
}

# The server closes its side (mid-DATA, or in the middle of a reply line): "Closed" is logged, the
# file stays ".snd" and is offered again at once, without the watchdog's wait.
row_smtp_server_close() {
    local point="$1" action="$2" spoolfile="$3" tr="$ROW_DIR/smtp.tr" t
    srv smtp --proto smtp --data-dir "$ROW_DIR/data" --fault "$point=$action" --faulty-sessions 1
    SMTP_PORT="$SRV_PORT"
    smtp_relay "$spoolfile"
    e2e_wait 15 "the fault at $point" tr_has "$tr" 1 fault
    e2e_wait 15 "the message offered again" tr_conns_ge "$tr" 2
    t="$(fsub "$(tr_time "$tr" 2 open)" "$(tr_time "$tr" 1 close)")"
    fin "$t" 0 5 || e2e_fail "offered again ${t}s after the server closed, expected at once"
    if [ "$point" = BODY ]; then
        grep -q ' 1 data [0-9]* partial' "$tr" || e2e_fail "the first session's data was not cut"
    fi
    spool_always "$(spool_first_time 0 "$HAND_PUT\.snd")" "$(tr_time "$tr" 2 open)" "$HAND_PUT\.snd" \
        "between the two attempts"
    smtp_delivered_in "$tr" 2 "$spoolfile"
    need_log "\(   SMTP\) Closed 127\.0\.0\.1:$SMTP_PORT\$"
    need_no_log '\(   SMTP\) Socket Error'
    [ "$(tr_conns "$tr")" -eq 2 ] || e2e_fail "$(tr_conns "$tr") SMTP sessions, expected 2"
    need_alive
}

# A socket error (connection reset, or refused until the port starts listening): "Socket Error"
# is logged, the file becomes ".err", and only the re-queue (after 30 s of idle ticks from the
# start) offers it again.
row_smtp_socket_error() {
    local mode="$1" tr="$ROW_DIR/smtp.tr" t want=2 t_err t_next
    case "$mode" in
    refused)
        srv smtp --proto smtp --data-dir "$ROW_DIR/data" --listen-after 22
        want=1
        ;;
    *) srv smtp --proto smtp --data-dir "$ROW_DIR/data" --fault "$mode=reset" --faulty-sessions 1 ;;
    esac
    SMTP_PORT="$SRV_PORT"
    smtp_relay
    e2e_wait 15 "the socket error" log_has '\(   SMTP\) Socket Error: .'
    need_log "\(   SMTP\) Trying to connect to 127\.0\.0\.1:$SMTP_PORT\$"
    e2e_wait 5 "the .err file" test "$(spool_count err)" -eq 1
    e2e_wait 55 "the message offered again by the re-queue" tr_conns_ge "$tr" "$want"
    t="$(fsub "$(tr_time "$tr" "$want" open)" "$T_START")"
    fin "$t" 27 50 || e2e_fail "offered again ${t}s after the start, expected after about 30 s"
    t_err="$(spool_first_time 0 "$HAND_PUT\.err")"
    t_next="$(spool_first_time "$t_err" "[^.]*\.[^e].*")"
    t="$(fsub "$t_next" "$t_err")"
    fin "$t" 15 50 || e2e_fail "the .err file was taken again after ${t}s, before the re-queue"
    smtp_delivered_in "$tr" "$want" "$DATA/std.msg"
    [ "$(log_count '\(   SMTP\) Trying to connect')" -eq 2 ] ||
        e2e_fail "$(log_count '\(   SMTP\) Trying to connect') connection attempts, expected 2"
    need_alive
}

# The server says nothing (at the greeting, or after the data), or nothing that ends a line: the
# watchdog closes the session after about 10 s and the message is offered again at the next idle
# tick.
row_smtp_stall() {
    local point="$1" action="${2:-stall}" tr="$ROW_DIR/smtp.tr" t
    srv smtp --proto smtp --data-dir "$ROW_DIR/data" --fault "$point=$action" --faulty-sessions 1
    SMTP_PORT="$SRV_PORT"
    smtp_relay
    e2e_wait 30 "the watchdog closes the stalled session" tr_has "$tr" 1 eof
    t="$(fsub "$(tr_time "$tr" 1 eof)" "$(tr_time "$tr" 1 open)")"
    fin "$t" 9.5 22 || e2e_fail "stalled session closed after ${t}s, expected about 10 s"
    [ "$(tr_verbs "$tr" 1)" = "$(smtp_verbs_before "$point")" ] || e2e_fail "first session sent: $(tr_verbs "$tr" 1)"
    e2e_wait 10 "the message offered again" tr_conns_ge "$tr" 2
    t="$(fsub "$(tr_time "$tr" 2 open)" "$(tr_time "$tr" 1 eof)")"
    fin "$t" 0 5 || e2e_fail "offered again ${t}s after the watchdog, expected at once"
    spool_always "$(spool_first_time 0 "$HAND_PUT\.snd")" "$(tr_time "$tr" 2 open)" "$HAND_PUT\.snd" \
        "between the two attempts"
    smtp_delivered_in "$tr" 2 "$DATA/std.msg"
    need_no_log '\(   SMTP\) (Socket Error|Closed)'
    need_alive
}

# ---------------------------------------------------------------------------------------------
# POP3 rows
# ---------------------------------------------------------------------------------------------
pop_verbs_before() {
    case "$1" in
    greeting) echo "" ;;
    USER) echo "USER" ;;
    PASS) echo "USER PASS" ;;
    LIST) echo "USER PASS LIST" ;;
    RETR | BODY) echo "USER PASS LIST RETR" ;;
    esac
}

# After a normal session CONN: it stored the message (byte for byte) and deleted it.
pop_retrieved_in() {
    local tr="$1" conn="$2" raw="$3"
    e2e_wait 20 "connection $conn ends" tr_conn_gone "$tr" "$conn"
    [ "$(tr_verbs "$tr" "$conn")" = "USER PASS LIST RETR DELE QUIT" ] ||
        e2e_fail "connection $conn sent: $(tr_verbs "$tr" "$conn")"
    [ "$(tr_commits "$tr")" -eq 1 ] || e2e_fail "$(tr_commits "$tr") messages deleted on the server"
    spool_holds "$raw" 1 || e2e_fail "the stored message differs"
}

# A reply the relay must refuse (negative or garbage) at POINT: the socket is closed at once, no
# further command is sent; the next poll comes after the watchdog and the interval.
row_pop_refused_reply() {
    local point="$1" action="$2" logre="$3" tr="$ROW_DIR/pop.tr" t
    srv pop --proto pop3 --message "$DATA/std.eml" --fault "$point=$action" --faulty-sessions 1
    POP_PORT="$SRV_PORT"
    pop_relay
    e2e_wait 20 "the fault at $point" tr_has "$tr" 1 fault
    e2e_wait 8 "the relay closes the connection" tr_has "$tr" 1 eof
    t="$(fsub "$(tr_time "$tr" 1 eof)" "$(tr_time "$tr" 1 fault)")"
    fin "$t" 0 5 || e2e_fail "connection closed ${t}s after the refused reply"
    [ "$(tr_verbs "$tr" 1)" = "$(pop_verbs_before "$point")" ] ||
        e2e_fail "first session sent '$(tr_verbs "$tr" 1)', expected '$(pop_verbs_before "$point")'"
    e2e_wait 35 "the next poll" tr_conns_ge "$tr" 2
    t="$(fsub "$(tr_time "$tr" 2 open)" "$(tr_time "$tr" 1 open)")"
    fin "$t" "$((10 + POP_INTERVAL - 1)).5" "$((22 + POP_INTERVAL))" ||
        e2e_fail "next poll ${t}s after the first, expected after the watchdog (10 s) and the interval (${POP_INTERVAL} s)"
    spool_never 0 "$(tr_time "$tr" 2 open)" "$SPOOL_NAME_RE" "before the second session"
    pop_retrieved_in "$tr" 2 "$DATA/std.eml"
    need_log "$logre"
    need_no_log '\(   POP3\) (Socket Error|Closed|Failed)'
    need_alive
}

# The connection breaks while the message is being sent (server close, reset, stall, or a 10 MiB
# line without LF): nothing is stored, nothing deleted; a later session retrieves the message.
row_pop_cut() {
    local point="$1" action="$2" tr="$ROW_DIR/pop.tr" t lo hi
    srv pop --proto pop3 --message "$DATA/std.eml" --fault "$point=$action" --faulty-sessions 1
    POP_PORT="$SRV_PORT"
    pop_relay
    e2e_wait 20 "the fault at $point" tr_has "$tr" 1 fault
    case "$action" in
    close) e2e_wait 8 "the Closed line" log_has "\(   POP3\) Closed 127\.0\.0\.1:$POP_PORT\$" ;;
    reset) e2e_wait 8 "the Socket Error line" log_has '\(   POP3\) Socket Error: .' ;;
    *)
        e2e_wait 35 "the watchdog closes the session" tr_has "$tr" 1 eof
        t="$(fsub "$(tr_time "$tr" 1 eof)" "$(tr_time "$tr" 1 open)")"
        fin "$t" 9.5 22 || e2e_fail "session closed after ${t}s, expected about 10 s (watchdog)"
        ;;
    esac
    [ "$(tr_verbs "$tr" 1)" = "$(pop_verbs_before "$point")" ] || e2e_fail "first session sent: $(tr_verbs "$tr" 1)"
    e2e_wait 30 "the next poll" tr_conns_ge "$tr" 2
    # after a server close or reset the session ends at once, after a stall by the watchdog: the
    # next poll follows the interval from there
    t="$(fsub "$(tr_time "$tr" 2 open)" "$(tr_conn_cut "$tr" 1)")"
    fin "$t" "$((POP_INTERVAL - 1))" "$((POP_INTERVAL + 8))" ||
        e2e_fail "next poll ${t}s after the first session ended, expected the interval (${POP_INTERVAL} s)"
    spool_never 0 "$(tr_time "$tr" 2 open)" "([^ ]{2,}|[^-?])" "before the second session"
    pop_retrieved_in "$tr" 2 "$DATA/std.eml"
    [ "$(log_count '\(-> POP3\) DELE')" -eq 1 ] || e2e_fail "the relay sent DELE $(log_count '\(-> POP3\) DELE') times"
    local hwm
    hwm="$(awk '/^VmHWM/ { print $2 }' "/proc/$E2E_RELAY_PID/status" 2>/dev/null)"
    echo "relay peak memory: ${hwm:-?} kB" >"$ROW_DIR/info"
    [ -z "$hwm" ] || [ "$hwm" -lt 1048576 ] || e2e_fail "the relay's memory peaked at $hwm kB"
    need_alive
}

# NUL, control and 8-bit bytes are stored byte for byte, and delivered unchanged.
row_pop_binary() {
    local tr="$ROW_DIR/pop.tr" str="$ROW_DIR/smtp.tr" f
    srv pop --proto pop3 --message "$DATA/bin.eml"
    POP_PORT="$SRV_PORT"
    # the first SMTP session stalls: the file stays in the spool long enough to be compared
    srv smtp --proto smtp --data-dir "$ROW_DIR/data" --fault greeting=stall --faulty-sessions 1
    SMTP_PORT="$SRV_PORT"
    POP_INTERVAL=600 pop_relay "$SMTP_PORT"
    e2e_wait 20 "the message retrieved" tr_conn_gone "$tr" 1
    [ "$(tr_verbs "$tr" 1)" = "USER PASS LIST RETR DELE QUIT" ] || e2e_fail "POP3 session sent: $(tr_verbs "$tr" 1)"
    e2e_wait 10 "the first SMTP session" tr_has "$str" 1 open
    spool_holds "$DATA/bin.eml" 1 || e2e_fail "the stored message differs from what the server sent"
    f="$ROW_DIR/spool.copy"
    cp "$HOME_DIR"/Messages/*.snd "$f" 2>/dev/null || e2e_fail "no .snd file during the stalled session"
    e2e_wait 35 "the second SMTP session" tr_conns_ge "$str" 2
    smtp_delivered_in "$str" 2 "$f"
    need_alive
}

# A LIST of 10000 entries: the first 100, in list order, are fetched and deleted in the session.
row_pop_list10000() {
    local tr="$ROW_DIR/pop.tr" want i
    srv pop --proto pop3 --list-count 10000
    POP_PORT="$SRV_PORT"
    POP_INTERVAL=600 pop_relay
    e2e_wait 40 "the session ends" tr_conn_gone "$tr" 1
    want="USER PASS LIST"
    for ((i = 1; i <= 100; i++)); do want+=" RETR DELE"; done
    want+=" QUIT"
    [ "$(tr_verbs "$tr" 1)" = "$want" ] ||
        e2e_fail "the session sent $(tr_verbs "$tr" 1 | wc -w) commands: $(tr_verbs "$tr" 1 | cut -c1-60) ... $(tr_verbs "$tr" 1 | rev | cut -c1-60 | rev)"
    want="$(for ((i = 1; i <= 100; i++)); do printf 'RETR %d\nDELE %d\n' "$i" "$i"; done)"
    [ "$(tr_lines "$tr" 1 | grep -E '^(RETR|DELE)')" = "$want" ] ||
        e2e_fail "RETR/DELE are not 1..100 in list order"
    [ "$(tr_commits "$tr")" -eq 100 ] || e2e_fail "$(tr_commits "$tr") messages deleted"
    e2e_python "$HOME_DIR/Messages" <<'PY' || e2e_fail "the stored messages are not messages 1..100"
spool = sys.argv[1]
got = set()
for n in os.listdir(spool):
    if SPOOL_NAME.match(n):
        got.add(open(os.path.join(spool, n), "rb").read())
want = set(stored_form(b"Return-Path: <list%d@example.org>\nFrom: List <list%d@example.org>\n"
                       b"To: <to@example.net>\nSubject: list %d\n\nmessage %d\n" % (i, i, i, i))
           for i in range(1, 101))
if got != want:
    raise SystemExit("%d files, %d as expected" % (len(got), len(got & want)))
PY
    need_alive
}

# ---------------------------------------------------------------------------------------------
# File rows
# ---------------------------------------------------------------------------------------------

# The message cannot be written: "(   POP3) Failed: " is logged, no DELE is sent, the message stays
# on the server and is offered again at the next poll; the relay keeps running.
row_file_unwritable() {
    local kind="$1" tr="$ROW_DIR/pop.tr" msg="$DATA/std.eml" avail
    HOME_DIR="$ROW_DIR/home"
    mkdir -p "$HOME_DIR"
    case "$kind" in
    full)
        mount -t tmpfs -o size=2m,mode=0700 tmpfs "$HOME_DIR" 2>"$ROW_DIR/mount.err" ||
            row_skip "cannot mount a tmpfs here: $(head -1 "$ROW_DIR/mount.err")"
        track_mount "$HOME_DIR"
        msg="$DATA/huge.eml"
        ;;
    file)
        : >"$HOME_DIR/Messages"
        ;;
    readonly)
        mkdir -p "$HOME_DIR/Messages"
        { mount --bind "$HOME_DIR/Messages" "$HOME_DIR/Messages" &&
            track_mount "$HOME_DIR/Messages" &&
            mount -o remount,bind,ro "$HOME_DIR/Messages"; } 2>"$ROW_DIR/mount.err" ||
            row_skip "cannot make a read-only bind mount here: $(head -1 "$ROW_DIR/mount.err")"
        touch "$HOME_DIR/Messages/probe" 2>/dev/null && row_skip "the read-only mount is writable"
        ;;
    esac
    srv pop --proto pop3 --message "$msg"
    POP_PORT="$SRV_PORT"
    pop_relay
    e2e_wait 30 "the Failed line" log_has '\(   POP3\) Failed: .'
    e2e_wait 8 "the relay closes the connection" tr_has "$tr" 1 eof
    [ "$(tr_verbs "$tr" 1)" = "USER PASS LIST RETR" ] || e2e_fail "first session sent: $(tr_verbs "$tr" 1)"
    if [ "$kind" = full ]; then
        [ -z "$(spool_other)" ] || e2e_fail "a partial file is left on the full disk: $(spool_other)"
        avail="$(df -k --output=avail "$HOME_DIR" | tail -1 | tr -d ' ')"
        [ "$avail" -gt 1500 ] || e2e_fail "only $avail kB left free on the 2 MiB disk after the failure"
    fi
    e2e_wait 40 "the next poll" tr_conns_ge "$tr" 2
    e2e_wait 20 "the message offered again" tr_has "$tr" 2 end
    [ "$(tr_lines "$tr" 2 | grep -c '^RETR 1$')" -eq 1 ] || e2e_fail "the next poll did not fetch the message again"
    [ "$(tr_count_cmd "$tr" '^DELE')" -eq 0 ] || e2e_fail "DELE sent for a message that was not stored"
    [ "$(tr_commits "$tr")" -eq 0 ] || e2e_fail "the message was deleted on the server"
    spool_never 0 "$(now)" "$SPOOL_NAME_RE" "a message was stored"
    [ "$(log_count '\(   POP3\) Failed: .')" -ge 2 ] || e2e_fail "the second failure was not logged"
    need_alive
}

# The log folder goes away while every level is logged: the relay keeps running and its lines
# keep coming on stdout.
row_file_logdir() {
    local kind="$1" tr="$ROW_DIR/pop.tr" t_rm n_after
    srv pop --proto pop3 --message "$DATA/std.eml" --message "$DATA/std.eml" \
        --message "$DATA/std.eml" --message "$DATA/std.eml" --max-list 1
    POP_PORT="$SRV_PORT"
    pop_relay "$REFUSED_PORT" "DebugLevel=*"
    logged_dele() { cat "$HOME_DIR"/LogFiles/*.Log 2>/dev/null | grep -qa 'DELE 1'; }
    e2e_wait 20 "the first session in the log file" logged_dele
    rm -rf "$HOME_DIR/LogFiles"
    [ "$kind" = file ] && echo "not a folder" >"$HOME_DIR/LogFiles"
    t_rm="$(now)"
    e2e_wait 40 "four sessions that retrieved a message" tr_commits_ge "$tr" 4
    n_after="$(awk -v t="$t_rm" '$3 == "open" && $1 > t { n++ } END { print n + 0 }' "$tr")"
    [ "$n_after" -ge 1 ] || e2e_fail "no session after the removal of the log folder"
    [ "$(log_count '\(-> POP3\) DELE 1$')" -eq 4 ] ||
        e2e_fail "$(log_count '\(-> POP3\) DELE 1$') DELE lines on stdout, expected 4"
    [ "$(tr_count_cmd "$tr" '^DELE 1$')" -eq 4 ] || e2e_fail "$(tr_count_cmd "$tr" '^DELE 1$') DELE sent, expected 4"
    [ "$(spool_count)" -eq 4 ] || e2e_fail "the spool holds $(spool_count) messages, expected 4"
    need_alive
}

# A configuration that gives no [General] values: the relay polls 127.0.0.1:110 as "user" with
# "mailkeys" at once and 10 s after each session, and writes no log file. The rows share port 110
# and take turns.
row_config_defaults() {
    local kind="$1" tr="$ROW_DIR/pop.tr" t i pid have_server=1
    exec 9>"$E2E_WORK/port110.lock"
    flock 9
    HOME_DIR="$ROW_DIR/home"
    mkdir -p "$HOME_DIR"
    case "$kind" in
    missing) ;;
    empty) : >"$HOME_DIR/TarvixPOP2SMTP.ini" ;;
    garbage) cp "$DATA/garbage.ini" "$HOME_DIR/TarvixPOP2SMTP.ini" ;;
    esac
    [ -f "$HOME_DIR/TarvixPOP2SMTP.ini" ] && chmod 600 "$HOME_DIR/TarvixPOP2SMTP.ini"
    "$E2E_PY" "$FAULT_SERVER" --proto pop3 --port 110 --transcript "$tr" --lifetime 90 \
        </dev/null >"$ROW_DIR/pop.out" 2>&1 &
    pid=$!
    track_pid "$pid"
    for ((i = 0; i < 100; i++)); do
        tr_has "$tr" 0 ready && break
        e2e_alive "$pid" || break
        sleep 0.1
    done
    tr_has "$tr" 0 ready || have_server=0
    relay_start
    e2e_wait 10 "the first poll" log_has '\(   POP3\) Trying to connect to 127\.0\.0\.1:110$'
    if [ "$have_server" = 1 ]; then
        e2e_wait 10 "the first session" tr_conn_gone "$tr" 1
        [ "$(tr_lines "$tr" 1 | paste -sd'|')" = "USER user|PASS mailkeys|LIST|QUIT" ] ||
            e2e_fail "first session sent: $(tr_lines "$tr" 1 | paste -sd'|')"
        e2e_wait 25 "the second poll" tr_conns_ge "$tr" 2
        t="$(fsub "$(tr_time "$tr" 2 open)" "$(tr_time "$tr" 1 end)")"
        fin "$t" 9.5 18 || e2e_fail "second poll ${t}s after the first session, expected 10 s"
    else
        echo "port 110 is taken: checked the log only" >"$ROW_DIR/info"
        second_poll() { [ "$(log_count '\(   POP3\) Trying to connect to 127\.0\.0\.1:110$')" -ge 2 ]; }
        e2e_wait 25 "the second poll" second_poll
    fi
    [ -z "$(ls -A "$HOME_DIR/LogFiles" 2>/dev/null)" ] || e2e_fail "a log file was written with no DebugLevel"
    need_alive
}

# A 1 MiB value is cut to 2047 characters, and the keys after it are still read.
row_config_long_value() {
    local tr="$ROW_DIR/pop.tr" want t
    srv pop --proto pop3 --message "$DATA/std.eml"
    POP_PORT="$SRV_PORT"
    HOME_DIR="$ROW_DIR/home"
    mkdir -p "$HOME_DIR"
    {
        printf '[General]\nPOPServer=127.0.0.1\nPOPPort=%s\nPOPUser=' "$POP_PORT"
        cat "$DATA/long.value"
        printf '\nPOPPassword=after-the-long-value\nPOPInterval=2000\nSMTPPort=%s\n' "$REFUSED_PORT"
    } >"$HOME_DIR/TarvixPOP2SMTP.ini"
    chmod 600 "$HOME_DIR/TarvixPOP2SMTP.ini"
    relay_start
    e2e_wait 20 "the first session" tr_conn_gone "$tr" 1
    want="USER $(head -c 2047 "$DATA/long.value")"
    [ "$(tr_lines "$tr" 1 | head -1)" = "$want" ] ||
        e2e_fail "USER line of $(tr_lines "$tr" 1 | head -1 | wc -c) bytes, expected the first 2047 characters of the value"
    [ "$(tr_lines "$tr" 1 | sed -n 2p)" = "PASS after-the-long-value" ] ||
        e2e_fail "PASS line: $(tr_lines "$tr" 1 | sed -n 2p | cut -c1-80)"
    e2e_wait 20 "the next poll" tr_conns_ge "$tr" 2
    t="$(fsub "$(tr_time "$tr" 2 open)" "$(tr_time "$tr" 1 end)")"
    fin "$t" 1 8 || e2e_fail "next poll ${t}s after the first, expected the configured 2 s"
    need_alive
}

# ---------------------------------------------------------------------------------------------
# The matrix
# ---------------------------------------------------------------------------------------------
ROWS=()
ROW_CMDS=()
ROW_LONG=()   # rows that take 30 s or more start first
add_row() { # add_row NAME FUNCTION ARGS...
    local name="$1"
    shift
    if [ -n "$FAULTS_ONLY" ] && ! [[ "$name" =~ $FAULTS_ONLY ]]; then return 0; fi
    ROWS+=("$name")
    ROW_CMDS+=("$(printf '%q ' "$@")")
    case "$1" in
    row_smtp_socket_error | row_config_defaults) ROW_LONG+=(1) ;;
    *) ROW_LONG+=(0) ;;
    esac
}

for point in greeting HELO MAIL RCPT DATA; do
    add_row "SMTP 4xx at $point" row_smtp_refused_reply "$point" "reply:451 4.3.0 fault at $point" \
        "\(<- SMTP\) 451 4\.3\.0 fault at $point\$"
    add_row "SMTP 5xx at $point" row_smtp_refused_reply "$point" "reply:554 5.7.1 fault at $point" \
        "\(<- SMTP\) 554 5\.7\.1 fault at $point\$"
done
add_row "SMTP 4xx at end of data" row_smtp_refused_eod 452
add_row "SMTP 5xx at end of data" row_smtp_refused_eod 552
add_row "SMTP garbage instead of the greeting" row_smtp_refused_reply greeting garbage '\(<- SMTP\) \*\*\* not a reply \*\*\*$'
add_row "SMTP refuses the connection" row_smtp_socket_error refused
add_row "SMTP resets the connection at the greeting" row_smtp_socket_error greeting
add_row "SMTP resets the connection mid-DATA" row_smtp_socket_error BODY
add_row "SMTP closes mid-DATA" row_smtp_server_close BODY close "$DATA/big.msg"
add_row "SMTP closes mid-reply" row_smtp_server_close MAIL halfreply "$DATA/std.msg"
add_row "SMTP stalls at the greeting" row_smtp_stall greeting
add_row "SMTP stalls after the data" row_smtp_stall EOD
add_row "SMTP 10 MiB line without LF as the greeting" row_smtp_stall greeting longline

add_row "POP3 rejects USER" row_pop_refused_reply USER "reply:-ERR no such user" '\(<- POP3\) -ERR no such user$'
add_row "POP3 rejects PASS" row_pop_refused_reply PASS "reply:-ERR invalid password" '\(<- POP3\) -ERR invalid password$'
add_row "POP3 rejects RETR" row_pop_refused_reply RETR "reply:-ERR message locked" '\(<- POP3\) -ERR message locked$'
add_row "POP3 garbage instead of the greeting" row_pop_refused_reply greeting garbage '\(<- POP3\) \*\*\* not a reply \*\*\*$'
add_row "POP3 garbage instead of the USER reply" row_pop_refused_reply USER garbage '\(<- POP3\) \*\*\* not a reply \*\*\*$'
add_row "POP3 garbage instead of the LIST reply" row_pop_refused_reply LIST garbage '\(<- POP3\) \*\*\* not a reply \*\*\*$'
add_row "POP3 drops the connection mid-RETR" row_pop_cut BODY close
add_row "POP3 resets the connection mid-RETR" row_pop_cut BODY reset
add_row "POP3 stalls mid-RETR" row_pop_cut BODY stall
add_row "POP3 10 MiB line without LF in RETR" row_pop_cut BODY longline
add_row "POP3 10 MiB line without LF as the greeting" row_pop_cut greeting longline
add_row "POP3 NUL and 8-bit bytes" row_pop_binary
add_row "POP3 LIST of 10000 entries" row_pop_list10000

add_row "disk full (2 MiB tmpfs, 3 MiB message)" row_file_unwritable full
add_row "spool replaced by a regular file" row_file_unwritable file
add_row "spool on a read-only mount" row_file_unwritable readonly
add_row "log folder removed with DebugLevel=*" row_file_logdir removed
add_row "log folder replaced by a file with DebugLevel=*" row_file_logdir file
add_row "configuration file missing" row_config_defaults missing
add_row "configuration file empty" row_config_defaults empty
add_row "configuration file of binary garbage" row_config_defaults garbage
add_row "configuration value of 1 MiB" row_config_long_value

[ ${#ROWS[@]} -gt 0 ] || e2e_fail "no row matches FAULTS_ONLY=$FAULTS_ONLY"

# Runs row number I in a subshell of its own: folder rows/I, its processes stopped at its end.
run_row() {
    local i="$1"
    ROW_PATH="rows/$i"
    ROW_DIR="$E2E_WORK/$ROW_PATH"
    E2E_PIDS=()
    E2E_WATCHDOGS=()
    trap row_cleanup EXIT
    eval "${ROW_CMDS[$i]}"
}

# Start order: the long rows first, then the rest in table order.
ORDER=()
for i in "${!ROWS[@]}"; do [ "${ROW_LONG[$i]}" = 1 ] && ORDER+=("$i"); done
for i in "${!ROWS[@]}"; do [ "${ROW_LONG[$i]}" = 0 ] && ORDER+=("$i"); done

declare -A ROW_PID=() ROW_STATUS=() ROW_BEGIN=() ROW_END=()
deadline=$((SECONDS + ROW_DEADLINE))
next=0
while :; do
    running=0
    for i in "${!ROW_PID[@]}"; do
        [ -n "${ROW_STATUS[$i]:-}" ] && continue
        if e2e_alive "${ROW_PID[$i]}"; then
            if ((SECONDS >= deadline)); then
                kill -TERM "${ROW_PID[$i]}" 2>/dev/null
                wait "${ROW_PID[$i]}" 2>/dev/null
                ROW_STATUS[$i]=timeout
                ROW_END[$i]=$SECONDS
            else
                running=$((running + 1))
            fi
        else
            wait "${ROW_PID[$i]}"
            ROW_STATUS[$i]=$?
            ROW_END[$i]=$SECONDS
        fi
    done
    while ((running < FAULTS_JOBS && next < ${#ORDER[@]})); do
        i="${ORDER[$next]}"
        next=$((next + 1))
        if ((SECONDS >= deadline)); then
            ROW_STATUS[$i]=notrun
            continue
        fi
        mkdir -p "$E2E_WORK/rows/$i"
        (run_row "$i") >"$E2E_WORK/rows/$i/stdout" 2>"$E2E_WORK/rows/$i/stderr" &
        ROW_PID[$i]=$!
        ROW_BEGIN[$i]=$SECONDS
        running=$((running + 1))
    done
    ((running > 0 || next < ${#ORDER[@]})) || break
    sleep 0.5
done

passed=0
failed=0
for i in "${!ROWS[@]}"; do
    name="${ROWS[$i]}"
    dir="$E2E_WORK/rows/$i"
    case "${ROW_STATUS[$i]}" in
    0)
        echo "ok - $name"
        passed=$((passed + 1))
        ;;
    77)
        echo "skip - $name: $(cat "$dir/skip" 2>/dev/null)"
        ;;
    *)
        case "${ROW_STATUS[$i]}" in
        timeout) why="did not finish within ${ROW_DEADLINE}s of the start" ;;
        notrun) why="not started before the deadline" ;;
        *)
            why="$(grep -a '^FAIL: ' "$dir/stderr" 2>/dev/null | tail -1 | cut -c7-)"
            [ -n "$why" ] || why="exit status ${ROW_STATUS[$i]}: $(tail -1 "$dir/stderr" 2>/dev/null)"
            ;;
        esac
        echo "FAIL - $name: $why"
        failed=$((failed + 1))
        {
            echo "--- $name (folder $dir) ---"
            [ -f "$dir/relay.log" ] && grep -av '^[0-9:]\{8\} (-> SMTP) [^A-Z]' "$dir/relay.log" | tail -12 | cut -c1-160
        } >&2
        ;;
    esac
    [ -f "$dir/info" ] && echo "  ($name: $(cat "$dir/info"))" >&2
done
echo "$passed passed, $failed failed"
{
    echo "fault matrix: ${#ROWS[@]} rows in $((SECONDS - STARTED)) s, $FAULTS_JOBS at a time; the longest:"
    for i in "${!ROW_BEGIN[@]}"; do
        echo "$((${ROW_END[$i]:-$SECONDS} - ROW_BEGIN[$i])) ${ROWS[$i]}"
    done | sort -rn | head -5 | sed 's/^\([0-9]*\) /  \1 s  /'
} >&2
[ "$failed" -eq 0 ]

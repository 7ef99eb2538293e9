# lib.sh - helpers for the end-to-end tests (sourced, not run).
#
# A test builds a private world under one short folder in /tmp: a Dovecot POP3 server on a
# loopback port, SMTP sinks (smtp_sink.py), and one or more relay processes with their own program
# directories. Every process started here is bounded in time by a lifetime of its own and is
# stopped by the EXIT trap that e2e_init installs.
#
#   source tests/e2e/lib.sh
#   e2e_init                      # work folder in $E2E_WORK, EXIT trap
#   e2e_start_dovecot             # POP3 on 127.0.0.1:$E2E_POP_PORT; mailbox users via e2e_add_user
#   e2e_seed USER NAME FILE       # puts a message file into USER's Maildir/new
#   port=$(e2e_free_port)
#   e2e_start_sink NAME PORT      # SMTP sink storing into $E2E_WORK/NAME
#   e2e_write_config DIR LINE...   # DIR/TarvixPOP2SMTP.ini, one argument per line
#   e2e_start_relay NAME DIR      # pop2smtp with POP2SMTP_HOME=DIR, output to $E2E_WORK/NAME.log
#   e2e_wait 30 "description" COMMAND ...

E2E_LIB_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
E2E_PY=/usr/bin/python3
# Upper bound on the life of every server and relay a test starts, in seconds.
E2E_LIFETIME="${E2E_LIFETIME:-240}"

E2E_WORK=""
E2E_PIDS=()        # processes to stop at exit (relays, sinks)
E2E_WATCHDOGS=()   # lifetime watchdogs, stopped last
E2E_PORTS=()       # ports handed out by e2e_free_port in this run
E2E_DOVECOT_DIR=""
E2E_POP_PORT=""
E2E_KEEP="${E2E_KEEP:-}"   # non-empty: leave the work folder for inspection

e2e_log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }

e2e_fail() {
    printf 'FAIL: %s\n' "$*" >&2
    exit 1
}

# Makes the work folder and installs the cleanup trap. Paths stay short: Dovecot puts UNIX
# sockets under its base_dir, and a socket path must fit in 108 bytes.
e2e_init() {
    [ -x "$E2E_PY" ] || e2e_fail "$E2E_PY is missing (bash scripts/deps.sh test)"
    umask 022
    E2E_WORK="$(mktemp -d /tmp/p2s.XXXXXX)"
    # Dovecot's mail processes run as nobody and must reach the mail folder below this one.
    chmod 755 "$E2E_WORK"
    trap e2e_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
}

# True while process PID runs. A daemon that has exited may stay a zombie for a while (Dovecot's
# master is reaped by init, not by us): that counts as ended.
e2e_alive() {
    local state
    state="$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null)" || return 1
    [ -n "$state" ] && [ "$state" != Z ] && [ "$state" != X ]
}

# Stops a process by pid: TERM, up to 5 s of grace, then KILL.
e2e_stop_pid() {
    local pid="$1" i
    e2e_alive "$pid" || { wait "$pid" 2>/dev/null; return 0; }
    kill -TERM "$pid" 2>/dev/null || return 0
    for ((i = 0; i < 50; i++)); do
        e2e_alive "$pid" || break
        sleep 0.1
    done
    e2e_alive "$pid" && kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null || true
}

e2e_stop_dovecot() {
    [ -n "$E2E_DOVECOT_DIR" ] || return 0
    local pidfile="$E2E_DOVECOT_DIR/run/master.pid" pid
    [ -f "$pidfile" ] || return 0
    pid="$(cat "$pidfile" 2>/dev/null)"
    [ -n "$pid" ] && e2e_stop_pid "$pid"
    rm -f "$pidfile"
}

e2e_cleanup() {
    local status=$? pid
    set +e
    trap - INT TERM
    for pid in "${E2E_PIDS[@]}"; do e2e_stop_pid "$pid"; done
    e2e_stop_dovecot
    for pid in "${E2E_WATCHDOGS[@]}"; do e2e_stop_pid "$pid"; done
    if [ -n "$E2E_WORK" ] && [ -d "$E2E_WORK" ]; then
        if [ "$status" -ne 0 ] || [ -n "$E2E_KEEP" ]; then
            printf 'work folder kept: %s\n' "$E2E_WORK" >&2
        else
            rm -rf "$E2E_WORK"
        fi
    fi
    exit "$status"
}

# Runs COMMAND... after SECONDS in a separate single process (a lifetime limit); the process is
# stopped at exit if it has not fired.
e2e_after() {
    local seconds="$1"
    shift
    "$E2E_PY" -c '
import subprocess, sys, time
time.sleep(float(sys.argv[1]))
subprocess.call(sys.argv[2:])
' "$seconds" "$@" </dev/null >/dev/null 2>&1 &
    E2E_WATCHDOGS+=("$!")
}

# Prints a TCP port on 127.0.0.1 that is free now and was not handed out before in this run.
e2e_free_port() {
    local port i
    for ((i = 0; i < 20; i++)); do
        port="$("$E2E_PY" -c '
import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])
s.close()
')"
        if [[ " ${E2E_PORTS[*]} " != *" $port "* ]]; then
            E2E_PORTS+=("$port")
            printf '%s\n' "$port"
            return 0
        fi
    done
    e2e_fail "no free port"
}

# True when something accepts connections on 127.0.0.1:PORT.
e2e_port_open() {
    timeout 2 bash -c "exec 3<>/dev/tcp/127.0.0.1/$1" 2>/dev/null
}

# e2e_wait SECONDS DESCRIPTION COMMAND... : polls COMMAND every 0.2 s until it succeeds; fails the
# test with DESCRIPTION when SECONDS pass first.
e2e_wait() {
    local seconds="$1" what="$2"
    shift 2
    local deadline=$((SECONDS + seconds))
    while ! "$@"; do
        if ((SECONDS >= deadline)); then
            e2e_fail "timed out after ${seconds}s waiting for: $what"
        fi
        sleep 0.2
    done
}

# Users of the private Dovecot: "name:password" pairs, written to its passwd file on start.
E2E_USERS=()
e2e_add_user() {
    E2E_USERS+=("$1:$2")
}

e2e_maildir() { printf '%s\n' "$E2E_WORK/mail/$1/Maildir"; }

# Starts Dovecot as a POP3 server on 127.0.0.1:$E2E_POP_PORT with the users added so far (a user
# "relay" with password "secret" when none was added). Mail is served as nobody:nogroup: Dovecot
# refuses uid 0.
e2e_start_dovecot() {
    command -v dovecot >/dev/null || e2e_fail "dovecot is missing (bash scripts/deps.sh test)"
    [ ${#E2E_USERS[@]} -gt 0 ] || e2e_add_user relay secret
    local d="$E2E_WORK/dc" u name pass md
    E2E_DOVECOT_DIR="$d"
    E2E_POP_PORT="$(e2e_free_port)"
    mkdir -p "$d/run" "$d/state"
    : >"$d/passwd"
    for u in "${E2E_USERS[@]}"; do
        name="${u%%:*}"
        pass="${u#*:}"
        printf '%s:{PLAIN}%s:65534:65534::%s::\n' "$name" "$pass" "$E2E_WORK/mail/$name" >>"$d/passwd"
        md="$(e2e_maildir "$name")"
        mkdir -p "$md/new" "$md/cur" "$md/tmp"
    done
    chown -R 65534:65534 "$E2E_WORK/mail"
    chmod 644 "$d/passwd"
    cat >"$d/dovecot.conf" <<EOF
protocols = pop3
listen = 127.0.0.1
base_dir = $d/run
state_dir = $d/state
log_path = $d/dovecot.log
info_log_path = $d/dovecot.log
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain login
first_valid_uid = 65534
first_valid_gid = 65534
mail_location = maildir:$E2E_WORK/mail/%u/Maildir
passdb {
  driver = passwd-file
  args = scheme=PLAIN $d/passwd
}
userdb {
  driver = passwd-file
  args = $d/passwd
}
service pop3-login {
  inet_listener pop3 {
    address = 127.0.0.1
    port = $E2E_POP_PORT
  }
  inet_listener pop3s {
    port = 0
  }
}
EOF
    doveconf -c "$d/dovecot.conf" -n >"$d/doveconf.out" 2>&1 ||
        e2e_fail "dovecot configuration rejected: $(cat "$d/doveconf.out")"
    # dovecot keeps the caller's stdout and stderr open after it daemonizes: never a pipe.
    dovecot -c "$d/dovecot.conf" </dev/null >"$d/start.out" 2>&1 ||
        e2e_fail "dovecot did not start: $(cat "$d/start.out" "$d/dovecot.log" 2>/dev/null)"
    e2e_wait 20 "dovecot master.pid" test -s "$d/run/master.pid"
    e2e_after "$E2E_LIFETIME" sh -c "kill \$(cat '$d/run/master.pid') 2>/dev/null"
    e2e_wait 20 "dovecot listening on $E2E_POP_PORT" e2e_port_open "$E2E_POP_PORT"
}

# e2e_seed USER NAME FILE: delivers FILE (LF line ends) as message NAME into USER's maildir:
# written to tmp/, then renamed into new/, owned by nobody like the rest of the mailbox.
e2e_seed() {
    local md
    md="$(e2e_maildir "$1")"
    cp "$3" "$md/tmp/$2"
    chown 65534:65534 "$md/tmp/$2"
    mv "$md/tmp/$2" "$md/new/$2"
}

# Number of messages in USER's mailbox (new and cur).
e2e_mailbox_count() {
    local md
    md="$(e2e_maildir "$1")"
    find "$md/new" "$md/cur" -type f | wc -l
}

# e2e_start_sink NAME PORT: SMTP sink on 127.0.0.1:PORT storing messages in $E2E_WORK/NAME.
e2e_start_sink() {
    local name="$1" port="$2"
    mkdir -p "$E2E_WORK/$name"
    "$E2E_PY" "$E2E_LIB_DIR/smtp_sink.py" --port "$port" --dir "$E2E_WORK/$name" \
        --lifetime "$E2E_LIFETIME" </dev/null >"$E2E_WORK/$name.log" 2>&1 &
    E2E_PIDS+=("$!")
    e2e_wait 20 "SMTP sink $name on $port" e2e_port_open "$port"
}

# e2e_write_config DIR LINE...: writes DIR/TarvixPOP2SMTP.ini from the given lines.
e2e_write_config() {
    local dir="$1"
    shift
    mkdir -p "$dir"
    printf '%s\n' "$@" >"$dir/TarvixPOP2SMTP.ini"
    chmod 600 "$dir/TarvixPOP2SMTP.ini"
}

# e2e_start_relay NAME DIR: runs the relay ($E2E_RELAY) with program directory DIR in the
# background; its console output goes to $E2E_WORK/NAME.log. Sets E2E_RELAY_PID.
E2E_RELAY_PID=""
e2e_start_relay() {
    local name="$1" dir="$2"
    [ -x "$E2E_RELAY" ] || e2e_fail "relay binary not found: $E2E_RELAY"
    POP2SMTP_HOME="$dir/" "$E2E_RELAY" </dev/null >"$E2E_WORK/$name.log" 2>&1 &
    E2E_RELAY_PID="$!"
    E2E_PIDS+=("$E2E_RELAY_PID")
    e2e_after "$E2E_LIFETIME" kill -TERM "$E2E_RELAY_PID"
}

# Counts the lines of FILE that match the extended regular expression.
e2e_count() { grep -acE -- "$2" "$1" 2>/dev/null || true; }

# Python helpers shared by the tests' checkers; e2e_python runs a script given on stdin after them.
#   stored_form(raw)  the spool file the relay must write for a mailbox file of bytes RAW: the
#                     lines as the POP3 server sends them (LF or CR LF line ends, a last line
#                     without LF completed, lines that start with "." stuffed with another "."),
#                     every CR removed from each line, each line followed by CR LF, then one more
#                     CR LF.
#   body_form(stored) the lines of a spool file after its first empty line, each followed by CR LF,
#                     with all CR LF pairs at the end removed.
#   SPOOL_NAME        regular expression of a spool file name.
#   first_diff(a, b)  a short text that shows where two byte strings part.
E2E_PY_COMMON='
import os, re, sys, json, time

SPOOL_NAME = re.compile(r"^(\d{8}_\d{6}_[0-9a-f]{5}\.)(msg|snd|err)$")

def stored_form(raw):
    if not raw.endswith(b"\n"):
        raw += b"\n"
    out = []
    for line in raw.split(b"\n")[:-1]:
        if line.startswith(b"."):
            line = b"." + line
        out.append(line.replace(b"\r", b"") + b"\r\n")
    return b"".join(out) + b"\r\n"

def body_form(stored):
    lines = stored.split(b"\r\n")
    if lines and lines[-1] == b"":
        lines.pop()
    if b"" not in lines:
        return b""
    body = b"".join(l + b"\r\n" for l in lines[lines.index(b"") + 1:])
    while body.endswith(b"\r\n"):
        body = body[:-2]
    return body

def first_diff(a, b):
    n = 0
    while n < min(len(a), len(b)) and a[n] == b[n]:
        n += 1
    return "lengths %d/%d, first difference at byte %d: %r vs %r" % (
        len(a), len(b), n, a[max(0, n - 20):n + 20], b[max(0, n - 20):n + 20])
'
e2e_python() {
    local body
    body="$(cat)"
    "$E2E_PY" -c "$E2E_PY_COMMON"$'\n'"$body" "$@"
}

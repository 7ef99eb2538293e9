#!/usr/bin/env bash
# torture.sh [CYCLES] [MESSAGES]      (defaults: 100 cycles, 300 messages)
#
# Crash torture of the relay against a real Dovecot POP3 server and the SMTP sink on loopback:
# MESSAGES messages with unique ids are relayed while the relay is killed with SIGKILL at random
# and at chosen moments (after LIST, in the middle of a RETR, right after a DELE, after the POP3
# QUIT, after the SMTP DATA, in the middle of the data, right after the SMTP server accepted a
# message) and started again at once, CYCLES times in all while mail remains; in between, the SMTP
# sink itself is killed and started again several times while the relay keeps going. Then the
# relay runs undisturbed until the mailbox and the spool are empty.
#
# The run fails when a message is lost or arrives damaged, when a spool or temporary file, or a
# message in the mailbox, is left over, when the relay logs a failure that the torture does not
# explain, or when a relay process ends without being killed. Duplicates are allowed and counted:
# a message is fetched again when the POP3 session that stored it ended before QUIT (the server
# undoes DELE), and a spool file is delivered again when the relay lost track of the acceptance
# (killed after the SMTP server took it, before the file was deleted). The last line on stdout:
#   torture: cycles=N ids=N delivered=N lost=N duplicates=N (...)
#
# Environment:
#   TORTURE_RELAY       the relay binary (default: build/pop2smtp of this tree)
#   TORTURE_SEED        seed of the random choices (default: new each run; printed)
#   TORTURE_TIME_LIMIT  seconds for the whole relay part, drain included (default from the sizes)
#   TORTURE_SINK_KILLS  how often the sink is killed (default: CYCLES / 10, at least 3)
#   E2E_KEEP            non-empty: keep the work folder (it is kept anyway when the run fails)
set -euo pipefail
TORTURE_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$TORTURE_DIR/../e2e/lib.sh"

cycles="${1:-100}"
messages="${2:-300}"
[[ "$cycles" =~ ^[0-9]+$ && "$messages" =~ ^[0-9]+$ && "$messages" -ge 2 ]] ||
    e2e_fail "usage: torture.sh [CYCLES] [MESSAGES>=2]"
relay_bin="${TORTURE_RELAY:-$TORTURE_DIR/../../build/pop2smtp}"
[ -x "$relay_bin" ] || e2e_fail "relay binary not found: $relay_bin (set TORTURE_RELAY)"
seed="${TORTURE_SEED:-$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')}"
time_limit="${TORTURE_TIME_LIMIT:-$((cycles * 4 + messages + 150))}"
sink_kills="${TORTURE_SINK_KILLS:-$((cycles / 10 > 3 ? cycles / 10 : 3))}"
# The drain needs one re-queue period of the ".err" files (30 s of idle ticks) and a fifth of a
# second or so per message still to deliver: no kill cycle starts later than this before the limit.
drain_reserve=$((45 + messages / 4))
# Every POP3 session killed before QUIT leaves its messages on the server, so they are fetched and
# spooled again: above this many spool files the kill cycles pause until half of them are gone.
backlog=$((messages / 2 > 40 ? messages / 2 : 40))
# Every server started here ends by itself after this many seconds.
E2E_LIFETIME=$((time_limit + 120))

e2e_init
started=$SECONDS
e2e_log "torture: cycles=$cycles messages=$messages seed=$seed time limit=${time_limit}s"

# The binary is copied: a rebuild of the tree during the run must not change the program between
# two restarts.
cp "$relay_bin" "$E2E_WORK/pop2smtp"

e2e_add_user torture pw-torture
e2e_start_dovecot
maildir="$(e2e_maildir torture)"

# --- the messages -------------------------------------------------------------------------------
# Each id N has "Subject: torture N", an X-Torture-Id header and "torture id N" as its first body
# line. Most messages are 0.2 to 20 KiB; about one in 25 (at least two, one per batch) is 1 to
# 5 MiB, so that kills in the middle of a RETR and of the SMTP data are hittable. The body holds
# lines with leading dots, lines that are a single dot, 8-bit bytes and stray CRs. About 40 % of
# the ids go into the mailbox now; the driver delivers the rest in small parts over the cycles and
# the sink phase, so that POP3 sessions keep having work to be killed in.
seed_dir="$E2E_WORK/seed"
mkdir -p "$seed_dir"
e2e_python "$seed_dir" "$messages" "$seed" "$maildir" <<'PY'
import random
root, count, seed, maildir = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
rng = random.Random(seed)
words = [b"relay", b"spool", b"torture", b"mail", b"kill", b"restart", b"dot", b"line", b"x",
         b"Gr\xfc\xdfe", b"caf\xe9", b"\xa7\xb6", b"", b"--", b"+OK", b"-ERR", b"250", b"."]

def body_line():
    k = rng.randrange(100)
    if k == 0:
        return b"."
    if k == 1:
        return b".." + rng.choice(words)
    if k < 5:
        return b"." + b" ".join(rng.choice(words) for _ in range(rng.randrange(12)))
    if k == 5:
        return b""
    if k == 6:
        return b"cr\rinside " + rng.choice(words)
    if k == 7:
        return b"L" * rng.randrange(200, 990)
    return b" ".join(rng.choice(words) for _ in range(rng.randrange(1, 16)))

ids = list(range(1, count + 1))
large = sorted(rng.sample(ids, max(2, count // 25)))
# ids 1..first go in now, the rest later: one large message at least in either part
first = max(1, min(count - 1, (count * 4) // 10))
if not [n for n in large if n <= first]:
    large[0] = rng.randint(1, first)
if not [n for n in large if n > first]:
    large[-1] = rng.randint(first + 1, count)
large = sorted(set(large))

manifest = {"ids": ids, "large": large, "initial": [], "later": []}
stamp = int(time.time())
for n in ids:
    target = rng.randrange(1 << 20, 5 << 20) if n in large else int(2 ** rng.uniform(7.6, 14.3))
    head = (b"Return-Path: <t@x.test>\n"
            b"Message-Id: <torture-%d@x.test>\n"
            b"From: T <t@x.test>\n"
            b"To: R <r@x.test>\n"
            b"Subject: torture %d\n"
            b"X-Torture-Id: %d\n"
            b"Date: Sat, 5 Dec 2026 10:00:00 +0000\n"
            b"\n"
            b"torture id %d\n") % (n, n, n, n)
    lines = [head]
    size = len(head)
    while size < target:
        line = body_line() + b"\n"
        lines.append(line)
        size += len(line)
    lines.append(b"end of torture id %d\n" % n)
    raw = b"".join(lines)
    src = os.path.join(root, "%05d.eml" % n)
    with open(src, "wb") as f:
        f.write(raw)
    # ",S=" and ",W=" spare Dovecot reading the file for LIST
    name = "%d.M%dP%d.torture,S=%d,W=%d" % (stamp, n, os.getpid(), len(raw),
                                            len(raw) + raw.count(b"\n"))
    manifest["initial" if n <= first else "later"].append([name, src])
with open(os.path.join(root, "manifest.json"), "w") as f:
    json.dump(manifest, f)
print("%d messages, %d large (%s), %.1f MiB; %d now, %d later" % (
    count, len(large), " ".join(map(str, large)),
    sum(os.path.getsize(os.path.join(root, "%05d.eml" % n)) for n in ids) / 1048576.0,
    len(manifest["initial"]), len(manifest["later"])), file=sys.stderr)
PY
while IFS=$'\t' read -r name src; do
    e2e_seed torture "$name" "$src"
done < <("$E2E_PY" -c '
import json, sys
for name, src in json.load(open(sys.argv[1]))["initial"]:
    print("%s\t%s" % (name, src))' "$seed_dir/manifest.json")
e2e_log "seeded $(e2e_mailbox_count torture) messages"

# --- the relay's configuration ------------------------------------------------------------------
sink_port="$(e2e_free_port)"
home="$E2E_WORK/home"
e2e_write_config "$home" \
    "[General]" \
    "POPServer=127.0.0.1" \
    "POPPort=$E2E_POP_PORT" \
    "POPInterval=200" \
    "POPUser=torture" \
    "POPPassword=pw-torture" \
    "SMTPServer=127.0.0.1" \
    "SMTPPort=$sink_port" \
    "SMTPName=torture.test"

# --- the torture ----------------------------------------------------------------------------------
# The driver owns every relay and sink process it starts (it kills and restarts them by their
# process objects, and they die with it); it is stopped by the EXIT trap like any other process.
"$E2E_PY" "$TORTURE_DIR/torture_driver.py" \
    --relay "$E2E_WORK/pop2smtp" --home "$home" --work "$E2E_WORK" --maildir "$maildir" \
    --manifest "$seed_dir/manifest.json" \
    --sink-script "$TORTURE_DIR/../e2e/smtp_sink.py" --sink-port "$sink_port" \
    --cycles "$cycles" --sink-kills "$sink_kills" --seed "$seed" \
    --time-limit "$time_limit" --drain-reserve "$drain_reserve" --backlog "$backlog" </dev/null &
driver_pid=$!
E2E_PIDS+=("$driver_pid")
e2e_after $((time_limit + 90)) kill -TERM "$driver_pid"
driver_status=0
wait "$driver_pid" || driver_status=$?
e2e_log "driver ended with status $driver_status after $((SECONDS - started)) s"

# --- the verdict ---------------------------------------------------------------------------------
check_status=0
e2e_python "$E2E_WORK" "$seed_dir/manifest.json" "$home/Messages" "$maildir" \
    "$E2E_DOVECOT_DIR/dovecot.log" "$((SECONDS - started))" \
    <"$TORTURE_DIR/torture_check.py" || check_status=$?
[ "$driver_status" -eq 0 ] || e2e_fail "the relay did not finish the mail (driver status $driver_status)"
[ "$check_status" -eq 0 ] || e2e_fail "torture check failed (seed $seed)"

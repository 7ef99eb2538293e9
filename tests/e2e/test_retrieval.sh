#!/usr/bin/env bash
# test_retrieval.sh PATH_TO_pop2smtp
#
# Retrieval against a real Dovecot POP3 server: every spool file must hold, byte for byte, the
# message as the server sent it (still dot-stuffed, CRs removed from the lines, CR LF after each
# line, one more CR LF at the end), the mailbox must be empty afterwards, and a mailbox of 150
# messages must take two sessions of 100 and 50 retrievals.
#
# Nothing listens on the SMTP port the relays are given, so every delivery attempt fails with a
# socket error and the spool files stay (".msg", ".snd" or ".err"); they are compared by content
# whatever their extension is at that moment.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
E2E_RELAY="$(realpath "${1:?usage: test_retrieval.sh PATH_TO_pop2smtp}")"
E2E_LIFETIME=150
e2e_init
started=$SECONDS
t0="$(date +%Y%m%d_%H%M%S)"

e2e_add_user shapes pw-shapes
e2e_add_user bulk pw-bulk
e2e_start_dovecot
closed_port="$(e2e_free_port)" # never listened on

# --- the messages -------------------------------------------------------------------------------
seed="$E2E_WORK/seed"
mkdir -p "$seed/shapes" "$seed/bulk"
e2e_python "$seed" <<'PY'
import random
root = sys.argv[1]

def header(tag, subject=b"test"):
    return (b"Return-Path: <sender-" + tag + b"@example.org>\n"
            b"From: Sender <sender-" + tag + b"@example.org>\n"
            b"To: Receiver <rcpt@example.net>\n"
            b"Subject: " + subject + b"\n"
            b"Message-Id: <" + tag + b"@test>\n")

shapes = {
    # lines that are or start with dots, also as the last line
    b"dots": header(b"dots") + b"\n.\n..\n.x\n...\n. blank after dot\nx.\n\n.\n.. .\n.",
    # carriage returns inside lines, at their ends, alone, and before a dot
    b"crs": header(b"crs") + b"\na\rb\n\r\n\r.y\ntrailing\r\n\r\r\rmany\ncrlf line\r\nmid\r\r\nx\n.\r\n",
    # 8-bit bytes everywhere, NUL included
    b"eightbit": header(b"eightbit", b"Gr\xfc\xdfe \xe9t\xe9") + b"\n"
        + bytes(range(0x80, 0x100)) + b"\n"
        + b"a\x00b\n\x00\n\xff.\n.\xe9\xe8\n" + bytes(range(1, 10)) + bytes(range(11, 13))
        + bytes(range(14, 32)) + b"\x7f\n",
    # a header and an empty line, no body
    b"emptybody": header(b"emptybody") + b"\n",
    # header lines only: no empty line, no line feed at the end
    b"noblank": header(b"noblank") + b"X-Last: no line feed",
    # empty lines at the end of the body
    b"trailing": header(b"trailing") + b"\ntext\n\n\n\n",
    # the last line has no line feed
    b"nolf": header(b"nolf") + b"\nfirst\nlast line without LF",
    # blanks, tabs and lines that look like POP3 replies
    b"blanks": header(b"blanks") + b"\n   \n\t\n \t .\n+OK 5 octets\n-ERR no\nRETR 1\n\x0c\n",
}
# long lines
shapes[b"long"] = (header(b"long") + b"\n" + b"L" * 100000 + b"\n." + b"D" * 70000 + b"\n"
                   + b"\n".join(b"%05d " % i + b"w" * (i % 300) for i in range(3000)) + b"\n")
# one large message of about 20 MiB: lines of random length, some dotted, some 8-bit
rng = random.Random(20261204)
parts = [header(b"large"), b"\n"]
size = 0
alphabet = bytes(range(32, 127))
while size < 20 * 1024 * 1024:
    kind = rng.randrange(60)
    if kind == 0:
        line = b"."
    elif kind == 1:
        line = b"." + bytes(rng.choices(alphabet, k=rng.randrange(80)))
    elif kind == 2:
        line = bytes(rng.randrange(128, 256) for _ in range(rng.randrange(40)))
    elif kind == 3:
        line = b""
    else:
        line = bytes(rng.choices(alphabet, k=rng.randrange(200)))
    parts.append(line + b"\n")
    size += len(line) + 1
shapes[b"large"] = b"".join(parts)

for tag, raw in shapes.items():
    with open(os.path.join(root, "shapes", tag.decode() + ".eml"), "wb") as f:
        f.write(raw)

for i in range(1, 151):
    tag = b"bulk%03d" % i
    raw = header(tag) + b"\n" + b"".join(b"line %d of message %d\n" % (j, i) for j in range(i % 40))
    with open(os.path.join(root, "bulk", tag.decode() + ".eml"), "wb") as f:
        f.write(raw)
PY

for f in "$seed"/shapes/*.eml; do e2e_seed shapes "$(basename "$f" .eml)" "$f"; done
for f in "$seed"/bulk/*.eml; do e2e_seed bulk "$(basename "$f" .eml)" "$f"; done
n_shapes="$(ls "$seed/shapes" | wc -l)"
[ "$(e2e_mailbox_count shapes)" -eq "$n_shapes" ] || e2e_fail "seeding shapes"
[ "$(e2e_mailbox_count bulk)" -eq 150 ] || e2e_fail "seeding bulk"

# --- two relays, one per mailbox ----------------------------------------------------------------
for who in shapes bulk; do
    interval=60000 # one session within this test
    [ "$who" = bulk ] && interval=3000
    e2e_write_config "$E2E_WORK/$who" \
        "[General]" \
        "POPServer=127.0.0.1" \
        "POPPort=$E2E_POP_PORT" \
        "POPInterval=$interval" \
        "POPUser=$who" \
        "POPPassword=pw-$who" \
        "SMTPServer=127.0.0.1" \
        "SMTPPort=$closed_port" \
        "SMTPName=retrieval.test"
    e2e_start_relay "relay-$who" "$E2E_WORK/$who"
done

spool_count() { find "$E2E_WORK/$1/Messages" -maxdepth 1 -type f -regextype egrep \
    -regex '.*/[0-9]{8}_[0-9]{6}_[0-9a-f]{5}\.(msg|snd|err)' | wc -l; }
done_with() { # mailbox empty, all files spooled, session closed by QUIT
    [ "$(e2e_mailbox_count "$1")" -eq 0 ] && [ "$(spool_count "$1")" -eq "$2" ] &&
        grep -aq '(<- POP3) +OK Logging out, messages deleted' "$E2E_WORK/relay-$1.log"
}
e2e_wait 90 "the mailbox 'shapes' moved into the spool" done_with shapes "$n_shapes"
e2e_log "shapes retrieved after $((SECONDS - started)) s"
e2e_wait 60 "the mailbox 'bulk' moved into the spool" done_with bulk 150
e2e_log "bulk retrieved after $((SECONDS - started)) s"

# --- spool contents -----------------------------------------------------------------------------
check_spool() { # WHO: compares every spool file with the message it came from
    e2e_python "$seed/$1" "$E2E_WORK/$1/Messages" "$t0" "$(date +%Y%m%d_%H%M%S)" <<'PY'
seed_dir, spool, t_from, t_to = sys.argv[1:5]
expected = {}
for name in os.listdir(seed_dir):
    with open(os.path.join(seed_dir, name), "rb") as f:
        raw = f.read()
    tag = re.search(rb"^Message-Id: <([^>]+)>$", raw, re.M).group(1)
    expected[tag] = stored_form(raw)

bad = []
bases = {}
for name in sorted(os.listdir(spool)):
    m = SPOOL_NAME.match(name)
    if not m:
        bad.append("unexpected file in the spool: %s" % name)
        continue
    bases[m.group(1)] = name

def read_any(base):
    # The dispatch side renames files while we read (.msg -> .snd -> .err): try each name.
    for attempt in range(50):
        for ext in ("msg", "snd", "err"):
            try:
                with open(os.path.join(spool, base + ext), "rb") as f:
                    return f.read()
            except FileNotFoundError:
                pass
        time.sleep(0.05)
    raise SystemExit("spool file %s* vanished" % base)

seen = {}
for base in sorted(bases):
    stamp = base[:15]
    if not (t_from <= stamp <= t_to):
        bad.append("%s: time stamp outside the run (%s .. %s)" % (base, t_from, t_to))
    data = read_any(base)
    m = re.search(rb"^Message-Id: <([^>]+)>\r$", data, re.M)
    if not m or m.group(1) not in expected:
        bad.append("%s: no known Message-Id in %r" % (base, data[:200]))
        continue
    tag = m.group(1)
    if tag in seen:
        bad.append("%s: %s stored twice (also %s)" % (base, tag.decode(), seen[tag]))
    seen[tag] = base
    if data != expected[tag]:
        bad.append("%s (%s): %s" % (base, tag.decode(), first_diff(data, expected[tag])))
missing = sorted(t.decode() for t in expected if t not in seen)
if missing:
    bad.append("not in the spool: %s" % ", ".join(missing))
counters = sorted(int(b[16:21], 16) for b in bases)
if counters != list(range(1, len(bases) + 1)):
    bad.append("name counters are not 1..%d: %s" % (len(bases), counters))
if bad:
    print("\n".join(bad))
    raise SystemExit(1)
print("%d spool files match the messages byte for byte" % len(seen))
PY
}
check_spool shapes || e2e_fail "spool contents of 'shapes'"
check_spool bulk || e2e_fail "spool contents of 'bulk'"

# --- 150 messages: 100 in the first session, 50 in the second ------------------------------------
log="$E2E_WORK/relay-bulk.log"
retr_per_session="$(awk '
    /\(   POP3\) Trying to connect to/ { if (n) print n; n = 0; next }
    /^[0-9:]+ \(-> POP3\) RETR [0-9]+$/ { n++ }
    END { if (n) print n }' "$log" | paste -sd' ')"
dele_total="$(e2e_count "$log" '^[0-9:]+ \(-> POP3\) DELE [0-9]+$')"
[ "$retr_per_session" = "100 50" ] ||
    e2e_fail "RETR commands per POP3 session: '$retr_per_session', expected '100 50'"
[ "$dele_total" -eq 150 ] || e2e_fail "DELE commands: $dele_total, expected 150"
# The server's own account of the two sessions: 100 of 150 deleted, then 50 of 50.
server_sessions="$(grep -o 'pop3(bulk).*Disconnected: Logged out.*' "$E2E_DOVECOT_DIR/dovecot.log" |
    grep -o 'retr=[0-9]*/[0-9]*, del=[0-9]*/[0-9]*' | grep -v 'retr=0/' |
    sed -E 's#retr=([0-9]+)/[0-9]+, del=([0-9]+)/([0-9]+)#\1:\2/\3#' | paste -sd' ')"
[ "$server_sessions" = "100:100/150 50:50/50" ] ||
    e2e_fail "Dovecot's record of the sessions (retr:del/total): '$server_sessions'"

# Each shapes message was retrieved once and deleted once, in one session.
shapes_log="$E2E_WORK/relay-shapes.log"
[ "$(e2e_count "$shapes_log" '^[0-9:]+ \(-> POP3\) RETR [0-9]+$')" -eq "$n_shapes" ] ||
    e2e_fail "RETR count for shapes"
[ "$(e2e_count "$shapes_log" '^[0-9:]+ \(-> POP3\) DELE [0-9]+$')" -eq "$n_shapes" ] ||
    e2e_fail "DELE count for shapes"

# Both relays are still running, and the mailboxes stay empty.
for pid in "${E2E_PIDS[@]}"; do kill -0 "$pid" || e2e_fail "a relay exited early"; done
[ "$(e2e_mailbox_count shapes)" -eq 0 ] && [ "$(e2e_mailbox_count bulk)" -eq 0 ] ||
    e2e_fail "mailbox not empty"

echo "PASS test_retrieval ($((SECONDS - started)) s)"

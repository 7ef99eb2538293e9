#!/usr/bin/env bash
# test_delivery.sh PATH_TO_pop2smtp
#
# Delivery against a real Dovecot POP3 server and two SMTP sinks: each message must reach the sink
# its sender's routing section selects (or the default one), with the envelope taken from its From
# and To values and exactly the header rows the relay composes, followed by the body as stored
# (dot-stuffed). Messages without Return-Path, From or To are dropped with a log line. Afterwards
# the mailbox and the spool are empty.
#
# A second relay with its own mailbox starts with its SMTP port closed: its messages turn ".err"
# and must be delivered by the re-queue (every 30 s) once a sink listens on that port.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
E2E_RELAY="$(realpath "${1:?usage: test_delivery.sh PATH_TO_pop2smtp}")"
E2E_LIFETIME=150
e2e_init
started=$SECONDS
t0="$(date +%Y%m%d_%H%M%S)"

e2e_add_user deliver pw-deliver
e2e_add_user retry pw-retry
e2e_start_dovecot
port_default="$(e2e_free_port)"
port_second="$(e2e_free_port)"
port_late="$(e2e_free_port)"   # nothing listens here until the retry phase starts its sink
port_closed="$(e2e_free_port)" # never listened on

# --- the messages and what must become of them --------------------------------------------------
seed="$E2E_WORK/seed"
mkdir -p "$seed/deliver" "$seed/retry"
e2e_python "$seed" <<'PY'
root = sys.argv[1]
cases = []

def case(user, name, raw, sink, mail=None, rcpt=None, frm=None, to=None, subject=None):
    """sink: "default", "second", "late" or "drop"; frm/to/subject: the header values the relay
    must send; mail/rcpt: the whole MAIL and RCPT command lines."""
    with open(os.path.join(root, user, name + ".eml"), "wb") as f:
        f.write(raw)
    cases.append(dict(user=user, name=name, sink=sink, mail=mail, rcpt=rcpt, frm=frm, to=to,
                      subject=subject))

case("deliver", "plain",
     b"Return-Path: <a1@example.org>\n"
     b"Received: from mx.example.org by pop.example.net; Fri, 4 Dec 2026 07:31:05 +0100\n"
     b"Message-Id: <original-1@example.org>\n"
     b"Date: Thu, 3 Dec 2026 10:00:00 +0000\n"
     b"From: Alice One <a1@example.org>\n"
     b"To: Bob <bob@example.net>\n"
     b"Subject: Hello there\n"
     b"X-Mailer: test\n"
     b"\n"
     b"Dear Bob,\n\nthe relay keeps this body.\n-- \nAlice\n",
     "default", "MAIL FROM: <a1@example.org>", "RCPT TO: <bob@example.net>",
     "Alice One <a1@example.org>", "Bob <bob@example.net>", "Hello there")

case("deliver", "sales",
     b"Return-Path: <carol@sales.example.com>\n"
     b"From: Carol <carol@Sales.Example.COM>\n"
     b"To: Bob <bob@example.net>\n"
     b"Subject: Offer\n\nrouted by letter-case-blind pattern\n",
     "second", "MAIL FROM: <carol@Sales.Example.COM>", "RCPT TO: <bob@example.net>",
     "Carol <carol@Sales.Example.COM>", "Bob <bob@example.net>", "Offer")

case("deliver", "boss",
     b"Return-Path: <boss7@corp.example>\n"
     b"From: The Boss <boss7@corp.example>\n"
     b"To: Team <team@corp.example>\n"
     b"Subject: Meeting\n\nrouted by the second entry of the list\n",
     "second", "MAIL FROM: <boss7@corp.example>", "RCPT TO: <team@corp.example>",
     "The Boss <boss7@corp.example>", "Team <team@corp.example>", "Meeting")

case("deliver", "notboss",
     b"Return-Path: <boss17@corp.example>\n"
     b"From: Not Boss <boss17@corp.example>\n"
     b"To: Team <team@corp.example>\n"
     b"Subject: No route\n\n? stands for one character only\n",
     "default", "MAIL FROM: <boss17@corp.example>", "RCPT TO: <team@corp.example>",
     "Not Boss <boss17@corp.example>", "Team <team@corp.example>", "No route")

case("deliver", "lowersection",
     b"Return-Path: <dan@second.example>\n"
     b"From: Dan <dan@second.example>\n"
     b"To: Bob <bob@example.net>\n"
     b"Subject: lower-case section name\n\nbody\n",
     "second", "MAIL FROM: <dan@second.example>", "RCPT TO: <bob@example.net>",
     "Dan <dan@second.example>", "Bob <bob@example.net>", "lower-case section name")

case("deliver", "dots",
     b"Return-Path: <dots@example.org>\n"
     b"From: Dots <dots@example.org>\n"
     b"To: Bob <bob@example.net>\n"
     b"Subject: dots\n\n.\n..\n.x\ntext\n...\n.",
     "default", "MAIL FROM: <dots@example.org>", "RCPT TO: <bob@example.net>",
     "Dots <dots@example.org>", "Bob <bob@example.net>", "dots")

case("deliver", "oddheaders",
     b"return-path: <eve@example.org>\n"
     b"from : Eve <eve@example.org>  \n"
     b"TO:frank@example.net\n"
     b"subject:   Re: news of the day\n"
     b"\n"
     b"\n"
     b"body after an empty first body line\r\n"
     b"with a CR\rinside\n"
     b"\n\n\n",
     "default", "MAIL FROM: <eve@example.org>", "RCPT TO: <frank@example.net>",
     "Eve <eve@example.org>", "frank@example.net", "Re")

case("deliver", "emptybody",
     b"Return-Path: <empty@example.org>\n"
     b"From: Empty <empty@example.org>\n"
     b"To: Bob <bob@example.net>\n"
     b"Subject:\n"
     b"\n",
     "default", "MAIL FROM: <empty@example.org>", "RCPT TO: <bob@example.net>",
     "Empty <empty@example.org>", "Bob <bob@example.net>", "")

case("deliver", "nosubject",
     b"Return-Path: <nosubj@example.org>\n"
     b"From: <nosubj@example.org>\n"
     b"To: A <a@example.net>, B <b@example.net>\n"
     b"\n"
     b"two recipients, one RCPT\n",
     "default", "MAIL FROM: <nosubj@example.org>", "RCPT TO: <a@example.net>, B <b@example.net>",
     "<nosubj@example.org>", "A <a@example.net>, B <b@example.net>", "")

case("deliver", "eightbit",
     b"Return-Path: <grete@example.org>\n"
     b"From: Gr\xe9te <grete@example.org>\n"
     b"To: Bob <bob@example.net>\n"
     b"Subject: \xc4rger \xfcber \xdf\n\n"
     + bytes(range(0x80, 0x100)) + b"\nnul\x00inside\n",
     "default", "MAIL FROM: <grete@example.org>", "RCPT TO: <bob@example.net>",
     "Gr\xe9te <grete@example.org>", "Bob <bob@example.net>", "\xc4rger \xfcber \xdf")

big = b"".join(b"%06d " % i + b"b" * (i % 120) + b"\n" + (b".\n" if i % 997 == 0 else b"")
               for i in range(30000))
case("deliver", "big",
     b"Return-Path: <big@example.org>\n"
     b"From: Big <big@example.org>\n"
     b"To: Bob <bob@example.net>\n"
     b"Subject: about 2 MiB\n\n" + big,
     "default", "MAIL FROM: <big@example.org>", "RCPT TO: <bob@example.net>",
     "Big <big@example.org>", "Bob <bob@example.net>", "about 2 MiB")

# No Return-Path, and an empty Return-Path: both dropped.
case("deliver", "noreturnpath",
     b"From: Lost <lost1@example.org>\n"
     b"To: Bob <bob@example.net>\n"
     b"Subject: dropped\n\nnever delivered\n", "drop", frm="Lost <lost1@example.org>")
case("deliver", "emptyreturnpath",
     b"Return-Path:   \n"
     b"From: Lost <lost2@example.org>\n"
     b"To: Bob <bob@example.net>\n"
     b"Subject: dropped\n\nnever delivered\n", "drop", frm="Lost <lost2@example.org>")

for i in (1, 2):
    case("retry", "late%d" % i,
         b"Return-Path: <late%d@example.org>\n" % i
         + b"From: Late %d <late%d@example.org>\n" % (i, i)
         + b"To: Bob <bob@example.net>\n"
         + b"Subject: retried %d\n\nbody %d\n" % (i, i),
         "late", "MAIL FROM: <late%d@example.org>" % i, "RCPT TO: <bob@example.net>",
         "Late %d <late%d@example.org>" % (i, i), "Bob <bob@example.net>", "retried %d" % i)

with open(os.path.join(root, "cases.json"), "w") as f:
    json.dump(cases, f)
PY
for user in deliver retry; do
    for f in "$seed/$user"/*.eml; do e2e_seed "$user" "$(basename "$f" .eml)" "$f"; done
done
n_deliver="$(ls "$seed/deliver" | wc -l)"

# --- the retry relay first: its re-queue comes 30 s after its start -----------------------------
e2e_write_config "$E2E_WORK/retry" \
    "[General]" \
    "POPPort=$E2E_POP_PORT" \
    "POPInterval=60000" \
    "POPUser=retry" \
    "POPPassword=pw-retry" \
    "SMTPServer=127.0.0.1" \
    "SMTPPort=$port_late" \
    "SMTPName=relay.retry.test"
e2e_start_relay relay-retry "$E2E_WORK/retry"
retry_started=$SECONDS
retry_start_epoch="$(date +%s)"

# --- the main relay and its two sinks ------------------------------------------------------------
e2e_start_sink default "$port_default"
e2e_start_sink second "$port_second"
e2e_write_config "$E2E_WORK/deliver" \
    "[General]" \
    "POPServer=127.0.0.1" \
    "POPPort=$E2E_POP_PORT" \
    "POPInterval=60000" \
    "POPUser=deliver" \
    "POPPassword=pw-deliver" \
    "SMTPServer=127.0.0.1" \
    "SMTPPort=$port_default" \
    "SMTPName=relay.delivery.test" \
    "" \
    "; matches none of the senders; its port is closed" \
    "[SPECIFIC_nomatch]" \
    "SenderAddresses=nobody@nowhere.example, *@elsewhere.example, boss@corp.example" \
    "SMTPServer=127.0.0.1" \
    "SMTPPort=$port_closed" \
    "" \
    "[SPECIFIC_sales]" \
    "SenderAddresses=*@sales.example.com, boss?@corp.example" \
    "SMTPServer=127.0.0.1" \
    "SMTPPort=$port_second" \
    "" \
    "[specific_lower]" \
    "SenderAddresses=*@second.example" \
    "SMTPPort=$port_second"
e2e_start_relay relay-deliver "$E2E_WORK/deliver"

# --- (b) the retry relay's messages turn .err while nothing listens ------------------------------
err_count() { find "$E2E_WORK/retry/Messages" -maxdepth 1 -name '*.err' | wc -l; }
two_err() { [ "$(err_count)" -eq 2 ]; }
e2e_wait 20 "two .err files in the retry spool" two_err
err_names="$(cd "$E2E_WORK/retry/Messages" && ls -- *.err | sed 's/err$//' | sort | paste -sd' ')"
e2e_log "retry spool holds .err files: $err_names"
[ "$(ls -A "$E2E_WORK/retry/Messages" | wc -l)" -eq 2 ] || e2e_fail "retry spool: $(ls -A "$E2E_WORK/retry/Messages")"
e2e_start_sink late "$port_late"
late_started=$SECONDS

# --- (a) every deliverable message reaches its sink ----------------------------------------------
sink_count() { find "$E2E_WORK/$1" -maxdepth 1 -name '*.mail' | wc -l; }
spool_empty() { [ -z "$(ls -A "$E2E_WORK/$1/Messages")" ]; }
want_default="$(grep -o '"sink": "default"' "$seed/cases.json" | wc -l)"
want_second="$(grep -o '"sink": "second"' "$seed/cases.json" | wc -l)"
deliver_done() { # which sink got what is checked below
    [ $(($(sink_count default) + $(sink_count second))) -ge $((want_default + want_second)) ] &&
        spool_empty deliver && [ "$(e2e_mailbox_count deliver)" -eq 0 ]
}
e2e_wait 60 "all messages of 'deliver' at their sinks, spool and mailbox empty" deliver_done
e2e_log "deliver phase done after $((SECONDS - started)) s"

# --- (b) continued: delivered by the re-queue once the sink listens ------------------------------
retry_done() { [ "$(sink_count late)" -ge 2 ] && spool_empty retry; }
left=$((late_started + 45 - SECONDS))
e2e_wait $((left > 1 ? left : 1)) "the .err messages delivered within 45 s of the sink's start" retry_done
retry_took=$((SECONDS - retry_started))
e2e_log "retry phase done ${retry_took} s after the retry relay started"
# The re-queue comes after 300 idle ticks of 100 ms, not at once.
first_late="$(stat -c %Y "$E2E_WORK"/late/*.mail | sort -n | head -1)"
[ $((first_late - retry_start_epoch)) -ge 25 ] ||
    e2e_fail ".err files re-queued after $((first_late - retry_start_epoch)) s, before the 30 s period"
sleep 1 # a duplicate delivery would show up here

# --- compare what the sinks received ------------------------------------------------------------
e2e_python "$seed/cases.json" "$seed" "$E2E_WORK" "$t0" "$(date +%Y%m%d_%H%M%S)" "$err_names" \
    <<'PY' || e2e_fail "the delivered messages differ from what was expected"
import calendar
cases_file, seed, work, t_from, t_to, err_names = sys.argv[1:7]
cases = json.load(open(cases_file))
helo = {"default": "HELO relay.delivery.test", "second": "HELO relay.delivery.test",
        "late": "HELO relay.retry.test"}
DATE = re.compile(r"^Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), ([1-9]|[12][0-9]|3[01]) "
                  r"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) (\d{4}) "
                  r"(\d\d):(\d\d):(\d\d) \+0100$")
MSGID = re.compile(r"^Message-ID: <(\d{8}_\d{6}_[0-9a-f]{5}\.)>$")
MONTHS = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec".split()
DAYS = "Mon Tue Wed Thu Fri Sat Sun".split()
bad = []

received = {}  # sink -> list of (file, envelope, data)
for sink in ("default", "second", "late"):
    received[sink] = []
    for name in sorted(os.listdir(os.path.join(work, sink))):
        if name.startswith(".") or not name.endswith(".mail"):
            continue
        with open(os.path.join(work, sink, name), "rb") as f:
            head, data = f.read().split(b"\n", 1)
        received[sink].append((name, json.loads(head), data))

def to_bytes(text):
    return text.encode("latin-1")

bases = {}
matched = set()
for c in cases:
    raw = open(os.path.join(seed, c["user"], c["name"] + ".eml"), "rb").read()
    where = [(s, r) for s in received for r in received[s]
             if c["mail"] is not None and r[1]["mail"] == c["mail"]]
    if c["sink"] == "drop":
        lost = [(s, r[0]) for s in received for r in received[s]
                if c["frm"].split("<")[1].rstrip(">") in r[1]["mail"]]
        if lost:
            bad.append("%s: should have been dropped, arrived at %s" % (c["name"], lost))
        continue
    if len(where) != 1:
        bad.append("%s: expected once at sink %s, found %d time(s): %s" % (
            c["name"], c["sink"], len(where), [(s, r[0]) for s, r in where]))
        continue
    sink, (fname, env, data) = where[0]
    matched.add((sink, fname))
    tag = "%s (%s/%s)" % (c["name"], sink, fname)
    if sink != c["sink"]:
        bad.append("%s: routed to %s, expected %s" % (tag, sink, c["sink"]))
    if env["helo"] != helo[c["sink"]]:
        bad.append("%s: HELO line %r" % (tag, env["helo"]))
    if env["rcpt"] != [c["rcpt"]]:
        bad.append("%s: RCPT lines %r, expected [%r]" % (tag, env["rcpt"], c["rcpt"]))

    rows = data.split(b"\r\n", 8)
    if len(rows) < 9:
        bad.append("%s: fewer than eight header rows: %r" % (tag, data[:300]))
        continue
    text = [r.decode("latin-1") for r in rows[:8]]
    m = MSGID.match(text[0])
    if not m:
        bad.append("%s: Message-ID row %r" % (tag, text[0]))
    else:
        base = m.group(1)
        # Names are unique within one program directory; the retry relay has its own, and
        # both relays may store their first message in the same second.
        relay = "retry" if c["sink"] == "late" else "main"
        if (relay, base) in bases:
            bad.append("%s: Message-ID %s also used by %s" % (tag, base, bases[(relay, base)]))
        bases[(relay, base)] = c["name"]
        if not (t_from <= base[:15] <= t_to):
            bad.append("%s: Message-ID time stamp %s outside the run" % (tag, base))
        if c["sink"] == "late" and base not in err_names.split():
            bad.append("%s: Message-ID %s is not one of the .err files %s" % (tag, base, err_names))
    d = DATE.match(text[4])
    if not d:
        bad.append("%s: Date row %r" % (tag, text[4]))
    else:
        day, mday, mon, year, hh, mm, ss = d.groups()
        stamp = "%s%02d%02d_%s%s%s" % (year, MONTHS.index(mon) + 1, int(mday), hh, mm, ss)
        if not (t_from <= stamp <= t_to):
            bad.append("%s: Date %s outside the run (%s .. %s)" % (tag, stamp, t_from, t_to))
        wd = calendar.weekday(int(year), MONTHS.index(mon) + 1, int(mday))
        if DAYS[wd] != day:
            bad.append("%s: Date row %r has the wrong day name" % (tag, text[4]))
    want_rows = [text[0], "From: " + c["frm"], "To: " + c["to"], "Subject: " + c["subject"],
                 text[4], "MIME-Version: 1.0", "Content-Type: text/plain;", ""]
    for i, (got, want) in enumerate(zip(text, want_rows)):
        if got != want:
            bad.append("%s: row %d is %r, expected %r" % (tag, i + 1, got, want))
    body = body_form(stored_form(raw))
    if rows[8] != body + b"\r\n":
        bad.append("%s: body: %s" % (tag, first_diff(rows[8], body + b"\r\n")))
    if env["mail"] != c["mail"]:
        bad.append("%s: MAIL line %r" % (tag, env["mail"]))

extra = [(s, r[0], r[1]["mail"]) for s in received for r in received[s] if (s, r[0]) not in matched]
if extra:
    bad.append("unexpected deliveries: %s" % extra)
if bad:
    print("\n".join(bad))
    raise SystemExit(1)
print("%d deliveries match (%s)" % (len(matched), ", ".join(
    "%s: %d" % (s, len(received[s])) for s in received)))
PY

# --- logs ----------------------------------------------------------------------------------------
log="$E2E_WORK/relay-deliver.log"
drops="$(e2e_count "$log" '^[0-9:]{8} \(SMTP\) Missing data in message$')"
[ "$drops" -eq 2 ] || e2e_fail "'(SMTP) Missing data in message' logged $drops times, expected 2"
[ "$(e2e_count "$log" '^[0-9:]+ \(-> POP3\) DELE [0-9]+$')" -eq "$n_deliver" ] ||
    e2e_fail "DELE count"
retry_log="$E2E_WORK/relay-retry.log"
[ "$(e2e_count "$retry_log" '^[0-9:]+ \(-> SMTP\) QUIT$')" -eq 2 ] ||
    e2e_fail "the retry relay should have completed exactly two SMTP sessions"
[ "$(e2e_mailbox_count deliver)" -eq 0 ] && [ "$(e2e_mailbox_count retry)" -eq 0 ] ||
    e2e_fail "mailbox not empty"
for pid in "${E2E_PIDS[@]}"; do kill -0 "$pid" || e2e_fail "a relay or sink exited early"; done

echo "PASS test_delivery ($((SECONDS - started)) s)"

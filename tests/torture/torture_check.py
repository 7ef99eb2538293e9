# torture_check.py - the verdict of torture.sh, run through lib.sh's e2e_python (which puts its
# shared helpers in front: stored_form, body_form, first_diff, and the imports os, re, sys, json).
#
# arguments: WORK MANIFEST SPOOL MAILDIR DOVECOT_LOG ELAPSED_SECONDS
#
# Reads what the sinks stored (tests/e2e/smtp_sink.py: a JSON envelope line, then the DATA bytes)
# and the logs the driver kept, and checks:
#   - every id arrived at least once, and every copy that arrived is exactly the message the relay
#     must send for it (envelope, the composed header rows, the body byte for byte);
#   - the spool folder is empty (no ".msg", ".snd", ".err", no temporary file) and so is the mailbox;
#   - no relay process ended without being killed, the last one ended cleanly on SIGTERM, and the
#     relays wrote nothing to stderr;
#   - the relays logged no failure besides those the torture causes: "spool name ... is in use"
#     after a quick restart, and SMTP socket errors and closes while the sink was being killed.
# Duplicates are counted and put into classes by what the logs show; they fail nothing.
import collections
import hashlib
import time

work, manifest_path, spool, maildir, dovecot_log, elapsed = sys.argv[1:7]
manifest = json.load(open(manifest_path))
summary = json.load(open(os.path.join(work, "summary.json")))
ids = manifest["ids"]
seed_of = {}
for name, src in manifest["initial"] + manifest["later"]:
    seed_of[int(re.search(r"(\d+)\.eml$", src).group(1))] = src

failures = list(summary["failures"])
notes = []

# --- what each message must look like at the sink ------------------------------------------------
expected = {}  # id -> (sha256 of the body as sent, the body rows' length)


def expected_body(n):
    with open(seed_of[n], "rb") as f:
        raw = f.read()
    return body_form(stored_form(raw)) + b"\r\n"


for n in ids:
    body = expected_body(n)
    expected[n] = (hashlib.sha256(body).digest(), len(body))

MSGID = re.compile(rb"^Message-ID: <(\d{8}_\d{6}_[0-9a-f]{5}\.)>$")
SUBJECT = re.compile(rb"^Subject: torture (\d+)$")
DATE = re.compile(rb"^Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d{1,2} [A-Z][a-z][a-z] \d{4} "
                  rb"\d\d:\d\d:\d\d \+0100$")

# --- the sinks' logs: when each message was stored, and whether the relay answered with QUIT ----
SINK_LINE = re.compile(rb"^(\d+\.\d+) sink (\d+\.\d+\.\d+\.\d+:\d+): (.*)$")
stored_info = {}  # (sink name, file name) -> (time, acked)
for s in summary["sinks"]:
    path = os.path.join(work, "sinks", s["sink"] + ".log")
    events = []
    with open(path, "rb") as f:
        for line in f:
            m = SINK_LINE.match(line.rstrip(b"\n"))
            if m:
                events.append((float(m.group(1)), m.group(2), m.group(3)))
    for i, (t, peer, text) in enumerate(events):
        m = re.match(rb"stored (\d+\.mail) ", text)
        if not m:
            continue
        acked = False
        for t2, peer2, text2 in events[i + 1:]:
            if peer2 == peer:
                acked = text2 == b"QUIT"
                break
        stored_info[(s["sink"], m.group(1).decode())] = (t, acked)

# --- the copies that arrived ----------------------------------------------------------------------
copies = collections.defaultdict(list)  # id -> list of dicts
bad_copies = []
sink_tmp = 0
total_files = 0
for s in summary["sinks"]:
    d = os.path.join(work, "sinks", s["sink"])
    for name in sorted(os.listdir(d)):
        if name.startswith(".") or not name.endswith(".mail"):
            sink_tmp += 1  # the sink was killed while writing it: it never acknowledged it
            continue
        total_files += 1
        tag = "%s/%s" % (s["sink"], name)
        with open(os.path.join(d, name), "rb") as f:
            head, data = f.read().split(b"\n", 1)
        env = json.loads(head)
        rows = data.split(b"\r\n", 8)
        if len(rows) < 9:
            bad_copies.append("%s: fewer than eight header rows: %r" % (tag, data[:200]))
            continue
        m_id, m_subj = MSGID.match(rows[0]), SUBJECT.match(rows[3])
        if not m_id or not m_subj or int(m_subj.group(1)) not in expected:
            bad_copies.append("%s: rows %r" % (tag, rows[:4]))
            continue
        n = int(m_subj.group(1))
        problems = []
        if env["helo"] != "HELO torture.test":
            problems.append("HELO %r" % env["helo"])
        if env["mail"] != "MAIL FROM: <t@x.test>" or env["rcpt"] != ["RCPT TO: <r@x.test>"]:
            problems.append("envelope %r %r" % (env["mail"], env["rcpt"]))
        want = [b"From: T <t@x.test>", b"To: R <r@x.test>"]
        if rows[1:3] != want or rows[5:8] != [b"MIME-Version: 1.0", b"Content-Type: text/plain;",
                                                b""] or not DATE.match(rows[4]):
            problems.append("header rows %r" % rows[:8])
        digest, _ = expected[n]
        if hashlib.sha256(rows[8]).digest() != digest:
            problems.append("body: %s" % first_diff(rows[8], expected_body(n)))
        if problems:
            bad_copies.append("%s (id %d): %s" % (tag, n, "; ".join(problems)))
            continue
        t, acked = stored_info.get((s["sink"], name), (None, None))
        if t is None:
            notes.append("%s: no 'stored' line in the sink's log" % tag)
            t = s["start"]
        copies[n].append({"tag": tag, "sink": s["sink"], "base": m_id.group(1).decode(),
                          "t": t, "acked": acked})

# --- the relays' logs -----------------------------------------------------------------------------
RUN_LINE = re.compile(rb"^(\d+\.\d+) (\d\d):(\d\d):(\d\d) (.*)$")
FAILURE = re.compile(rb"Failed|Socket Error|^\(   (POP3|SMTP)\) Closed |Missing data|"
                     rb"^\(<- POP3\) -|^\(<- SMTP\) [45]")
IN_USE = re.compile(rb"^\(   POP3\) Failed: spool name (\d{8}_\d{6}_[0-9a-f]{5}\.)(msg|snd|err) "
                    rb"is in use$")
sink_phase = [p for p in summary["phases"] if p["phase"] == "sink"]
sink_window = (sink_phase[0]["start"], (sink_phase[0]["end"] or 1e9) + 1.0) if sink_phase else None
runs = {r["run"]: r for r in summary["runs"]}
stores = collections.defaultdict(list)   # (hhmmss, counter) -> [(run, session)]
sent_bases = collections.defaultdict(set)  # run -> spool bases whose data it began to send
sessions = {}                            # (run, session) -> dict
unexpected = []
in_use_lines = 0
smtp_errors = 0
for r in summary["runs"]:
    path = os.path.join(work, "runs", "run-%04d.log" % r["run"])
    counter = 0
    session = 0
    end = r["end"] if r["end"] is not None else 1e9
    in_sink_phase = sink_window is not None and r["start"] < sink_window[1] and end > sink_window[0]
    with open(path, "rb") as f:
        for raw in f:
            m = RUN_LINE.match(raw.rstrip(b"\n"))
            if not m:
                continue
            hhmmss = m.group(2) + m.group(3) + m.group(4)
            text = m.group(5)
            if text.startswith(b"(   POP3) Trying to connect"):
                session += 1
                sessions[(r["run"], session)] = {"quit_ok": False, "in_use": False}
            elif text.startswith(b"(-> POP3) DELE "):
                counter += 1
                stores[(hhmmss.decode(), counter)].append((r["run"], session))
            elif text.startswith(b"(-> SMTP) Message-ID: <"):
                sent_bases[r["run"]].add(text[23:-1].decode("latin-1"))
            elif text.startswith(b"(<- POP3) +OK Logging out") and (r["run"], session) in sessions:
                sessions[(r["run"], session)]["quit_ok"] = True
            if not FAILURE.search(text):
                continue
            if IN_USE.match(text):
                counter += 1
                in_use_lines += 1
                if (r["run"], session) in sessions:
                    sessions[(r["run"], session)]["in_use"] = True
                continue
            if text.startswith(b"(   POP3) Failed: "):
                counter += 1  # a store that failed for another reason: it used a counter value
            if in_sink_phase and re.match(rb"^\(   SMTP\) (Socket Error: |Closed )", text):
                smtp_errors += 1
                continue
            unexpected.append("run %d: %s" % (r["run"], raw.decode("latin-1").rstrip()))
if unexpected:
    failures.append("%d unexpected failure line(s) in the relays' logs:\n    %s" % (
        len(unexpected), "\n    ".join(unexpected[:30])))


def find_store(base):
    """The (run, session) pairs that stored the spool file BASE, from the DELE lines: the DELE is
    logged in the second the file was named, rarely in the next."""
    hhmmss, counter = base[9:15], int(base[16:21], 16)
    found = stores.get((hhmmss, counter), [])
    if found:
        return list(found)
    # A run can only have named the file if it was running in that second.
    second = time.mktime(time.strptime(base[:15], "%Y%m%d_%H%M%S"))
    h, mi, s = int(hhmmss[:2]), int(hhmmss[2:4]), int(hhmmss[4:6])
    nxt = (h * 3600 + mi * 60 + s + 1) % 86400
    return [w for w in stores.get(("%02d%02d%02d" % (nxt // 3600, nxt // 60 % 60, nxt % 60),
                                   counter), [])
            if runs[w[0]]["start_wall"] < second + 1]


def sink_killed_after(sink_name, t, within):
    for s in summary["sinks"]:
        if s["sink"] == sink_name and (s["end_reason"] or "").startswith("killed"):
            return 0 <= s["end"] - t <= within
    return False


def fetch_status(base):
    where = find_store(base)
    if not where:
        return "unknown"
    if len(where) > 1:
        return "reused"
    run_no, session = where[0]
    ses = sessions.get(where[0], {})
    if ses.get("quit_ok"):
        return "quit"
    if ses.get("in_use"):
        return "in_use"
    run = runs[run_no]
    last_session = max(s for (rr, s) in sessions if rr == run_no)
    if session == last_session and (run["end_reason"] or "").startswith("killed"):
        return "killed"
    return "cut"


FETCH_CLASS = {
    "killed": "fetched again: relay killed before the POP3 QUIT (DELE undone)",
    "in_use": "fetched again: session closed without QUIT after 'spool name in use'",
    "cut": "fetched again: session ended without QUIT (DELE undone)",
    "unknown": "fetched again: the storing session is not in the flushed log",
    "reused": "fetched again: storing session ambiguous (the name was used by two runs)",
}

REUSED = "fetched again under a reused spool name"


def relay_killed_near(base, t, lo, hi):
    """True when a relay run that sent BASE was killed between T+LO and T+HI on the driver's
    clock. A run killed within 0.25 s after T may have sent it without its Message-ID row reaching
    the log (the console output is flushed every 100 ms and lost with the process)."""
    for r in summary["runs"]:
        if not (r["end_reason"] or "").startswith("killed") or not t + lo <= r["end"] <= t + hi:
            continue
        if base in sent_bases[r["run"]] or r["end"] <= t + 0.25:
            return True
    return False


def sent_again_cause(base, c):
    """Why copy C of the spool file BASE was not the last one, or None when the logs do not say.
    C["t"] is when the sink reported the message stored; the acceptance (250) follows at once."""
    t = c["t"]
    if c["acked"]:
        # the relay read the acceptance and said QUIT; it deletes the file one tick after the
        # QUIT's reply, unless it is killed or the connection breaks first
        killed_soon = relay_killed_near(base, t, -0.3, 0.6)
        sink_soon = sink_killed_after(c["sink"], t, 1.0)
    else:
        # the relay never answered the acceptance: it was killed after sending the data (the sink
        # may finish reading a large message well after that), or the sink died around it
        killed_soon = relay_killed_near(base, t, -3.0, 0.3)
        sink_soon = sink_killed_after(c["sink"], t, 0.3)
    if c["acked"] and killed_soon:
        return "sent again: relay killed after the acceptance, before the file's deletion"
    if c["acked"] and sink_soon:
        return "sent again: sink killed after the acceptance (socket error, .err)"
    if not c["acked"] and killed_soon:
        return "sent again: relay killed before it read the acceptance"
    if not c["acked"] and sink_soon:
        return "sent again: sink killed before its acceptance reached the relay"
    return None


# --- loss, duplicates and their classes -----------------------------------------------------------
classes = collections.Counter()
unexplained = []
for n in ids:
    cs = sorted(copies.get(n, []), key=lambda c: c["t"])
    bases = []
    for c in cs:
        if c["base"] not in bases:
            bases.append(c["base"])
    # fetched more than once: one spool file per fetch. The last fetch is the one whose session
    # ended with QUIT (or was killed right after sending it); every other fetch must come from a
    # session that ended before QUIT, so that the server kept the message.
    status = [(fetch_status(b), b) for b in bases]
    for final in ("quit", "killed", "unknown", "reused", "in_use", "cut"):
        if any(st == final for st, _ in status):
            status.remove(next(x for x in status if x[0] == final))
            break
    for st, b in status:
        if st == "quit":
            classes["fetched again UNEXPLAINED: its session ended with QUIT"] += 1
            unexplained.append("id %d: spool file %s was stored in a session that ended with "
                               "QUIT (%s), and the message was fetched again" % (
                                   n, b, find_store(b)))
        else:
            classes[FETCH_CLASS[st]] += 1
    # the same spool name delivered more than once: the same file sent again, or (when several
    # runs stored a file of that name, each after the other's was gone) a fetch under a reused name
    for b in bases:
        same = [c for c in cs if c["base"] == b]
        reuse = max(0, len(find_store(b)) - 1)
        causes = [sent_again_cause(b, c) for c in same[:-1]]
        for i, cause in enumerate(causes):
            if cause is None and reuse:
                causes[i] = REUSED
                reuse -= 1
        for i in range(len(causes) - 1, -1, -1):
            if reuse and causes[i] not in (None, REUSED):
                causes[i] = REUSED
                reuse -= 1
        for c, cause in zip(same, causes):
            if cause is None:
                classes["sent again UNEXPLAINED"] += 1
                unexplained.append("id %d: %s delivered again after %s (acceptance seen: %s)" % (
                    n, b, c["tag"], c["acked"]))
            else:
                classes[cause] += 1

# one Message-ID for different messages: a spool name that a later run used again within the
# same second, after the first file of that name had been delivered and deleted
ids_of_base = collections.defaultdict(set)
for n in ids:
    for c in copies.get(n, []):
        ids_of_base[c["base"]].add(n)
shared_ids = {b: sorted(v) for b, v in ids_of_base.items() if len(v) > 1}

delivered = sum(1 for n in ids if copies.get(n))
lost = [n for n in ids if not copies.get(n)]
duplicates = sum(len(copies[n]) - 1 for n in ids if copies.get(n))
if lost:
    failures.append("%d id(s) lost: %s" % (len(lost), " ".join(map(str, lost[:50]))))
if bad_copies:
    failures.append("%d damaged cop(y/ies) at the sink:\n    %s" % (
        len(bad_copies), "\n    ".join(bad_copies[:20])))

# --- leftovers ------------------------------------------------------------------------------------
left = sorted(os.listdir(spool)) if os.path.isdir(spool) else []
if left:
    failures.append("the spool is not empty: %s" % " ".join(left[:20]))
in_mailbox = [n for sub in ("new", "cur", "tmp") for n in os.listdir(os.path.join(maildir, sub))]
if in_mailbox:
    failures.append("the mailbox is not empty: %d file(s)" % len(in_mailbox))
stderr_path = os.path.join(work, "relay-stderr.log")
if os.path.getsize(stderr_path):
    with open(stderr_path, "rb") as f:
        failures.append("the relays wrote to stderr: %r" % f.read(600))

# --- the server's view ----------------------------------------------------------------------------
logged_out = cut = cut_with_retr = 0
dovecot_errors = []
with open(dovecot_log, "rb") as f:
    for line in f:
        if b"pop3(torture)" in line and b"Disconnected" in line:
            m = re.search(rb"retr=(\d+)/", line)
            if b"Logged out" in line:
                logged_out += 1
            else:
                cut += 1
                cut_with_retr += 1 if m and int(m.group(1)) > 0 else 0
        elif re.search(rb"\b(Error|Fatal|Panic):", line):
            dovecot_errors.append(line.decode("latin-1").rstrip())

# --- report ---------------------------------------------------------------------------------------
kill_modes = collections.Counter(k["mode"] for k in summary["kills"])
fallbacks = sum(1 for k in summary["kills"] if k["fallback"])
sink_modes = collections.Counter(k["mode"] for k in summary["sink_kills"])
out = sys.stdout
print("seed %s; %d relay processes; phases: %s" % (summary["seed"], len(summary["runs"]), ", ".join(
    "%s %.0fs" % (p["phase"], (p["end"] or summary["duration"]) - p["start"])
    for p in summary["phases"])), file=out)
print("relay kills: %d (%s); %d by fallback; %d restarts in the second of the kill; "
      "%d kills left a temporary spool file" % (
          len(summary["kills"]), ", ".join("%s %d" % kv for kv in sorted(kill_modes.items())),
          fallbacks, summary["same_second_restarts"],
          sum(1 for k in summary["kills"] if k.get("temporary_files_left"))), file=out)
print("sink kills: %d (%s); %d by fallback" % (
    len(summary["sink_kills"]), ", ".join("%s %d" % kv for kv in sorted(sink_modes.items())),
    sum(1 for k in summary["sink_kills"] if k["fallback"])), file=out)
print("relay log: %d 'spool name in use', %d SMTP socket errors/closes in the sink phase" % (
    in_use_lines, smtp_errors), file=out)
print("POP3 server: %d sessions ended by QUIT, %d cut before QUIT (%d of them after a RETR)%s" % (
    logged_out, cut, cut_with_retr, "; %d error lines" % len(dovecot_errors) if dovecot_errors else ""),
    file=out)
pauses = summary.get("backlog_pauses", [])
if pauses:
    print("kill cycles paused %d times for %.0f s in all to let the spool backlog drain" % (
        len(pauses), sum(p["seconds"] for p in pauses)), file=out)
print("sink: %d messages stored by %d sink processes, %d partial files of killed sinks" % (
    total_files, len(summary["sinks"]), sink_tmp), file=out)
if classes:
    print("duplicates by class:", file=out)
    for k, v in sorted(classes.items(), key=lambda kv: -kv[1]):
        print("  %4d  %s" % (v, k), file=out)
if shared_ids:
    print("Message-IDs carried by different messages: %d (%s)" % (len(shared_ids), ", ".join(
        "%s: ids %s" % (b, "+".join(map(str, v))) for b, v in sorted(shared_ids.items())[:5])),
        file=out)
for u in unexplained[:20]:
    print("  unexplained: %s" % u, file=out)
for x in notes[:10]:
    print("note: %s" % x, file=out)
for x in dovecot_errors[:5]:
    print("dovecot: %s" % x, file=out)
for x in failures:
    print("FAIL: %s" % x, file=out)
print("torture: cycles=%d ids=%d delivered=%d lost=%d duplicates=%d damaged=%d time=%ss%s" % (
    summary["cycles_done"], len(ids), delivered, len(lost), duplicates, len(bad_copies), elapsed,
    "" if not failures else " FAILED"), file=out)
sys.exit(1 if failures else 0)

#!/usr/bin/python3
"""bench.py - the measuring half of bench/run.sh (run.sh installs, builds and starts the servers).

Given a running Dovecot (one mailbox user) and an SMTP sink on loopback ports, it measures the
relay and its peers side by side, prints the table and writes the report (markdown). Every process
it starts is bounded in time: peers run under timeout(1), relays get a watchdog process.

Figures:
  wall      seconds from the start of the process until the work is done (the peers: until they
            exit; the relay, which keeps running: until the mailbox is empty / the sink has all
            messages, sampled every 5 ms)
  CPU       user + system seconds: the peers from /usr/bin/time (their rusage), the relay from
            /proc/PID/task/*/schedstat at the moment the work is done
  peak RSS  the peers: /usr/bin/time's maximum resident set; the relay: VmHWM in /proc/PID/status
            at the moment the work is done
  MB/s      mailbox bytes (the message files as seeded, LF line ends; 1 MB = 10^6 bytes) per
            wall second; msg/s likewise
"""

import argparse
import datetime
import glob
import io
import json
import os
import platform
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import time

PY = "/usr/bin/python3"
HERE = os.path.dirname(os.path.abspath(__file__))
MiB = 1 << 20
KiB = 1 << 10
SPOOL_NAME = re.compile(r"^\d{8}_\d{6}_[0-9a-f]{5}\.(msg|snd|err)$")
USER, PASSWORD = "bench", "bench-secret"


def log(text):
    print("[%s] %s" % (time.strftime("%H:%M:%S"), text), file=sys.stderr, flush=True)


class Failure(Exception):
    """Something did not run as it must (as opposed to a missed target)."""


# --- messages -------------------------------------------------------------------------------------

def message_bytes(index, size, stamp):
    """A message of exactly `size` bytes (LF line ends): headers, then lines of 76 characters,
    every 40th starting with a dot (the server dot-stuffs those)."""
    head = (b"Return-Path: <sender%d@example.org>\n"
            b"From: Sender %d <sender%d@sales.example.com>\n"
            b"To: Receiver <rcpt@example.net>\n"
            b"Subject: benchmark message %d\n"
            b"Message-Id: <%d.%d@bench.test>\n"
            b"\n") % (index, index, index, index, stamp, index)
    return head, max(0, size - len(head))


BODY_BLOCK = b"".join((b"." if i % 40 == 0 else b"b") + b"x" * 75 + b"\n" for i in range(13443))


def write_body(f, nbytes):
    """Writes `nbytes` of body lines (the last line is cut to fit and ends with LF)."""
    block = BODY_BLOCK
    while nbytes >= len(block):
        f.write(block)
        nbytes -= len(block)
    if nbytes > 0:
        tail = block[:nbytes]
        if not tail.endswith(b"\n"):
            tail = tail[:-1] + b"\n"
        f.write(tail)


def wire_size(head, body_bytes):
    """(lines, size with CR LF) of a seeded message, for Dovecot's W= field."""
    full, rest = divmod(body_bytes, len(BODY_BLOCK))
    lines = head.count(b"\n") + full * BODY_BLOCK.count(b"\n")
    if rest > 0:
        tail = BODY_BLOCK[:rest]
        lines += tail.count(b"\n") + (0 if tail.endswith(b"\n") else 1)
    return lines


class Mailbox:
    def __init__(self, maildir):
        self.maildir = maildir

    def clear(self):
        for sub in ("new", "cur", "tmp"):
            d = os.path.join(self.maildir, sub)
            for name in os.listdir(d):
                os.unlink(os.path.join(d, name))
        # A fresh mailbox each time: Dovecot's index and UID list go too (no session is open).
        for path in glob.glob(os.path.join(self.maildir, "dovecot*")):
            os.unlink(path)

    def seed(self, count, size):
        self.clear()
        stamp = time.time_ns() // 1000
        for i in range(count):
            head, body_bytes = message_bytes(i, size, stamp)
            lines = wire_size(head, body_bytes)
            name = "%d.M%dP%d.bench,S=%d,W=%d" % (stamp, i, os.getpid(), len(head) + body_bytes,
                                                  len(head) + body_bytes + lines)
            tmp = os.path.join(self.maildir, "tmp", name)
            with open(tmp, "wb") as f:
                f.write(head)
                write_body(f, body_bytes)
            os.chown(tmp, 65534, 65534)
            os.rename(tmp, os.path.join(self.maildir, "new", name))
        # The seeding's dirty pages must not be written back during the measured run.
        os.sync()

    def count(self):
        return sum(len(os.listdir(os.path.join(self.maildir, s))) for s in ("new", "cur"))

    def watch(self):
        """A cheap count for polling: lists the folders only when one of them changed, when few
        messages are left, or 100 ms after the last listing (a change within the file system's
        timestamp granularity can leave the modification time as it was)."""
        stamps = tuple(os.stat(os.path.join(self.maildir, s)).st_mtime_ns for s in ("new", "cur"))
        now = time.monotonic()
        last = getattr(self, "_watch", None)
        if last and last[0] == stamps and last[1] > 100 and now - last[2] < 0.1:
            return last[1]
        n = self.count()
        self._watch = (stamps, n, now)
        return n


# --- processes ------------------------------------------------------------------------------------

def cpu_seconds(pid):
    """CPU time of all live threads of PID, from schedstat (nanoseconds)."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total / 1e9


def proc_status_kib(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise Failure("no %s for pid %d" % (key, pid))


def watchdog(pid, seconds):
    """A separate process that sends SIGTERM to PID after SECONDS (a lifetime limit)."""
    return subprocess.Popen(
        [PY, "-c", "import os, signal, sys, time\ntime.sleep(float(sys.argv[1]))\n"
         "os.kill(int(sys.argv[2]), signal.SIGTERM)", str(seconds), str(pid)],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        start_new_session=True)


def stop(proc, grace=5.0):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def timed(cmd, limit, output, env=None):
    """Runs CMD under /usr/bin/time and timeout(1), its output to the file OUTPUT; returns
    (wall, cpu, rss_kib, status)."""
    tfile = output + ".time"
    full = ["timeout", "-s", "KILL", str(int(limit)), "/usr/bin/time", "-f", "%e %U %S %M",
            "-o", tfile] + cmd
    t0 = time.perf_counter()
    with open(output, "wb") as out:
        status = subprocess.call(full, env=env, stdout=out, stderr=subprocess.STDOUT,
                                 stdin=subprocess.DEVNULL)
    wall = time.perf_counter() - t0
    try:
        with open(tfile) as f:
            last = f.read().strip().splitlines()[-1].split()
        _, user, system, rss = float(last[0]), float(last[1]), float(last[2]), int(last[3])
    except (OSError, IndexError, ValueError):
        raise Failure("%s: no figures from /usr/bin/time (status %d): %s" % (
            cmd[0], status, tail(output)))
    finally:
        if os.path.exists(tfile):
            os.unlink(tfile)
    return wall, user + system, rss, status


def tail(path, n=5):
    try:
        with open(path, "rb") as f:
            return " | ".join(f.read().decode("latin-1").strip().splitlines()[-n:])
    except OSError:
        return ""


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


# --- the bench ------------------------------------------------------------------------------------

class Bench:
    def __init__(self, args):
        self.a = args
        self.box = Mailbox(args.maildir)
        self.work = os.path.join(args.work, "bench")
        os.makedirs(self.work, exist_ok=True)
        self.closed_port = free_port()  # never listened on: deliveries fail at once
        self.runs = []  # one dict per measured run
        self.notes = []
        self.short = args.mode == "short"

    # -- helpers --
    def sink_files(self):
        return sorted(n for n in os.listdir(self.a.sink_dir) if n.endswith(".mail")
                      and not n.startswith("."))

    def clear_sink(self):
        for n in os.listdir(self.a.sink_dir):
            os.unlink(os.path.join(self.a.sink_dir, n))

    def fresh_dir(self, name):
        d = os.path.join(self.work, name)
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
        return d

    def relay_config(self, home, interval, smtp_port, sections=0):
        lines = ["[General]", "POPServer=127.0.0.1", "POPPort=%d" % self.a.pop_port,
                 "POPInterval=%d" % interval, "POPUser=" + USER, "POPPassword=" + PASSWORD,
                 "SMTPServer=127.0.0.1", "SMTPPort=%d" % smtp_port, "SMTPName=bench.relay"]
        routes = [("sales", "*@sales.example.com, boss@example.com"),
                  ("support", "*@support.example.com"),
                  ("partners", "*@partner?.example.net, *@*.partners.example.org")]
        for name, pattern in routes[:sections]:
            lines += ["", "[SPECIFIC_%s]" % name, "SenderAddresses=" + pattern,
                      "SMTPServer=127.0.0.1", "SMTPPort=%d" % smtp_port]
        path = os.path.join(home, "TarvixPOP2SMTP.ini")
        with open(path, "w") as f:
            f.write("\n".join(lines) + "\n")
        os.chmod(path, 0o600)
        return "\n".join(lines)

    def start_relay(self, home, stdout_path, limit):
        out = open(stdout_path, "wb") if stdout_path else subprocess.DEVNULL
        self.relay_err = os.path.join(self.work, "relay.err")
        err = open(self.relay_err, "wb")
        env = dict(os.environ, POP2SMTP_HOME=home + "/")
        t0 = time.perf_counter()
        proc = subprocess.Popen([self.a.relay], env=env, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=err)
        err.close()
        if stdout_path:
            out.close()
        dog = watchdog(proc.pid, limit + 10)
        return proc, dog, t0

    def end_relay(self, proc, dog):
        stop(proc)
        stop(dog, 1.0)

    def spool_count(self, home):
        d = os.path.join(home, "Messages")
        if not os.path.isdir(d):
            return 0
        return sum(1 for n in os.listdir(d) if SPOOL_NAME.match(n))

    def record(self, **run):
        run.setdefault("load", os.getloadavg()[0])
        run["dispatch_inside"] = dispatch_inside(run)
        self.runs.append(run)
        extra = ""
        if run.get("mbps") is not None:
            extra = " %.1f MB/s %.1f msg/s" % (run["mbps"], run["msgps"])
        log("  %-14s %-12s wall %.3f s  cpu %s s  rss %s MiB%s" % (
            run["case"], run["tool"], run["wall"], fmt(run["cpu"], 3),
            fmt(run["rss_kib"] / 1024 if run["rss_kib"] else None, 1), extra))

    # -- the sink's own bound: the message's bytes sent to it by a bare client --
    def smtp_floor_run(self, case, count, size, rep):
        """Sends COUNT messages as the relay would send them (dot-stuffed, CR LF) to the SMTP sink
        over one connection; the timed part is the SMTP dialog, not the building of the bytes."""
        head, body_bytes = message_bytes(0, size, time.time_ns() // 1000)
        buf = io.BytesIO()
        buf.write(head)
        write_body(buf, body_bytes)
        payload = buf.getvalue().replace(b"\n.", b"\n..").replace(b"\n", b"\r\n") + b".\r\n"
        del buf
        self.clear_sink()
        t0 = time.perf_counter()
        with socket.create_connection(("127.0.0.1", self.a.sink_port), timeout=self.a.limit) as s:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            f = s.makefile("rb")

            def command(text, code):
                if text is not None:
                    s.sendall(text + b"\r\n")
                reply = f.readline()
                if not reply.startswith(code):
                    raise Failure("SMTP floor: %r answered %r" % (text, reply))

            command(None, b"220")
            command(b"HELO bench.floor", b"250")
            for _ in range(count):
                command(b"MAIL FROM: <floor@example.org>", b"250")
                command(b"RCPT TO: <rcpt@example.net>", b"250")
                command(b"DATA", b"354")
                s.sendall(payload)
                command(None, b"250")
            wall = time.perf_counter() - t0
            command(b"QUIT", b"221")
        got = len(self.sink_files())
        if got != count:
            raise Failure("SMTP floor: the sink stored %d of %d" % (got, count))
        self.clear_sink()
        os.sync()
        total = count * size
        self.record(case=case["name"], tool="smtp-floor", rep=rep, count=count, size=size,
                    bytes=total, load_before=os.getloadavg()[0], wall=wall, cpu=None,
                    rss_kib=None, mbps=total / 1e6 / wall, msgps=count / wall)

    # -- retrieval: one tool on a freshly seeded mailbox --
    def retrieval_run(self, case, tool, count, size, rep):
        if tool == "smtp-floor":
            return self.smtp_floor_run(case, count, size, rep)
        limit = self.a.limit
        self.box.seed(count, size)
        total = count * size
        base = dict(case=case["name"], tool=tool, rep=rep, count=count, size=size, bytes=total,
                    load_before=os.getloadavg()[0])
        if tool in ("relay", "relay-log", "relay-e2e"):
            home = self.fresh_dir("relay-" + tool)
            to_sink = tool == "relay-e2e"
            if to_sink:
                self.clear_sink()
            self.relay_config(home, 100, self.a.sink_port if to_sink else self.closed_port)
            logpath = os.path.join(self.work, "relay-stdout.log") if tool == "relay-log" else None
            proc, dog, t0 = self.start_relay(home, logpath, limit)
            pid = proc.pid
            try:
                while True:
                    done = self.box.watch() == 0 and (
                        not to_sink or len(self.sink_files()) >= count)
                    now = time.perf_counter()
                    if done:
                        cpu = cpu_seconds(pid)
                        rss = proc_status_kib(pid, "VmHWM")
                        break
                    if proc.poll() is not None:
                        raise Failure("%s ended early (status %s): %s" % (
                            tool, proc.returncode, tail(self.relay_err)))
                    if now - t0 > limit:
                        raise Failure("%s: %s not done in %d s (mailbox %d left)" % (
                            case["name"], tool, limit, self.box.count()))
                    time.sleep(0.005)
                wall = now - t0
            finally:
                self.end_relay(proc, dog)
            if to_sink:
                got = len(self.sink_files())
                self.clear_sink()
            else:
                got = self.spool_count(home)
            if got != count:
                raise Failure("%s: %s stored %d of %d messages" % (case["name"], tool, got, count))
            shutil.rmtree(home, ignore_errors=True)
            if logpath:
                base["log_bytes"] = os.path.getsize(logpath)
                os.unlink(logpath)
        elif tool == "mpop":
            d = self.fresh_dir("mpop")
            md = os.path.join(d, "Maildir")
            for sub in ("new", "cur", "tmp"):
                os.makedirs(os.path.join(md, sub))
            rc = os.path.join(d, "mpoprc")
            with open(rc, "w") as f:
                f.write(self.mpop_rc(md))
            os.chmod(rc, 0o600)
            wall, cpu, rss, status = timed(["mpop", "-q", "-C", rc, "bench"], limit,
                                          os.path.join(self.work, "mpop.out"))
            got = len(os.listdir(os.path.join(md, "new"))) + len(os.listdir(os.path.join(md, "cur")))
            if status != 0 or got != count or self.box.count() != 0:
                raise Failure("%s: mpop status %d, delivered %d of %d: %s" % (
                    case["name"], status, got, count, tail(os.path.join(self.work, "mpop.out"))))
            shutil.rmtree(d, ignore_errors=True)
        elif tool == "fetchmail":
            d = self.fresh_dir("fetchmail")
            rc = os.path.join(d, "fetchmailrc")
            with open(rc, "w") as f:
                f.write(self.fetchmail_rc())
            os.chmod(rc, 0o600)
            self.clear_sink()
            env = dict(os.environ, FETCHMAILHOME=d)
            # As root fetchmail locks /var/run/fetchmail.pid whatever FETCHMAILHOME says: a
            # private lock keeps another fetchmail on the machine from stopping this run.
            wall, cpu, rss, status = timed(["fetchmail", "-s", "-f", rc, "--nodetach",
                                            "--pidfile", os.path.join(d, "fetchmail.pid"),
                                            "--idfile", os.path.join(d, "fetchids")], limit,
                                           os.path.join(self.work, "fetchmail.out"), env=env)
            got = len(self.sink_files())
            if status != 0 or got != count or self.box.count() != 0:
                raise Failure("%s: fetchmail status %d, delivered %d of %d: %s" % (
                    case["name"], status, got, count,
                    tail(os.path.join(self.work, "fetchmail.out"))))
            self.clear_sink()
            shutil.rmtree(d, ignore_errors=True)
        elif tool == "floor":
            d = self.fresh_dir("floor")
            wall, cpu, rss, status = timed(
                [PY, os.path.join(HERE, "pop3_floor.py"), "--port", str(self.a.pop_port),
                 "--user", USER, "--password", PASSWORD, "--dir", os.path.join(d, "spool")],
                limit, os.path.join(self.work, "floor.out"))
            got = len([n for n in os.listdir(os.path.join(d, "spool")) if n.endswith(".msg")])
            if status != 0 or got != count or self.box.count() != 0:
                raise Failure("%s: floor status %d, stored %d of %d: %s" % (
                    case["name"], status, got, count, tail(os.path.join(self.work, "floor.out"))))
            shutil.rmtree(d, ignore_errors=True)
        else:
            raise Failure("unknown tool " + tool)
        os.sync()  # what this run wrote and removed is on disk before the next one starts
        self.record(**base, wall=wall, cpu=cpu, rss_kib=rss, mbps=total / 1e6 / wall,
                    msgps=count / wall)

    def mpop_rc(self, maildir):
        return ("defaults\naccount bench\nhost 127.0.0.1\nport %d\nuser %s\npassword %s\n"
                "auth user\ntls off\ndelivery maildir %s\nkeep off\nonly_new off\n") % (
                    self.a.pop_port, USER, PASSWORD, maildir)

    def fetchmail_rc(self):
        return ("set no bouncemail\nset no syslog\n"
                "poll 127.0.0.1 protocol pop3 port %d\n"
                "  user \"%s\" there with password \"%s\" is \"root\" here\n"
                "  smtphost 127.0.0.1/%d\n  sslproto \"\"\n  fetchall\n  nokeep\n") % (
                    self.a.pop_port, USER, PASSWORD, self.a.sink_port)

    def retrieval(self):
        cases = self.cases()
        for rep in range(1, self.a.reps + 1):
            for case in cases:
                log("retrieval %s, run %d of %d" % (case["name"], rep, self.a.reps))
                for tool in case["tools"]:
                    self.retrieval_run(case, tool, case["count"], case["size"], rep)

    def cases(self):
        if self.short:
            small = dict(name="50 x 4 KiB", count=50, size=4 * KiB, kind="small")
            large = dict(name="1 x 5 MiB", count=1, size=5 * MiB, kind="large")
            larger = dict(name="1 x 10 MiB", count=1, size=10 * MiB, kind="larger")
            cases = [small, large, larger]
            for c in cases:
                c["tools"] = ["relay", "mpop", "fetchmail", "floor"]
            large["tools"] += ["relay-e2e", "smtp-floor"]
            larger["tools"] += ["relay-e2e", "smtp-floor"]
            return cases
        cases = [dict(name="1000 x 4 KiB", count=1000, size=4 * KiB, kind="small"),
                 dict(name="100 x 100 KiB", count=100, size=100 * KiB, kind="medium"),
                 dict(name="1 x 200 MiB", count=1, size=200 * MiB, kind="large"),
                 dict(name="1 x 400 MiB", count=1, size=400 * MiB, kind="larger")]
        for c in cases:
            c["tools"] = ["relay", "mpop", "fetchmail", "floor"]
        cases[0]["tools"].insert(1, "relay-log")
        cases[2]["tools"][1:1] = ["relay-log", "relay-e2e"]
        cases[3]["tools"][1:1] = ["relay-e2e"]
        for c in cases[2:]:
            c["tools"].append("smtp-floor")
        return cases

    # -- delivery --
    def delivery(self):
        n = 20 if self.short else 300
        log("delivery of %d spooled messages" % n)
        self.box.clear()
        home = self.fresh_dir("relay-delivery")
        spool = os.path.join(home, "Messages")
        os.makedirs(spool, mode=0o700)
        stamp = time.time_ns() // 1000
        for i in range(n):
            head, body_bytes = message_bytes(i, 4 * KiB, stamp)
            buf = io.BytesIO()
            buf.write(head)
            write_body(buf, body_bytes)
            raw = buf.getvalue()
            stored = b"".join((b"." + l if l.startswith(b".") else l) + b"\r\n"
                              for l in raw.split(b"\n")[:-1]) + b"\r\n"
            path = os.path.join(spool, "20250101_000000_%05x.msg" % (i + 1))
            with open(path, "wb") as f:
                f.write(stored)
            os.chmod(path, 0o600)
        os.sync()
        self.clear_sink()
        config = self.relay_config(home, 86400000, self.a.sink_port, sections=3)
        limit = n / 5 * 2 + 60
        proc, dog, t0 = self.start_relay(home, None, limit)
        try:
            while len(self.sink_files()) < n:
                if proc.poll() is not None:
                    raise Failure("relay ended during delivery (status %s, %d delivered): %s" % (
                        proc.returncode, len(self.sink_files()), tail(self.relay_err)))
                if time.perf_counter() - t0 > limit:
                    raise Failure("delivery: %d of %d after %d s" % (
                        len(self.sink_files()), n, limit))
                time.sleep(0.02)
            wall = time.perf_counter() - t0
            cpu = cpu_seconds(proc.pid)
            rss = proc_status_kib(proc.pid, "VmHWM")
        finally:
            self.end_relay(proc, dog)
        times = sorted(os.stat(os.path.join(self.a.sink_dir, f)).st_mtime_ns
                       for f in self.sink_files())
        span = (times[-1] - times[0]) / 1e9
        rate = (n - 1) / span if span > 0 else 0.0
        self.clear_sink()
        shutil.rmtree(home, ignore_errors=True)
        self.delivery_result = dict(n=n, wall=wall, cpu=cpu, rss_kib=rss, rate=rate, span=span,
                                    overall=n / wall, cpu_per_msg_ms=cpu / n * 1000,
                                    config=config, load=os.getloadavg()[0])
        log("  delivery: %.3f msg/s between first and last (%.1f s), %.3f ms CPU/message" % (
            rate, span, cpu / n * 1000))

    # -- idle --
    def idle(self):
        seconds = 5 if self.short else 60
        log("idle for %d s" % seconds)
        self.box.clear()
        home = self.fresh_dir("relay-idle")
        config = self.relay_config(home, 10000, self.a.sink_port, sections=3)
        proc, dog, t0 = self.start_relay(home, None, seconds + 30)
        try:
            time.sleep(2.0)  # start-up and the first poll are not idle time
            c0, w0 = cpu_seconds(proc.pid), time.perf_counter()
            time.sleep(seconds)
            c1, w1 = cpu_seconds(proc.pid), time.perf_counter()
            rss = proc_status_kib(proc.pid, "VmRSS")
            hwm = proc_status_kib(proc.pid, "VmHWM")
            if proc.poll() is not None:
                raise Failure("relay ended while idle (status %s): %s" % (
                    proc.returncode, tail(self.relay_err)))
        finally:
            self.end_relay(proc, dog)
        shutil.rmtree(home, ignore_errors=True)
        self.idle_result = dict(seconds=w1 - w0, cpu=c1 - c0, percent=(c1 - c0) / (w1 - w0) * 100,
                                rss_kib=rss, hwm_kib=hwm, config=config,
                                load=os.getloadavg()[0])
        log("  idle: %.3f %% of one core, RSS %.1f MiB" % (self.idle_result["percent"],
                                                           rss / 1024))

    # -- micro --
    def micro(self):
        log("micro benchmarks")
        out = os.path.join(self.work, "micro.json")
        cmd = [self.a.micro, "--benchmark_out=" + out, "--benchmark_out_format=json"]
        if self.short:
            cmd.append("--benchmark_min_time=0.01")
        status = subprocess.call(["timeout", "-s", "KILL", "900"] + cmd,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        if status != 0:
            raise Failure("micro_bench exited with %d" % status)
        with open(out) as f:
            data = json.load(f)
        self.micro_cmd = " ".join(["bench/micro_bench"] + cmd[1:]).replace(out, "FILE")
        self.micro_result = [b for b in data["benchmarks"] if b.get("run_type") != "aggregate"]

    # -- the machine's fsync cost, measured beside the runs --
    def fsync_probe(self, n=None):
        n = n or (10 if self.short else 40)
        d = self.fresh_dir("fsync-probe")
        data = b"x" * 4096
        file_times, dir_times = [], []
        for i in range(n):
            tmp = os.path.join(d, ".tmp%d" % i)
            fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
            os.write(fd, data)
            t = time.perf_counter()
            os.fsync(fd)
            file_times.append(time.perf_counter() - t)
            os.close(fd)
            os.rename(tmp, os.path.join(d, "m%d" % i))
            dfd = os.open(d, os.O_RDONLY | os.O_DIRECTORY)
            t = time.perf_counter()
            os.fsync(dfd)
            dir_times.append(time.perf_counter() - t)
            os.close(dfd)
        shutil.rmtree(d, ignore_errors=True)
        return statistics.median(file_times) * 1000, statistics.median(dir_times) * 1000


# --- figures and the report -----------------------------------------------------------------------

def dispatch_inside(run):
    """True for a relay retrieval of a large message whose peak RSS shows that the dispatch tick
    read the stored message (a second copy of it and more) before the mailbox was empty: the
    tick comes due while the message is stored, and it runs before or after the handling of the
    DELE reply depending on which of the two the event loop sees first."""
    if run["tool"] not in ("relay", "relay-log") or run["size"] < MiB or not run.get("rss_kib"):
        return False
    return run["rss_kib"] / 1024 > 1.9 * run["size"] / MiB + 8


def median_of(runs, key):
    values = [r[key] for r in runs if r.get(key) is not None]
    return statistics.median(values) if values else None


def summary(bench):
    """{(case, tool): {wall, cpu, rss_kib, mbps, msgps, walls}}: medians of the runs, but the
    largest peak RSS (a peak is a maximum)."""
    table = {}
    for r in bench.runs:
        table.setdefault((r["case"], r["tool"]), []).append(r)
    out = {}
    for key, runs in table.items():
        out[key] = dict(wall=median_of(runs, "wall"), cpu=median_of(runs, "cpu"),
                        rss_kib=max((r["rss_kib"] for r in runs if r["rss_kib"]), default=None),
                        mbps=median_of(runs, "mbps"),
                        msgps=median_of(runs, "msgps"), walls=[r["wall"] for r in runs],
                        inside=[r.get("dispatch_inside", False) for r in runs], runs=runs,
                        count=runs[0]["count"], size=runs[0]["size"],
                        log_bytes=median_of(runs, "log_bytes"))
    return out


def fmt(v, digits=2):
    if v is None:
        return "-"
    if abs(v) >= 100:
        return "%.0f" % v
    if abs(v) >= 10:
        return "%.1f" % v
    return ("%%.%df" % digits) % v


def size_text(n):
    return "%d MiB" % (n // MiB) if n >= MiB else "%d KiB" % (n // KiB)


TOOL_TEXT = {
    "relay": "pop2smtp (stdout to /dev/null)",
    "relay-log": "pop2smtp (stdout to a file)",
    "relay-e2e": "pop2smtp end to end (to the SMTP sink)",
    "mpop": "mpop (to a maildir)",
    "fetchmail": "fetchmail (to the SMTP sink)",
    "floor": "floor: bare RETR + write + fsync",
    "smtp-floor": "SMTP floor: the same bytes sent to the sink by a bare client",
}


def targets(bench, s):
    """Rows (what, figure, target, met) for the issue's targets, from this run's medians."""
    rows = []
    cases = {c["kind"]: c for c in bench.cases()}

    def get(kind, tool):
        c = cases.get(kind)
        return s.get((c["name"], tool)) if c else None

    large, larger, small = cases["large"], cases["larger"], cases["small"]
    r, m, fl = get("large", "relay"), get("large", "mpop"), get("large", "floor")
    if r and m:
        ratio = r["mbps"] / m["mbps"]
        rows.append(("Retrieval large (%s): relay MB/s / mpop MB/s" % large["name"],
                     "%.2f (%.1f / %.1f MB/s)" % (ratio, r["mbps"], m["mbps"]), ">= 0.5",
                     ratio >= 0.5))
    if r and fl:
        ratio = r["mbps"] / fl["mbps"]
        rows.append(("Retrieval large (%s): relay MB/s / floor MB/s" % large["name"],
                     "%.2f (%.1f / %.1f MB/s)" % (ratio, r["mbps"], fl["mbps"]),
                     "(how close to the floor)", None))
    r, m, f = get("small", "relay"), get("small", "mpop"), get("small", "fetchmail")
    if r and m:
        ratio = r["msgps"] / m["msgps"]
        rows.append(("Retrieval small (%s): relay msg/s / mpop msg/s" % small["name"],
                     "%.2f (%.0f / %.0f msg/s)" % (ratio, r["msgps"], m["msgps"]), ">= 0.4",
                     ratio >= 0.4))
    if r and f:
        ratio = r["msgps"] / f["msgps"]
        rows.append(("Retrieval small (%s): relay msg/s / fetchmail msg/s" % small["name"],
                     "%.1f (%.0f / %.1f msg/s)" % (ratio, r["msgps"], f["msgps"]), ">= 15",
                     ratio >= 15))
    e, f = get("large", "relay-e2e"), get("large", "fetchmail")
    if e and f:
        ratio = f["wall"] / e["wall"]
        rows.append(("Large message end to end (%s, POP3 to SMTP sink): fetchmail time / relay "
                     "time" % large["name"],
                     "%.1f (%.2f s / %.2f s)" % (ratio, f["wall"], e["wall"]), ">= 4",
                     ratio >= 4))
    fl, sf = get("large", "floor"), get("large", "smtp-floor")
    if fl and sf and f:
        bound = fl["wall"] + sf["wall"]
        rows.append(("End to end %s: store-and-forward floor (floor + SMTP floor) and the best "
                     "ratio it leaves against fetchmail" % large["name"],
                     "%.2f s + %.2f s = %.2f s; %.1f" % (fl["wall"], sf["wall"], bound,
                                                         f["wall"] / bound),
                     "(bound of the target above)", None))
    a, b = get("large", "relay"), get("larger", "relay")
    if a and b:
        # Like with like: runs of the same mode (dispatch read inside the window or not) when
        # both sizes have some; the medians of all runs otherwise.
        pairs = []
        for inside in (False, True):
            wa = [r["wall"] for r in a["runs"] if r["dispatch_inside"] == inside]
            wb = [r["wall"] for r in b["runs"] if r["dispatch_inside"] == inside]
            if wa and wb:
                pairs.append((inside, statistics.median(wb) / statistics.median(wa),
                              statistics.median(wb), statistics.median(wa)))
        if pairs:
            both = any(inside for inside, _, _, _ in pairs)
            text = "; ".join("%.2f (%.2f s / %.2f s%s)" % (
                ratio, tb, ta, "" if not both else (
                    ", runs with the dispatch read*" if inside else ", runs without it"))
                for inside, ratio, tb, ta in pairs)
            met = all(ratio <= 2.2 for _, ratio, _, _ in pairs)
        else:
            ratio = b["wall"] / a["wall"]
            text = "%.2f (%.2f s / %.2f s, medians of runs of both modes)" % (
                ratio, b["wall"], a["wall"])
            met = ratio <= 2.2
        rows.append(("Linear: relay time %s / time %s" % (larger["name"], large["name"]),
                     text, "<= 2.2", met))
    machine_ratios = []
    for tool in ("floor", "mpop"):
        x, y = get("large", tool), get("larger", tool)
        if x and y:
            machine_ratios.append("%s %.2f" % (tool, y["wall"] / x["wall"]))
    if machine_ratios:
        rows.append(("Linear, the same ratio for the floor and mpop in this run",
                     ", ".join(machine_ratios), "(what the machine gives)", None))
    a, b = get("large", "relay-e2e"), get("larger", "relay-e2e")
    if a and b:
        ratio = b["wall"] / a["wall"]
        rows.append(("Linear, end to end: relay time %s / time %s" % (larger["name"],
                                                                     large["name"]),
                     "%.2f (%.2f s / %.2f s)" % (ratio, b["wall"], a["wall"]), "<= 2.2",
                     ratio <= 2.2))
    for c, tool in ((large, "relay"), (larger, "relay"), (large, "relay-e2e"),
                    (larger, "relay-e2e")):
        x = s.get((c["name"], tool))
        if not x:
            continue
        bound = 2.5 * c["size"] / MiB + 16
        got = x["rss_kib"] / 1024
        what = "retrieval" if tool == "relay" else "end to end"
        rows.append(("Peak RSS, %s %s (bound 2.5 x %s + 16 MiB)" % (what, c["name"],
                                                                    size_text(c["size"])),
                     "%.0f MiB (%.2f x the message)" % (got, got / (c["size"] / MiB)),
                     "<= %.0f MiB" % bound, got <= bound))
    d = getattr(bench, "delivery_result", None)
    if d:
        share = d["rate"] / 5.0
        rows.append(("Delivery (%d spooled messages): msg/s / tick bound 5/s" % d["n"],
                     "%.1f %% (%.3f msg/s)" % (share * 100, d["rate"]), ">= 95 %",
                     share >= 0.95))
        rows.append(("Delivery: CPU per message", "%.3f ms" % d["cpu_per_msg_ms"],
                     "well under 1 ms (<= 0.5 ms)", d["cpu_per_msg_ms"] <= 0.5))
    i = getattr(bench, "idle_result", None)
    if i:
        rows.append(("Idle (%.0f s, 3 routing sections): CPU of one core" % i["seconds"],
                     "%.3f %% (RSS %.1f MiB)" % (i["percent"], i["rss_kib"] / 1024),
                     "<= 0.3 %", i["percent"] <= 0.3))
    return rows


def machine():
    info = {}
    try:
        with open("/proc/cpuinfo") as f:
            models = [l.split(":", 1)[1].strip() for l in f if l.startswith("model name")]
        info["cpu"] = "%s, %d cores" % (models[0] if models else "?", os.cpu_count())
    except OSError:
        info["cpu"] = "%d cores" % os.cpu_count()
    with open("/proc/meminfo") as f:
        mem = int(f.readline().split()[1])
    info["memory"] = "%.1f GiB" % (mem / 1024 / 1024)
    info["kernel"] = platform.release()
    try:
        info["os"] = [l.split("=", 1)[1].strip().strip('"') for l in open("/etc/os-release")
                      if l.startswith("PRETTY_NAME=")][0]
    except (OSError, IndexError):
        info["os"] = "?"
    try:
        info["fs"] = subprocess.check_output(
            ["findmnt", "-no", "FSTYPE,SOURCE,OPTIONS", "--target", "/tmp"], text=True).strip()
    except (OSError, subprocess.CalledProcessError):
        info["fs"] = "?"
    versions = {}
    for pkg in ("dovecot-pop3d", "fetchmail", "mpop", "g++", "python3"):
        try:
            versions[pkg] = subprocess.check_output(
                ["dpkg-query", "-W", "-f=${Version}", pkg], text=True, stderr=subprocess.DEVNULL)
        except (OSError, subprocess.CalledProcessError):
            versions[pkg] = "?"
    info["versions"] = versions
    return info


def render(bench, args, started, finished, info, probes):
    s = summary(bench)
    lines = []
    w = lines.append
    short = bench.short
    w("# Benchmarks" if not short else "# Benchmarks (short form)")
    w("")
    w("Measured by `%s` on %s (%s UTC to %s UTC)." % (
        args.command, started.strftime("%Y-%m-%d"), started.strftime("%H:%M"),
        finished.strftime("%H:%M")))
    if short:
        w("This is the short form (small sizes, one run each): it shows that every part still "
          "runs; its ratios are not the figures the targets are judged on.")
    w("")
    w("How to run: `bash bench/run.sh` (this full form: about half an hour; it writes this file) "
      "or `bash bench/run.sh --short` (small sizes, about a minute after the build; what CI "
      "runs; it writes build-release/BENCHMARKS-short.md). Either installs what it needs from "
      "Debian's packages (fetchmail, mpop, Dovecot, GNU time, Google Benchmark, the build "
      "tools), builds the relay and bench/micro_bench (Release) into build-release/, starts its "
      "own Dovecot and SMTP sink on loopback ports, prints the tables and writes the report. "
      "It exits non-zero only when something fails to run; a missed target is reported here.")
    w("")
    w("The relay is a Release build of commit `%s` made by the same command." % args.commit)
    w("Every retrieval case is run %d time%s per tool, the tools one after the other on a "
      "freshly seeded mailbox each time (runs interleaved, so slow periods of the machine hit "
      "all tools alike); the figures are medians. Ratios compare figures of this one run." %
      (args.reps, "" if args.reps == 1 else "s"))
    w("")
    w("## Machine")
    w("")
    w("| | |")
    w("|---|---|")
    w("| CPU | %s |" % info["cpu"])
    w("| memory | %s |" % info["memory"])
    w("| system | %s, kernel %s |" % (info["os"], info["kernel"]))
    w("| file system of the spools and mailboxes | %s |" % info["fs"])
    w("| fsync of a new 4 KiB file / of its directory (median, measured at start and end) | "
      "%.1f ms / %.1f ms, %.1f ms / %.1f ms |" % (probes[0][0], probes[0][1], probes[1][0],
                                                    probes[1][1]))
    loads = [r["load_before"] for r in bench.runs if "load_before" in r]
    if loads:
        w("| load average (1 min) before the retrieval runs | min %.1f, median %.1f, max %.1f "
          "|" % (min(loads), statistics.median(loads), max(loads)))
    w("| peers | Dovecot %s (POP3, private instance on 127.0.0.1), fetchmail %s, mpop %s |" % (
        info["versions"]["dovecot-pop3d"], info["versions"]["fetchmail"],
        info["versions"]["mpop"]))
    w("| compiler | g++ %s; Python %s for the SMTP sink and the floor client |" % (
        info["versions"]["g++"], info["versions"]["python3"]))
    w("")

    w("## Targets")
    w("")
    w("| what | figure | target | met |")
    w("|---|---|---|---|")
    for what, figure, target, met in targets(bench, s):
        w("| %s | %s | %s | %s |" % (what, figure, target,
                                     "-" if met is None else ("yes" if met else "**no**")))
    w("")

    w("## 1. Retrieval")
    w("")
    w("Mailbox moved from Dovecot: by pop2smtp into its spool (POPInterval=100, every poll "
      "counted, measured until the mailbox is empty), by mpop into a maildir, by fetchmail to "
      "the SMTP sink (tests/e2e/smtp_sink.py, which fsyncs each message). The floor is "
      "bench/pop3_floor.py: the relay's protocol steps and durability (RETR streamed into a "
      "file, fsync, rename, fsync of the directory, DELE; 100 per session) with nothing else. The "
      "SMTP floor is the time the sink takes to accept the message's bytes from a bare client "
      "(HELO, MAIL, RCPT, DATA, the dot-stuffed CR LF text sent in one go): the relay stores "
      "and then forwards, so floor + SMTP floor bounds its end-to-end time.")
    w("")
    w("| mailbox | tool | wall s (median; runs) | CPU s | peak RSS MiB (largest) | MB/s | "
      "msg/s |")
    w("|---|---|---|---|---|---|---|")
    for case in bench.cases():
        for tool in case["tools"]:
            x = s.get((case["name"], tool))
            if not x:
                continue
            w("| %s | %s | %s (%s) | %s | %s | %s | %s |" % (
                case["name"], TOOL_TEXT[tool], fmt(x["wall"], 3),
                ", ".join(fmt(v, 2) + ("*" if inside else "")
                          for v, inside in zip(x["walls"], x["inside"])), fmt(x["cpu"], 3),
                fmt(x["rss_kib"] / 1024 if x["rss_kib"] else None, 1), fmt(x["mbps"], 1),
                fmt(x["msgps"], 1)))
    w("")
    if any(any(v["inside"]) for v in s.values()):
        w("\\* a run in which the relay's dispatch tick read the stored message (%s) before the "
          "POP3 session ended, as its peak RSS shows: the tick comes due while the message is "
          "being stored and runs before or after the DELE reply is handled, whichever the event "
          "loop sees first, so the relay's time for a large message has two modes." %
          "dispatch.cpp, ReadSpoolFile")
        w("")
    logs = [(k, v) for k, v in s.items() if k[1] == "relay-log" and v.get("log_bytes")]
    for (case, _), v in logs:
        w("pop2smtp with stdout to a file wrote %.0f MB of log lines for %s." % (
            v["log_bytes"] / 1e6, case))
    if logs:
        w("")

    d = getattr(bench, "delivery_result", None)
    if d:
        w("## 2. Delivery")
        w("")
        w("%d spooled 4 KiB messages (`.msg` files put into `Messages/` before the start) "
          "delivered to the SMTP sink; three routing sections in the configuration, all "
          "pointing at the sink. The dispatch tick is 100 ms and a delivery takes two ticks, so "
          "the bound is 5 messages/s. The rate is taken between the first and the last message "
          "stored by the sink (%d intervals)." % (d["n"], d["n"] - 1))
        w("")
        w("| messages | msg/s (first to last) | of the bound 5/s | wall from start s | "
          "CPU s | CPU per message ms | peak RSS MiB |")
        w("|---|---|---|---|---|---|---|")
        w("| %d | %.3f | %.1f %% | %.2f | %.3f | %.3f | %.1f |" % (
            d["n"], d["rate"], d["rate"] / 5 * 100, d["wall"], d["cpu"], d["cpu_per_msg_ms"],
            d["rss_kib"] / 1024))
        w("")
    i = getattr(bench, "idle_result", None)
    if i:
        w("## 3. Idle")
        w("")
        w("The relay with an empty mailbox (POPInterval at its default of 10000 ms, so it polls "
          "Dovecot every 10 s), an empty spool and three routing sections, measured for %.0f s "
          "after 2 s of start-up." % i["seconds"])
        w("")
        w("| seconds | CPU s | CPU of one core | RSS MiB | peak RSS MiB |")
        w("|---|---|---|---|---|")
        w("| %.1f | %.4f | %.3f %% | %.1f | %.1f |" % (i["seconds"], i["cpu"], i["percent"],
                                                     i["rss_kib"] / 1024, i["hwm_kib"] / 1024))
        w("")
    mr = getattr(bench, "micro_result", None)
    if mr:
        w("## 4. Micro benchmarks")
        w("")
        w("`%s` (Google Benchmark, bench/micro_bench.cpp)." % bench.micro_cmd)
        w("")
        w("| benchmark | time | CPU | iterations | throughput |")
        w("|---|---|---|---|---|")
        for b in mr:
            unit = b.get("time_unit", "ns")
            tp = ""
            if b.get("bytes_per_second"):
                tp = "%.0f MB/s" % (b["bytes_per_second"] / 1e6)
            w("| %s | %s %s | %s %s | %d | %s |" % (
                b["name"], fmt(b["real_time"], 3), unit, fmt(b["cpu_time"], 3), unit,
                b["iterations"], tp))
        w("")

    w("## Commands")
    w("")
    w("Everything runs on 127.0.0.1: a private Dovecot started by tests/e2e/lib.sh "
      "(`e2e_start_dovecot`, user `%s`), the SMTP sink tests/e2e/smtp_sink.py "
      "(`e2e_start_sink`). Each message file is seeded straight into the maildir; a message is "
      "its header block and lines of 76 characters, every 40th line starting with a dot." % USER)
    w("")
    w("```")
    w("# pop2smtp (retrieval; end to end: SMTPPort is the sink's; stdout to /dev/null)")
    w("POP2SMTP_HOME=DIR/ build-release/pop2smtp    # DIR/TarvixPOP2SMTP.ini:")
    w("[General]")
    w("POPServer=127.0.0.1")
    w("POPPort=POP3_PORT")
    w("POPInterval=100")
    w("POPUser=%s" % USER)
    w("POPPassword=...")
    w("SMTPServer=127.0.0.1")
    w("SMTPPort=A_CLOSED_PORT")
    w("SMTPName=bench.relay")
    w("")
    w("# mpop")
    w("mpop -q -C RCFILE bench                        # RCFILE:")
    for l in bench.mpop_rc("DIR/Maildir").replace(PASSWORD, "...").splitlines():
        w(re.sub(r"^port \d+$", "port POP3_PORT", l))
    w("")
    w("# fetchmail")
    w("FETCHMAILHOME=DIR fetchmail -s -f RCFILE --nodetach --pidfile DIR/fetchmail.pid "
      "--idfile DIR/fetchids   # RCFILE:")
    for l in bench.fetchmail_rc().replace(PASSWORD, "...").splitlines():
        w(re.sub(r"port \d+$", "port POP3_PORT", re.sub(r"127.0.0.1/\d+", "127.0.0.1/SINK_PORT", l)))
    w("")
    w("# floor")
    w("python3 bench/pop3_floor.py --port POP3_PORT --user %s --password ... --dir DIR" % USER)
    w("")
    w("# peers and floor are measured by: timeout -s KILL LIMIT /usr/bin/time -f '%e %U %S %M' ...")
    w("```")
    w("")
    if d:
        w("Delivery and idle configuration (delivery: POPInterval=86400000; idle: 10000):")
        w("")
        w("```")
        config = re.sub(r"POPPort=\d+", "POPPort=POP3_PORT", d["config"].replace(PASSWORD, "..."))
        w(re.sub(r"SMTPPort=\d+", "SMTPPort=SINK_PORT", config))
        w("```")
        w("")
    return "\n".join(lines) + "\n"


def keep_block(path, text):
    """Keeps the hand-written block between the analysis markers of an existing report."""
    begin, end = "<!-- analysis:begin -->", "<!-- analysis:end -->"
    old = ""
    if os.path.exists(path):
        with open(path) as f:
            content = f.read()
        if begin in content and end in content:
            old = content[content.index(begin):content.index(end) + len(end)]
    if not old:
        old = begin + "\n" + end
    return text + "\n" + old + "\n"


def render_again(results, out):
    """Writes the report again from kept figures (after a change of the report's layout)."""
    with open(results) as f:
        keep = json.load(f)
    args = argparse.Namespace(**keep["args"])
    args.work = os.path.join("/tmp", "bench-render.%d" % os.getpid())
    bench = Bench(args)
    shutil.rmtree(args.work, ignore_errors=True)
    bench.runs = keep["runs"]
    for r in bench.runs:
        r["dispatch_inside"] = dispatch_inside(r)
    for name in ("delivery_result", "idle_result", "micro_result", "micro_cmd"):
        if keep.get(name) is not None:
            setattr(bench, name, keep[name])
    text = render(bench, args, datetime.datetime.fromisoformat(keep["started"]),
                  datetime.datetime.fromisoformat(keep["finished"]), keep["info"],
                  keep["probes"])
    report = keep_block(out, text)  # read before the file is opened for writing
    with open(out, "w") as f:
        f.write(report)
    print(text)
    return 0


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--render-again":
        return render_again(sys.argv[2], sys.argv[3])
    p = argparse.ArgumentParser(description="benchmarks of the relay against its peers")
    p.add_argument("--mode", choices=("full", "short"), default="full")
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--pop-port", type=int, required=True)
    p.add_argument("--maildir", required=True)
    p.add_argument("--sink-port", type=int, required=True)
    p.add_argument("--sink-dir", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--relay", required=True)
    p.add_argument("--micro", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--command", default="bash bench/run.sh")
    p.add_argument("--commit", default="?")
    p.add_argument("--limit", type=float, default=None, help="seconds allowed for one run")
    p.add_argument("--only", default="", help="comma list of parts: retrieval,delivery,idle,micro")
    p.add_argument("--results", default="", help="where to keep the figures (JSON)")
    args = p.parse_args()
    if args.limit is None:
        args.limit = 60 if args.mode == "short" else 600
    parts = set(args.only.split(",")) if args.only else {"retrieval", "delivery", "idle", "micro"}

    started = datetime.datetime.now(datetime.timezone.utc)
    bench = Bench(args)
    info = machine()
    probes = [bench.fsync_probe()]
    try:
        if "retrieval" in parts:
            bench.retrieval()
        if "delivery" in parts:
            bench.delivery()
        if "idle" in parts:
            bench.idle()
        if "micro" in parts:
            bench.micro()
    except Failure as e:
        log("FAILED: %s" % e)
        return 1
    probes.append(bench.fsync_probe())
    finished = datetime.datetime.now(datetime.timezone.utc)
    text = render(bench, args, started, finished, info, probes)
    if args.results:
        keep = dict(args=vars(args), started=started.isoformat(), finished=finished.isoformat(),
                    info=info, probes=probes, runs=bench.runs)
        for name in ("delivery_result", "idle_result", "micro_result", "micro_cmd"):
            keep[name] = getattr(bench, name, None)
        with open(args.results, "w") as f:
            json.dump(keep, f, indent=1)
    report = keep_block(args.out, text)
    with open(args.out, "w") as f:
        f.write(report)
    print(text)
    log("report written to %s" % args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())

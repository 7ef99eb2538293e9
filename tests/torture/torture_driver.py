#!/usr/bin/python3
"""torture_driver.py - runs the relay through kill -9 cycles for torture.sh.

torture.sh builds the world (Dovecot, the seeded mailbox, the relay's configuration) and then hands
over to this driver, which owns every relay process and every SMTP sink process of the run:

  phase 1  "kills-1"  the first half of the cycles: the relay is killed with SIGKILL at a chosen
                      moment and started again at once, while the sink stays up;
  phase 2  "sink"     the relay keeps running, and the SMTP sink is killed with SIGKILL and started
                      again (on the same port, into a new folder) several times;
  phase 3  "kills-2"  the remaining cycles, as in phase 1, for as long as mail remains;
  phase 4  "drain"    the relay runs undisturbed until the mailbox and the spool are empty.

Part of the messages is in the mailbox from the start; the driver adds the others in parts, three
before each sink kill and a few before each kill cycle, so that POP3 sessions and deliveries keep
having work. Every POP3 session killed before QUIT leaves its messages on the server, to be
fetched and spooled again: when the spool holds more than --backlog files, the cycles pause until
half of them are delivered.

Kill moments are a mix of random delays and triggers read from the relay's console output (one
line per log entry; the relay flushes its stdout every 100 ms, so a trigger lands up to about
100 ms after the logged step). A trigger that does not come within its fallback time kills anyway.

Every wait reads the relay's output: a relay whose stdout pipe fills up stops in the middle of its
work. Relays and sinks die with the driver (PR_SET_PDEATHSIG), sinks also have a lifetime of their
own, and the driver stops by itself at its time limit. SIGTERM stops the driver and its children.

Written for the checker (torture_check.py):
  WORK/runs/run-NNNN.log   one per relay process: its console lines, each prefixed with the
                           driver's clock (seconds since the driver started); the lines of a
                           message in retrieval and the continuation lines of the logged message
                           body are summarised, not kept
  WORK/sinks/sink-NN/      the messages stored by the NN-th sink process
  WORK/sinks/sink-NN.log   that sink's console lines, prefixed with the driver's clock
  WORK/relay-stderr.log    everything the relays wrote to stderr
  WORK/summary.json        phases, runs, kills and their triggers, sink kills, failures seen
"""

import argparse
import collections
import ctypes
import json
import os
import random
import re
import selectors
import shutil
import signal
import subprocess
import sys
import time

PR_SET_PDEATHSIG = 1
T0 = time.monotonic()


def now():
    return time.monotonic() - T0


def say(text):
    print("[%s] torture: %s" % (time.strftime("%H:%M:%S"), text), file=sys.stderr, flush=True)


class Stop(Exception):
    """SIGTERM or SIGINT: stop everything and leave."""


def _on_signal(signum, frame):
    raise Stop("signal %d" % signum)


def _child_setup(parent_pid):
    """Runs in a child before exec: it gets SIGKILL when the driver ends, however it ends."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    if os.getppid() != parent_pid:  # the driver died before prctl took effect
        os._exit(1)


TIME_PREFIX = re.compile(rb"^\d\d:\d\d:\d\d \(")


class RelayRun:
    """One relay process, its console output and the events read from it."""

    def __init__(self, drv, number):
        self.drv = drv
        self.number = number
        self.log = open(os.path.join(drv.work, "runs", "run-%04d.log" % number), "wb")
        env = dict(os.environ, POP2SMTP_HOME=drv.home.rstrip("/") + "/")
        self.proc = subprocess.Popen(
            [drv.relay], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=drv.stderr_file, close_fds=True,
            preexec_fn=lambda pid=os.getpid(): _child_setup(pid))
        self.fd = self.proc.stdout.fileno()
        os.set_blocking(self.fd, False)
        drv.selector.register(self.fd, selectors.EVENT_READ, self)
        self.started = now()
        self.started_wall = time.time()
        self.ended = None
        self.end_reason = None
        self.exit_status = None
        self.rest = b""
        self.counts = collections.Counter()
        # parser state
        self.retr_status_due = False   # RETR sent, its status line not seen yet
        self.quit_reply_due = False    # POP3 QUIT sent, its reply not seen yet
        self.in_retr = False           # inside a message of a RETR answer
        self.retr_lines = 0
        self.retr_subject = b""
        self.data_end_sent = False     # "." of the SMTP data sent, its reply not seen yet
        self.smtp_subject = b""
        self.hidden_lines = 0          # continuation lines of the logged message body

    # --- reading -------------------------------------------------------------------------------

    def readable(self):
        """Reads what is there; returns False at the end of the output."""
        try:
            chunk = os.read(self.fd, 1 << 20)
        except BlockingIOError:
            return True
        if not chunk:
            self.drv.selector.unregister(self.fd)
            return False
        self._consume(chunk)
        return True

    def _consume(self, chunk):
        lines = (self.rest + chunk).split(b"\n")
        self.rest = lines.pop()
        t = b"%.3f " % now()
        for line in lines:
            self._line(t, line.replace(b"\r", b""))

    def _flush_rest(self):
        if self.rest:
            self._line(b"%.3f " % now(), self.rest.replace(b"\r", b""))
            self.rest = b""

    def _write(self, t, line):
        self.log.write(t + line[:300] + b"\n")

    def _event(self, kind):
        self.counts[kind] += 1
        self.drv.event(self, kind)

    def _line(self, t, line):
        if not TIME_PREFIX.match(line):
            # A message logged with line breaks inside (the SMTP body row) continues here.
            self.hidden_lines += 1
            return
        text = line[9:]
        if self.in_retr and text.startswith(b"(<- POP3) "):
            if text == b"(<- POP3) .":
                self.in_retr = False
                self._write(t, b"[%d message lines: %s]" % (self.retr_lines, self.retr_subject))
                self._write(t, line)
            else:
                self.retr_lines += 1
                if text.startswith(b"(<- POP3) Subject: ") and not self.retr_subject:
                    self.retr_subject = text[19:60]
                    self.drv.retr_subject(self, text[19:])
                self._event("pop_msg_line")
            return
        if self.hidden_lines:
            self._write(t, b"[%d more lines of the message body]" % self.hidden_lines)
            self.hidden_lines = 0
        self._write(t, line)
        if text.startswith(b"(-> POP3) "):
            cmd = text[10:]
            if cmd == b"LIST":
                self._event("pop_list")
            elif cmd.startswith(b"RETR "):
                self.retr_status_due = True
                self._event("pop_retr")
            elif cmd.startswith(b"DELE "):
                self._event("pop_dele")
            elif cmd == b"QUIT":
                self.quit_reply_due = True
                self._event("pop_quit")
        elif text.startswith(b"(<- POP3) "):
            if self.quit_reply_due:
                self.quit_reply_due = False
                self._event("pop_quit_reply")
            if self.retr_status_due:
                self.retr_status_due = False
                if text.startswith(b"(<- POP3) +"):
                    self.in_retr = True
                    self.retr_lines = 0
                    self.retr_subject = b""
        elif text.startswith(b"(-> SMTP) "):
            row = text[10:]
            if row == b"DATA":
                self._event("smtp_data")
            elif row.startswith(b"Subject: "):
                self.smtp_subject = row[9:]
            elif row == b"Content-Type: text/plain;":
                # the body row follows at once: from here the data is on its way
                self._event("smtp_body")
            elif row == b".":
                self.data_end_sent = True
                self._event("smtp_end")
        elif text.startswith(b"(<- SMTP) "):
            if self.data_end_sent:
                self.data_end_sent = False
                if text.startswith(b"(<- SMTP) 2"):
                    self._event("smtp_accepted")
        elif text.startswith(b"(   SMTP) Trying to connect"):
            self.data_end_sent = False
        elif text.startswith(b"(   POP3) Trying to connect"):
            self.retr_status_due = False
            self.quit_reply_due = False
            self.in_retr = False

    # --- ending --------------------------------------------------------------------------------

    def finish(self, reason):
        """Reads the output to its end, reaps the process and closes the log. Called once the
        process has ended or has been sent SIGKILL."""
        try:
            self.drv.selector.unregister(self.fd)
        except (KeyError, ValueError):
            pass
        os.set_blocking(self.fd, True)
        while True:
            chunk = os.read(self.fd, 1 << 20)
            if not chunk:
                break
            self._consume(chunk)
        self.proc.stdout.close()
        self.exit_status = self.proc.wait()
        self._flush_rest()
        t = b"%.3f " % now()
        if self.hidden_lines:
            self._write(t, b"[%d more lines of the message body]" % self.hidden_lines)
        if self.in_retr:
            self._write(t, b"[%d message lines: %s; retrieval cut]" % (self.retr_lines,
                                                                        self.retr_subject))
        self.ended = now()
        self.end_reason = reason
        self.log.write(b"%.3f [run ended: %s, status %d]\n" % (self.ended, reason.encode(),
                                                                self.exit_status))
        self.log.close()

    def kill(self, reason):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
        self.finish(reason)

    def record(self):
        return {"run": self.number, "start": round(self.started, 3),
                "start_wall": self.started_wall,
                "end": None if self.ended is None else round(self.ended, 3),
                "end_reason": self.end_reason, "exit_status": self.exit_status,
                "events": dict(self.counts)}


class Sink:
    """One process of tests/e2e/smtp_sink.py, storing into its own folder."""

    def __init__(self, drv, index):
        self.drv = drv
        self.index = index
        self.name = "sink-%02d" % index
        self.dir = os.path.join(drv.work, "sinks", self.name)
        os.makedirs(self.dir)
        self.log = open(os.path.join(drv.work, "sinks", self.name + ".log"), "wb")
        self.proc = subprocess.Popen(
            [sys.executable, drv.sink_script, "--port", str(drv.sink_port), "--dir", self.dir,
             "--lifetime", str(int(drv.time_limit + 30))],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            close_fds=True, preexec_fn=lambda pid=os.getpid(): _child_setup(pid))
        self.fd = self.proc.stdout.fileno()
        os.set_blocking(self.fd, False)
        drv.selector.register(self.fd, selectors.EVENT_READ, self)
        self.rest = b""
        self.listening = False
        self.started = now()
        self.ended = None
        self.end_reason = None

    def readable(self):
        try:
            chunk = os.read(self.fd, 1 << 16)
        except BlockingIOError:
            return True
        if not chunk:
            self.drv.selector.unregister(self.fd)
            return False
        self._consume(chunk)
        return True

    def _consume(self, chunk):
        lines = (self.rest + chunk).split(b"\n")
        self.rest = lines.pop()
        t = b"%.3f " % now()
        for line in lines:
            self.log.write(t + line + b"\n")
            if b": stored " in line:
                self.drv.event(self, "sink_stored")
            elif line.startswith(b"sink: listening on "):
                self.listening = True

    def stop(self, sig, reason):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        try:
            self.drv.selector.unregister(self.fd)
        except (KeyError, ValueError):
            pass
        os.set_blocking(self.fd, True)
        while True:
            chunk = os.read(self.fd, 1 << 16)
            if not chunk:
                break
            self._consume(chunk)
        self.proc.stdout.close()
        if self.rest:
            self.log.write(b"%.3f " % now() + self.rest + b"\n")
        self.ended = now()
        self.end_reason = reason
        self.log.write(b"%.3f [sink ended: %s]\n" % (self.ended, reason.encode()))
        self.log.close()

    def record(self):
        return {"sink": self.name, "start": round(self.started, 3),
                "end": None if self.ended is None else round(self.ended, 3),
                "end_reason": self.end_reason}


class Trigger:
    """Waits for the COUNT-th event KIND (or for a delay when KIND is None)."""

    def __init__(self, mode, kind, count, fallback, delay=None, only_large=False, after=0.0):
        self.after = after   # seconds from the event to the kill
        self.due = None
        self.mode = mode
        self.kind = kind
        self.count = count
        self.fallback = fallback
        self.delay = delay
        self.only_large = only_large
        self.seen = 0
        self.fired = False
        self.by_fallback = False

    def describe(self):
        if self.kind is None:
            return "%s %.3fs" % (self.mode, self.delay)
        return "%s #%d%s%s" % (self.mode, self.count, " (large)" if self.only_large else "",
                               " +%.3fs" % self.after if self.after else "")


class Driver:
    def __init__(self, args):
        self.args = args
        self.relay = args.relay
        self.home = args.home
        self.work = args.work
        self.sink_script = args.sink_script
        self.sink_port = args.sink_port
        self.time_limit = args.time_limit
        self.deadline = args.time_limit
        self.rng = random.Random(args.seed)
        self.selector = selectors.DefaultSelector()
        os.makedirs(os.path.join(self.work, "runs"), exist_ok=True)
        os.makedirs(os.path.join(self.work, "sinks"), exist_ok=True)
        self.stderr_file = open(os.path.join(self.work, "relay-stderr.log"), "ab")
        self.maildir = args.maildir
        self.spool = os.path.join(self.home, "Messages")
        manifest = json.load(open(args.manifest))
        self.large = set(manifest["large"])
        self.later = list(manifest["later"])
        # the later messages arrive in parts: three before each sink kill, and the rest spread
        # over the kill cycles
        self.sink_part = min(len(self.later), 3 * args.sink_kills)
        self.part = -(-(len(self.later) - self.sink_part) // max(1, args.cycles))
        self.runs = []
        self.run = None
        self.sinks = []
        self.sink = None
        self.trigger = None
        self.trigger_owner = None   # "relay" or "sink": what a fired trigger kills
        self.retr_large_lines = None
        self.phases = []
        self.kills = []
        self.sink_kills = []
        self.failures = []
        self.same_second_restarts = 0
        self.cycles_done = 0
        self.stopping = False
        self.pauses = []

    # --- events and triggers -------------------------------------------------------------------

    def retr_subject(self, run, subject):
        """The Subject line of the message in retrieval."""
        m = re.match(rb"torture (\d+)$", subject)
        t = self.trigger
        if m and t and not t.fired and t.mode == "mid_retr" and t.only_large:
            if int(m.group(1)) in self.large and self.retr_large_lines is None:
                self.retr_large_lines = 0

    def event(self, source, kind):
        t = self.trigger
        if t is None or t.fired or t.kind is None:
            return
        if isinstance(source, RelayRun) and source is not self.run:
            return
        if isinstance(source, Sink) and source is not self.sink:
            return
        if t.only_large:
            if kind == "pop_msg_line" and t.kind == kind:
                if self.retr_large_lines is None:
                    return
                self.retr_large_lines += 1
                if self.retr_large_lines >= t.count:
                    self.fire()
                return
            if kind == "smtp_body" and t.kind == kind:
                m = re.match(rb"torture (\d+)$", self.run.smtp_subject)
                if m and int(m.group(1)) in self.large:
                    self.fire()
                return
        if kind == t.kind and t.due is None:
            t.seen += 1
            if t.seen >= t.count:
                if t.after > 0:
                    t.due = now() + t.after
                else:
                    self.fire()

    def fire(self, by_fallback=False):
        t = self.trigger
        t.fired = True
        t.by_fallback = by_fallback
        t.fired_at = now()
        if self.trigger_owner == "relay":
            self.run.proc.send_signal(signal.SIGKILL)
        else:
            self.sink.proc.send_signal(signal.SIGKILL)

    # --- waiting -------------------------------------------------------------------------------

    def pump(self, until):
        """Reads the children's output until the driver's clock reaches UNTIL, or until an armed
        trigger has fired."""
        while True:
            if now() >= self.deadline + 60:
                raise Stop("driver time limit")
            if self.trigger is not None and self.trigger.fired:
                return
            if self.trigger is not None and self.trigger.due is not None:
                if now() >= self.trigger.due:
                    self.fire()
                    return
                until = max(until, self.trigger.due)
            left = until - now()
            if left <= 0:
                return
            wait = min(left, 0.05)
            if self.trigger is not None and self.trigger.due is not None:
                wait = max(0.0, min(wait, self.trigger.due - now()))
            for key, _ in self.selector.select(timeout=wait):
                try:
                    key.data.readable()
                except OSError:
                    pass
                if self.trigger is not None and self.trigger.fired:
                    return
            self.check_relay()

    def check_relay(self):
        """A relay that ends without being killed is a failure; it is started again."""
        if self.stopping or self.run is None or self.run.proc.poll() is None:
            return
        if not (self.trigger is not None and self.trigger.fired and self.trigger_owner == "relay"):
            run = self.run
            run.finish("exited by itself")
            self.failures.append("relay run %d exited by itself with status %d after %.3f s" % (
                run.number, run.exit_status, run.ended - run.started))
            say(self.failures[-1])
            self.start_relay()

    # --- processes -----------------------------------------------------------------------------

    def start_relay(self):
        self.run = RelayRun(self, len(self.runs) + 1)
        self.runs.append(self.run)

    def settle_sink(self, seconds):
        """Reads only the sink's output for SECONDS (no relay is running)."""
        end = now() + seconds
        while self.sink is not None and self.sink.ended is None and now() < end:
            for key, _ in self.selector.select(timeout=max(0.0, end - now())):
                if key.data is self.sink:
                    self.sink.readable()

    def start_sink(self):
        self.sink = Sink(self, len(self.sinks))
        self.sinks.append(self.sink)
        # The sink says so once it listens; a sink that cannot bind the port ends instead.
        deadline = now() + 15
        while now() < deadline and not self.sink.listening and self.sink.proc.poll() is None:
            self.pump(now() + 0.02)
        if not self.sink.listening:
            raise Stop("sink %s did not listen on %d" % (self.sink.name, self.sink_port))

    # --- state of the mail ---------------------------------------------------------------------

    def mailbox_count(self):
        n = 0
        for sub in ("new", "cur"):
            try:
                n += sum(1 for e in os.scandir(os.path.join(self.maildir, sub)) if e.is_file())
            except FileNotFoundError:
                pass
        return n

    def spool_names(self):
        try:
            return sorted(os.listdir(self.spool))
        except FileNotFoundError:
            return []

    def spool_count(self):
        return sum(1 for n in self.spool_names() if n[-4:] in (".msg", ".snd", ".err"))

    def mail_remains(self):
        return bool(self.later) or self.mailbox_count() > 0 or self.spool_count() > 0

    # --- phases --------------------------------------------------------------------------------

    def phase(self, name):
        if self.phases and self.phases[-1]["end"] is None:
            self.phases[-1]["end"] = round(now(), 3)
        if name is not None:
            self.phases.append({"phase": name, "start": round(now(), 3), "end": None,
                                "first_run": self.run.number if self.run else 1})
            say("phase %s at %.1f s (mailbox %d, spool %d)" % (
                name, now(), self.mailbox_count(), self.spool_count()))

    def choose_relay_trigger(self):
        pop = self.mailbox_count() > 0
        smtp = pop or self.spool_count() > 0
        r = self.rng
        choices = [
            # (weight, available, factory)
            (28, True, lambda: Trigger("delay", None, 0, 0, delay=r.uniform(0.01, 1.5))),
            (7, pop, lambda: Trigger("after_pop_list", "pop_list", 1, r.uniform(2, 4))),
            (8, pop, lambda: Trigger("mid_retr", "pop_msg_line",
                                     r.choice([r.randint(1, 40), r.randint(40, 3000),
                                               r.randint(3000, 60000)]), r.uniform(2, 4))),
            (5, pop, lambda: Trigger("mid_retr", "pop_msg_line", r.randint(500, 40000),
                                     r.uniform(3, 5), only_large=True)),
            (12, pop, lambda: Trigger("after_pop_dele", "pop_dele",
                                      r.choice([1, 1, 2, 3, r.randint(4, 60)]), r.uniform(2, 4))),
            (5, pop, lambda: Trigger("after_pop_quit", "pop_quit", 1, r.uniform(3, 5))),
            # lets a POP3 session finish, then kills during the deliveries that follow
            (12, pop, lambda: Trigger("after_pop_session", "pop_quit_reply", 1, 12.0,
                                      after=r.uniform(0.0, 0.6))),
            (10, smtp, lambda: Trigger("after_smtp_data", "smtp_data", r.randint(1, 3),
                                       r.uniform(2, 4))),
            (5, smtp, lambda: Trigger("mid_smtp_data", "smtp_body", r.randint(1, 3),
                                      r.uniform(2, 4))),
            (4, smtp, lambda: Trigger("mid_smtp_data", "smtp_body", 1, r.uniform(3, 5),
                                      only_large=True)),
            (16, smtp, lambda: Trigger("after_smtp_accept", "smtp_accepted", r.randint(1, 3),
                                       r.uniform(2, 4))),
        ]
        avail = [(w, f) for w, ok, f in choices if ok]
        pick = r.uniform(0, sum(w for w, _ in avail))
        for w, f in avail:
            pick -= w
            if pick <= 0:
                return f()
        return avail[-1][1]()

    def arm(self, trigger, owner):
        self.trigger = trigger
        self.trigger_owner = owner
        self.retr_large_lines = None
        trigger.armed_at = now()

    def wait_trigger(self):
        t = self.trigger
        limit = t.armed_at + (t.delay if t.kind is None else t.fallback)
        self.pump(limit)
        if not t.fired:
            self.fire(by_fallback=t.kind is not None)

    def relieve_backlog(self):
        """Lets the relay run undisturbed while the spool holds more than the backlog limit: every
        kill of a POP3 session before QUIT leaves its messages in the mailbox and in the spool,
        and delivery (a message every two ticks or so) is the narrow part."""
        if self.spool_count() <= self.args.backlog:
            return
        start = now()
        end = min(start + 45, self.deadline - self.args.drain_reserve)
        while now() < end and self.spool_count() > self.args.backlog // 2:
            self.pump(now() + 0.5)
        self.pauses.append({"at": round(start, 3), "seconds": round(now() - start, 3),
                            "spool_after": self.spool_count()})

    def kill_cycle(self):
        self.seed_part(self.part)
        self.relieve_backlog()
        run = self.run
        t = self.choose_relay_trigger()
        self.arm(t, "relay")
        self.wait_trigger()
        kill_wall = time.time()
        run.kill("killed (%s)" % t.describe())
        self.trigger = None
        # a kill while a message was being stored leaves its temporary file; the next start
        # removes it (the check at the end finds none)
        temps = [n for n in self.spool_names() if n.startswith(".incoming-")]
        # What the sink stores from the data the killed relay sent is read before the next relay
        # starts, so that the checker can tell which run delivered what.
        self.settle_sink(0.02)
        self.start_relay()
        same = int(kill_wall) == int(self.run.started_wall)
        self.same_second_restarts += same
        self.cycles_done += 1
        self.kills.append({"cycle": self.cycles_done, "run": run.number, "mode": t.mode,
                           "trigger": t.describe(), "fallback": t.by_fallback,
                           "uptime": round(t.fired_at - run.started, 3),
                           "at": round(t.fired_at, 3), "same_second_restart": same,
                           "temporary_files_left": len(temps)})

    def sink_cycle(self):
        r = self.rng
        self.pump(now() + r.uniform(0.3, 1.5))
        # fresh mail for the deliveries the triggers wait for (what was pending before the last
        # sink kill may be parked as ".err" for up to 30 s)
        self.seed_part(3)
        choices = [
            (20, lambda: Trigger("delay", None, 0, 0, delay=r.uniform(0.0, 0.5))),
            (15, lambda: Trigger("after_smtp_data", "smtp_data", 1, r.uniform(2, 4))),
            (15, lambda: Trigger("mid_smtp_data", "smtp_body", 1, r.uniform(2, 4))),
            (15, lambda: Trigger("after_smtp_end", "smtp_end", 1, r.uniform(2, 4))),
            (15, lambda: Trigger("sink_stored", "sink_stored", 1, r.uniform(2, 4))),
            (20, lambda: Trigger("after_smtp_accept", "smtp_accepted", 1, r.uniform(2, 4))),
        ]
        pick = r.uniform(0, sum(w for w, _ in choices))
        for w, f in choices:
            pick -= w
            if pick <= 0:
                t = f()
                break
        self.arm(t, "sink")
        self.wait_trigger()
        sink = self.sink
        sink.stop(signal.SIGKILL, "killed (%s)" % t.describe())
        self.trigger = None
        down = r.choice([0.0, 0.0, r.uniform(0.05, 0.5), r.uniform(0.5, 2.0)])
        self.pump(now() + down)
        self.start_sink()
        self.sink_kills.append({"sink": sink.name, "mode": t.mode, "trigger": t.describe(),
                                "fallback": t.by_fallback, "at": round(t.fired_at, 3),
                                "down": round(self.sink.started - t.fired_at, 3),
                                "relay_run": self.run.number})

    def seed_part(self, size):
        """Puts the next SIZE of the later messages into the mailbox the way lib.sh's e2e_seed
        does: written to tmp/, owned by nobody, renamed into new/."""
        part, self.later = self.later[:size], self.later[size:]
        for name, src in part:
            tmp = os.path.join(self.maildir, "tmp", name)
            shutil.copyfile(src, tmp)
            os.chown(tmp, 65534, 65534)
            os.rename(tmp, os.path.join(self.maildir, "new", name))

    def drain(self):
        """Runs the relay until the mailbox and the spool stay empty; True when they did."""
        quiet_since = None
        while now() < self.deadline:
            self.pump(now() + 0.5)
            if self.mail_remains():
                quiet_since = None
            elif quiet_since is None:
                quiet_since = now()
            elif now() - quiet_since >= 2.0:
                return True
        return False

    def main(self):
        a = self.args
        cycles_first = a.cycles // 2
        drain_reserve = a.drain_reserve
        self.start_sink()
        self.start_relay()
        self.phase("kills-1")
        for _ in range(cycles_first):
            if not self.mail_remains() or now() > self.deadline - drain_reserve:
                break
            self.kill_cycle()
        self.phase("sink")
        for _ in range(a.sink_kills):
            if now() > self.deadline - drain_reserve:
                break
            self.sink_cycle()
        self.phase("kills-2")
        while self.cycles_done < a.cycles:
            if not self.mail_remains():
                break
            if now() > self.deadline - drain_reserve:
                say("cycles cut short by the time limit after %d" % self.cycles_done)
                break
            self.kill_cycle()
        self.seed_part(len(self.later))
        self.phase("drain")
        drained = self.drain()
        self.phase(None)
        if not drained:
            self.failures.append("mailbox (%d) or spool (%d) not empty at the time limit" % (
                self.mailbox_count(), self.spool_count()))
            say(self.failures[-1])
        # A clean stop: the relay ends on SIGTERM.
        self.stopping = True
        run = self.run
        run.proc.send_signal(signal.SIGTERM)
        t_end = now() + 10
        while run.proc.poll() is None and now() < t_end:
            self.pump(now() + 0.1)
        if run.proc.poll() is None:
            self.failures.append("relay run %d did not end within 10 s of SIGTERM" % run.number)
            run.kill("killed after SIGTERM")
        else:
            run.finish("SIGTERM")
            if run.exit_status != 0:
                self.failures.append("relay run %d ended with status %d on SIGTERM" % (
                    run.number, run.exit_status))
        self.run = None
        self.sink.stop(signal.SIGTERM, "stopped")
        return drained

    def cleanup(self):
        if self.run is not None and self.run.ended is None:
            self.run.kill("driver stopped")
        if self.sink is not None and self.sink.ended is None:
            self.sink.stop(signal.SIGKILL, "driver stopped")

    def write_summary(self, drained, note):
        summary = {
            "seed": self.args.seed, "cycles_requested": self.args.cycles,
            "cycles_done": self.cycles_done, "drained": drained, "note": note,
            "duration": round(now(), 3), "phases": self.phases,
            "runs": [r.record() for r in self.runs], "sinks": [s.record() for s in self.sinks],
            "kills": self.kills, "sink_kills": self.sink_kills,
            "same_second_restarts": self.same_second_restarts, "failures": self.failures,
            "backlog_pauses": self.pauses,
        }
        with open(os.path.join(self.work, "summary.json"), "w") as f:
            json.dump(summary, f, indent=1)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--relay", required=True)
    p.add_argument("--home", required=True, help="the relay's program directory")
    p.add_argument("--work", required=True)
    p.add_argument("--maildir", required=True)
    p.add_argument("--manifest", required=True)
    p.add_argument("--sink-script", required=True)
    p.add_argument("--sink-port", type=int, required=True)
    p.add_argument("--cycles", type=int, required=True)
    p.add_argument("--sink-kills", type=int, required=True)
    p.add_argument("--seed", type=int, required=True)
    p.add_argument("--time-limit", type=float, required=True,
                   help="seconds; the drain ends here at the latest")
    p.add_argument("--backlog", type=int, required=True,
                   help="spool files above which the kill cycles pause until half of them are gone")
    p.add_argument("--drain-reserve", type=float, required=True,
                   help="no new kill cycle starts later than this many seconds before the limit")
    args = p.parse_args()
    signal.signal(signal.SIGTERM, _on_signal)
    signal.signal(signal.SIGINT, _on_signal)
    drv = Driver(args)
    drained, note = False, ""
    try:
        drained = drv.main()
    except Stop as e:
        note = "stopped: %s" % e
        drv.failures.append(note)
        say(note)
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        drv.cleanup()
        drv.write_summary(drained, note)
    sys.exit(0 if drained else 2)


if __name__ == "__main__":
    main()

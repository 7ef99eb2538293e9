#!/usr/bin/python3
"""A scripted POP3 or SMTP server for the fault tests, in the spirit of Postfix's smtp-sink.

It speaks just enough of its protocol to carry the relay through a normal session, and at any
point of the conversation a fault can take the place of the normal reply. Everything the client
sends is written to a transcript file, so a test can check afterwards what the relay did.

  fault_server.py --proto pop3|smtp --transcript FILE [--port 0] [--lifetime SECONDS]
                  [--fault POINT=ACTION]... [--faulty-sessions N]
                  [--refuse | --listen-after SECONDS]
    POP3 only:    [--message FILE]... [--list-count N] [--max-list K]
    SMTP only:    [--data-dir DIR]

Points (where in the conversation the fault replaces the normal behaviour):
  both:  greeting    right after the connection is accepted
         BODY        in the middle of the message (POP3: after the "+OK" of RETR and half of the
                     message; SMTP: after the 354 reply and the first chunk of data received)
         any command verb: POP3 USER PASS LIST RETR DELE QUIT STAT ...; SMTP HELO MAIL RCPT DATA QUIT
  SMTP:  EOD         the reply to the end-of-data line "."

Actions:
  reply:TEXT   send TEXT (and CR LF) instead of the normal reply, then go on serving; whatever the
               client sends next is recorded and answered normally
  close        close our side (FIN) without a reply, then record whatever the client still sends
               until it closes too (reading on avoids turning the close into a reset)
  halfreply    send the first half of the normal reply without its line end, then as "close"
  reset        abortive close: SO_LINGER 0, so the client sees a TCP reset
  stall        send nothing more; record what the client sends until it closes
  garbage      send binary junk lines (none reads as a reply) instead of the reply, then stall
  longline     send 10 MiB of text without any line feed, then stall

--faulty-sessions N applies the faults to the first N connections only; later connections are
served normally (0, the default: every connection).
--refuse keeps the port bound but never listens: a connection attempt is refused (TCP reset).
--listen-after S does the same for S seconds and then serves normally.
--port 0 takes a free port; the port is written to the transcript's first line either way.

POP3 mailbox: the --message files (their lines end in LF or CR LF) and --list-count generated
messages, numbered 1.. in that order. A session lists the messages that are not deleted (at most
--max-list of them), numbered 1..n for that session. DELE marks a message; QUIT removes the
marked ones (RFC 1939: a session that ends without QUIT deletes nothing).

Transcript: one line per event, "EPOCH CONN EVENT [TEXT]", EPOCH in seconds with milliseconds,
CONN the connection number (0 for the server itself). Events:
  ready PROTO PORT     the port is bound (and listening unless refusing)
  listen               listening starts after --listen-after
  open PEER            a connection was accepted
  C TEXT               a line the client sent, without its line end (after a fault that ends
                       the session only the first 50 lines, then "C [N more bytes]")
  S TEXT               a line we sent (the first 200 characters)
  fault POINT ACTION   a fault replaced the normal behaviour
  data N complete|partial   SMTP message data of N bytes (stored in --data-dir as CONN.data)
  commit ID            POP3: message ID (its original number) removed at QUIT
  eof                  the client closed its side
  close                we closed the connection (after QUIT, or for a "close" fault)
  reset                we reset the connection
  end                  the connection is gone
  stop                 the server stops (lifetime or signal)
In TEXT, bytes outside printable ASCII are written as \\xNN and a backslash as \\\\.
"""

import argparse
import asyncio
import os
import signal
import socket
import struct
import sys
import time

LONG_LINE_BYTES = 10 * 1024 * 1024
DRAIN_LINES = 50
END_OF_DATA = b"\r\n.\r\n"
GARBAGE = (b"\x00\x01\xfe\xff garbage \x7f\x80\r\n"
           b"*** not a reply ***\r\n"
           b"\x1b[2J\xc3\x28 \x00\x00\x00\r\n"
           b"~!@#$%^&*()\n"
           b"junk without line end \xff")


def esc(data):
    out = []
    for b in data:
        if b == 0x5C:
            out.append("\\\\")
        elif 0x20 <= b < 0x7F:
            out.append(chr(b))
        else:
            out.append("\\x%02x" % b)
    return "".join(out)


def strip_eol(line):
    if line.endswith(b"\r\n"):
        return line[:-2]
    if line.endswith(b"\n"):
        return line[:-1]
    return line


def wire_form(raw):
    """The lines of a message as a POP3 server sends them after "+OK": each line (LF or CR LF in
    the file) with a leading "." doubled, ended by CR LF; a last line without LF is completed."""
    if not raw.endswith(b"\n"):
        raw += b"\n"
    out = []
    for line in raw.split(b"\n")[:-1]:
        if line.endswith(b"\r"):
            line = line[:-1]
        if line.startswith(b"."):
            line = b"." + line
        out.append(line + b"\r\n")
    return b"".join(out)


class Transcript:
    def __init__(self, path):
        self.f = open(path, "a", buffering=1, encoding="ascii", errors="backslashreplace")

    def write(self, conn, event, text=""):
        self.f.write("%.3f %d %s%s\n" % (time.time(), conn, event, (" " + text) if text else ""))


class Done(Exception):
    """Ends a session after a fault took it over."""


class Session:
    def __init__(self, server, conn, reader, writer):
        self.server = server
        self.conn = conn
        self.reader = reader
        self.writer = writer
        self.faulty = server.faulty_sessions == 0 or conn <= server.faulty_sessions

    def log(self, event, text=""):
        self.server.transcript.write(self.conn, event, text)

    async def send(self, data):
        for line in data.split(b"\n"):
            if line.strip(b"\r"):
                self.log("S", esc(line.rstrip(b"\r")[:200]))
        self.writer.write(data)
        await self.writer.drain()

    async def readline(self):
        """A line from the client without its line end, or None at end of input."""
        try:
            raw = await self.reader.readuntil(b"\n")
        except asyncio.IncompleteReadError as e:
            if e.partial:
                self.log("C", esc(e.partial) + " [no line end]")
            self.log("eof")
            return None
        except asyncio.LimitOverrunError:
            chunk = await self.reader.read(1 << 20)
            self.log("C", esc(chunk[:200]) + " [overlong line cut]")
            return b""
        line = strip_eol(raw)
        self.log("C", esc(line))
        return line

    async def drain_input(self):
        """Records what the client still sends, until it closes or resets: the first lines one
        by one (a client that goes on after a fault shows here), the rest only counted."""
        try:
            for _ in range(DRAIN_LINES):
                if await self.readline() is None:
                    return
            count = 0
            while True:
                chunk = await self.reader.read(1 << 16)
                if not chunk:
                    break
                count += len(chunk)
            self.log("C", "[%d more bytes]" % count)
            self.log("eof")
        except (ConnectionError, OSError):
            self.log("eof", "by reset")

    async def close_our_side(self):
        if self.writer.can_write_eof():
            self.writer.write_eof()
        self.log("close")
        await self.drain_input()

    def reset(self):
        sock = self.writer.get_extra_info("socket")
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        self.writer.transport.abort()
        self.log("reset")

    async def fault(self, point, normal=b""):
        """Carries out the fault configured for POINT, if any. Returns False when there is none
        (the caller goes on normally), True after a "reply:" fault (the caller skips its normal
        reply and goes on serving); raises Done when the fault ended the session."""
        action = self.server.faults.get(point.upper()) if self.faulty else None
        if action is None:
            return False
        self.log("fault", "%s %s" % (point, action))
        if action.startswith("reply:"):
            await self.send(action[len("reply:"):].encode("latin-1") + b"\r\n")
            return True
        if action == "close":
            await self.close_our_side()
        elif action == "halfreply":
            part = normal.rstrip(b"\r\n")
            part = part[:max(1, len(part) // 2)]
            self.writer.write(part)
            await self.writer.drain()
            self.log("S", esc(part) + " [no line end]")
            await self.close_our_side()
        elif action == "reset":
            self.reset()
        elif action == "stall":
            await self.drain_input()
        elif action == "garbage":
            await self.send(GARBAGE)
            await self.drain_input()
        elif action == "longline":
            chunk = (b"0123456789abcdefghijklmnopqrstuvwxyz\r" * 30000)[:1 << 20]
            for _ in range(LONG_LINE_BYTES // len(chunk)):
                self.writer.write(chunk)
                await self.writer.drain()
            self.log("S", "[%d bytes without line feed]" % LONG_LINE_BYTES)
            await self.drain_input()
        else:
            raise SystemExit("unknown action %r" % action)
        raise Done()

    async def reply(self, point, text):
        data = text.encode("latin-1") + b"\r\n"
        if not await self.fault(point, data):
            await self.send(data)


class Pop3Session(Session):
    async def run(self):
        mailbox = self.server.mailbox
        listed = [m for m in mailbox if not m["deleted"]]
        if self.server.max_list:
            listed = listed[:self.server.max_list]
        marked = set()
        await self.reply("greeting", "+OK fault POP3 server ready")
        while True:
            line = await self.readline()
            if line is None:
                return
            words = line.decode("latin-1").split()
            verb = words[0].upper() if words else ""
            arg = words[1] if len(words) > 1 else ""

            def message(number_text):
                if number_text.isdigit() and 1 <= int(number_text) <= len(listed):
                    m = listed[int(number_text) - 1]
                    if m["id"] not in marked:
                        return m
                return None

            if verb in ("USER", "PASS", "NOOP", "RSET"):
                if verb == "RSET":
                    marked.clear()
                await self.reply(verb, "+OK")
            elif verb == "STAT":
                live = [m for m in listed if m["id"] not in marked]
                await self.reply(verb, "+OK %d %d" % (len(live), sum(len(m["wire"]) for m in live)))
            elif verb == "LIST" and not arg:
                live = [(n, m) for n, m in enumerate(listed, 1) if m["id"] not in marked]
                head = b"+OK %d messages\r\n" % len(live)
                if await self.fault(verb, head):
                    continue
                body = b"".join(b"%d %d\r\n" % (n, len(m["wire"])) for n, m in live)
                self.writer.write(head + body + b".\r\n")
                await self.writer.drain()
                self.log("S", "+OK %d messages [and %d list lines, .]" % (len(live), len(live)))
            elif verb == "RETR":
                m = message(arg)
                if m is None:
                    await self.reply(verb, "-ERR no such message")
                    continue
                head = b"+OK %d octets\r\n" % len(m["wire"])
                if await self.fault(verb, head):
                    continue
                await self.send(head)
                half = len(m["wire"]) // 2
                if self.faulty and "BODY" in self.server.faults:
                    self.writer.write(m["wire"][:half])
                    await self.writer.drain()
                    self.log("S", "[%d of %d message bytes]" % (half, len(m["wire"])))
                    await self.fault("BODY")
                self.writer.write(m["wire"] + b".\r\n")
                await self.writer.drain()
                self.log("S", "[message %d: %d bytes, .]" % (m["id"], len(m["wire"])))
            elif verb == "DELE":
                m = message(arg)
                if m is None:
                    await self.reply(verb, "-ERR no such message")
                    continue
                if not await self.fault(verb, b"+OK\r\n"):
                    marked.add(m["id"])
                    await self.send(b"+OK message deleted\r\n")
            elif verb == "QUIT":
                if await self.fault(verb, b"+OK\r\n"):
                    continue
                for m in listed:
                    if m["id"] in marked:
                        m["deleted"] = True
                        self.log("commit", str(m["id"]))
                await self.send(b"+OK bye\r\n")
                self.writer.close()
                self.log("close")
                return
            else:
                await self.reply(verb or "EMPTY", "-ERR unknown command")


class SmtpSession(Session):
    async def read_data(self):
        """Reads message data up to the end line; returns (bytes before it, complete)."""
        buf = bytearray(b"\r\n")
        searched = 0
        while True:
            if len(buf) > 2 and self.faulty and "BODY" in self.server.faults:
                # The fault comes after the first chunk, whether or not it holds the end line.
                self.store(bytes(buf[2:]), False)
                await self.fault("BODY")
            idx = buf.find(END_OF_DATA, max(0, searched - len(END_OF_DATA)))
            if idx >= 0:
                return bytes(buf[2:idx + 2]) if idx >= 2 else b"", True
            searched = len(buf)
            chunk = await self.reader.read(1 << 16)
            if not chunk:
                return bytes(buf[2:]), False
            buf += chunk

    def store(self, data, complete):
        self.log("data", "%d %s" % (len(data), "complete" if complete else "partial"))
        if self.server.data_dir:
            with open(os.path.join(self.server.data_dir, "%d.data" % self.conn), "wb") as f:
                f.write(data)

    async def run(self):
        await self.reply("greeting", "220 fault.test ESMTP fault server ready")
        while True:
            line = await self.readline()
            if line is None:
                return
            text = line.decode("latin-1")
            verb = text.split(" ", 1)[0].split(":", 1)[0].upper()
            if verb in ("HELO", "EHLO"):
                await self.reply(verb, "250 fault.test")
            elif verb in ("MAIL", "RCPT", "RSET", "NOOP"):
                await self.reply(verb, "250 2.0.0 Ok")
            elif verb == "DATA":
                if await self.fault(verb, b"354 go ahead\r\n"):
                    continue
                await self.send(b"354 End data with <CR><LF>.<CR><LF>\r\n")
                data, complete = await self.read_data()
                self.store(data, complete)
                if not complete:
                    self.log("eof")
                    return
                await self.reply("EOD", "250 2.0.0 Ok: queued as %d" % self.conn)
            elif verb == "QUIT":
                if await self.fault(verb, b"221 Bye\r\n"):
                    continue
                await self.send(b"221 2.0.0 Bye\r\n")
                self.writer.close()
                self.log("close")
                return
            else:
                await self.reply(verb or "EMPTY", "500 5.5.2 command not recognized")


class Server:
    def __init__(self, args):
        self.transcript = Transcript(args.transcript)
        self.faults = {}
        for item in args.fault:
            point, sep, action = item.partition("=")
            if not sep or not action:
                raise SystemExit("--fault wants POINT=ACTION, got %r" % item)
            self.faults[point.upper()] = action
        self.faulty_sessions = args.faulty_sessions
        self.proto = args.proto
        self.data_dir = args.data_dir
        self.max_list = args.max_list
        self.mailbox = []
        for path in args.message:
            with open(path, "rb") as f:
                self.add_message(f.read())
        for i in range(1, args.list_count + 1):
            self.add_message(b"Return-Path: <list%d@example.org>\nFrom: List <list%d@example.org>\n"
                             b"To: <to@example.net>\nSubject: list %d\n\nmessage %d\n"
                             % (i, i, i, i))
        self.conns = 0
        self.tasks = set()

    def add_message(self, raw):
        self.mailbox.append({"id": len(self.mailbox) + 1, "wire": wire_form(raw),
                             "deleted": False})

    async def handle(self, reader, writer):
        self.conns += 1
        conn = self.conns
        peer = writer.get_extra_info("peername")
        self.transcript.write(conn, "open", "%s:%s" % peer[:2] if peer else "?")
        cls = Pop3Session if self.proto == "pop3" else SmtpSession
        session = cls(self, conn, reader, writer)
        task = asyncio.current_task()
        self.tasks.add(task)
        try:
            await session.run()
        except Done:
            pass
        except (ConnectionError, OSError) as e:
            self.transcript.write(conn, "eof", "by error: %s" % e)
        except asyncio.CancelledError:
            pass
        finally:
            self.tasks.discard(task)
            writer.close()
            self.transcript.write(conn, "end")


async def main():
    parser = argparse.ArgumentParser(description="scripted POP3/SMTP server with faults")
    parser.add_argument("--proto", choices=("pop3", "smtp"), required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--transcript", required=True)
    parser.add_argument("--lifetime", type=float, default=120.0,
                        help="seconds after which the server stops by itself")
    parser.add_argument("--fault", action="append", default=[], metavar="POINT=ACTION")
    parser.add_argument("--faulty-sessions", type=int, default=0)
    parser.add_argument("--refuse", action="store_true")
    parser.add_argument("--listen-after", type=float, default=0.0)
    parser.add_argument("--message", action="append", default=[])
    parser.add_argument("--list-count", type=int, default=0)
    parser.add_argument("--max-list", type=int, default=0)
    parser.add_argument("--data-dir")
    args = parser.parse_args()
    if not args.host.startswith("127."):
        parser.error("the fault server listens on loopback addresses only")
    if args.data_dir:
        os.makedirs(args.data_dir, exist_ok=True)

    server = Server(args)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    loop.call_later(args.lifetime, stop.set)

    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind((args.host, args.port))
    port = sock.getsockname()[1]
    listener = None
    if not args.refuse and args.listen_after <= 0:
        listener = await asyncio.start_server(server.handle, sock=sock, limit=1 << 20)
    server.transcript.write(0, "ready", "%s %d" % (args.proto, port))

    async def listen_later():
        nonlocal listener
        await asyncio.sleep(args.listen_after)
        listener = await asyncio.start_server(server.handle, sock=sock, limit=1 << 20)
        server.transcript.write(0, "listen")

    if not args.refuse and args.listen_after > 0:
        loop.create_task(listen_later())
    await stop.wait()
    server.transcript.write(0, "stop")
    if listener is not None:
        listener.close()
    else:
        sock.close()
    for task in list(server.tasks):
        task.cancel()
    await asyncio.sleep(0.1)


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)

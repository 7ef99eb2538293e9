#!/usr/bin/python3
"""pop3_floor.py - the floor under the relay's retrieval figures.

A bare POP3 client that does what the relay must do to move a mailbox into a spool, and nothing
more: USER, PASS, LIST, then for each listed message (at most 100 per session, one command per
reply, as the relay) RETR into a temporary file as the bytes arrive, fsync the file, rename it,
fsync the directory, DELE; QUIT; and again while the mailbox holds messages. It keeps the bytes as
the server sends them (no line handling, no log), so its time is what receiving plus writing and
fsyncing costs on this machine.

    pop3_floor.py --port P --user U --password W --dir D [--host 127.0.0.1]

Prints one line: "messages=N bytes=B". Exit status 1 on any protocol failure.
"""

import argparse
import os
import socket
import sys

END = b"\r\n.\r\n"


class Connection:
    def __init__(self, host, port):
        self.sock = socket.create_connection((host, port), timeout=120)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = bytearray(1 << 20)
        self.view = memoryview(self.buffer)
        self.pending = b""  # received bytes not used yet

    def receive(self):
        n = self.sock.recv_into(self.buffer)
        if n == 0:
            raise ConnectionError("server closed the connection")
        return bytes(self.view[:n])

    def line(self):
        while b"\n" not in self.pending:
            self.pending += self.receive()
        line, _, self.pending = self.pending.partition(b"\n")
        return line.rstrip(b"\r")

    def command(self, text):
        self.sock.sendall(text.encode("ascii") + b"\r\n")
        reply = self.line()
        if not reply.startswith(b"+OK"):
            raise ConnectionError("%s: %r" % (text.split(" ")[0], reply))
        return reply

    def retrieve_into(self, fd):
        """Writes the message text of a RETR (after its +OK line) to fd up to the end line.
        The received bytes are searched and written where they lie (no copies of the data)."""
        written = 0
        carry = b"\r\n"  # an end line that comes first ends an empty message
        data, n = self.pending, len(self.pending)
        self.pending = b""
        while True:
            if n == 0:
                n = self.sock.recv_into(self.buffer)
                if n == 0:
                    raise ConnectionError("server closed the connection")
                data = self.buffer
            view = memoryview(data)[:n]
            # An end line that straddles two reads comes before any inside this one.
            at = (carry + bytes(view[:4])).find(END)
            if at >= 0:
                keep = at + 2 - len(carry)
                if keep > 0:
                    written += write_all(fd, view[:keep])
                self.pending = bytes(view[at + 5 - len(carry):])
                return written
            at = data.find(END, 0, n)
            if at >= 0:
                written += write_all(fd, view[:at + 2])
                self.pending = bytes(view[at + 5:])
                return written
            written += write_all(fd, view)
            carry = (carry + bytes(view[-4:]))[-4:]
            n = 0

    def close(self):
        self.sock.close()


def write_all(fd, view):
    total = len(view)
    while len(view):
        view = view[os.write(fd, view):]
    return total


def sync_directory(path):
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--dir", required=True)
    parser.add_argument("--per-session", type=int, default=100)
    args = parser.parse_args()
    if not args.host.startswith("127."):
        parser.error("loopback addresses only")
    os.makedirs(args.dir, exist_ok=True)

    stored = 0
    total = 0
    while True:
        conn = Connection(args.host, args.port)
        if not conn.line().startswith(b"+OK"):
            raise ConnectionError("greeting")
        conn.command("USER " + args.user)
        conn.command("PASS " + args.password)
        conn.command("LIST")
        numbers = []
        while True:
            line = conn.line()
            if line == b".":
                break
            numbers.append(int(line.split(b" ")[0]))
        for number in numbers[:args.per_session]:
            conn.command("RETR %d" % number)
            stored += 1
            name = os.path.join(args.dir, "%08d.msg" % stored)
            temp = os.path.join(args.dir, ".tmp-%08d" % stored)
            fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
            try:
                total += conn.retrieve_into(fd)
                os.fsync(fd)
            finally:
                os.close(fd)
            os.rename(temp, name)
            sync_directory(args.dir)
            conn.command("DELE %d" % number)
        conn.command("QUIT")
        conn.close()
        if len(numbers) <= args.per_session:
            break
    print("messages=%d bytes=%d" % (stored, total))


if __name__ == "__main__":
    try:
        main()
    except (OSError, ValueError) as e:
        print("pop3_floor: %s" % e, file=sys.stderr)
        sys.exit(1)

#!/usr/bin/python3
"""A small SMTP server for the end-to-end tests: it accepts every message and keeps it verbatim.

Each message becomes one file in --dir, named NNNNNN.mail (NNNNNN counts from 000001 in the order
the messages end), written under a temporary name in the same folder and renamed when complete.
Its content:

  line 1: a JSON object with the envelope, then LF:
          "helo"       the HELO/EHLO command line as received, without its CR LF
          "mail"       the MAIL command line as received, without its CR LF
          "rcpt"       list of the RCPT command lines as received, without their CR LF
          "mail_arg"   the text after the first ":" of the MAIL line, unchanged (blanks kept)
          "rcpt_args"  the same for each RCPT line
          "peer"       "address:port" of the client
  then:   the DATA bytes exactly as the client sent them: everything after the 354 reply up to
          and including the CR LF in front of the end line "." (dot-stuffing is NOT removed).

Text in the JSON part is decoded as Latin-1, so every byte maps to one character.
Replies: 220 greeting, 250 to HELO/EHLO/MAIL/RCPT/RSET/NOOP, 354 to DATA, 250 after the data,
221 to QUIT, 500 to anything else. The server stops by itself after --lifetime seconds, and on
SIGTERM or SIGINT.
"""

import argparse
import asyncio
import json
import os
import signal
import sys

END_OF_DATA = b"\r\n.\r\n"


class Sink:
    def __init__(self, directory):
        self.directory = directory
        self.count = 0

    def store(self, envelope, data):
        self.count += 1
        name = "%06d.mail" % self.count
        tmp = os.path.join(self.directory, ".tmp-" + name)
        with open(tmp, "wb") as f:
            f.write(json.dumps(envelope).encode("ascii") + b"\n")
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.rename(tmp, os.path.join(self.directory, name))
        return name

    async def read_data(self, reader):
        """Reads DATA up to the end line; returns the bytes before it (see the module text)."""
        # A leading CR LF lets an end line that comes first (an empty message) be found too.
        buf = bytearray(b"\r\n")
        searched = 0
        while True:
            idx = buf.find(END_OF_DATA, max(0, searched - len(END_OF_DATA)))
            if idx >= 0:
                if idx + len(END_OF_DATA) != len(buf):
                    # The client sent more after the end line (pipelining is not offered).
                    print("sink: bytes after end of data ignored", file=sys.stderr)
                data = bytes(buf[2:idx + 2]) if idx >= 2 else b""
                return data
            searched = len(buf)
            chunk = await reader.read(1 << 16)
            if not chunk:
                return None
            buf += chunk

    async def session(self, reader, writer):
        peer = writer.get_extra_info("peername")
        peer_text = "%s:%s" % (peer[0], peer[1]) if peer else "?"
        envelope = {"helo": None, "mail": None, "rcpt": [], "mail_arg": None,
                    "rcpt_args": [], "peer": peer_text}

        async def reply(text):
            writer.write(text.encode("latin-1") + b"\r\n")
            await writer.drain()

        try:
            await reply("220 sink.test ESMTP test sink ready")
            while True:
                try:
                    raw = await reader.readuntil(b"\n")
                except asyncio.IncompleteReadError:
                    break
                line = raw.decode("latin-1")
                if line.endswith("\r\n"):
                    line = line[:-2]
                elif line.endswith("\n"):
                    line = line[:-1]
                print("sink %s: %s" % (peer_text, line), flush=True)
                verb = line.split(" ", 1)[0].split(":", 1)[0].upper()
                arg = line.split(":", 1)[1] if ":" in line else ""
                if verb in ("HELO", "EHLO"):
                    envelope["helo"] = line
                    await reply("250 sink.test")
                elif verb == "MAIL":
                    envelope.update(mail=line, mail_arg=arg, rcpt=[], rcpt_args=[])
                    await reply("250 2.1.0 Ok")
                elif verb == "RCPT":
                    envelope["rcpt"].append(line)
                    envelope["rcpt_args"].append(arg)
                    await reply("250 2.1.5 Ok")
                elif verb == "DATA":
                    await reply("354 End data with <CR><LF>.<CR><LF>")
                    data = await self.read_data(reader)
                    if data is None:
                        print("sink %s: connection lost during DATA" % peer_text, flush=True)
                        break
                    name = self.store(dict(envelope), data)
                    print("sink %s: stored %s (%d bytes)" % (peer_text, name, len(data)),
                          flush=True)
                    await reply("250 2.0.0 Ok: queued as %s" % name)
                    envelope.update(mail=None, mail_arg=None, rcpt=[], rcpt_args=[])
                elif verb in ("RSET", "NOOP"):
                    if verb == "RSET":
                        envelope.update(mail=None, mail_arg=None, rcpt=[], rcpt_args=[])
                    await reply("250 2.0.0 Ok")
                elif verb == "QUIT":
                    await reply("221 2.0.0 Bye")
                    break
                else:
                    await reply("500 5.5.2 Error: command not recognized")
        except (ConnectionError, asyncio.LimitOverrunError, asyncio.CancelledError):
            pass
        finally:
            writer.close()


async def main():
    parser = argparse.ArgumentParser(description="SMTP sink for the end-to-end tests")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--dir", required=True)
    parser.add_argument("--lifetime", type=float, default=300.0,
                        help="seconds after which the server stops by itself")
    args = parser.parse_args()
    if not (args.host.startswith("127.") or args.host == "::1"):
        parser.error("the sink listens on loopback addresses only")
    os.makedirs(args.dir, exist_ok=True)

    sink = Sink(args.dir)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    loop.call_later(args.lifetime, stop.set)

    server = await asyncio.start_server(sink.session, args.host, args.port,
                                        limit=1 << 20, reuse_address=True)
    print("sink: listening on %s:%d, storing in %s" % (args.host, args.port, args.dir),
          flush=True)
    async with server:
        await stop.wait()
    print("sink: stopped after %d message(s)" % sink.count, flush=True)


if __name__ == "__main__":
    asyncio.run(main())

#!/usr/bin/python3
# System test of the built relay: runs it against a private Dovecot, aiosmtpd sinks and a
# scripted POP3/SMTP server on loopback ports and checks what an operator sees.
#
#   /usr/bin/python3 tests/system/system_test.py --relay build/pop2smtp [-k SUBSTRING]
#
# Prints "ok - name", "FAIL - name: why" or "skip - name: why" per scenario, then a closing
# count; exits 0 only when nothing failed. Scenarios run in parallel, each in its own folder
# under /tmp with its own ports and servers. Every process started here runs under `timeout`
# and the driver itself is ended by SIGALRM after DRIVER_LIMIT seconds whatever happens.
import argparse, asyncio, base64, fcntl, logging, os, pathlib, random, re, shutil, signal
import glob, grp, pwd, socket, ssl, struct, subprocess as sp, sys, tempfile, threading, time, warnings
from concurrent.futures import ThreadPoolExecutor, as_completed
from aiosmtpd.smtp import SMTP, AuthResult

LIFETIME, DRIVER_LIMIT = 240, 420   # seconds: any child process / the whole driver
RELAY, ASAN, PORTS, PORTS_LOCK = None, False, set(), threading.Lock()   # ASAN: a sanitizer build
LOOP = asyncio.new_event_loop()     # one loop in a thread serves every in-process server
threading.Thread(target=LOOP.run_forever, daemon=True).start()
logging.getLogger('mail.log').setLevel(logging.CRITICAL)
warnings.filterwarnings('ignore', 'Requiring AUTH while not requiring TLS')   # aiosmtpd does not count TLS from the first byte
Skip = type('Skip', (Exception,), {})
CAPTION = 'Tarvix POP2SMTP Relay Application - Version 1.0.05'


run = lambda coro: asyncio.run_coroutine_threadsafe(coro, LOOP).result(30)


def wait_for(pred, seconds, step=0.1):
    end = time.time() + seconds
    while not pred() and time.time() < end:
        time.sleep(step)
    return bool(pred())


def free_port():  # never the same port twice in one run
    while True:
        with PORTS_LOCK, socket.socket() as s:
            s.bind(('127.0.0.1', 0))
            if s.getsockname()[1] not in PORTS:
                PORTS.add(s.getsockname()[1])
                return s.getsockname()[1]


listening = lambda port: socket.socket().connect_ex(('127.0.0.1', port)) == 0   # the socket closes as it is dropped


def write(path, data, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    pathlib.Path(path).write_bytes(data if isinstance(data, bytes) else data.encode())
    os.chmod(path, mode)


read = lambda path: pathlib.Path(path).read_bytes()


def child(p):  # pid of the process that `timeout` runs
    try:
        return int(open(f'/proc/{p.pid}/task/{p.pid}/children').read().split()[0])
    except (OSError, IndexError, ValueError):
        return None


# the relay's highest memory use in MiB so far: VmHWM (resident) or VmPeak (address space)
peak = lambda p, key='VmHWM': int(re.search(key + r':\s+(\d+)', read(f'/proc/{child(p)}/status').decode())[1]) >> 10


def ini(sections=(), **general):
    g = {**dict(POPServer='127.0.0.1', POPUser='u', POPPassword='pw', POPInterval=1000,
                SMTPServer='127.0.0.1', SMTPName='relay.test', DebugLevel='*'), **general}
    return ''.join(f'[{name}]\n' + ''.join(f'{k}={v}\n' for k, v in keys.items())
                   for name, keys in [('General', g), *sections])


# ---- What the relay must make of a message: as stored in the spool and as sent in DATA ----

# the lines of a seeded message (LF ends) as a POP3 server sends them
dots = lambda raw: [b'.' + l if l[:1] == b'.' else l for l in raw.split(b'\n')[:-1]]
# spool file: lines as sent, CRs removed, each + CR LF, then one more CR LF
stored = lambda raw: b''.join(l.replace(b'\r', b'') + b'\r\n' for l in dots(raw)) + b'\r\n'


# value between the first and second colon, trimmed
header = lambda raw, name: next(l.split(b':')[1].strip() for l in stored(raw).split(b'\r\n\r\n')[0].split(b'\r\n') if l.startswith(name + b':'))


# envelope address: text after the first "<", without the closing ">"
addr = lambda raw, name: header(raw, name).split(b'<', 1)[-1].rstrip(b'>')
# DATA as aiosmtpd hands it over: dots removed, without the final ".\r\n"
unstuff = lambda data: b'\r\n'.join(l[1:] if l[:1] == b'.' else l for l in data[:-3].split(b'\r\n'))


def composed(raw, stuffed=True):  # DATA as sent, with rows ID and DATE for Message-ID and Date
    body = re.sub(rb'(\r\n)*\Z', b'', stored(raw).split(b'\r\n\r\n', 1)[1])
    rows = [b'ID'] + [n + b': ' + header(raw, n) for n in (b'From', b'To', b'Subject')] + [
        b'DATE', b'MIME-Version: 1.0', b'Content-Type: text/plain;', b'', body, b'.']
    data = b''.join(r + b'\r\n' for r in rows)
    return data if stuffed else unstuff(data)


STAMP = re.compile(rb'Message-ID: <(\d{8}_\d{6}_[0-9a-f]{5})\.>\r\n(.*?)'
                   rb'Date: [A-Z][a-z]{2}, \d{1,2} [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d \+0100\r\n', re.S)
def norm(data):  # (spool name, data with its Message-ID and Date rows turned into ID and DATE)
    return (m[1], STAMP.sub(rb'ID\r\n\2DATE\r\n', data, 1)) if (m := STAMP.match(data)) else (None, data)


def diff(want, got):
    i = next((i for i, (a, b) in enumerate(zip(want, got)) if a != b), min(len(want), len(got)))
    return f'differs at byte {i}: want {want[i:i + 40]!r}, got {got[i:i + 40]!r}'


def message(subject, frm, to=b'Bob <bob@c.test>', rp=True, body=b'text\n'):
    rp = b'Return-Path: <%s>\n' % frm.split(b'<')[-1].rstrip(b'>') if rp else b''
    return rp + b'From: %s\nTo: %s\nSubject: %s\n\n' % (frm, to, subject) + body


# ---- Servers ----

class Sink:  # aiosmtpd server keeping (MAIL FROM, RCPT TOs, content) of every message
    def __init__(s, w, delay=0, ssl=None, **smtp):   # ssl: TLS from the first byte; smtp: aiosmtpd options
        s.got, s.port, s.delay = [], free_port(), delay
        w.servers.append(run(LOOP.create_server(lambda: SMTP(s, **smtp), '127.0.0.1', s.port, ssl=ssl)))

    async def handle_DATA(s, server, session, env):
        await asyncio.sleep(s.delay)
        s.got.append((env.mail_from.encode(), [r.encode() for r in env.rcpt_tos], env.original_content))
        return '250 OK'


POP3 = {'GREET': '+OK scripted', 'QUIT': '+OK bye', '?': '+OK', 'CAPA': '+OK\r\nPIPELINING\r\n.',
        'LIST': lambda s, a, gone: '+OK\r\n' + ''.join(f'{i + 1} {len(m)}\r\n' for i, m in enumerate(s.msgs)) + '.',
        'RETR': lambda s, a, gone: '+OK\r\n' + ''.join(l.decode('latin-1') + '\r\n' for l in dots(s.msgs[int(a) - 1])) + '.',
        'DELE': lambda s, a, gone: gone.add(int(a)) or '+OK'}
SMTP_ = {'GREET': '220 scripted', 'DATA': '354 go on', 'BODY': '250 queued', 'QUIT': '221 bye', '?': '250 ok'}
ESMTP = {**SMTP_, 'EHLO': '250-scripted\r\n250-PIPELINING\r\n250 AUTH PLAIN LOGIN'}


class Scripted:
    # POP3 or SMTP by a table of replies per command. faults maps a command (GREET: the
    # greeting, BODY: the DATA content) to a reply or an action, or to a list of those, one per
    # connection (later connections behave normally). Actions: 'close', 'reset' (RST), 'stall'
    # (say nothing), ('repeat', first, chunk, pause): first, then chunk again and again without
    # end (a flood, an endless reply or message), ('always', reply): that reply to this and every
    # later line (a login's challenges without end); on BODY they strike after the first data
    # line. READ: DATA is taken at this many bytes a second. Keeps each connection's commands
    # and start time, and every DATA blob; DELE takes effect at QUIT.
    def __init__(s, w, table, faults=None, msgs=(), port=None):
        s.table, s.faults, s.msgs, s.conns, s.times, s.data, s.port = table, faults or {}, list(msgs), [], [], [], port or free_port()
        sock = socket.socket()   # a small receive buffer: a slow reader slows the sender down, as a slow link does
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 16), sock.bind(('127.0.0.1', s.port))
        w.servers.append(run(asyncio.start_server(s.serve, sock=sock, limit=1 << 26)))

    def fault(s, key, n):
        a = s.faults.get(key)
        return (a[n] if n < len(a) else None) if isinstance(a, list) else a

    async def serve(s, r, wr):
        n, got, gone, key, arg, stuck = len(s.conns), [], set(), 'GREET', '', None
        s.conns.append(got), s.times.append(time.time())
        if rate := s.fault('READ', n):
            r._limit = rate // 8   # the reader then runs at most rate/4 ahead of us
        try:
            while True:
                a = stuck or s.fault(key, n) or s.table.get(key, s.table['?'])
                a = a(s, arg, gone) if callable(a) else a
                if a == 'stall' or a[0] == 'repeat':
                    return await (r.read() if a == 'stall' else s.repeat(wr, *a[1:]))
                if a[0] == 'always':
                    stuck = a = a[1]
                if a in ('close', 'reset'):   # reset: linger 0, so that the close sends RST
                    return a == 'reset' and wr.get_extra_info('socket').setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
                wr.write(a.encode('latin-1') + b'\r\n')
                await wr.drain()
                if key == 'QUIT':
                    s.msgs = [m for i, m in enumerate(s.msgs) if i + 1 not in gone]
                    return
                if key == 'DATA' and a[:1] == '3':
                    data = await r.readline()
                    while rate and not data.endswith(b'\r\n.\r\n') and not r.at_eof():
                        data += await r.read(rate // 4)
                        await asyncio.sleep(0.25)
                    if not s.fault('BODY', n) and not rate and data != b'.\r\n':
                        data += await r.readuntil(b'\r\n.\r\n')
                    s.data.append(data)
                    key, arg = 'BODY', ''
                    continue
                if not (line := await r.readline()):
                    return
                got.append(line := line.decode('latin-1').rstrip('\r\n'))
                key, arg = line.partition(' ')[0].upper(), line.partition(' ')[2]
        except (OSError, asyncio.IncompleteReadError, asyncio.LimitOverrunError):
            pass
        finally:
            wr.close()

    async def repeat(s, wr, first, chunk, pause, left=300 << 20, seconds=45):   # ends early when the client closes
        wr.write(first)
        end = time.time() + seconds
        while left > 0 and time.time() < end:
            wr.write(chunk)
            left -= len(chunk)
            await wr.drain()
            await asyncio.sleep(pause)


DOVECOT = ('protocols = pop3\nlisten = 127.0.0.1, 127.0.0.2\n{ssl}auth_mechanisms = plain login\n'
           'first_valid_uid = {who.pw_uid}\nfirst_valid_gid = {who.pw_gid}\nbase_dir = {d}/run\nstate_dir = {d}/state\n'
           'default_internal_user = {who.pw_name}\ndefault_login_user = {who.pw_name}\ndefault_internal_group = {group.gr_name}\n'
           'log_path = {d}/dovecot.log\nmail_location = maildir:{d}/mail/%u/Maildir\n'
           'passdb {{\ndriver = passwd-file\nargs = scheme=PLAIN {d}/passwd\n}}\nuserdb {{\ndriver = passwd-file\nargs = {d}/passwd\n}}\n'
           'service anvil {{\nchroot =\n}}\nservice pop3-login {{\nchroot =\ninet_listener pop3 {{\nport = {port}\n}}\n'
           'inet_listener pop3s {{\nport = {pops}\nssl = yes\n}}\n}}\n')   # no chroot: Dovecot may run as a user too
TLS = 'ssl = required\nssl_cert = <{}\nssl_key = <{}\nssl_min_protocol = TLSv1.2\ndisable_plaintext_auth = yes\n'
# Dovecot takes a plain login from 127.0.0.1 even so: TLS scenarios connect to 127.0.0.2.
# A private Postfix (root only): every recipient is rewritten to box@mbox.test (so that no Delivered-To
# line of a message looks like a mail loop) and lands in the Maildir {d}/vmail/box; no header is
# rewritten or added for a client on 127.0.0.1 (local_header_rewrite_clients empty). Its own
# errors go to {d}/maillog, and only there (or to a terminal).
PF_MAIN = ('compatibility_level = 3.6\nqueue_directory = {d}/q\ndata_directory = {d}/data\nmaillog_file = {d}/maillog\nmaillog_file_prefixes = {d}\n'
           'inet_interfaces = 127.0.0.1\ninet_protocols = ipv4\nmyhostname = mail.test\nmydestination =\nlocal_header_rewrite_clients =\nvirtual_alias_domains =\n'
           'virtual_alias_maps = static:box@mbox.test\nvirtual_mailbox_domains = mbox.test\nvirtual_mailbox_maps = static:box/\nvirtual_mailbox_base = {d}/vmail\n'
           'virtual_uid_maps = static:65534\nvirtual_gid_maps = static:65534\nalias_maps =\nlocal_recipient_maps =\n')
PF_MASTER = ('127.0.0.1:{} inet n - n - - smtpd\ncleanup unix n - n - 0 cleanup\nqmgr unix n - n 300 1 qmgr\ntlsmgr unix - - n 1000? 1 tlsmgr\n'
             'postlog unix-dgram n - n - 1 postlogd\nvirtual unix - n n - - virtual\nrewrite unix - - n - - trivial-rewrite\nanvil unix - - n - 1 anvil\n'
             'bounce unix - - n - 0 bounce\ndefer unix - - n - 0 bounce\ntrace unix - - n - 0 bounce\nproxymap unix - - n - - proxymap\n')
# STARTTLS required, then a login (checked by Dovecot through its socket pfauth, see postfix_mail), then mail
PF_AUTH = ('smtpd_tls_security_level = encrypt\nsmtpd_tls_cert_file = {}\nsmtpd_tls_key_file = {}\nsmtpd_tls_auth_only = yes\nsmtpd_sasl_auth_enable = yes\n'
           'smtpd_sasl_type = dovecot\nsmtpd_sasl_path = {}/run/pfauth\nsmtpd_relay_restrictions = permit_sasl_authenticated, reject\n')


class World:  # one scenario's folder, program directory (home), processes, servers and mounts
    def __init__(w, name):
        w.name, w.dir = name, tempfile.mkdtemp(prefix=f'p2st-{name}-', dir='/tmp')
        os.chmod(w.dir, 0o755)   # Dovecot's mail processes (nobody, under root) must reach the mail below
        w.home, w.procs, w.servers, w.mounts, w.errors = f'{w.dir}/home', [], [], [], []

    def check(w, ok, why):
        w.errors += [] if ok else [why]
        return ok

    def spawn(w, argv, out, **kw):
        w.procs.append(sp.Popen(['timeout', '-k', '5', str(LIFETIME)] + argv, stdout=out, stderr=sp.STDOUT,
                                stdin=sp.DEVNULL, start_new_session=True, **kw))
        return w.procs[-1]

    def relay(w, config, name='relay', out=None, env=None, wrap=()):  # config None: keep the ini
        os.makedirs(w.home, exist_ok=True)
        config is None or write(f'{w.home}/TarvixPOP2SMTP.ini', config, 0o600)
        p = w.spawn([*wrap, RELAY], out or open(f'{w.dir}/{name}.out', 'ab'), env=dict(os.environ, POP2SMTP_HOME=w.home, **(env or {})))
        wait_for(lambda: child(p) or p.poll() is not None, 5, 0.01)
        return p

    def log(w, name='relay'):
        return read(f'{w.dir}/{name}.out').decode('utf-8', 'replace') if os.path.exists(f'{w.dir}/{name}.out') else ''

    def day_log(w):
        return ''.join(read(f).decode('latin-1') for f in sorted(glob.glob(f'{w.home}/LogFiles/*')))

    def spool(w, suffix=''):
        return sorted(os.path.basename(f) for f in glob.glob(f'{w.home}/Messages/*{suffix}'))

    def dovecot(w, users=(('u', 'pw'),), extra='', tls=None, msgs=()):   # tls: (cert, key): STLS and pop3s on w.pops
        who = pwd.getpwuid(os.getuid() or 65534)   # the mail and Dovecot's processes: nobody's under root, else the user's
        d, w.pop, w.pops, w.owner = w.dir, free_port(), tls and free_port() or 0, (who.pw_uid, who.pw_gid)
        [os.makedirs(f'{d}/mail/{u}/Maildir/{sub}') for u, _ in users for sub in ('new', 'cur', 'tmp')]
        write(f'{d}/passwd', ''.join(f'{u}:{{PLAIN}}{pw}:{who.pw_uid}:{who.pw_gid}::{d}/mail/{u}::\n' for u, pw in users))
        sp.run(['chown', '-R', '%d:%d' % w.owner, f'{d}/mail'], check=True)
        ssl = TLS.format(*tls) if tls else 'ssl = no\ndisable_plaintext_auth = no\n'
        write(f'{d}/dovecot.conf', DOVECOT.format(d=d, port=w.pop, pops=w.pops, ssl=ssl, who=who, group=grp.getgrgid(who.pw_gid)) + extra)
        w.spawn(['dovecot', '-F', '-c', f'{d}/dovecot.conf'], open(f'{d}/dovecot.out', 'wb'))
        if not wait_for(lambda: listening(w.pop), 15):
            raise RuntimeError('Dovecot did not start: ' + read(f'{d}/dovecot.out').decode()[-300:])
        [w.seed(raw, users[0][0]) for raw in msgs]

    def seed(w, raw, user='u'):  # written into tmp/ and renamed into new/, as a delivery agent does
        md, name = f'{w.dir}/mail/{user}/Maildir', f'{time.time_ns()}.{random.randrange(1 << 30)}.test'
        write(f'{md}/tmp/{name}', raw)
        os.chown(f'{md}/tmp/{name}', *w.owner)
        os.rename(f'{md}/tmp/{name}', f'{md}/new/{name}')

    def cert(w, cn='localhost'):   # self-signed, for the name and (localhost) the loopback addresses
        c, k, ips = f'{w.dir}/{cn}.pem', f'{w.dir}/{cn}.key', ',IP:127.0.0.1,IP:127.0.0.2' * (cn == 'localhost')
        sp.run(['timeout', '30', 'openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '1', '-subj', f'/CN={cn}',
                '-addext', f'subjectAltName=DNS:{cn}{ips}', '-keyout', k, '-out', c], check=True, capture_output=True)
        return c, k

    def postfix(w, extra=''):   # its SMTP port; master -d stays in the foreground, under `timeout`. As root only.
        d, port = f'{w.dir}/pf', free_port()
        write(f'{d}/main.cf', PF_MAIN.format(d=d) + extra), write(f'{d}/master.cf', PF_MASTER.format(port))
        os.makedirs(f'{d}/vmail/box'), os.makedirs(f'{d}/q'), sp.run(['chown', '-R', '65534:65534', f'{d}/vmail'], check=True)
        sp.run(['timeout', '30', 'postfix', '-c', d, 'check'], capture_output=True)   # makes the queue's folders
        w.spawn(['/usr/lib/postfix/sbin/master', '-c', d, '-d'], open(f'{d}/master.out', 'wb'))
        if not wait_for(lambda: listening(port), 15):
            raise RuntimeError(f'Postfix did not start, see {d}/maillog')
        return port

    def mailbox(w, user='u'):
        return sum(len(os.listdir(f'{w.dir}/mail/{user}/Maildir/{s}')) for s in ('new', 'cur'))

    def mount(w, path, options):
        os.makedirs(path, exist_ok=True)
        r = sp.run(['mount', '-t', 'tmpfs', '-o', options, 'tmpfs', path], capture_output=True, text=True)
        if r.returncode:
            raise Skip(f'cannot mount a tmpfs here: {r.stderr.strip()}')
        w.mounts.append(path)

    def close(w, keep=False):
        [p.terminate() for p in w.procs if p.poll() is None]   # `timeout` passes TERM on
        wait_for(lambda: all(p.poll() is not None for p in w.procs), 8)
        [os.killpg(p.pid, signal.SIGKILL) or p.wait() for p in w.procs if p.poll() is None]
        [LOOP.call_soon_threadsafe(s.close) for s in w.servers]
        [sp.run(['umount', '-l', m]) for m in reversed(w.mounts)]
        keep or shutil.rmtree(w.dir, ignore_errors=True)


# ---- Scenarios: each gets its World, records failures with w.check, may return a note ----

DOTS = message(b'dots', b'Carol <carol@b.test>', b'bob@c.test', body=b'.x\n..y\n.\n...\n\xe4\xf6\xfc \xff\n')
E2E = [  # message as seeded in Dovecot, SMTP server it must reach (None: dropped)
    (message(b'Re: plain', b'alice@a.test', body=b'Hello Bob,\n\nsee you.\n\n\n'), 'A'),
    (DOTS, 'B'),   # matches both routing sections: the first one wins
    (message(b'8bit \xe4', b'The Boss <BOSS@a.test>', b'<bob@c.test>', body=b'\xe4\xf6\xfc\x80\xff\nbare\rCR\n'), 'B'),
    (message(b'empty', b'<dave@a.test>', body=b''), 'C'),
    (message(b'no return path', b'Eve <eve@a.test>', rp=False), None),
]


def end_to_end(w):
    w.dovecot(msgs=[raw for raw, _ in E2E])
    sinks = {k: Sink(w) for k in 'ABC'}
    w.relay(ini([('SPECIFIC_one', dict(SenderAddresses='*@B.TEST, boss@*', SMTPPort=sinks['B'].port)),
                 ('SPECIFIC_two', dict(SenderAddresses='*@b.test, d?ve@*', SMTPPort=sinks['C'].port))],
                POPPort=w.pop, SMTPPort=sinks['A'].port))
    w.check(wait_for(lambda: sum(len(s.got) for s in sinks.values()) >= len([k for _, k in E2E if k]) and not w.spool() and not w.mailbox(), 30),
            f'mailbox {w.mailbox()}, spool {w.spool()}')
    time.sleep(1)   # a late duplicate would show now
    [arrived(w, sink, [raw for raw, to in E2E if to == k], 0, f'server {k}: ') for k, sink in sinks.items()]
    w.check('Missing data in message' in w.log(), 'no "Missing data in message" for the message without Return-Path')


def requeue(w, dovecot, faults, late):
    # The first delivery fails (port closed, or the server resets): the file turns .err, holds
    # the message as stored, and is delivered whole, exactly once, after the re-queue.
    raw, port = DOTS, free_port()
    dovecot and w.dovecot(msgs=[raw])
    smtp = None if late else Scripted(w, SMTP_, faults, port=port)
    w.relay(ini(POPPort=w.pop if dovecot else Scripted(w, POP3, msgs=[raw]).port, SMTPPort=port))
    if not w.check(wait_for(lambda: w.spool('.err'), 15), f'no .err file, spool {w.spool()}'):
        return
    name = w.spool('.err')[0]
    spooled = read(f'{w.home}/Messages/{name}')
    w.check(spooled == stored(raw), 'spool file ' + diff(stored(raw), spooled))
    smtp = smtp or Scripted(w, SMTP_, port=port)
    w.check(wait_for(lambda: len(smtp.data) > len(faults) and not w.spool(), 45), f'not delivered, spool {w.spool()}')
    time.sleep(1)
    mid, got = norm((smtp.data or [b''])[-1])
    w.check(len(smtp.data) == 1 + len(faults), f'{len(smtp.data)} DATA transfers')
    w.check((mid, got) == (name[:-4].encode(), composed(raw)), f'Message-ID {mid}, DATA ' + diff(composed(raw), got))
    w.check(smtp.conns[-1] == ['HELO relay.test', 'MAIL FROM: <carol@b.test>', 'RCPT TO: <bob@c.test>', 'DATA', 'QUIT'],
            f'commands {smtp.conns[-1]}')


def stall(w):
    pop, sink = Scripted(w, POP3, {'GREET': ['stall']}, msgs=[DOTS]), Sink(w)
    p = w.relay(ini(POPPort=pop.port, SMTPPort=sink.port))
    if w.check(wait_for(lambda: len(pop.times) > 1, 20), 'no second POP3 connection after a silent server'):
        gap = pop.times[1] - pop.times[0]
        w.check(9 <= gap <= 14, f'second connection {gap:.1f} s after the first, not ~11 s')
    w.check(wait_for(lambda: sink.got and not w.spool() and not pop.msgs, 10), 'message not delivered')
    w.check(len(sink.got) == 1 and p.poll() is None, f'{len(sink.got)} deliveries, exit {p.poll()}')


def spool_fault(w, options, size):
    # Messages/ cannot take the message: no DELE, it stays on the server, the relay polls on.
    w.dovecot(msgs=[message(b'big', b'<alice@a.test>', body=(b'y' * 75 + b'\n') * (size // 76))])
    w.mount(f'{w.home}/Messages', options)
    p = w.relay(ini(POPPort=w.pop, SMTPPort=free_port(), POPInterval=500))
    trying = f'(   POP3) Trying to connect to 127.0.0.1:{w.pop}'
    w.check(wait_for(lambda: trying in w.log().partition('(   POP3) Failed:')[2], 20), 'no "(   POP3) Failed:" and poll after it')
    w.check('(-> POP3) DELE' not in w.log() and w.mailbox() == 1, f'DELE sent or message gone ({w.mailbox()} left)')
    w.check(p.poll() is None, f'relay ended with {p.poll()}')


def terminal(w):
    pop, tm = Scripted(w, POP3), ['tmux', '-L', f'p2st{os.getpid()}']
    write(f'{w.home}/TarvixPOP2SMTP.ini', ini(POPPort=pop.port, SMTPPort=free_port(), POPInterval=600000), 0o600)
    sp.run(tm + ['new-session', '-d', '-s', 't', '-x', '110', '-y', '40', f'POP2SMTP_HOME={w.home} timeout '
                 f'--foreground {LIFETIME} {RELAY}; echo EXIT=$? > {w.dir}/exit'], check=True)
    screen = lambda: sp.run(tm + ['capture-pane', '-p', '-t', 't'], capture_output=True, text=True).stdout.rstrip('\n').split('\n')
    keys = lambda *k: sp.run(tm + ['send-keys', '-t', 't', *k])
    count = lambda text: sum(text in row for row in screen())
    newest = lambda: w.day_log().rstrip('\r\n').rpartition('\n')[2].split(' ', 2)[-1]   # last line, no date and time
    try:
        for key, text, n, why in [(None, 'Trying to connect', 1, 'no log line'), ('r', 'Trying to connect', 2, '"r" started no poll'),
                                  ('F10', 'Run POP now', 2, 'F10 opened no menu'), ('Escape', 'Run POP now', 1, 'Escape left the menu open')]:
            key and keys(key)   # each step: the rows that show it, under the caption and the menu bar
            w.check(wait_for(lambda: count(text) == n and CAPTION in screen()[0] and 'POP' in screen()[1], 10), why + ': ' + '\n'.join(screen()))
        sp.run(tm + ['resize-window', '-t', 't', '-x', '72', '-y', '10'])
        keys('r')   # the new session's lines must show at the bottom of the smaller window
        w.check(wait_for(lambda: len(pop.times) == 3 and CAPTION in screen()[0] and 'POP' in screen()[1]
                         and screen()[-1].endswith(newest()), 5), f'after resize: {screen()}, newest {newest()!r}')
        keys('q')
        w.check(wait_for(lambda: os.path.exists(f'{w.dir}/exit') and read(f'{w.dir}/exit') == b'EXIT=0\n', 5),
                'q did not end it with status 0')
    finally:
        sp.run(tm + ['kill-server'], capture_output=True)


def kill9(w, keys={}, cycles=8, per_cycle=5):
    # SIGKILL at random moments while mail flows: every message arrives, none damaged.
    rnd, sink = random.Random(seed := random.randrange(1 << 30)), Sink(w, delay=0.3)   # a slow server: kills hit deliveries too
    raws = [message(b'torture %d' % i, b'K <k%d@a.test>' % i, body=b'.line %d\n' % i * (i * 30)) for i in range(cycles * per_cycle)]
    w.dovecot()
    config = ini(POPPort=w.pop, SMTPPort=sink.port, POPInterval=300, **keys)
    for c in range(cycles):
        [w.seed(raw) for raw in raws[c * per_cycle:(c + 1) * per_cycle]]
        p = w.relay(config)
        time.sleep(rnd.uniform(0.2, 8))
        os.kill(child(p) or p.pid, signal.SIGKILL)
        p.wait()
    w.relay(config)
    missing = lambda: {header(r, b'Subject') for r in raws} - {re.search(rb'\nSubject: ([^\r]*)|$', g[2])[1] for g in sink.got}
    w.check(wait_for(lambda: not missing() and not w.mailbox() and not w.spool(), 60),
            f'seed {seed}: missing {sorted(missing())[:5]}, mailbox {w.mailbox()}, spool {w.spool()[:5]}')
    want = {composed(r, stuffed=False) for r in raws}
    damaged = [g[2][:200] for g in sink.got if norm(g[2])[1] not in want]
    w.check(not damaged, f'seed {seed}: {len(damaged)} damaged, first {damaged[:1]}')
    return f'{len(sink.got) - len(raws)} duplicates of {len(raws)} messages'


def flood(w, limit_mib=200):
    # The server lists the message at a gigabyte (no reservation may follow from that), then
    # sends bytes without a line feed: memory stays bounded, the session ends without DELE.
    pop = Scripted(w, {**POP3, 'LIST': '+OK\r\n1 1000000000\r\n.'}, {'RETR': [('repeat', b'+OK\r\n', b'x' * (1 << 20), 0)]}, msgs=[DOTS])
    p = w.relay(ini(POPPort=pop.port, SMTPPort=free_port()))
    wait_for(lambda: len(pop.times) > 1 or p.poll() is not None, 60)   # both figures are high-water marks
    w.check(ASAN or p.poll() is None and peak(p) < limit_mib and peak(p, 'VmPeak') < 900, f'VmHWM {peak(p)} MiB, VmPeak {peak(p, "VmPeak")} MiB')
    w.check('(   POP3) Failed:' in w.log(), 'no "(   POP3) Failed:" logged')
    w.check(not [c for c in pop.conns[0] if c.startswith('DELE')], 'DELE sent for the flooded message')
    w.check(wait_for(lambda: len(pop.times) > 1, 15) and p.poll() is None, f'no next poll, relay exit {p.poll()}')


def big_message(w, mib=48):
    # Streamed to its spool file and from it: the relay's memory stays far below the message's size.
    # Watchdog=silence: beside the other scenarios, the Python sink may need more than the ten
    # seconds a session has by default, and a cut session would be sent again.
    raw = message(b'big', b'<b@a.test>', body=b''.join(b'.%07d' % i + b'q' * 71 + b'\n' for i in range((mib << 20) // 80)))
    w.dovecot(msgs=[raw])
    p = w.relay(ini(POPPort=w.pop, SMTPPort=(sink := Sink(w, data_size_limit=None)).port, DebugLevel=99, Watchdog='silence'))
    arrived(w, sink, [raw], 60)
    w.check(ASAN or peak(p) < mib // 2, f'peak memory {peak(p)} MiB for a message of {mib} MiB')


def snapshot(home):  # every file in the program directory but the day logs, with its mtime
    return {f'{d}/{f}': (read(f'{d}/{f}'), os.stat(f'{d}/{f}').st_mtime_ns)
            for d, _, fs in os.walk(home) if 'LogFiles' not in d for f in fs}


def second_start(w):
    pop = Scripted(w, POP3, msgs=[DOTS])
    first = w.relay(ini(POPPort=pop.port, SMTPPort=free_port(), POPInterval=60000))
    if not w.check(wait_for(lambda: w.spool('.err'), 10), f'first relay spooled nothing: {w.spool()}'):
        return
    before, second = snapshot(w.home), w.relay(None, 'second')
    w.check(wait_for(lambda: second.poll() is not None, 5) and second.returncode == 1, f'second relay: exit {second.poll()}')
    w.check(w.log('second').strip(), 'second relay printed no reason')
    w.check(snapshot(w.home) == before, 'the program directory changed')
    w.check(first.poll() is None, f'first relay ended with {first.poll()}')


def password_masked(w, password='S3cret-pw'):
    pop = Scripted(w, POP3)
    w.relay(ini(POPPort=pop.port, SMTPPort=free_port(), POPPassword=password))
    w.check(wait_for(lambda: 'QUIT' in w.log() and 'QUIT' in w.day_log(), 5), 'no POP3 session')
    w.check('(-> POP3) PASS *****' in w.log() and password not in w.log(), 'password shown on stdout')
    w.check(f'(-> POP3) PASS {password}' in w.day_log(), 'day log lacks the PASS line in clear')
    w.check(f'PASS {password}' in pop.conns[0], 'server did not get the password')


def stalled_stdout(w):
    pop, sink = Scripted(w, POP3, msgs=[DOTS]), Sink(w)
    r, wr = os.pipe()
    os.write(wr, b'x' * fcntl.fcntl(wr, 1031, 4096))   # F_SETPIPE_SZ: a small pipe, filled up
    w.relay(ini(POPPort=pop.port, SMTPPort=sink.port), out=wr)
    os.close(wr)
    w.check(wait_for(lambda: sink.got, 15), 'nothing delivered while nobody reads stdout')
    os.close(r)


def service_unit(w):
    if '--offline' not in sp.run(['systemd-analyze', 'security', '--help'], capture_output=True, text=True).stdout:
        raise Skip('systemd-analyze has no --offline')
    units, unit, h1, open_dir = f'{w.dir}/units', f'{w.dir}/units/POP2SMTP.service', f'{w.dir}/h1', f'{w.dir}/open'
    call = lambda prog, arg, home: sp.run(['timeout', '20', prog, arg], capture_output=True, text=True, stdin=sp.DEVNULL,
                                          env=dict(os.environ, POP2SMTP_HOME=home, POP2SMTP_UNIT_DIR=units))
    [os.makedirs(d) for d in (units, h1, open_dir)]
    r = call(RELAY, '/I', h1)
    if w.check(r.returncode == 0 and os.path.exists(unit), f'/I: exit {r.returncode}, {r.stdout + r.stderr}'):
        a = sp.run(['systemd-analyze', 'security', '--offline=true', unit], capture_output=True, text=True)
        m = re.search(r'Overall exposure level for \S+: (\d+\.\d+)', a.stdout)
        w.check(m and float(m[1]) <= 3.0, f'exposure {m and m[1]} {a.stderr[-200:]}')
    r = call(RELAY, '/U', h1)
    w.check(r.returncode == 0 and not os.path.exists(unit), f'/U: exit {r.returncode}, unit left: {os.path.exists(unit)}')
    shutil.copy(RELAY, open_dir)
    os.chmod(open_dir, 0o777)   # a program directory anyone may write to
    r = call(f'{open_dir}/{os.path.basename(RELAY)}', '/I', open_dir)
    w.check(r.returncode == 1 and not os.path.exists(unit), f'/I from a world-writable directory: exit {r.returncode}')


def arrived(w, sink, raws, seconds=15, who=''):   # just these, each once, composed, with the envelope from its headers
    want = sorted((addr(r, b'From'), [addr(r, b'To')], composed(r, stuffed=False)) for r in raws)
    if w.check(wait_for(lambda: len(sink.got) >= len(raws) and not w.spool(), seconds), f'{who}{len(sink.got)}/{len(raws)}, spool {w.spool()}'):
        got = sorted((m, t, norm(d)[1]) for m, t, d in sink.got)
        w.check(got == want, who + next((f'{a[:2]} {b[:2]} ' + diff(a[2], b[2]) for a, b in zip(want, got) if a != b), f'{len(got)} came'))


def pop_tls(w):
    # Over TLS from the first byte (pop3s), then with STLS: the messages arrive as over plain POP3.
    w.dovecot(tls=w.cert())
    sink, raws = Sink(w), [message(b'tls %d' % i, b'<t%d@a.test>' % i, body=b'.x\n\xe4\n') for i in range(2)]
    for i, (security, port) in enumerate([('tls', w.pops), ('stls', w.pop)]):
        w.seed(raws[i])
        p = w.relay(ini(POPSecurity=security, POPServer='127.0.0.2', POPPort=port, TLSTrustFile=f'{w.dir}/localhost.pem', SMTPPort=sink.port))
        arrived(w, sink, raws[:i + 1])
        p.terminate(), p.wait()
    w.check(re.findall(r'Login: user=<u>, .*?(, TLS)?, session', read(f'{w.dir}/dovecot.log').decode()) == [', TLS'] * 2, 'logins not TLS')


REFUSED = '(   POP3) Socket Error: TLS certificate refused: '   # then the cause and the subject


def tls_refused(w, cn, security, server, trust, want):
    # A certificate the relay cannot trust (cn: Dovecot's), or a server that refuses STLS (cn None,
    # a scripted one): the log line names it, and no login goes out.
    pop = w.dovecot(tls=w.cert(cn), msgs=[DOTS]) if cn else Scripted(w, {**POP3, 'STLS': '-ERR not here'}, msgs=[DOTS])
    w.relay(ini(POPSecurity=security, POPServer=server, POPPort=pop.port if pop else w.pops if security == 'tls' else w.pop,
                SMTPPort=free_port(), **({'TLSTrustFile': f'{w.dir}/{cn}.pem'} if trust else {})))
    w.check(wait_for(lambda: want in w.log(), 10), f'no "{want}": ' + w.log()[-300:])
    logins = ([l for c in pop.conns for l in c if l[:4] in ('USER', 'PASS')] if pop else
              re.findall(r'user=<u>.*', read(f'{w.dir}/dovecot.log').decode()))   # any login attempt shows the user
    w.check(not logins and (pop.msgs if pop else w.mailbox() == 1) and not w.spool(), f'logins {logins}, spool {w.spool()}')


def smtp_tls_login(w):
    # A submission server with TLS from the first byte and a login, the password from a command:
    # the message arrives and no secret shows in either log. (Postfix tests STARTTLS and refusals.)
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(*w.cert())
    auth = lambda server, session, env, mechanism, data: AuthResult(success=data == (b'relay', b's3cret'), handled=False)
    sink, pop = Sink(w, auth_required=True, authenticator=auth, ssl=ctx, auth_require_tls=False), Scripted(w, POP3, msgs=[DOTS])
    w.relay(ini(POPPort=pop.port, SMTPPort=sink.port, SMTPSecurity='tls', TLSTrustFile=f'{w.dir}/localhost.pem', SMTPUser='relay',
                SMTPPasswordCommand='echo s3cret'))
    arrived(w, sink, [DOTS])
    w.check('(-> SMTP) AUTH PLAIN *****' in w.log() and not [t for t in ('s3cret', base64.b64encode(b'\0relay\0s3cret').decode())
                                                          if t in w.log() + w.day_log()], 'no masked AUTH line, or the secret logged')


def xoauth2(w, token='tok-123'):
    # POP3 login with an OAuth 2 token from the password command, as Microsoft's servers take it.
    line = base64.b64encode(b'user=u\x01auth=Bearer %s\x01\x01' % token.encode()).decode()
    table = {**POP3, 'USER': '-ERR no', 'PASS': '-ERR no', 'AUTH': lambda s, a, gone: '+ ' if a == 'XOAUTH2' else '-ERR',
             '?': lambda s, a, gone: '+OK' if line in s.conns[-1] else '-ERR not logged in'}
    pop, sink = Scripted(w, table, msgs=[DOTS]), Sink(w)
    w.relay(ini(POPPort=pop.port, SMTPPort=sink.port, POPAuth='xoauth2', POPPasswordCommand=f"printf '{token}\\n'"))
    arrived(w, sink, [DOTS])
    w.check(pop.conns[:1] and pop.conns[0][:2] == ['AUTH XOAUTH2', line] and not pop.msgs, f'POP3 commands {pop.conns[:1]}')
    w.check(not [t for t in (token, line) if t in w.log() + w.day_log()], 'the token was logged')


def slow_delivery(w, watchdog, whole):
    # 2 MiB taken by the server at 128 KiB a second (16 s): with Watchdog=silence it arrives once
    # on one connection; with the overall limit the session is cut and tried again after ~10 s.
    raw = message(b'slow', b'<s@a.test>', body=(b'z' * 1023 + b'\n') * 2048)
    smtp, pop = Scripted(w, SMTP_, {'READ': [1 << 17]}), Scripted(w, POP3, msgs=[raw])
    w.relay(ini(POPPort=pop.port, SMTPPort=smtp.port, Watchdog=watchdog))
    w.check(wait_for(lambda: smtp.data or len(smtp.times) > 1, 30), 'no DATA, no second connection')
    took, again = time.time() - smtp.times[0], [round(t - smtp.times[0], 1) for t in smtp.times[1:]]
    time.sleep(2)
    once = not again and [norm(d)[1] for d in smtp.data] == [composed(raw)] and took > 12 and not w.spool()
    w.check(once if whole else again and 9 < again[0] < 13, f'connected again after {again} s, {len(smtp.data)} DATA, first after {took:.1f} s')


def bounded(w, p, want, seconds, log_mib=1):   # a hostile server: `want` logged in time; log files and memory stay small
    w.check(wait_for(lambda: want in w.log(), seconds), f'no "{want}" within {seconds} s: {w.log()[-300:]!r}')
    sizes = [os.path.getsize(f) for f in glob.glob(f'{w.home}/LogFiles/*') + [f'{w.dir}/relay.out']]
    w.check(max(sizes) < log_mib << 20 and (ASAN or peak(p) < 64), f'log files of {sizes} bytes, peak memory {peak(p)} MiB')


def hostile(w, pop_faults, smtp_faults, keys, want, seconds, recovers=False):
    # A server that lets a step go on without end: the session fails in bounded time, and the
    # message waits (on the server, or in the spool) or arrives once the server behaves.
    pop, smtp = Scripted(w, POP3, pop_faults, msgs=[DOTS]), Scripted(w, ESMTP, smtp_faults)
    p = w.relay(ini(POPPort=pop.port, SMTPPort=smtp.port, Watchdog='silence', **keys))
    bounded(w, p, want, seconds)
    w.check(pop.msgs == [DOTS] if pop_faults else w.spool() or recovers, f'message lost: server {len(pop.msgs)}, spool {w.spool()}')
    w.check(not recovers or wait_for(lambda: smtp.data and not w.spool(), 45) and [norm(d)[1] for d in smtp.data] == [composed(DOTS)],
            f'not delivered once the server behaves: {len(smtp.data)} DATA, spool {w.spool()}')


def endless(w, keys):
    # A message listed at 100 bytes that never ends: the session fails at once (the relay takes
    # twice the size plus 1 MiB), nothing deleted, no file left. MaxMessageSize passes over it.
    big, small = message(b'endless', b'<e@a.test>', b'<b@c.test>', body=b'').ljust(99, b'e') + b'\n', message(b's', b'<s@a.test>', b'<b@c.test>')
    retr = lambda s, a, gone: ('repeat', b'+OK\r\n', (b'e' * 78 + b'\r\n') * 1000, 0) if a == '1' else POP3['RETR'](s, a, gone)
    pop, sink = Scripted(w, {**POP3, 'RETR': retr}, msgs=[big, small]), Sink(w)
    p = w.relay(ini(POPPort=pop.port, SMTPPort=sink.port, Watchdog='silence', **keys))
    if 'MaxMessageSize' not in keys:
        bounded(w, p, '(   POP3) Failed:', 5, 3)   # the lines taken are logged: 1 MiB and their prefixes
        w.check(not [c for c in sum(pop.conns, []) if c[:4] == 'DELE'] and pop.msgs == [big, small], f'DELE sent: {pop.conns}')
        w.check(not os.listdir(f'{w.home}/Messages'), f'left in the spool: {os.listdir(f"{w.home}/Messages")}')
    else:
        arrived(w, sink, [small])
        w.check(pop.msgs == [big] and 'RETR 1' not in sum(pop.conns, []), f'{len(pop.msgs)} left on the server, commands {pop.conns[:1]}')
        w.check(re.search(r'\b100\b.*MaxMessageSize', w.log()), 'no log line for the message passed over')


def greylist(w):
    # Pipelined RCPTs answered 250, 451 and 550: ok@ gets the message at once, grey@ after the
    # re-queue, each once, gone@ never; then it is set aside as refused.
    raw, acc, got = message(b'three', b'<a@a.test>', b'<ok@c.test>, grey@c.test').replace(b'\nSubject', b'\nCc: <gone@c.test>\nSubject'), [], []
    rcpt = lambda s, a, gone: ('550 no such user' if 'gone@' in a else '451 greylisted' if 'grey@' in a and sum(c.count('RCPT ' + a) for c in s.conns) == 1
                               else acc.append(a[a.find('<'):]) or '250 ok')
    smtp = Scripted(w, {**ESMTP, 'MAIL': lambda *_: acc.clear() or '250 ok', 'RCPT': rcpt, 'BODY': lambda *_: got.extend(acc) or '250 queued'})
    w.relay(ini(POPPort=Scripted(w, POP3, msgs=[raw]).port, SMTPPort=smtp.port, RefusedMail='keep', RecipientHeaders='To, Cc', Dispatch='continuous'))
    w.check(wait_for(lambda: len(got) >= 2 and w.spool('.rej'), 50) and not time.sleep(1), f'delivered to {got}, spool {w.spool()}')
    w.check(sorted(got) == ['<grey@c.test>', '<ok@c.test>'] and [norm(d)[1] for d in smtp.data] == [composed(raw)] * 2, f'delivered to {got}, {len(smtp.data)} DATA')
    w.check(not [f for f in w.spool() if f[-4:] in ('.msg', '.snd', '.err')], f'spool {w.spool()}')


# what Postfix (Return-Path: the envelope sender, X-Original-To, Delivered-To, Received) and the relay (Received) put on top
ON_TOP = re.compile(rb'Return-Path: <(.*)>\n(?:(?:X-Original-To|Delivered-To|Received): .*\n(?:[ \t].*\n)*)*?'
                    rb'Received: from \S+ by relay\.test with POP3 id \d{8}_\d{6}_[0-9a-f]{5}; .*\n')


def postfixed(raw):   # (envelope sender: the Return-Path or none, the message as Postfix stores it: LF ends, no Return-Path
    raw = raw.replace(b'\r\n', b'\n')   # in the header block, an empty line put in where that block ends in a line that is no header)
    end = re.match(rb'(?:[!-9;-~]+[ \t]*:.*\n|[ \t].*\n)*', raw).end()
    rp = re.search(rb'(?im)^return-path:[ \t]*<([^>\n]*)>', raw[:end])
    return rp and rp[1] or b'', re.sub(rb'(?im)^return-path:.*\n(?:[ \t].*\n)*', b'', raw[:end]) + b'\n' * (raw[end:end + 1] not in b'\n') + raw[end:]


def postfix_mail(w, auth, count=None):
    # Python's test mails (MIME, 8-bit, odd headers, no From, no header at all), each behind a
    # Delivered-To line naming it, relayed as retrieved to a real Postfix: each arrives to the byte.
    files = sorted(glob.glob('/usr/lib/python3.11/test/test_email/data/msg_*.txt'))[:count]
    raws = {(n := os.path.basename(f)[:-4].encode()): b'Delivered-To: %s@dom.test\n' % n + read(f) for f in files}
    assert raws, 'no test mails: is libpython3.11-testsuite installed?'
    w.dovecot(users=(('u', 'pw'), ('relay', 's3cret')), extra='service auth {\nunix_listener pfauth {\nmode = 0666\n}\n}\n', msgs=raws.values())
    port, box = w.postfix(PF_AUTH.format(*w.cert(), w.dir) if auth else ''), lambda: [read(f) for f in glob.glob(f'{w.dir}/pf/vmail/box/new/*')]
    keys = dict(SMTPSecurity='starttls', TLSTrustFile=f'{w.dir}/localhost.pem', SMTPUser='relay', SMTPPassword='s3cret') if auth else {}
    config = lambda **k: ini(POPPort=w.pop, SMTPPort=port, ForwardMode='original', RecipientHeaders='Delivered-To',
                             RefusedMail='keep', Dispatch='continuous', **{**keys, **k})
    p = w.relay(config())
    w.check(wait_for(lambda: len(box()) >= len(raws) and not w.spool() and not w.mailbox(), 60),
            f'{len(box())} of {len(raws)} delivered, spool {w.spool()[:3]}, mailbox {w.mailbox()}')
    time.sleep(1)   # Postfix's queue empties
    got = [(m := ON_TOP.match(d)) and (m[1], d[m.end():]) for d in box()]   # None: not from the relay; a mail with a Delivered-To line of its own comes twice
    bad = [n.decode() + ': ' + next((f'sender <{g[0].decode()}>, ' + diff(postfixed(r)[1], g[1]) for g in got if g and g[1].startswith(r[:r.index(b'\n')])), 'missing')
           for n, r in raws.items() if postfixed(r) not in got] + [f'{got.count(None)} not from the relay'] * (None in got)
    w.check(not bad, f'{len(bad)} of {len(raws)} differ: ' + '; '.join(bad[:4]))
    if auth:   # a wrong password: the message waits in the spool
        p.terminate(), p.wait(), w.seed(b'Delivered-To: late@dom.test\nSubject: late\n\nx\n')
        w.relay(config(SMTPPassword='Wr0ng-pw'), 'wrong')
        w.check(wait_for(lambda: '(   SMTP) Failed: login refused' in w.log('wrong') and w.spool(), 20) and len(box()) == len(got),
                f'no "login refused", or delivered: spool {w.spool()}, ' + w.log('wrong')[-200:])


SCENARIOS = [  # name, function, arguments; the longest first
    ('kill9', kill9), ('kill9_continuous', kill9, dict(Dispatch='continuous', RefusedMail='keep')),
    ('requeue', requeue, True, {}, True), ('reset_mid_data', requeue, False, {'BODY': ['reset']}, False),
    ('slow_delivery', slow_delivery, 'silence', True), ('slow_cut', slow_delivery, 'total', False), ('flood', flood), ('big_message', big_message), ('stall', stall),
    ('full_disk', spool_fault, 'size=1m', 1_500_000), ('unwritable_spool', spool_fault, 'ro,size=1m', 3000), ('end_to_end', end_to_end),
    ('stalled_stdout', stalled_stdout), ('terminal', terminal), ('second_start', second_start),
    ('password_masked', password_masked), ('service_unit', service_unit), ('pop_tls', pop_tls),
    ('tls_untrusted', tls_refused, 'localhost', 'tls', '127.0.0.2', False, REFUSED + 'self-signed certificate (subject /CN=localhost)'),
    ('tls_wrong_name', tls_refused, 'other.test', 'stls', 'localhost', True, REFUSED + 'it is not valid for localhost (subject /CN=other.test)'),
    ('stls_refused', tls_refused, None, 'stls', '127.0.0.1', False, '(   POP3) Failed: the server refused STLS'),
    ('xoauth2', xoauth2), ('smtp_tls_command', smtp_tls_login),
    ('postfix_real_mail', postfix_mail, False), ('postfix_starttls_auth', postfix_mail, True, 3), ('greylist_pipelined', greylist),
    ('smtp_auth_loop', hostile, {}, {'AUTH': ('always', '334 ')}, dict(SMTPUser='relay', SMTPPassword='pw'), '(   SMTP) Failed:', 15),
    ('pop_auth_loop', hostile, {'AUTH': ('always', '+ ')}, {}, dict(POPAuth='xoauth2', POPPasswordCommand="printf 'tok\\n'"), '(   POP3) Failed:', 15),
    ('ehlo_endless', hostile, {}, {'EHLO': [('repeat', b'', b'250-X\r\n', 0.2)]}, dict(Dispatch='continuous'), '(   SMTP) Failed:', 20, True),
    ('ehlo_huge_lines', hostile, {}, {'EHLO': ('repeat', b'', b'250-AUTH ' + b'P' * (1 << 20) + b'\r\n', 0)}, dict(Dispatch='continuous'), '(   SMTP) Failed:', 15),
    ('retr_endless', endless, dict(POPInterval=60000)), ('retr_too_big', endless, dict(MaxMessageSize=80)),
]


def attempt(name, fn, *args, keep=False):
    w, started = World(name), time.time()
    try:
        note = fn(w, *args)
        status, why = ('FAIL', '; '.join(w.errors)) if w.errors else ('ok', note)
    except Skip as e:
        status, why = 'skip', str(e)
    except Exception as e:
        status, why = 'FAIL', f'{type(e).__name__}: {e}'
    finally:
        w.close(keep)
    why = str(why or '').strip().replace('\n', ' | ')   # one line per scenario
    return status, name + (f': {why}' if why else '') + (f' [{time.time() - started:.0f} s, {w.dir}]' if keep else '')


def main():
    global RELAY, ASAN
    ap = argparse.ArgumentParser(description='System test of the relay against real and scripted servers')
    ap.add_argument('--relay', required=True, help='the built program')
    ap.add_argument('-k', default='', help='run only the scenarios whose name contains this')
    ap.add_argument('-j', type=int, default=7, help='scenarios at a time')
    ap.add_argument('--keep', action='store_true', help='keep each scenario folder, print its time')
    a = ap.parse_args()
    RELAY, ASAN = os.path.abspath(a.relay), b'__asan_init' in read(a.relay)   # its shadow memory hides the relay's
    signal.alarm(DRIVER_LIMIT)
    todo, counts = [s for s in SCENARIOS if a.k in s[0]], {'ok': 0, 'FAIL': 0, 'skip': 0}
    with ThreadPoolExecutor(a.j) as ex:
        for f in as_completed([ex.submit(attempt, *s, keep=a.keep) for s in todo]):
            status, line = f.result()
            counts[status] += 1
            print(f'{status} - {line}', flush=True)
    print(f'{counts["ok"]} passed, {counts["FAIL"]} failed, {counts["skip"]} skipped')
    sys.exit(1 if counts['FAIL'] or not todo else 0)


if __name__ == '__main__':
    main()

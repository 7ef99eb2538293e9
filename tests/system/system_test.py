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
import argparse, asyncio, fcntl, logging, os, pathlib, random, re, shutil, signal, socket, struct
import subprocess as sp, sys, tempfile, threading, time
from concurrent.futures import ThreadPoolExecutor, as_completed
from aiosmtpd.smtp import SMTP

LIFETIME, DRIVER_LIMIT = 240, 420   # seconds: any child process / the whole driver
RELAY, PORTS, PORTS_LOCK = None, set(), threading.Lock()
LOOP = asyncio.new_event_loop()     # one loop in a thread serves every in-process server
threading.Thread(target=LOOP.run_forever, daemon=True).start()
logging.getLogger('mail.log').setLevel(logging.CRITICAL)
Skip = type('Skip', (Exception,), {})
CAPTION = 'Tarvix POP2SMTP Relay Application - Version 1.0.05'


def run(coro):
    return asyncio.run_coroutine_threadsafe(coro, LOOP).result(30)


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


def listening(port):
    with socket.socket() as s:
        return s.connect_ex(('127.0.0.1', port)) == 0


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


def ini(sections=(), **general):
    g = {**dict(POPServer='127.0.0.1', POPUser='u', POPPassword='pw', POPInterval=1000,
                SMTPServer='127.0.0.1', SMTPName='relay.test', DebugLevel='*'), **general}
    return ''.join(f'[{name}]\n' + ''.join(f'{k}={v}\n' for k, v in keys.items())
                   for name, keys in [('General', g), *sections])


# ---- What the relay must make of a message: as stored in the spool and as sent in DATA ----

def dots(raw):  # the lines of a seeded message (LF ends) as a POP3 server sends them
    return [b'.' + l if l[:1] == b'.' else l for l in raw.split(b'\n')[:-1]]


def stored(raw):  # spool file: lines as sent, CRs removed, each + CR LF, then one more CR LF
    return b''.join(l.replace(b'\r', b'') + b'\r\n' for l in dots(raw)) + b'\r\n'


def header(raw, name):  # value between the first and second colon, trimmed
    rows = stored(raw).split(b'\r\n\r\n')[0].split(b'\r\n')
    return next(l.split(b':')[1].strip() for l in rows if l.startswith(name + b':'))


def addr(raw, name):  # envelope address: text after the first "<", without the closing ">"
    return header(raw, name).split(b'<', 1)[-1].rstrip(b'>')


def unstuff(data):  # DATA as aiosmtpd hands it over: dots removed, without the final ".\r\n"
    return b'\r\n'.join(l[1:] if l[:1] == b'.' else l for l in data[:-3].split(b'\r\n'))


def composed(raw, stuffed=True):  # DATA as sent, with rows ID and DATE for Message-ID and Date
    body = re.sub(rb'(\r\n)*\Z', b'', stored(raw).split(b'\r\n\r\n', 1)[1])
    rows = [b'ID'] + [n + b': ' + header(raw, n) for n in (b'From', b'To', b'Subject')] + [
        b'DATE', b'MIME-Version: 1.0', b'Content-Type: text/plain;', b'', body, b'.']
    data = b''.join(r + b'\r\n' for r in rows)
    return data if stuffed else unstuff(data)


STAMP = re.compile(rb'Message-ID: <(\d{8}_\d{6}_[0-9a-f]{5})\.>\r\n(.*?)'
                   rb'Date: [A-Z][a-z]{2}, \d{1,2} [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d \+0100\r\n', re.S)
def norm(data):  # (spool name, data with its Message-ID and Date rows turned into ID and DATE)
    m = STAMP.match(data)
    return (m[1], STAMP.sub(rb'ID\r\n\2DATE\r\n', data, 1)) if m else (None, data)


def diff(want, got):
    i = next((i for i, (a, b) in enumerate(zip(want, got)) if a != b), min(len(want), len(got)))
    return f'differs at byte {i}: want {want[i:i + 40]!r}, got {got[i:i + 40]!r}'


def message(subject, frm, to=b'Bob <bob@c.test>', rp=True, body=b'text\n'):
    rp = b'Return-Path: <%s>\n' % frm.split(b'<')[-1].rstrip(b'>') if rp else b''
    return rp + b'From: %s\nTo: %s\nSubject: %s\n\n' % (frm, to, subject) + body


# ---- Servers ----

class Sink:  # aiosmtpd server keeping (MAIL FROM, RCPT TOs, content) of every message
    def __init__(s, w, delay=0, **smtp):   # smtp: aiosmtpd options (TLS context, AUTH, ...)
        s.got, s.port, s.delay = [], free_port(), delay
        w.servers.append(run(LOOP.create_server(lambda: SMTP(s, **smtp), '127.0.0.1', s.port)))

    async def handle_DATA(s, server, session, env):
        await asyncio.sleep(s.delay)
        s.got.append((env.mail_from.encode(), [r.encode() for r in env.rcpt_tos], env.original_content))
        return '250 OK'


POP3 = {'GREET': '+OK scripted', 'QUIT': '+OK bye', '?': '+OK',
        'LIST': lambda s, a, gone: '+OK\r\n' + ''.join(f'{i + 1} {len(m)}\r\n' for i, m in enumerate(s.msgs)) + '.',
        'RETR': lambda s, a, gone: '+OK\r\n' + ''.join(l.decode('latin-1') + '\r\n' for l in dots(s.msgs[int(a) - 1])) + '.',
        'DELE': lambda s, a, gone: gone.add(int(a)) or '+OK'}
SMTP_ = {'GREET': '220 scripted', 'DATA': '354 go on', 'BODY': '250 queued', 'QUIT': '221 bye', '?': '250 ok'}


class Scripted:
    # POP3 or SMTP by a table of replies per command. faults maps a command (GREET: the
    # greeting, BODY: the DATA content) to a reply or an action, or to a list of those, one per
    # connection (later connections behave normally). Actions: 'close', 'reset' (RST), 'stall'
    # (say nothing), 'flood' ("+OK", then bytes without a line feed); on BODY they strike after
    # the first data line. Keeps each connection's commands and start time, and every DATA
    # blob; DELE takes effect at QUIT.
    def __init__(s, w, table, faults=None, msgs=(), port=None):
        s.table, s.faults, s.msgs, s.conns, s.times, s.data = table, faults or {}, list(msgs), [], [], []
        s.port = port or free_port()
        w.servers.append(run(asyncio.start_server(s.serve, '127.0.0.1', s.port, limit=1 << 26)))

    def fault(s, key, n):
        a = s.faults.get(key)
        return (a[n] if n < len(a) else None) if isinstance(a, list) else a

    async def serve(s, r, wr):
        n, got, gone, key, arg = len(s.conns), [], set(), 'GREET', ''
        s.conns.append(got), s.times.append(time.time())
        try:
            while True:
                a = s.fault(key, n) or s.table.get(key, s.table['?'])
                a = a(s, arg, gone) if callable(a) else a
                if a == 'stall':
                    return await r.read()
                if a == 'reset':
                    wr.get_extra_info('socket').setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
                if a in ('close', 'reset'):
                    return
                if a == 'flood':
                    return await s.flood(wr)
                wr.write(a.encode('latin-1') + b'\r\n')
                await wr.drain()
                if key == 'QUIT':
                    s.msgs = [m for i, m in enumerate(s.msgs) if i + 1 not in gone]
                    return
                if key == 'DATA' and a[:1] == '3':
                    data = await r.readline()
                    if s.fault('BODY', n) not in ('close', 'reset', 'stall', 'flood') and data != b'.\r\n':
                        data += await r.readuntil(b'\r\n.\r\n')
                    s.data.append(data)
                    key, arg = 'BODY', ''
                    continue
                line = (await r.readline()).decode('latin-1').rstrip('\r\n')
                if not line:
                    return
                got.append(line)
                key, arg = line.partition(' ')[0].upper(), line.partition(' ')[2]
        except (OSError, asyncio.IncompleteReadError, asyncio.LimitOverrunError):
            pass
        finally:
            wr.close()

    async def flood(s, wr, mib=300, seconds=45):   # ends early when the client closes
        wr.write(b'+OK\r\n')
        end = time.time() + seconds
        while mib > 0 and time.time() < end:
            wr.write(b'x' * (1 << 20))
            mib -= 1
            await wr.drain()


DOVECOT = ('protocols = pop3\nlisten = 127.0.0.1\nssl = no\ndisable_plaintext_auth = no\nauth_mechanisms = plain login\n'
           'first_valid_uid = 65534\nfirst_valid_gid = 65534\nbase_dir = {d}/run\nstate_dir = {d}/state\n'
           'log_path = {d}/dovecot.log\nmail_location = maildir:{d}/mail/%u/Maildir\n'
           'passdb {{\ndriver = passwd-file\nargs = scheme=PLAIN {d}/passwd\n}}\nuserdb {{\ndriver = passwd-file\nargs = {d}/passwd\n}}\n'
           'service pop3-login {{\ninet_listener pop3 {{\nport = {port}\n}}\ninet_listener pop3s {{\nport = 0\n}}\n}}\n')


class World:  # one scenario's folder, program directory (home), processes, servers and mounts
    def __init__(w, name):
        w.name, w.dir = name, tempfile.mkdtemp(prefix=f'p2st-{name}-', dir='/tmp')
        os.chmod(w.dir, 0o755)   # Dovecot's mail processes (nobody) must reach the mail below
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
        if config is not None:
            write(f'{w.home}/TarvixPOP2SMTP.ini', config, 0o600)
        p = w.spawn([*wrap, RELAY], out or open(f'{w.dir}/{name}.out', 'ab'), env=dict(os.environ, POP2SMTP_HOME=w.home, **(env or {})))
        wait_for(lambda: child(p) or p.poll() is not None, 5, 0.01)
        return p

    def log(w, name='relay'):
        return read(f'{w.dir}/{name}.out').decode('utf-8', 'replace') if os.path.exists(f'{w.dir}/{name}.out') else ''

    def day_log(w):
        d = f'{w.home}/LogFiles'
        return ''.join(read(f'{d}/{f}').decode('latin-1') for f in sorted(os.listdir(d))) if os.path.isdir(d) else ''

    def spool(w, suffix=''):
        d = f'{w.home}/Messages'
        return sorted(f for f in os.listdir(d) if f.endswith(suffix)) if os.path.isdir(d) else []

    def dovecot(w, users=(('u', 'pw'),), extra=''):
        d, w.pop = w.dir, free_port()
        [os.makedirs(f'{d}/mail/{u}/Maildir/{sub}') for u, _ in users for sub in ('new', 'cur', 'tmp')]
        write(f'{d}/passwd', ''.join(f'{u}:{{PLAIN}}{pw}:65534:65534::{d}/mail/{u}::\n' for u, pw in users))
        sp.run(['chown', '-R', '65534:65534', f'{d}/mail'], check=True)
        write(f'{d}/dovecot.conf', DOVECOT.format(d=d, port=w.pop) + extra)
        w.spawn(['dovecot', '-F', '-c', f'{d}/dovecot.conf'], open(f'{d}/dovecot.out', 'wb'))
        if not wait_for(lambda: listening(w.pop), 15):
            raise RuntimeError('Dovecot did not start: ' + read(f'{d}/dovecot.out').decode()[-300:])

    def seed(w, raw, user='u'):  # written into tmp/ and renamed into new/, as a delivery agent does
        md, name = f'{w.dir}/mail/{user}/Maildir', f'{time.time_ns()}.{random.randrange(1 << 30)}.test'
        write(f'{md}/tmp/{name}', raw)
        os.chown(f'{md}/tmp/{name}', 65534, 65534)
        os.rename(f'{md}/tmp/{name}', f'{md}/new/{name}')

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
    w.dovecot()
    sinks = {k: Sink(w) for k in 'ABC'}
    [w.seed(raw) for raw, _ in E2E]
    w.relay(ini([('SPECIFIC_one', dict(SenderAddresses='*@B.TEST, boss@*', SMTPPort=sinks['B'].port)),
                 ('SPECIFIC_two', dict(SenderAddresses='*@b.test, d?ve@*', SMTPPort=sinks['C'].port))],
                POPPort=w.pop, SMTPPort=sinks['A'].port))
    w.check(wait_for(lambda: sum(len(s.got) for s in sinks.values()) >= len([k for _, k in E2E if k]) and not w.spool() and not w.mailbox(), 30),
            f'mailbox {w.mailbox()}, spool {w.spool()}')
    time.sleep(1)   # a late duplicate would show now
    for raw, k in E2E:
        subject = header(raw, b'Subject')
        got = [(name, g) for name, s in sinks.items() for g in s.got if b'\r\nSubject: %s\r\n' % subject in g[2]]
        if w.check(len(got) == (k is not None), f'{subject}: arrived {len(got)} times') and k:
            (name, (mail, rcpt, data)), want = got[0], composed(raw, stuffed=False)
            w.check(name == k, f'{subject}: went to server {name}, not {k}')
            w.check((mail, rcpt) == (addr(raw, b'From'), [addr(raw, b'To')]), f'{subject}: envelope {mail} {rcpt}')
            w.check(norm(data)[1] == want, f'{subject}: ' + diff(want, norm(data)[1]))
    w.check('Missing data in message' in w.log(), 'no "Missing data in message" for the message without Return-Path')


def requeue(w, dovecot, faults, late):
    # The first delivery fails (port closed, or the server resets): the file turns .err, holds
    # the message as stored, and is delivered whole, exactly once, after the re-queue.
    raw, port = DOTS, free_port()
    if dovecot:
        w.dovecot()
        w.seed(raw)
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
    w.dovecot()
    w.seed(message(b'big', b'<alice@a.test>', body=(b'y' * 75 + b'\n') * (size // 76)))
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
        w.check(wait_for(lambda: count('Trying to connect'), 10), 'no log line on screen:\n' + '\n'.join(screen()))
        w.check(CAPTION in screen()[0] and 'POP' in screen()[1], f'top rows {screen()[:2]}')
        keys('r')
        w.check(wait_for(lambda: count('Trying to connect') == 2, 5), '"r" started no poll')
        keys('F10')
        w.check(wait_for(lambda: count('Run POP now') == 2, 5), 'F10 opened no POP menu')
        keys('Escape')
        w.check(wait_for(lambda: count('Run POP now') == 1, 5), 'Escape left the menu open')
        sp.run(tm + ['resize-window', '-t', 't', '-x', '72', '-y', '10'])
        keys('r')   # the new session's lines must show at the bottom of the smaller window
        w.check(wait_for(lambda: len(pop.times) == 3 and CAPTION in screen()[0] and 'POP' in screen()[1]
                         and screen()[-1].endswith(newest()), 5), f'after resize: {screen()}, newest {newest()!r}')
        keys('q')
        w.check(wait_for(lambda: os.path.exists(f'{w.dir}/exit') and read(f'{w.dir}/exit') == b'EXIT=0\n', 5),
                'q did not end it with status 0')
    finally:
        sp.run(tm + ['kill-server'], capture_output=True)


def kill9(w, cycles=8, per_cycle=5):
    # SIGKILL at random moments while mail flows: every message arrives, none damaged.
    seed = random.randrange(1 << 30)
    rnd, sink = random.Random(seed), Sink(w, delay=0.3)   # a slow server: kills hit deliveries too
    raws = [message(b'torture %d' % i, b'K <k%d@a.test>' % i, body=b'.line %d\n' % i * (i * 30)) for i in range(cycles * per_cycle)]
    w.dovecot()
    config = ini(POPPort=w.pop, SMTPPort=sink.port, POPInterval=300)
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
    pop = Scripted(w, POP3, {'RETR': ['flood']}, msgs=[DOTS])
    p = w.relay(ini(POPPort=pop.port, SMTPPort=free_port()))
    status, peak = f'/proc/{child(p)}/status', [0]

    def sample():   # VmRSS in MiB, the highest seen
        try:
            peak[0] = max(peak[0], int(re.search(r'VmRSS:\s+(\d+)', read(status).decode())[1]) >> 10)
        except (OSError, TypeError):   # gone, or a zombie without memory
            pass
    wait_for(lambda: sample() or len(pop.times) > 1 or p.poll() is not None, 60, 0.05)
    w.check(peak[0] < limit_mib, f'VmRSS reached {peak[0]} MiB')
    w.check('(   POP3) Failed:' in w.log(), 'no "(   POP3) Failed:" logged')
    w.check(not [c for c in pop.conns[0] if c.startswith('DELE')], 'DELE sent for the flooded message')
    w.check(wait_for(lambda: len(pop.times) > 1, 15) and p.poll() is None, f'no next poll, relay exit {p.poll()}')


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


def config_symlink(w, port=4711):
    # In a network namespace of its own: a relay that falls back to its default ports (110, 25)
    # must not reach servers that others run on this machine. The log line is what counts.
    write(f'{w.dir}/elsewhere/real.ini', ini(POPPort=port, SMTPPort=port + 1), 0o600)
    os.makedirs(w.home)
    os.symlink(f'{w.dir}/elsewhere/real.ini', f'{w.home}/TarvixPOP2SMTP.ini')
    if sp.run(['unshare', '-n', 'true'], capture_output=True).returncode:
        raise Skip('cannot make a network namespace here')
    w.relay(None, wrap=['unshare', '-n', '--'])
    w.check(wait_for(lambda: f'Trying to connect to 127.0.0.1:{port}' in w.log(), 5), 'linked file not used: ' + w.log()[:200])


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
    units, unit, h1 = f'{w.dir}/units', f'{w.dir}/units/POP2SMTP.service', f'{w.dir}/h1'
    call = lambda prog, arg, home: sp.run(['timeout', '20', prog, arg], capture_output=True, text=True, stdin=sp.DEVNULL,
                                          env=dict(os.environ, POP2SMTP_HOME=home, POP2SMTP_UNIT_DIR=units))
    [os.makedirs(d) for d in (units, h1)]
    r = call(RELAY, '/I', h1)
    if w.check(r.returncode == 0 and os.path.exists(unit), f'/I: exit {r.returncode}, {r.stdout + r.stderr}'):
        a = sp.run(['systemd-analyze', 'security', '--offline=true', unit], capture_output=True, text=True)
        m = re.search(r'Overall exposure level for \S+: (\d+\.\d+)', a.stdout)
        w.check(m and float(m[1]) <= 3.0, f'exposure {m and m[1]} {a.stderr[-200:]}')
    r = call(RELAY, '/U', h1)
    w.check(r.returncode == 0 and not os.path.exists(unit), f'/U: exit {r.returncode}, unit left: {os.path.exists(unit)}')
    open_dir = f'{w.dir}/open'   # a program directory anyone may write to
    os.makedirs(open_dir)
    shutil.copy(RELAY, open_dir)
    os.chmod(open_dir, 0o777)
    r = call(f'{open_dir}/{os.path.basename(RELAY)}', '/I', open_dir)
    w.check(r.returncode == 1 and not os.path.exists(unit), f'/I from a world-writable directory: exit {r.returncode}')


SCENARIOS = [  # name, function, arguments; the longest first
    ('kill9', kill9), ('requeue', requeue, True, {}, True), ('reset_mid_data', requeue, False, {'BODY': ['reset']}, False),
    ('flood', flood), ('stall', stall), ('end_to_end', end_to_end), ('stalled_stdout', stalled_stdout),
    ('full_disk', spool_fault, 'size=1m', 1_500_000), ('unwritable_spool', spool_fault, 'ro,size=1m', 3000),
    ('terminal', terminal), ('second_start', second_start), ('config_symlink', config_symlink),
    ('password_masked', password_masked), ('service_unit', service_unit),
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
    global RELAY
    ap = argparse.ArgumentParser(description='System test of the relay against real and scripted servers')
    ap.add_argument('--relay', required=True, help='the built program')
    ap.add_argument('-k', default='', help='run only the scenarios whose name contains this')
    ap.add_argument('-j', type=int, default=7, help='scenarios at a time')
    ap.add_argument('--keep', action='store_true', help='keep each scenario folder, print its time')
    a = ap.parse_args()
    RELAY = os.path.abspath(a.relay)
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

#!/usr/bin/python3
# Test of the Debian package under a real systemd: boots a Debian 12 tree with systemd-nspawn,
# installs the package that scripts/package.sh makes of the given program, runs the instances
# pop2smtp@one and pop2smtp@two against a private Dovecot and two SMTP sinks on the host's
# loopback (the container shares the host's network) and checks what an operator sees, then
# removal and purge.
#
#   /usr/bin/python3 tests/system/package_test.py --relay build/pop2smtp
#
# The tree is built once with debootstrap (into $POP2SMTP_TREE, by default
# /var/cache/pop2smtp-test/bookworm) and booted with --volatile=overlay, so it stays as built.
# Prints a line per check and "N passed, N failed". A sanitizer build is skipped: the suite runs
# twice, the container once is enough.
import argparse, os, re, signal, subprocess as sp, sys, time
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import system_test as st   # World (folder, Dovecot, processes under `timeout`), Sink, helpers

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '../..'))
TREE = os.environ.get('POP2SMTP_TREE', '/var/cache/pop2smtp-test/bookworm')
DEPS = 'systemd,systemd-sysv,dbus,adduser,libssl3,libncurses6'   # preinstalled: the package installs offline
STATUS = r'0 queued, 0 failed, 0 refused; POP3 \d\d:\d\d ok; SMTP \d\d:\d\d ok'
USERS = {'one': [b'one 1', b'one 2', b'one 3'], 'two': [b'two 1', b'two 2']}   # mailbox: subjects in it
counts = [0, 0]


def check(name, ok, why=''):
    counts[not ok] += 1
    print(f'ok - {name}' if ok else f'FAIL - {name}: {why}'.replace('\n', ' | ')[:600], flush=True)


def kid(pid):   # first child process
    try:
        return int(open(f'/proc/{pid}/task/{pid}/children').read().split()[0])
    except (OSError, IndexError, ValueError):
        return None


def build_tree():   # dpkg without fsync: 45 s instead of 6 min; renamed into place only when complete
    sources = open('/etc/apt/sources.list.d/debian.sources').read() if os.path.exists('/etc/apt/sources.list.d/debian.sources') else ''
    mirror = (re.findall(r'URIs:\s*(\S+)', sources) + ['http://deb.debian.org/debian'])[0]
    sp.run(['rm', '-rf', TREE + '.new'], check=True)
    sp.run(['timeout', '900', 'debootstrap', '--variant=minbase', '--include=' + DEPS, 'bookworm', TREE + '.new', mirror],
           check=True, stdout=sp.DEVNULL, env=dict(os.environ, DPKG_FORCE='unsafe-io'))
    os.rename(TREE + '.new', TREE)


def scenario(w, relay, cgroups):
    deb = sp.run(['bash', f'{ROOT}/scripts/package.sh', relay], check=True, stdout=sp.PIPE, text=True).stdout.split('built ')[-1].split()[0]
    sp.run(['cp', f'{ROOT}/{deb}', w.dir], check=True)
    w.dovecot(users=[(u, 'pw-' + u) for u in USERS])
    [w.seed(st.message(s, b'sender@%s.test' % u.encode()), u) for u, subjects in USERS.items() for s in subjects]
    sinks = {u: st.Sink(w) for u in USERS}
    p = w.spawn(['sh', '-c', ''.join(f'echo $$ >{c}/cgroup.procs; ' for c in cgroups) + f'exec systemd-nspawn -b -D {TREE} -M p2st{os.getpid()} '
                 f'--register=no --keep-unit --console=passive --volatile=overlay --bind-ro={w.dir}:/srv/t'], open(f'{w.dir}/nspawn.out', 'wb'))
    st.wait_for(lambda: kid(kid(p.pid)), 20)
    sh = lambda cmd, stdin=None: sp.run(['timeout', '120', 'nsenter', '-t', str(kid(kid(p.pid))), '-a', '--', 'sh', '-c', cmd],
                                        input=stdin, stdout=sp.PIPE, stderr=sp.STDOUT, text=True).stdout.strip()
    show = lambda prop, unit='one': sh(f'systemctl show -p {prop} --value pop2smtp@{unit}')
    sh('systemctl is-system-running --wait')
    out = sh(f'DEBIAN_FRONTEND=noninteractive apt-get install -y /srv/t/{os.path.basename(deb)} 2>&1 && id -un pop2smtp && '
             'stat -c %U:%G:%a /usr/bin/pop2smtp /lib/systemd/system/pop2smtp@.service /etc/pop2smtp /var/lib/pop2smtp')
    check('apt-get install: program, unit, user, directories', out.endswith('\npop2smtp\nroot:root:755\nroot:root:644\nroot:pop2smtp:750\npop2smtp:pop2smtp:750'), out[-400:])
    for u in USERS:   # two: a short watchdog, to see it fed and see a hung relay restarted
        sh(f'umask 027 && cat >/etc/pop2smtp/{u}.ini && chgrp pop2smtp /etc/pop2smtp/{u}.ini',
           st.ini(POPPort=w.pop, POPUser=u, POPPassword='pw-' + u, SMTPPort=sinks[u].port, DebugLevel=''))
    sh('mkdir -p /run/systemd/system/pop2smtp@two.service.d && printf "[Service]\\nWatchdogSec=3\\n" >/run/systemd/system/pop2smtp@two.service.d/w.conf')
    sh('systemctl daemon-reload && systemctl enable --now --no-block pop2smtp@one pop2smtp@two')
    got = lambda u: sorted(re.search(rb'Subject: ([^\r\n]*)', c)[1] for _, _, c in sinks[u].got)
    check('each instance delivers its mailbox', st.wait_for(lambda: all(got(u) == USERS[u] and not w.mailbox(u) for u in USERS), 60),
          f'delivered {[got(u) for u in USERS]}; ' + sh('journalctl -q -n 8 -u pop2smtp@one -u pop2smtp@two'))
    out = sh('for u in one two; do stat -c %U /proc/$(systemctl show -p MainPID --value pop2smtp@$u); done; stat -c "%U %a %n" /var/lib/pop2smtp/*/Messages')
    check('both run as pop2smtp, each with its own spool', out == 'pop2smtp\npop2smtp\npop2smtp 700 /var/lib/pop2smtp/one/Messages\npop2smtp 700 /var/lib/pop2smtp/two/Messages', out)
    check('status text', st.wait_for(lambda: re.fullmatch(STATUS, show('StatusText')), 15), show('StatusText'))
    out = sh('systemd-analyze security pop2smtp@one.service | tail -n 1')
    check('systemd-analyze security <= 2.0', float((re.findall(r': (\d+\.\d+)', out) or ['99'])[0]) <= 2.0, out)
    out = sh('POP2SMTP_HOME=/var/lib/pop2smtp/one pop2smtp /Q; echo "exit $?"')
    check('/Q', out.split('\n')[-2:] == ['0 queued, 0 failed, 0 refused', 'exit 0'], out[-300:])
    span = sum(int(n) * {'min': 60, 's': 1, 'ms': 0.001}[f] for n, f in re.findall(r'(\d+)(min|ms|s)', show('WatchdogUSec')))
    pid, fed = show('MainPID', 'two'), st.wait_for(lambda: show('NRestarts', 'two') != '0', 8) is False   # 8 s: twice its watchdog
    sh(f'kill -STOP {pid}')
    hung = st.wait_for(lambda: show('NRestarts', 'two') != '0' and show('ActiveState', 'two') == 'active', 20)
    check('watchdog set, fed, a hung relay restarted', 0 < span <= 300 and fed and hung, f'one {show("WatchdogUSec")}, fed {fed}, hung one restarted {hung}')
    out = sh('apt-get remove -y pop2smtp >/dev/null 2>&1; systemctl is-active pop2smtp@one pop2smtp@two; '
             'test -f /etc/pop2smtp/one.ini && test -d /var/lib/pop2smtp/one/Messages && echo kept')
    check('remove stops both, keeps configuration and spool', out.split() == ['inactive', 'inactive', 'kept'], out)
    out = sh('echo x >/var/lib/pop2smtp/one/Messages/held.msg; apt-get purge -y pop2smtp 2>&1 | grep -c "holds messages"; '
             'ls /etc/pop2smtp /var/lib/pop2smtp /var/lib/pop2smtp/one/Messages')
    check('purge keeps a spool with a message, and the configuration', out.split() == [
        '1', '/etc/pop2smtp:', 'one.ini', 'two.ini', '/var/lib/pop2smtp:', 'one', '/var/lib/pop2smtp/one/Messages:', 'held.msg'], out)


def main():
    ap = argparse.ArgumentParser(description='Test of the Debian package under systemd in a container')
    ap.add_argument('--relay', required=True, help='the built program, packaged by scripts/package.sh')
    relay = os.path.abspath(ap.parse_args().relay)
    if b'__asan_init' in st.read(relay):
        return print('skip - package: a sanitizer build; the plain build runs this test')
    signal.alarm(1500)
    st.LIFETIME = 600   # the container's limit
    sp.run(['bash', f'{ROOT}/scripts/deps.sh', 'test'], check=True)
    os.path.isdir(TREE) or build_tree()
    # nspawn makes its cgroups beside its own: in a folder of the test's, removed at the end
    cgroups = [f'/sys/fs/cgroup/{h}/p2st-{os.getpid()}' for h in ('systemd', 'unified') if os.path.isdir(f'/sys/fs/cgroup/{h}')]
    [os.makedirs(c) for c in cgroups]
    w, started = st.World('package'), time.time()
    try:
        scenario(w, relay, cgroups)
    except Exception as e:
        check('package test ran', False, f'{type(e).__name__}: {e}')
    finally:
        w.close()
        cgroups and st.wait_for(lambda: not sp.run(['find', *cgroups, '-depth', '-type', 'd', '-exec', 'rmdir', '{}', ';'], capture_output=True).returncode, 10)
    print(f'{counts[0]} passed, {counts[1]} failed ({time.time() - started:.0f} s)')
    sys.exit(1 if counts[1] else 0)


if __name__ == '__main__':
    main()

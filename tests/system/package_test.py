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
# Prints a line per check and "N passed, N failed". Needs root; a sanitizer build is skipped (the
# suite runs twice, the container once is enough).
import os, re, signal, subprocess as sp, sys, time
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import system_test as st   # World (folder, Dovecot, processes under `timeout`), Sink, helpers

ROOT, TREE = os.path.dirname(os.path.dirname(sys.path[0])), os.environ.get('POP2SMTP_TREE', '/var/cache/pop2smtp-test/bookworm')
DEPS = 'systemd,systemd-sysv,dbus,adduser,libssl3,libncurses6'   # preinstalled: the package installs without a download
USERS = {'one': [b'one 1', b'one 2', b'one 3'], 'two': [b'two 1', b'two 2']}   # mailbox: the subjects in it
counts = [0, 0]


def check(name, ok, why=''):
    counts[not ok] += 1
    print(f'ok - {name}' if ok else f'FAIL - {name}: {why}'.replace('\n', ' | ')[:600], flush=True)


def scenario(w, relay, cgroups):
    deb = sp.run(['bash', f'{ROOT}/scripts/package.sh', relay], check=True, stdout=sp.PIPE, text=True).stdout.split('built ')[-1].split()[0]
    w.dovecot(users=[(u, 'pw-' + u) for u in USERS]), [w.seed(st.message(s, b'a@b.test'), u) for u in USERS for s in USERS[u]]
    sinks = {u: st.Sink(w) for u in USERS}
    p = w.spawn(['sh', '-c', ''.join(f'mkdir {c} && echo $$ >{c}/cgroup.procs; ' for c in cgroups) + f'exec systemd-nspawn -b -D {TREE} -M p2st{os.getpid()} '
                 f'--register=no --keep-unit --console=passive --volatile=overlay --bind-ro={ROOT}/dist:/srv/t'], open(f'{w.dir}/nspawn.out', 'wb'))
    # a command in the container: its PID 1 is the child of nspawn, the child of `timeout`
    sh = lambda cmd, stdin=None: sp.run(['sh', '-c', f'exec timeout 120 nsenter -t $(pgrep -P $(pgrep -P {p.pid})) -a -- sh -c "$0"', cmd], input=stdin, timeout=150,
                                        stdout=sp.PIPE, stderr=sp.STDOUT, text=True).stdout.strip()
    st.wait_for(lambda: sh('echo up') == 'up', 20)
    show = lambda prop, unit='one': sh(f'systemctl show -p {prop} --value pop2smtp@{unit}')
    expect = lambda name, cmd, want: check(name, ('\n' + (out := sh(cmd))).endswith('\n' + want), out[-400:])   # want: the last lines of the output
    expect('apt-get install: program, unit, user, directories', f'systemctl is-system-running --wait; apt-get install -y /srv/t/{os.path.basename(deb)} 2>&1 && id -un pop2smtp && '
           'stat -c %U:%G:%a /usr/bin/pop2smtp /lib/systemd/system/pop2smtp@.service /etc/pop2smtp /var/lib/pop2smtp', 'pop2smtp\nroot:root:755\nroot:root:644\nroot:pop2smtp:750\npop2smtp:pop2smtp:750')
    [sh(f'umask 027 && cat >/etc/pop2smtp/{u}.ini && chgrp pop2smtp /etc/pop2smtp/{u}.ini', st.ini(POPPort=w.pop, POPUser=u, POPPassword='pw-' + u, SMTPPort=sinks[u].port))
     for u in USERS]   # two: a short watchdog, to see it fed and a hung relay restarted
    sh('mkdir -p /run/systemd/system/pop2smtp@two.service.d && printf "[Service]\\nWatchdogSec=3\\n" >/run/systemd/system/pop2smtp@two.service.d/w.conf && '
       'systemctl daemon-reload && systemctl enable --now --no-block pop2smtp@one pop2smtp@two')
    got = lambda u: sorted(re.search(rb'Subject: ([^\r\n]*)', c)[1] for _, _, c in sinks[u].got)
    check('each instance delivers its mailbox', st.wait_for(lambda: all(got(u) == USERS[u] and not w.mailbox(u) for u in USERS), 60),
          f'delivered {[got(u) for u in USERS]}; ' + sh('journalctl -q -n 8 -u pop2smtp@one -u pop2smtp@two'))
    check('status text', st.wait_for(lambda: re.fullmatch(r'0 queued, 0 failed, 0 refused; POP3 \d\d:\d\d ok; SMTP \d\d:\d\d ok', show('StatusText')), 15), show('StatusText'))
    span = sum(int(n) * {'min': 60, 's': 1, 'ms': 0.001}[f] for n, f in re.findall(r'(\d+)(min|ms|s)', show('WatchdogUSec')))
    fed = st.wait_for(lambda: show('NRestarts', 'two') != '0', 8) is False   # 8 s: more than twice its watchdog
    sh('systemctl kill --kill-whom=main -s STOP pop2smtp@two')
    hung = st.wait_for(lambda: show('NRestarts', 'two') != '0' and show('ActiveState', 'two') == 'active', 20)
    check('watchdog set, fed, a hung relay restarted', 0 < span <= 300 and fed and hung, f'one {show("WatchdogUSec")}, fed {fed}, hung one restarted {hung}')
    expect('both run as pop2smtp, each with its own spool', 'for u in one two; do stat -c %U /proc/$(systemctl show -p MainPID --value pop2smtp@$u); done; '
           'stat -c "%U %a %n" /var/lib/pop2smtp/*/Messages', 'pop2smtp\npop2smtp\npop2smtp 700 /var/lib/pop2smtp/one/Messages\npop2smtp 700 /var/lib/pop2smtp/two/Messages')
    expect('systemd-analyze security <= 2.0', "systemd-analyze security pop2smtp@one.service | awk '/Overall/ {print $(NF-2) <= 2.0 ? \"ok\" : $0}'", 'ok')
    expect('/Q', 'POP2SMTP_HOME=/var/lib/pop2smtp/one pop2smtp /Q; echo "exit $?"', '0 queued, 0 failed, 0 refused\nexit 0')
    expect('remove stops both, keeps configuration and spool', 'apt-get remove -y pop2smtp >/dev/null 2>&1; systemctl is-active pop2smtp@one pop2smtp@two; '
           'test -f /etc/pop2smtp/one.ini && test -d /var/lib/pop2smtp/one/Messages && echo kept', 'inactive\ninactive\nkept')
    expect('purge keeps a spool with a message, and the configuration', 'echo x >/var/lib/pop2smtp/one/Messages/held.msg; apt-get purge -y pop2smtp 2>&1 | '
           'grep -c "holds messages"; ls -m /etc/pop2smtp /var/lib/pop2smtp /var/lib/pop2smtp/one/Messages | tr "\\n" " "',
           '1\n/etc/pop2smtp: one.ini, two.ini  /var/lib/pop2smtp: one  /var/lib/pop2smtp/one/Messages: held.msg')


def main():
    relay = os.path.abspath(sys.argv[sys.argv.index('--relay') + 1])
    if b'__asan_init' in st.read(relay) or os.geteuid():
        return print('skip - package: needs root, and runs once: with the plain build, not the sanitizer build')
    signal.alarm(1500)
    st.LIFETIME, started = 600, time.time()   # the container's limit
    sp.run(['bash', f'{ROOT}/scripts/deps.sh', 'test'], check=True)
    # from the mirror apt uses; dpkg without fsync: 45 s instead of 6 min. Renamed into place when complete.
    os.path.isdir(TREE) or sp.run(f'm=$(sed -n "s/^URIs: *//p" /etc/apt/sources.list.d/*.sources | head -n 1); rm -rf {TREE}.new && DPKG_FORCE=unsafe-io timeout 900 debootstrap '
                                  f'--variant=minbase --include={DEPS} bookworm {TREE}.new ${{m:-http://deb.debian.org/debian}} >/dev/null && mv {TREE}.new {TREE}', shell=True, check=True)
    # nspawn makes its cgroups beside its own: in a folder of the test's, removed at the end
    cgroups = [f'/sys/fs/cgroup/{h}/p2st-{os.getpid()}' for h in ('systemd', 'unified') if os.path.isdir(f'/sys/fs/cgroup/{h}')]
    w = st.World('package')
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

#!/usr/bin/python3
# The first-run demonstration that scripts/run.sh starts when the program directory has no
# configuration:   demo.py RELAY [PROGRAM_DIRECTORY_WITHOUT_CONFIGURATION]
#
# Starts, on loopback ports, a private Dovecot with three messages for the user "demo" and an
# SMTP sink that writes every message it receives into a folder; writes a program directory
# whose TarvixPOP2SMTP.ini points the relay at both; runs the relay in the foreground (in this
# terminal) until it is closed or POP2SMTP_DEMO_SECONDS (default 3600) have passed; then stops
# the servers. The folder with the delivered messages and the relay's files stays for a look.
# The servers are the system test's own (tests/system/system_test.py).
import os, signal, subprocess, sys, time
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'system'))
import system_test as st


class Keeper(st.Sink):   # a sink that keeps each message as a file: the envelope, then the data
    def __init__(s, w, folder):
        s.folder = folder
        os.makedirs(folder)
        super().__init__(w)

    async def handle_DATA(s, server, session, env):
        envelope = f'MAIL FROM:<{env.mail_from}> RCPT TO:{", ".join(f"<{r}>" for r in env.rcpt_tos)}\r\n'
        st.write(f'{s.folder}/message{len(os.listdir(s.folder)) + 1}.eml', envelope.encode() + env.original_content)
        return '250 OK'


def main():
    relay, home = os.path.abspath(sys.argv[1]), sys.argv[2] if len(sys.argv) > 2 else 'the program directory'
    seconds = int(os.environ.get('POP2SMTP_DEMO_SECONDS', '3600'))
    st.LIFETIME = seconds + 60   # the servers outlive the relay, which is stopped first
    w = st.World('demo')
    try:
        sink = Keeper(w, f'{w.dir}/delivered')
        w.dovecot(users=[('demo', 'demo-secret')], msgs=[st.message(
            b'Demonstration message %d of 3' % i, b'Sender %d <sender%d@example.org>' % (i, i), b'Receiver <receiver@example.net>',
            body=b'This is message %d. The relay took it from the POP3 mailbox, kept it in its spool and handed\nit to '
                 b'the SMTP server with a header block of its own.\n.\n.. a line that starts with dots\n' % i) for i in (1, 2, 3)])
        st.write(f'{w.home}/TarvixPOP2SMTP.ini', st.ini(POPPort=w.pop, POPUser='demo', POPPassword='demo-secret', POPInterval=5000,
                                                          SMTPPort=sink.port, SMTPName='demo.relay'), 0o600)
        print(f'''
No TarvixPOP2SMTP.ini in {home}: running a demonstration on loopback ports.

  POP3 server (Dovecot)    127.0.0.1:{w.pop}, user "demo", 3 messages waiting
  SMTP sink                127.0.0.1:{sink.port}
  Delivered messages       {sink.folder}/
                           (one file each: a line with the envelope, then the data as received)
  Relay program directory  {w.home}/
                           (TarvixPOP2SMTP.ini, Messages/ = spool, LogFiles/)

To run the relay with your own servers, put a TarvixPOP2SMTP.ini into {home}
(the demonstration's file above is an example). Close the relay with Ctrl-C; it stops by itself
after {seconds} seconds.''', flush=True)
        if sys.stdout.isatty():
            print('Starting the relay in 5 seconds...', flush=True)
            time.sleep(5)
        signal.signal(signal.SIGINT, lambda *_: None)   # Ctrl-C ends the relay; we go on to stop the servers
        status = subprocess.run(['timeout', '--foreground', str(seconds), relay], env=dict(os.environ, POP2SMTP_HOME=w.home)).returncode
        print(f'\nThe relay has stopped (status {status}). Delivered messages in {sink.folder}/:')
        print(''.join(f'  {f}  {os.path.getsize(f"{sink.folder}/{f}")} bytes\n' for f in sorted(os.listdir(sink.folder))), end='')
        print('Stopping the demonstration servers.')
    except KeyboardInterrupt:   # during the pause before the relay
        print('\nStopping the demonstration servers.')
    finally:
        w.close(keep=True)


if __name__ == '__main__':
    main()

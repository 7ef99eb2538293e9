#!/usr/bin/env bash
# test_terminal.sh - the terminal window of a window run, driven as a person would through tmux.
#
# The relay runs in a private tmux server (its own socket) with a program directory whose
# configuration polls a closed loopback port every 10 minutes, and writes level 99 to the log
# file. Checked on the screen: caption and menu bar; the first poll's "Trying to connect to"
# line; "Run POP now" from the menu (F10 and Alt-P, then Enter) and from the shortcut key
# starts a poll at once, while opening and leaving the menu does not; after resizes the list
# shows the newest lines of the log (compared with the log file's last lines); the close key
# and Ctrl-C end the process with status 0 and leave the terminal's normal screen restored.
#
# Usage: test_terminal.sh PATH_OF_POP2SMTP. Exit 0 when every check passes. Every wait is
# bounded; the tmux server and the temporary directory go on every exit.
set -euo pipefail

prog=$(readlink -f "${1:?usage: test_terminal.sh PATH_OF_POP2SMTP}")
command -v tmux >/dev/null || { echo "FAIL: tmux is not installed (package tmux)"; exit 1; }

work=$(mktemp -d)
sock="pop2smtp-term-$$"
cleanup() {
  tmux -L "$sock" kill-server 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
passes=0
pass() { passes=$((passes + 1)); echo "ok: $*"; }
fail() { failures=$((failures + 1)); echo "FAIL: $*"; }

# A loopback port on which nothing listens: connecting is refused at once.
port=""
for _ in $(seq 1 50); do
  candidate=$((20000 + RANDOM % 40000))
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
    port=$candidate
    break
  fi
done
[ -n "$port" ] || { echo "FAIL: no closed loopback port found"; exit 1; }

home="$work/home"
mkdir -p "$home"
cat >"$home/TarvixPOP2SMTP.ini" <<EOF
[General]
POPServer=127.0.0.1
POPPort=$port
POPInterval=600000
SMTPServer=127.0.0.1
SMTPPort=$port
DebugLevel=99
EOF
chmod 600 "$home/TarvixPOP2SMTP.ini"

# Starts the relay in tmux session $1; its exit status goes to $work/$1.status.
start_relay() {
  local session=$1
  # Ctrl-C reaches the whole foreground group: the shell catches it (a caught signal is
  # back to its default in the relay) so that it lives on to record the relay's status.
  cat >"$work/$session.sh" <<EOF
#!/bin/sh
trap : INT
POP2SMTP_HOME='$home' '$prog'
echo \$? > '$work/$session.status'
EOF
  tmux -L "$sock" -f /dev/null new-session -d -s "$session" -x 110 -y 30 "sh '$work/$session.sh'" \
    \; set-option -t "$session" remain-on-exit on
}

screen() { tmux -L "$sock" capture-pane -p -t "$1" | sed 's/[[:space:]]*$//'; }
row() { screen "$1" | sed -n "$(($2 + 1))p"; }
pane() { tmux -L "$sock" display-message -p -t "$1" "$2"; }

# Polls a shell condition every 100 ms for at most $1 seconds.
wait_for() {
  local seconds=$1
  shift
  local tries
  tries=$(awk -v s="$seconds" 'BEGIN { print int(s * 10) }')
  while [ "$tries" -gt 0 ]; do
    if eval "$*"; then return 0; fi
    sleep 0.1
    tries=$((tries - 1))
  done
  return 1
}

# The log file's lines as the list shows them: the date "YY-MM-DD " cut off, CR dropped.
log_lines() { cat "$home"/LogFiles/*.Log 2>/dev/null | tr -d '\r' | cut -c10-; }
polls() { log_lines | grep -c "Trying to connect to 127.0.0.1:$port" || true; }
finished_polls() { log_lines | grep -c "Socket Error" || true; }
# Waits until every poll started so far has failed (the POP3 session is idle again).
settle() { wait_for 5 '[ "$(finished_polls)" -eq "$(polls)" ]'; }

# The list rows on screen (below caption and menu bar), trailing blank rows dropped.
list_rows() {
  screen "$1" | tail -n +3 | awk '{ row[NR] = $0; if ($0 != "") last = NR }
    END { for (i = 1; i <= last; i++) print row[i] }'
}

# The list must show the newest log lines, as many as fit: compare with the log's tail.
check_tail() {
  local session=$1 what=$2 height shown
  height=$(pane "$session" '#{pane_height}')
  shown=$((height - 2))
  if [ "$(list_rows "$session")" = "$(log_lines | tail -n "$shown")" ]; then
    pass "$what: the list shows the newest $shown log lines"
  else
    fail "$what: the list does not show the newest lines"
    echo "--- screen"; screen "$session"; echo "--- log tail"; log_lines | tail -n "$shown"
  fi
}

# Runs "Run POP now" through the given keys; exactly one new poll must start within 1.5 s.
check_run_pop_now() {
  local what=$1
  shift
  local before
  settle
  before=$(polls)
  tmux -L "$sock" send-keys -t relay "$@"
  if wait_for 1.5 '[ "$(polls)" -gt "$before" ]'; then
    pass "$what starts a poll at once"
  else
    fail "$what did not start a poll within 1.5 s (polls: $before)"
  fi
  settle
  [ "$(polls)" -eq $((before + 1)) ] || fail "$what started $(($(polls) - before)) polls, not 1"
}

menu_open() { row relay 3 | grep -q "Run POP now"; }

# --- the window and the first poll
start_relay relay
if wait_for 5 '[ "$(row relay 0)" = "Tarvix POP2SMTP Relay Application - Version 1.0.05" ]'; then
  pass "caption on the first line"
else
  fail "caption missing"; screen relay
fi
menubar=$(row relay 1)
if [[ "$menubar" =~ ^\ POP\  && "$menubar" == *"Run POP now"* && "$menubar" == *"q: close"* ]]; then
  pass "menu bar with POP, the Run POP now key and the close key"
else
  fail "menu bar: '$menubar'"
fi
if wait_for 5 'screen relay | grep -q "Trying to connect to 127.0.0.1:$port"'; then
  pass "first poll's line on screen"
else
  fail "no 'Trying to connect to' line on screen"
fi
[ "$(pane relay '#{alternate_on}')" = 1 ] || fail "the window does not use the alternate screen"

# The interval is 10 minutes: without a command no further poll starts.
settle
sleep 1.2
[ "$(polls)" -eq 1 ] && pass "no poll of its own within the interval" ||
  fail "$(polls) polls without a command"

# --- "Run POP now" from the keyboard
menu_open && fail "menu shown before it was opened"
tmux -L "$sock" send-keys -t relay F10
if wait_for 2 menu_open; then pass "F10 opens the POP menu"; else fail "F10 shows no menu"; fi
[ "$(polls)" -eq 1 ] || fail "opening the menu started a poll"
check_run_pop_now "F10 menu, Enter" Enter
wait_for 2 '! menu_open' || fail "menu still open after its item was chosen"

tmux -L "$sock" send-keys -t relay M-p
if wait_for 2 menu_open; then pass "Alt-P opens the POP menu"; else fail "Alt-P shows no menu"; fi
check_run_pop_now "Alt-P menu, Enter" Enter

check_run_pop_now "shortcut r" r

before=$(polls)
tmux -L "$sock" send-keys -t relay M-p
wait_for 2 menu_open || fail "Alt-P shows no menu (second time)"
tmux -L "$sock" send-keys -t relay Escape
if wait_for 2 '! menu_open'; then pass "Esc closes the menu"; else fail "Esc leaves the menu open"; fi
sleep 0.5
[ "$(polls)" -eq "$before" ] && pass "leaving the menu starts no poll" || fail "Esc started a poll"

# --- more lines than a small window holds, then resizes
for _ in 1 2 3 4 5 6; do check_run_pop_now "shortcut r (filling the list)" r; done
tmux -L "$sock" resize-window -t relay -x 80 -y 8
wait_for 3 '[ "$(pane relay "#{pane_height}")" = 8 ]' || fail "tmux did not resize the window"
sleep 0.5
[ "$(row relay 0)" = "Tarvix POP2SMTP Relay Application - Version 1.0.05" ] ||
  fail "caption lost after the resize"
check_tail relay "resized to 80x8"
# The check above must be able to fail: the oldest lines differ from the newest ones.
[ "$(log_lines | head -n 6)" != "$(log_lines | tail -n 6)" ] ||
  fail "test set-up: oldest and newest log lines are alike"
check_run_pop_now "shortcut r in the small window" r
sleep 0.3
check_tail relay "new line after the resize"
tmux -L "$sock" resize-window -t relay -x 110 -y 30
wait_for 3 '[ "$(pane relay "#{pane_height}")" = 30 ]' || fail "tmux did not resize back"
sleep 0.5
check_tail relay "resized back to 110x30"

# --- the close key ends the process with status 0 and restores the terminal
tmux -L "$sock" send-keys -t relay q
if wait_for 5 '[ -s "$work/relay.status" ]'; then
  status=$(cat "$work/relay.status")
  [ "$status" = 0 ] && pass "close key: exit status 0" || fail "close key: exit status $status"
else
  fail "close key did not end the process"
fi
[ "$(pane relay '#{alternate_on}')" = 0 ] && pass "normal screen restored after the close key" ||
  fail "alternate screen still on after the close key"

# --- Ctrl-C closes the window the same way
start_relay ctrlc
wait_for 5 '[ "$(row ctrlc 0)" = "Tarvix POP2SMTP Relay Application - Version 1.0.05" ]' ||
  fail "second window did not come up"
tmux -L "$sock" send-keys -t ctrlc C-c
if wait_for 5 '[ -s "$work/ctrlc.status" ]'; then
  status=$(cat "$work/ctrlc.status")
  [ "$status" = 0 ] && pass "Ctrl-C: exit status 0" || fail "Ctrl-C: exit status $status"
else
  fail "Ctrl-C did not end the process"
fi
[ "$(pane ctrlc '#{alternate_on}')" = 0 ] && pass "normal screen restored after Ctrl-C" ||
  fail "alternate screen still on after Ctrl-C"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]

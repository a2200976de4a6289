#!/usr/bin/env bash
# The progress line as a real terminal shows it: in tmux, 40 and 80 columns wide, and 100 shrunk
# to 40 while it shows, with the cursor on the last line, a run redraws it several times (stopped
# and continued by this script, so that its walk takes a while); afterwards nothing of it may be
# left on the screen or in the scrollback, "Accessing...done" is whole, and the report's lines
# follow in order. Piped to tee, which writes to that terminal too, it shows no progress line.
# Skipped (status 77) without tmux, unless MAC2CP850_REQUIRE_TMUX is set, as in CI.
# Usage: progress_test.sh PROGRAM E2E_DIR
set -euo pipefail
program=$(realpath "$1")
e2e=$(realpath -m "$2")

if ! command -v tmux >/dev/null; then
	if [ -n "${MAC2CP850_REQUIRE_TMUX-}" ]; then
		echo "progress_test: no tmux, and MAC2CP850_REQUIRE_TMUX is set"
		exit 1
	fi
	echo "progress_test: skipped: no tmux"
	exit 77
fi

socket=$e2e/tmux.socket
tmux() { command tmux -S "$socket" -f /dev/null "$@"; }
pid=
finish() {
	[ -z "$pid" ] || kill -CONT "$pid" 2>/dev/null || true
	tmux kill-server 2>/dev/null || true
}
trap finish EXIT
# Nothing is ever written to it: reading it only waits.
mkdir -p "$e2e"
mkfifo "$e2e.fifo"
exec 9<>"$e2e.fifo"
rm "$e2e.fifo"

progress='entries: [0-9]|folders: [0-9]|conversions: [0-9]'
failed=0
# Each case: the window's width, the width it shrinks to at the third stop (- for none), and
# what standard output is piped to (- for nothing).
for case in "40 - -" "80 - -" "100 40 -" "80 - tee"; do
	read -r width shrink pipe <<<"$case"
	rm -rf "$e2e"
	mkdir -p "$e2e/convmount" "$e2e/records" "$e2e/work"
	python3 -c 'import sys; sys.stdout.buffer.write(bytes(0 if v in (0, 47) else v for v in range(256)))' \
		>"$e2e/work/mac2cp850.tab"
	# 30 folders of 100 files, each renamed: a walk long enough to stop and continue a few times.
	for d in $(seq 30); do
		mkdir "$e2e/convmount/d$d"
		(cd "$e2e/convmount/d$d" && touch f{1..100}:41)
	done

	# The cursor on the last line, and the program stopped until this script lets it run: not
	# tmux's own child, which tmux would continue at once.
	cat >"$e2e/pane.sh" <<-EOF
		cd '$e2e/work'
		clear
		printf '\n%.0s' \$(seq 30)
		sh -c 'echo \$\$ >"\$1"; kill -STOP \$\$; exec "\$0"' '$program' '$e2e/pid' \
			$([ "$pipe" = - ] || echo "| $pipe '$e2e/piped'") &
		wait
	EOF
	tmux new-session -d -x "$width" -y 20 -s progress "sh '$e2e/pane.sh'"
	tmux set-option -t progress remain-on-exit on
	[ "$(tmux display-message -p -t progress '#{window_width}')" = "$width" ]
	for _ in $(seq 100); do
		[ -s "$e2e/pid" ] && break
		sleep 0.05
	done
	pid=$(cat "$e2e/pid")
	# Each time it continues, more than 250 ms have passed since its last redraw. It runs for
	# 2 ms at a time, timed by read, a builtin: starting sleep can take longer than that.
	shown=0
	stops=0
	while kill -STOP "$pid" 2>/dev/null; do
		stops=$((stops + 1))
		[ "$stops" != 3 ] || [ "$shrink" = - ] || tmux resize-window -t progress -x "$shrink"
		sleep 0.26
		if tmux capture-pane -p -t progress | grep -qE "$progress"; then
			shown=$((shown + 1))
		fi
		kill -CONT "$pid" 2>/dev/null || break
		read -r -t 0.002 -u 9 || true
	done
	while [ "$(tmux display-message -p -t progress '#{pane_dead}')" != 1 ]; do
		sleep 0.05
	done
	pid=
	screen=$(tmux capture-pane -p -J -S - -t progress)
	tmux kill-session -t progress

	why=
	if { [ "$pipe" = - ] && [ "$shown" -lt 3 ]; } || { [ "$pipe" != - ] && [ "$shown" != 0 ]; }
	then
		why="the progress was seen $shown times"
	elif grep -qE "$progress" <<<"$screen"; then
		why="progress left on the screen"
	else
		# The report from "Accessing...done" on, blank lines and the trailing blanks aside.
		expected="Accessing...done
------------------------------------
ISO-8859-1 filename conversion finished.
Stats:
Checked folders:  31
Checked files:    3030
Conversions done: 3000
For a complete list of all affected files see \"convert.log\".
May the Umlaut be with you."
		report=$(sed -n '/^Accessing\.\.\./,$p' <<<"$screen" | sed 's/[[:space:]]*$//' |
			grep -v '^$' | grep -v '^Pane is dead' || true)
		[ "$report" = "$expected" ] || why="the report differs"
	fi
	if [ -n "$why" ]; then
		echo "progress_test: $case: $why; the screen:"
		printf '%s\n' "$screen"
		failed=1
	else
		echo "progress_test: $case: progress seen $shown times, nothing left"
	fi
done
rm -rf "$e2e"
exit $failed

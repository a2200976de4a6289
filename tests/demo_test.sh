#!/usr/bin/env bash
# Runs the demonstration target as README's first command does, with every file system but the
# build folder read-only, and checks what it did to its sample volume: so it converted that
# volume and wrote nowhere else.
# Usage: demo_test.sh BUILD_DIR
set -euo pipefail
build=$1 demo=$1/demo
if ! why=$(unshare --mount true 2>&1); then
	echo "skipped: no mount namespace of its own for a read-only run: $why"
	echo "(it needs root, and a root directory that is a mount point, which a chroot's may not be)"
	exit 77
fi
fail=0
check() { # what, expected, found
	if [ "$2" != "$3" ]; then
		echo "$1 differs:"
		diff <(printf '%s\n' "$2" | cat -A) <(printf '%s\n' "$3" | cat -A) || true
		fail=1
	fi
}

# In a mount namespace of its own, all but the build folder, /proc, /sys and /dev read-only.
status=0
TMPDIR=$build unshare --mount --propagation private bash -c '
	set -eu
	build=$1
	targets=$(findmnt -rn -o TARGET | grep -vE "^/(proc|sys|dev)(/|$)")
	mount --bind "$build" "$build"
	while read -r target; do
		mount -o remount,bind,ro "$(printf "%b" "$target")"
	done <<<"$targets"
	for probe in /.demo-test-probe "$build/../.demo-test-probe"; do
		if touch "$probe" 2>/dev/null; then
			rm -f "$probe"
			echo "$probe could be written"
			exit 1
		fi
	done
	cmake --build "$build" --target demo
' _ "$build" >"$build/demo-test.out" 2>&1 || status=$?
check "exit status" 0 "$status"

e=$'\x82' u=$'\x81'
tree() { # folder: its entries and their types, bytewise sorted
	(cd "$1" && find . -mindepth 1 -printf '%P %y\n' | LC_ALL=C sort)
}
check "the sample volume after the run" "$(printf '%s\n' "Caf${e}.txt f" "Entw${u}rfe d" \
	"Entw${u}rfe/Gr${u}"$'\xe1'"e.txt f" "Preis 5:db.txt f" "Q3:2fQ4.txt f" "R:8esum:8e.pdf f" \
	"R${e}sum${e}.pdf f" "Verkn${u}pfung l")" "$(tree "$demo/convmount")"
check "the folder outside the volume" "Extern:8e.txt f" "$(tree "$demo/outside")"
log=$(cat "$demo/records/convert.log") || fail=1
check "renames logged" 5 "$(grep -ac ' -> ' <<<"$log")"
check "the line after the taken name's" $'Error: 17 File exists\r' \
	"$(grep -a -A1 '/R:8esum:8e.pdf -> ' <<<"$log" | tail -n 1)"
grep -qF $'Conversions done: 5\r' "$build/demo-test.out" ||
	{ echo "the demonstration shows no report"; fail=1; }

if [ "$fail" = 0 ]; then
	rm -f "$build/demo-test.out"
	echo "demonstration as expected"
else
	cat "$build/demo-test.out"
fi
exit "$fail"

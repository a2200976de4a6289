#!/usr/bin/env bash
# Builds the Debian package as README says, with the mount point and record folder of a fresh
# work folder built in, and checks it as an administrator would: its contents, lintian, and
# the installed program run from the installed table's folder, the manual page's examples,
# and a run stopped part-way and started again.
# Usage: package_test.sh SOURCE_DIR WORK_DIR
set -euo pipefail
src=$1 work=$2
mount=$work/convmount records=$work/records root=$work/root
source "$src/tests/need.sh"
need cpack:cmake dpkg-deb:dpkg dpkg-shlibdeps:dpkg-dev file:file lintian:lintian man:man-db \
	groff:groff-base prlimit:util-linux
rm -rf "$work"
mkdir -p "$work"
fail=0
names() { # folder: its entries' names, sorted bytewise
	find "$1" -mindepth 1 -maxdepth 1 -printf '%P\n' | LC_ALL=C sort
}
check() { # what, expected, found
	if [ "$2" != "$3" ]; then
		echo "$1 differs:"
		diff <(printf '%s\n' "$2" | cat -A) <(printf '%s\n' "$3" | cat -A) | head -20 || true
		fail=1
	fi
}

# A reproducible build's date, which the changelog must show.
SOURCE_DATE_EPOCH=1700000000 cmake -S "$src" -B "$work/build" -DBUILD_TESTING=OFF \
	-DMAC2CP850_MOUNTPOINT="$mount" -DMAC2CP850_RECORD_DIR="$records" >"$work/configure.log"
cmake --build "$work/build" -j2 >"$work/build.log"
(cd "$work/build" && cpack -G DEB >"$work/cpack.log")
debs=("$work"/build/*.deb)
deb=${debs[0]}
[ ${#debs[@]} = 1 ] || { echo "cpack made ${#debs[@]} packages"; exit 1; }

# One version everywhere: the project's.
version=$(sed -n 's/^project(mac2cp850 VERSION \([^ ]*\) .*/\1/p' "$src/CMakeLists.txt")
check "package file name" "mac2cp850_${version}_amd64.deb" "${deb##*/}"
check "package version" "$version" "$(dpkg-deb -f "$deb" Version)"
check "package name" "mac2cp850" "$(dpkg-deb -f "$deb" Package)"
[ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || { echo "no maintainer"; fail=1; }
if ! grep -q 'libc6' <<<"$(dpkg-deb -f "$deb" Depends)"; then
	echo "no shared library dependencies"
	fail=1
fi

echo "== dpkg-deb -c ${deb##*/}"
dpkg-deb -c "$deb"
expected=$(grep -v '^#' "$src/tests/install_layout.txt" | sed 's| | usr/|' | sort -k2)
found=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {
	m = 0; for (i = 2; i <= 10; i++) m = m * 2 + (substr($1, i, 1) != "-")
	sub(/^\.\//, "", $6); printf "%o %s\n", m, $6 }' | sort -k2)
check "package contents (tests/install_layout.txt)" "$expected" "$found"
# No `| grep -q` after a command: under pipefail its early exit could fail the pipeline.
if [ -n "$(dpkg-deb -c "$deb" | awk '$2 != "root/root"')" ]; then
	echo "package files not owned by root"
	fail=1
fi

# Informational tags are shown too; README explains them.
echo "== lintian -I ${deb##*/}"
lintian_out=$(lintian -I "$deb" 2>&1 | grep -v '^running with root privileges' || true)
echo "${lintian_out:-(no tags)}"
if grep -qE '^[EW]: ' <<<"$lintian_out"; then
	echo "lintian reports errors or warnings"
	fail=1
fi

dpkg-deb -x "$deb" "$root"
changelog=$(zcat "$root/usr/share/doc/mac2cp850/changelog.gz")
check "changelog version" "mac2cp850 ($version) unstable; urgency=medium" "${changelog%%$'\n'*}"
check "changelog date" "Tue, 14 Nov 2023 22:13:20 +0000" "${changelog##*>  }"
# Machine-readable to Debian's own parser, with the text of every licence it names.
/usr/bin/python3 - "$root/usr/share/doc/mac2cp850/copyright" "$src/LICENSE" <<'EOF' || fail=1
import sys
try:
    from debian.copyright import Copyright
except ImportError:
    sys.exit("python3-debian is missing: README's test command installs it")
c = Copyright(open(sys.argv[1]), strict=True)
texts = {p.license.synopsis: p.license.text for p in c.all_license_paragraphs()}
for p in c.all_files_paragraphs():
    if not p.license.text and not texts.get(p.license.synopsis):
        sys.exit(f"copyright: no text for the licence {p.license.synopsis}")
if texts.get("Expat") not in open(sys.argv[2]).read():
    sys.exit("copyright: the Expat text is not the one in LICENSE")
EOF
page=$(MANPATH=$root/usr/share/man MANWIDTH=80 LC_ALL=C.UTF-8 man -P cat mac2cp850 2>&1)
grep -qF "mac2cp850 $version" <<<"$page" || { echo "the manual page lacks the version"; fail=1; }

# The examples as the page shows them, run as shown.
last_section="tac $records/convert.log |
  sed '/^Dravolin Update 1\\.8\\r\$/q' | tac"
failed_renames="tac $records/convert.log |
  sed '/^Dravolin Update 1\\.8\\r\$/q' | tac | grep -a -B1 '^Error: '"
readme_lines=$(sed 's/^ *//' "$src/README.md")
look_first="cd /usr/share/mac2cp850 && mac2cp850 --dry-run | less
mac2cp850 -n | grep -a -e '^collision: ' -e '^kept ' -e '^mount: '"
for example in "$look_first" "cd /usr/share/mac2cp850 && mac2cp850" \
	"cd /usr/share/mac2cp850 && mac2cp850 --transliterate" "watch cat $records/runstats.txt" \
	"$last_section" "$failed_renames"; do
	if [[ $page != *$'\n'"           ${example//$'\n'/$'\n'           }"$'\n'* ]]; then
		echo "the manual page lacks the example: $example"
		fail=1
	fi
	# README shows the same commands with the default record folder.
	while read -r line; do
		if ! grep -qxF -- "$line" <<<"$readme_lines" &&
			! grep -qF -- "\`$line\`" "$src/README.md"; then
			echo "README lacks the manual page's example line: $line"
			fail=1
		fi
	done <<<"${example//$records//root/orvandeskil/Interfacefolder}"
done

# A first run from the installed table's folder, over a volume with a folder, a name that
# exists decoded already, and escapes that stay, the escape of ':' among them.
mkdir -p "$mount/Projekte:8a" "$records"
touch "$mount/Projekte:8a/Caf:8e.txt" "$mount/Report:2fMay" "$mount/x:3a41" "$mount/Men:9f"
touch "$mount/Men"$'\x81' "$mount/keep"
run() { # [folder holding the table]
	(cd "${1:-$root/usr/share/mac2cp850}" && "$root/usr/sbin/mac2cp850" >"$work/console")
}
# Run from elsewhere, it names the table installed beside it, whatever prefix it was built for.
status=0
(cd / && "$root/usr/sbin/mac2cp850" >"$work/console") || status=$?
check "a run without a table" 255 "$status"
check "the installed table named" \
	"The installed table is $root/usr/share/mac2cp850/mac2cp850.tab: mac2cp850 --table $root/usr/share/mac2cp850/mac2cp850.tab"$'\r' \
	"$(grep -a '^The installed table' "$work/console")"
status=0
run || status=$?
check "exit status" 1 "$status"
check "failed renames on the console" "Renames that failed: 1 (see $records/convert.log)"$'\r' \
	"$(grep -a '^Renames that failed' "$work/console")"
check "names after the first run" \
	"$(printf '%s\n' "Men:9f" "Men"$'\x81' "Projekte"$'\x84' "Projekte"$'\x84'"/Caf"$'\x82'".txt" \
		"Report:2fMay" "keep" "x:3a41" | LC_ALL=C sort)" \
	"$(cd "$mount" && find . -mindepth 1 -printf '%P\n' | LC_ALL=C sort)"
first=$(eval "$last_section")
body=$(printf '%s\r\n' "$mount/Projekte:8a/Caf:8e.txt -> $mount/Projekte:8a/Caf"$'\x82'".txt")
lines=$(grep -a -e ' -> ' -e '^Error' <<<"$first" | grep -av Projekte | LC_ALL=C sort)
check "conversion lines of the first run" "$(printf '%s\r\n' \
	"$mount/Men:9f -> $mount/Men"$'\x81' "Error: 17 File exists" | LC_ALL=C sort)" "$lines"
grep -qaF "$body" <<<"$first" || { echo "no line for the file in the folder"; fail=1; }
check "end of the first run's section" \
	"$(printf '%s\r\n' "$mount/Projekte:8a -> $mount/Projekte"$'\x84' "" Finished \
		"Checked folders:  2" "Checked files:    7" "Conversions done: 3")" \
	"$(tail -n 6 <<<"$first")"
check "failed renames" \
	"$(printf '%s\r\n' "$mount/Men:9f -> $mount/Men"$'\x81' "Error: 17 File exists")" \
	"$(eval "$failed_renames")"
[ ! -e "$records/runstats.txt" ] || { echo "statistics written for 7 entries"; fail=1; }

# A second run leaves every name alone and only tries the taken name again.
before=$(cd "$mount" && find . -mindepth 1 -printf '%P\n' | LC_ALL=C sort)
status=0
run || status=$?
check "exit status of the second run, whose rename fails again" 1 "$status"
second=$(eval "$last_section")
check "conversion lines of the second run" "$(printf '%s\r\n' \
	"$mount/Men:9f -> $mount/Men"$'\x81' "Error: 17 File exists")" \
	"$(grep -a -e ' -> ' -e '^Error' <<<"$second")"
check "names after the second run" "$before" \
	"$(cd "$mount" && find . -mindepth 1 -printf '%P\n' | LC_ALL=C sort)"

# A run stopped part-way: the log's file size limit stops it while it logs the 26th rename
# (and bash reports "File size limit exceeded").
rm -rf "$mount" "$records"
mkdir -p "$mount" "$records"
count=60 done_before_stop=25
for i in $(seq 100 $((99 + count))); do touch "$mount/file$i:8e"; done
# Each line is "$mount/file100:8e -> $mount/file100" 0x82 "\r\n".
mount_bytes=$(printf '%s' "$mount" | wc -c)
line_length=$((mount_bytes + 11 + 4 + mount_bytes + 9 + 2))
limit=$((64 + done_before_stop * line_length))
status=0
(ulimit -c 0 && prlimit --pid "$BASHPID" --fsize="$limit" && run) || status=$?
check "exit status of the stopped run" 153 "$status"
stopped=$(cat "$records/convert.log")
check "renames logged by the stopped run" "$done_before_stop" "$(grep -ac ' -> ' <<<"$stopped")"
check "stopped run's log size" "$limit" "$(stat -c %s "$records/convert.log")"
grep -qa '^Finished' <<<"$stopped" && { echo "stopped run finished its log"; fail=1; }
check "names converted by the stopped run" \
	"$(grep -a ' -> ' <<<"$stopped" | LC_ALL=C sed 's|.* -> .*/||; s|\r$||' | LC_ALL=C sort)" \
	"$(names "$mount" | grep -av ':8e$')"
check "stopped run's statistics" "$(printf '%s\r\n' "Dravolin Update 1.8" \
	"Filename conversion stats:" "Files checked: 22" "Folders checked: 1")" \
	"$(cat "$records/runstats.txt")"
run
again=$(eval "$last_section")
check "renames of the run after the stop" "$((count - done_before_stop))" \
	"$(grep -ac ' -> ' <<<"$again")"
check "names after the run after the stop" \
	"$(for i in $(seq 100 $((99 + count))); do echo "file${i}"$'\x82'; done)" "$(names "$mount")"
check "names logged by both runs" "$(names "$mount" | LC_ALL=C sed 's/\x82$/:8e/')" \
	"$(grep -a ' -> ' "$records/convert.log" | LC_ALL=C sed 's| -> .*||; s|.*/||' | LC_ALL=C sort)"

# The installed transliterations, used from the installed table's folder.
rm -rf "$mount" "$records"
mkdir -p "$mount" "$records"
touch "$mount/Preis 5:db" "$mount/Caf:8e" "$mount/a:8:db"
(cd "$root/usr/share/mac2cp850" && "$root/usr/sbin/mac2cp850" --transliterate >"$work/console")
check "names after a run with --transliterate" \
	"$(printf '%s\n' "Caf"$'\x82' "Preis 5EUR" "a:8:db")" "$(names "$mount")"

# A site's own table, made as README shows and used from its folder.
rm -rf "$mount" "$records"
mkdir -p "$mount" "$records" "$work/site-table"
touch "$mount/Preis 5:db" "$mount/Caf:8e"
(cd "$work/site-table" && cp "$root/usr/share/mac2cp850/mac2cp850.tab" . &&
	printf '\325' | dd of=mac2cp850.tab bs=1 seek=$((0xDB)) conv=notrunc 2>/dev/null)
run "$work/site-table"
check "names after a run with the site's table" "$(printf '%s\n' "Caf"$'\x82' "Preis 5"$'\xd5')" \
	"$(names "$mount")"
cmp "$src/data/mac2cp850.tab" "$root/usr/share/mac2cp850/mac2cp850.tab" || fail=1
# The installed table.md's command lists what a site's table must not map; this one is safe.
entries_to_avoid=$(zcat -f "$root/usr/share/doc/mac2cp850/table.md" |
	sed -n '/^    od -An/,/^$/s/^    //p')
check "harmful entries of the site's table" "" "$(cd "$work/site-table" && eval "$entries_to_avoid")"
printf ':"' | dd of="$work/site-table/mac2cp850.tab" bs=1 seek=$((0x80)) conv=notrunc 2>/dev/null
check "harmful entries of a table mapping ':' and '\"'" "$(printf '%s\n' \
	"0x80 -> 0x3A: a rerun decodes again" "0x80 -> 0x3A: refused in names" \
	"0x81 -> 0x22: refused in names")" "$(cd "$work/site-table" && eval "$entries_to_avoid")"

# A volume that is not mounted: findmnt says so, and the run converts nothing.
if findmnt "$mount" >/dev/null; then
	echo "findmnt takes a plain folder for a mount point"
	fail=1
fi
rm -rf "$mount"
run
if ! grep -qF $'Checked files:    0\r' "$work/console"; then
	echo "unmounted volume not reported"
	fail=1
fi

if [ "$fail" = 0 ]; then
	rm -rf "$work"
	echo "package as expected"
fi
exit "$fail"

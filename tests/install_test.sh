#!/usr/bin/env bash
# Installs the build with `cmake --install --prefix /usr/local`, staged in a fresh folder through
# DESTDIR, and checks what lands there: exactly the files of install_layout.txt with their modes,
# the sources' own bytes, and pages that groff formats without a warning and that show this
# build's settings and the installed files' paths.
# Usage: install_test.sh SOURCE_DIR BUILD_DIR MOUNTPOINT RECORD_DIR
set -euo pipefail
src=$1 build=$2 mountpoint=$3 record_dir=$4
source "$src/tests/need.sh"
need groff:groff-base man:man-db zcat:gzip
prefix=$build/install-test/usr/local
rm -rf "$build/install-test"

DESTDIR=$build/install-test cmake --install "$build" --prefix /usr/local >/dev/null

fail=0
expected=$(grep -v '^#' "$src/tests/install_layout.txt" | sort -k2)
found=$(cd "$prefix" && find . -type f -printf '%m %P\n' | sort -k2)
if [ "$found" != "$expected" ]; then
	echo "installed files differ from tests/install_layout.txt:"
	diff <(echo "$expected") <(echo "$found") || true
	fail=1
fi
if [ -n "$(cd "$prefix" && find . ! -type f ! -type d)" ]; then
	echo "installed something that is neither a file nor a folder"
	fail=1
fi

while read -r source installed; do
	cmp "$src/$source" "$prefix/$installed" || fail=1
done <<EOF
data/mac2cp850.tab share/mac2cp850/mac2cp850.tab
data/mac2cp850.translit share/mac2cp850/mac2cp850.translit
README.md share/doc/mac2cp850/README.md
docs/table.md share/doc/mac2cp850/table.md
docs/running.md share/doc/mac2cp850/running.md
packaging/copyright share/doc/mac2cp850/copyright
EOF
cmp "$build/mac2cp850" "$prefix/sbin/mac2cp850" || fail=1

for page in "$prefix"/share/man/man*/*.gz; do
	warnings=$(zcat "$page" | groff -man -ww -z 2>&1)
	if [ -n "$warnings" ]; then
		echo "groff warns about ${page#"$prefix"/}:"
		echo "$warnings"
		fail=1
	fi
done

# The page as `man` shows it to an administrator, with the paths this build has built in.
text=$(MANPATH=$prefix/share/man MANWIDTH=80 LC_ALL=C.UTF-8 man -P cat mac2cp850 2>&1 |
	tr -s ' \n' '  ')
for line in "mac2cp850 - convert Macintosh colon escapes" "mounted at $mountpoint whose" \
	"$record_dir/convert.log" "$record_dir/runstats.txt" "MAC2CP850(8)" \
	"/usr/local/share/mac2cp850/mac2cp850.tab;" "/usr/local/share/doc/mac2cp850/table.md." \
	"cd /usr/local/share/mac2cp850 && mac2cp850" "/usr/local/share/doc/mac2cp850/README.md"; do
	if ! grep -qF -- "$line" <<<"$text"; then
		echo "the manual page lacks: $line"
		fail=1
	fi
done

# The changelog is dated like the last commit, when git can tell.
if epoch=$(git -C "$src" log -1 --format=%ct 2>/dev/null) && [ -z "${SOURCE_DATE_EPOCH-}" ]; then
	date=$(zcat "$prefix/share/doc/mac2cp850/changelog.gz" | sed -n 's/^ -- .*>  //p')
	if [ "$date" != "$(date -u -R -d "@$epoch")" ]; then
		echo "changelog dated $date, not like the last commit"
		fail=1
	fi
fi

if [ "$fail" = 0 ]; then
	rm -rf "$build/install-test"
	echo "installed layout as expected"
fi
exit "$fail"

#!/usr/bin/env bash
# The demonstration that `cmake --build build --target demo` runs: makes a small sample volume in
# DEMO_DIR afresh, and with PROGRAM, a copy of mac2cp850 whose mount point and record folder are
# DEMO_DIR/convmount and DEMO_DIR/records, started in TABLE_DIR, the folder holding
# mac2cp850.tab, shows a dry run over it, converts it, and shows the names before and after and
# the log. It writes nowhere else.
# Usage: demo.sh PROGRAM TABLE_DIR DEMO_DIR MOUNTPOINT (the real one, which it only names)
set -euo pipefail
program=$1 tables=$2 demo=$3 real_mount=$4
mount=$demo/convmount records=$demo/records outside=$demo/outside

rm -rf "$mount" "$records" "$outside"
mkdir -p "$mount/Entw:9frfe" "$records" "$outside"
touch "$mount/Caf:8e.txt" "$mount/Entw:9frfe/Gr:9f:a7e.txt"
touch "$mount/Q3:2fQ4.txt" "$mount/Preis 5:db.txt"
touch "$mount/R:8esum:8e.pdf" "$mount/R"$'\x82'"sum"$'\x82'".pdf" # 0x82 is é in code page 850
ln -s ../outside "$mount/Verkn:9fpfung"
touch "$outside/Extern:8e.txt"

show() { # folder: its entries (folders with '/', links with their target), as code page 850
	(cd "$1" && find . -mindepth 1 \( -type d -printf '  %P/\n' -o -type l -printf '  %P -> %l\n' \
		-o -printf '  %P\n' \)) | LC_ALL=C sort | iconv -f CP850 -t UTF-8
}

echo "== The sample volume $mount:"
show "$mount"
echo "   (Mac Roman escapes: :8e é, :9f ü, :a7 ß; :2f, which stands for '/', and :db, a euro"
echo "   sign that code page 850 lacks, stay as they are. Résumé.pdf exists, so R:8esum:8e.pdf"
echo "   can't take its name. Verkn:9fpfung is a link out of the volume, which is never followed.)"
echo "== Outside it, $outside:"
show "$outside"
echo
echo "== First a dry run, $program --dry-run, started in $tables, which"
echo "   holds mac2cp850.tab: what the run would do. It renames and writes nothing."
status=0
(cd "$tables" && "$program" --dry-run) >"$demo/dry-run.txt" || status=$?
iconv -f CP850 -t UTF-8 "$demo/dry-run.txt" | sed 's/^/  /'
rm -f "$demo/dry-run.txt"
echo "   (Its exit status, $status, is 1 when a rename would find its new name taken.)"
echo
echo "== The run itself, $program without arguments:"
status=0
(cd "$tables" && "$program") >"$demo/run.txt" || status=$?
sed 's/^/  /' "$demo/run.txt"
rm -f "$demo/run.txt"
echo "   (Its exit status, $status, is 1 when a rename failed: the log has its error.)"
echo
echo "== The volume after the run, names as a code page 850 client shows them:"
show "$mount"
echo "== Outside it, untouched:"
show "$outside"
echo
echo "== The log, $records/convert.log (code page 850 shown as UTF-8, \\r for each line's CR):"
iconv -f CP850 -t UTF-8 "$records/convert.log" | sed 's/\r$/\\r/; s/^/  /'
echo
echo "This copy of mac2cp850 converts $mount only. The program itself,"
echo "$tables/mac2cp850, converts the volume mounted at $real_mount:"
echo "README.md's quick start, and docs/running.md in full, say how to go about it."

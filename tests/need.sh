# shellcheck shell=bash
# Sourced by the shell tests. need TOOL:PACKAGE...: stops the test, naming each tool that is not
# on PATH and the Debian package that has it, when any is missing.
need() {
	local pair missing=()
	for pair in "$@"; do
		command -v "${pair%%:*}" >/dev/null || missing+=("$pair")
	done
	[ ${#missing[@]} = 0 ] && return
	for pair in "${missing[@]}"; do
		echo "${pair%%:*} is missing: Debian package ${pair#*:}"
	done
	echo "README's test command installs them all (bash tools/packages.sh test, as root)."
	exit 1
}

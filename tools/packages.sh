#!/usr/bin/env bash
# Installs with apt-get the Debian packages that one step needs and this machine lacks, so that
# README's commands work on a minimal Debian 12 (debootstrap --variant=minbase) with git only.
# Usage: tools/packages.sh build|test|fuzz|bench
set -euo pipefail

# The one list of what each step needs beyond a minimal Debian.
build=(cmake make g++) # the programs, the manual pages and the demonstration
test=("${build[@]}"
	libgtest-dev python3   # the test programs; the table's generator
	e2fsprogs              # chattr, for immutable folders; mkfs.ext4, for reused inodes
	groff-base man-db      # the manual pages as man shows them
	dpkg-dev file          # cpack's, for the Debian package's dependencies
	lintian python3-debian # the package's checks
	samba smbclient        # what a code page 850 client sees through a real server
	samba-vfs-modules      # its cap module, which writes Mac names as colon escapes
	tmux                   # the progress line as a real terminal shows it
	bindfs                 # a FUSE mount that shows every file as root's, which must not pass
)
fuzz=("${build[@]}" clang libclang-rt-14-dev)
bench=("${build[@]}" python3 time strace
	libfuse3-dev fuse3 pkgconf e2fsprogs # the slow disk: FUSE, and the ext4 made on it
)

case ${1-} in
build) wanted=("${build[@]}") ;;
test) wanted=("${test[@]}") ;;
fuzz) wanted=("${fuzz[@]}") ;;
bench) wanted=("${bench[@]}") ;;
*)
	echo "usage: tools/packages.sh build|test|fuzz|bench" >&2
	exit 2
	;;
esac

missing=()
for p in "${wanted[@]}"; do
	[ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = "install ok installed" ] || missing+=("$p")
done
if [ ${#missing[@]} = 0 ]; then
	echo "Debian packages for $1: all installed"
	exit 0
fi
echo "Debian packages for $1, missing: ${missing[*]}"
if [ "$(id -u)" != 0 ]; then
	echo "as root: apt-get install --no-install-recommends ${missing[*]}" >&2
	exit 1
fi
apt-get -o DPkg::Lock::Timeout=600 update
DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y \
	--no-install-recommends "${missing[@]}"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The README's road as a new user walks it, in a fresh Debian root: this
# machine's release by debootstrap --variant=minbase, from the Debian package
# archive that this machine's apt uses, with a copy of the source folder. As
# root inside it, each step as the README writes it:
#   scripts/demo.sh 1     names its steps as they start, records and plays
#   the package lines     scripts/setup.sh package, the package workflow
#                         (no test framework), dpkg -i of the four packages
#   build/demo            cpack -G DEB and cmake --install there
#   the pip lines         the module alone over the installed libkaldrix1
#   the purge line        removes all four packages
#   the wheel lines       with no libkaldrix1 installed, the wheel's own
#                         library records and plays on the virtual devices
# It fetches and builds for minutes, so scripts/test.sh leaves it out. Needs
# root (debootstrap, chroot, mounts); installs debootstrap when it is missing.
#
#   scripts/check-fresh-root.sh [ROOT]   (default: a temporary folder, removed after)
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)

fail() {
    echo "check-fresh-root: $*" >&2
    exit 1
}
[ "$(id -u)" -eq 0 ] || fail "needs root"

keep=${1:+yes}
root=${1:-$(mktemp -d "${TMPDIR:-/tmp}/kaldrix-root.XXXXXX")}
mounted=()
cleanup() {
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" || true; done
    [ -n "$keep" ] || rm -rf --one-file-system "$root"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

command -v debootstrap >/dev/null || {
    apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap
} || fail "cannot install debootstrap"
# shellcheck source=/dev/null
suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
archive=$(apt-get indextargets --format '$(RELEASE) $(REPO_URI)' | awk -v suite="$suite" '$1 == suite { print $2; exit }')
[ -n "$archive" ] || fail "apt has no archive for $suite"
echo "check-fresh-root: debootstrap --variant=minbase $suite into $root"
debootstrap --variant=minbase "$suite" "$root" "$archive" >"$root.debootstrap.txt" 2>&1 ||
    fail "debootstrap failed: $(tail -n 20 "$root.debootstrap.txt")"
rm -f "$root.debootstrap.txt"
cp /etc/resolv.conf "$root/etc/resolv.conf"
for mount in proc dev; do
    if [ $mount = proc ]; then mount -t proc proc "$root/proc"; else mount --rbind /dev "$root/dev"; fi
    mounted+=("$root/$mount")
done

mkdir "$root/root/kaldrix"
tar -C "$source_dir" --exclude=./build --exclude=./.git -c . | tar -C "$root/root/kaldrix" -x

# shellcheck disable=SC2016 # expanded inside the root
cat >"$root/root/road.sh" <<'EOF'
set -euo pipefail
cd /root/kaldrix
step() { echo "check-fresh-root: $*"; }
fail() { echo "check-fresh-root: $*" >&2; exit 1; }
# The README's indented lines between <!-- NAME --> and <!-- /NAME -->.
lines() { sed -n "/^<!-- $1 -->\$/,/^<!-- \\/$1 -->\$/s/^    //p" README.md; }
export KALDRIX_AUDIO=virtual KALDRIX_LOG_DIR=/tmp

step "scripts/demo.sh 1"
bash scripts/demo.sh 1 2>&1 | tee /tmp/demo.txt
# Each step's line, apt's and the build's own progress between them.
order=$(awk '/^demo: / { print $2 } /^Setting up / { print "apt" } /^\[1\// { print "build" }
             /^Recording / { print "record" }' /tmp/demo.txt | uniq | tr '\n' ' ')
[ "$order" = "installing apt configuring building build record " ] ||
    fail "scripts/demo.sh did not show its steps as they happen: $order"

step "the package lines, but the purge"
lines package-lines >/tmp/package.sh
[ "$(grep -c . /tmp/package.sh)" -eq 4 ] || fail "README's package lines: $(cat /tmp/package.sh)"
head -n 3 /tmp/package.sh | bash -ex
for package in libkaldrix1 libkaldrix-dev kaldrix-tools python3-kaldrix; do
    dpkg-query -W -f='${Status}\n' "$package" | grep -qx "install ok installed" || fail "$package is not installed"
done
kaldrix --version | grep -q "License: MIT" || fail "the installed kaldrix does not run"

step "cpack -G DEB and cmake --install in build/demo"
(cd build/demo && cpack -G DEB) || fail "cpack in build/demo failed"
cmake --install build/demo --prefix /tmp/demo-prefix || fail "cmake --install build/demo failed"

step "the pip lines, over the installed libkaldrix1"
DEBIAN_FRONTEND=noninteractive apt-get install -y -q python3-venv >/dev/null
lines pip-lines | bash -ex
venv/bin/python -c 'import kaldrix; print(kaldrix.__file__, kaldrix.load(), kaldrix.record_status().name)' \
    >/tmp/pip.txt
grep -qx "/root/kaldrix/venv/lib/python3.*/site-packages/kaldrix/__init__.py libkaldrix.so.1 IDLE" /tmp/pip.txt ||
    fail "the pip-installed module: $(cat /tmp/pip.txt)"
rm -rf venv

step "the purge line"
tail -n 1 /tmp/package.sh | bash -ex
! dpkg-query -W -f='${Status}\n' libkaldrix1 2>/dev/null | grep -q "installed" || fail "libkaldrix1 is still installed"

step "the wheel lines, with no libkaldrix1"
lines wheel-lines | bash -ex
cd /tmp
/root/kaldrix/venv/bin/python -c '
import kaldrix, os
kaldrix.play(kaldrix.record("take.wav", seconds=1).path)
print(kaldrix.load(), os.path.getsize("take.wav") > 8044)' >/tmp/wheel.txt
grep -qx "/root/kaldrix/venv/lib/python3.*/site-packages/kaldrix/libkaldrix.so.1 True" /tmp/wheel.txt ||
    fail "the wheel: $(cat /tmp/wheel.txt)"
step "every line of the road passes"
EOF
chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    bash /root/road.sh

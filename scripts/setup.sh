#!/usr/bin/env bash
# Installs, from Debian's packages, everything the build, the tests and the
# main job need. Runs as root; does nothing when all of it is there already.
set -euo pipefail

native_packages=(
    build-essential cmake ninja-build pkg-config git python3
    googletest libgtest-dev libgmock-dev
    clang libclang-rt-14-dev
    libasound2-dev alsa-utils
    pulseaudio pulseaudio-utils libasound2-plugins
    g++-mingw-w64-i686 g++-mingw-w64-x86-64
    wine wine32:i386 wine64 wine64-tools
    llvm lld
    dpkg-dev file lintian man-db
    python3-pytest python3-setuptools python3-venv python3-wheel
    libasound2-plugins:i386 libpulse0:i386
)

missing=()
for package in "${native_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null

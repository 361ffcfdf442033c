#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs, from Debian's packages, what a job needs. Runs as root; does
# nothing when all of it is there already.
#
#   scripts/setup.sh main    what the main job (scripts/demo.sh) needs: a
#                            compiler, CMake, Ninja and the ALSA headers
#   scripts/setup.sh package that and what the package workflow (cmake
#                            --workflow --preset package) needs besides:
#                            file for the .debs' library dependencies,
#                            Python 3 with setuptools and wheel for the wheel
#   scripts/setup.sh [tests] all of that and everything the tests need: the
#                            test framework, clang, the audio server, both
#                            MinGW toolchains, 32- and 64-bit Wine, the
#                            packaging tools
set -euo pipefail

main_packages=(
    build-essential cmake ninja-build libasound2-dev
)
package_packages=(
    file python3 python3-setuptools python3-wheel
)
test_packages=(
    pkg-config git
    googletest libgtest-dev libgmock-dev
    clang libclang-rt-14-dev
    alsa-utils
    pulseaudio pulseaudio-utils libasound2-plugins
    g++-mingw-w64-i686 g++-mingw-w64-x86-64
    wine wine32:i386 wine64 wine64-tools
    llvm lld
    dpkg-dev lintian man-db
    python3-pytest python3-venv
    libasound2-plugins:i386 libpulse0:i386
)

case ${1:-tests} in
main) wanted=("${main_packages[@]}") ;;
package) wanted=("${main_packages[@]}" "${package_packages[@]}") ;;
tests) wanted=("${main_packages[@]}" "${package_packages[@]}" "${test_packages[@]}") ;;
*)
    echo "usage: $0 [main|package|tests]" >&2
    exit 2
    ;;
esac

missing=()
for package in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
if [[ " ${missing[*]}" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
# apt's own lines say what it fetches and sets up as it goes: on a fresh
# machine this takes a minute or more.
echo "setup: updating the package lists"
apt-get update -q
apt-get install -y -q "${missing[@]}"

#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs a build into a temporary prefix and proves that a host can be built
# against the installed tree.
#
# Linux build: the README's install lines run as they stand (the example in
# examples/ built through find_package and through pkg-config); both hosts,
# and the installed kaldrix, run on the virtual audio devices.
# Windows build (a folder holding KALDRIX.dll, 32- or 64-bit): the example is
# cross-built for the DLL's architecture against the installed header and
# import library, directly and through the install's CMake package, and must
# import the functions' undecorated names from KALDRIX.dll; the install also
# holds KALDRIX.lib for Microsoft's linker.
#
#   scripts/check-install.sh [BUILD_DIR]     (default: build/native)
set -eu

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(cd "${1:-$source_dir/build/native}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kaldrix-install-XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() {
    echo "check-install: $*" >&2
    exit 1
}

require() {
    for file in "$@"; do
        [ -e "$prefix/$file" ] || fail "the install has no $file"
    done
}

cmake --install "$build_dir" --prefix "$prefix" >/dev/null

# The example must import the four functions it calls, by their undecorated
# names, from KALDRIX.dll.
check_imports() {
    imports=$(winedump -j import "$1" |
        awk '/offset .* KALDRIX.dll/ { dll = 1 } dll && /Thunk +Ordn +Name/ { table = 1; next }
             table && NF < 3 { exit } table { print $3 }' | sort | tr '\n' ' ')
    [ "$imports" = "KxPlayStatus KxStartPlayFile KxStartRecFile KxStopRecFile " ] ||
        fail "$1 imports '$imports' from KALDRIX.dll"
}

check_windows() {
    require include/kaldrix.h bin/KALDRIX.dll bin/kaldrix.exe lib/libkaldrix.dll.a lib/KALDRIX.lib \
        share/doc/kaldrix/LICENSE lib/cmake/kaldrix/kaldrixConfig.cmake \
        lib/cmake/kaldrix/kaldrixConfigVersion.cmake
    compiler=i686-w64-mingw32-gcc
    file "$prefix/bin/KALDRIX.dll" | grep -q "PE32+" && compiler=x86_64-w64-mingw32-gcc
    $compiler -Wall -Wextra -Werror "$source_dir/examples/play_and_record.c" \
        -I"$prefix/include" -L"$prefix/lib" -lkaldrix -o "$work/play_and_record.exe" ||
        fail "the example does not link against the import library"
    check_imports "$work/play_and_record.exe"

    # Through the CMake package, with the toolchain of the DLL's architecture
    # (whose search stays inside the MinGW root unless told the package's folder).
    processor=${compiler%%-*}
    cmake -S "$source_dir/examples" -B "$work/by-cmake" \
        -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-$processor.cmake" \
        -Dkaldrix_DIR="$prefix/lib/cmake/kaldrix" -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" \
        >"$work/cmake.txt" 2>&1 && cmake --build "$work/by-cmake" >>"$work/cmake.txt" 2>&1 ||
        fail "find_package(kaldrix) build failed: $(cat "$work/cmake.txt")"
    check_imports "$work/by-cmake/play_and_record.exe"
    echo "check-install: a mingw host links the installed KALDRIX.dll through its import library, directly and through find_package"
}

check_linux() {
    require include/kaldrix.h bin/kaldrix share/man/man1/kaldrix.1 share/doc/kaldrix/LICENSE \
        share/bash-completion/completions/kaldrix
    libdir=$(dirname "$(find "$prefix" -name 'libkaldrix.so' | head -n 1)")
    [ -e "$libdir/libkaldrix.so" ] || fail "the install has no libkaldrix.so"
    for file in pkgconfig/kaldrix.pc cmake/kaldrix/kaldrixConfig.cmake \
        cmake/kaldrix/kaldrixConfigVersion.cmake cmake/kaldrix/kaldrixTargets.cmake; do
        [ -e "$libdir/$file" ] || fail "the install has no $libdir/$file"
    done

    # The README's lines as they stand, in a folder that looks like the
    # source folder after the build, with this run's prefix for /opt/kaldrix
    # (installed once more by the first line). Each host records a second and
    # plays it back.
    export KALDRIX_LOG_DIR="$work"
    mkdir -p "$work/readme/build"
    ln -s "$source_dir/examples" "$work/readme/examples"
    ln -s "$build_dir" "$work/readme/build/native"
    sed -n '/^<!-- install-lines -->$/,/^<!-- \/install-lines -->$/s/^    //p' "$source_dir/README.md" |
        sed "s|/opt/kaldrix|$prefix|g" >"$work/readme.sh"
    [ "$(grep -c play_and_record "$work/readme.sh")" -ge 3 ] || fail "the README's install lines are not found"
    (cd "$work/readme" && bash -e "$work/readme.sh") >"$work/readme.txt" 2>&1 ||
        fail "the README's lines fail: $(cat "$work/readme.txt")"
    size=$(wc -c <"$work/readme/take.wav")
    [ "$size" -gt 44 ] || fail "the README's hosts recorded only $size bytes"

    # The installed program finds the installed library by itself.
    "$prefix/bin/kaldrix" info "$work/readme/take.wav" >"$work/info.txt" ||
        fail "installed kaldrix cannot read the example's recording"
    grep -q "PCM, mono, 8000 Hz, 16-bit" "$work/info.txt" ||
        fail "unexpected info: $(cat "$work/info.txt")"
    echo "check-install: the README's lines build and run hosts through find_package and pkg-config"
}

if [ -e "$build_dir/KALDRIX.dll" ]; then
    check_windows
else
    check_linux
fi

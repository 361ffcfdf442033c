#!/bin/sh
# Installs a build into a temporary prefix and proves that a host can be built
# against the installed tree.
#
# Linux build: the example in examples/ is built through find_package and
# through pkg-config; both, and the installed kaldrix, run on the virtual
# audio devices.
# Windows build (a folder holding KALDRIX.dll, 32- or 64-bit): the example is
# cross-built for the DLL's architecture against the installed header and
# import library, and must import the functions' undecorated names from
# KALDRIX.dll; the install also holds KALDRIX.lib for Microsoft's linker.
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

check_windows() {
    require include/kaldrix.h bin/KALDRIX.dll bin/kaldrix.exe lib/libkaldrix.dll.a lib/KALDRIX.lib \
        share/doc/kaldrix/LICENSE
    compiler=i686-w64-mingw32-gcc
    file "$prefix/bin/KALDRIX.dll" | grep -q "PE32+" && compiler=x86_64-w64-mingw32-gcc
    $compiler -Wall -Wextra -Werror "$source_dir/examples/play_and_record.c" \
        -I"$prefix/include" -L"$prefix/lib" -lkaldrix -o "$work/play_and_record.exe" ||
        fail "the example does not link against the import library"
    imports=$(winedump -j import "$work/play_and_record.exe" |
        awk '/offset .* KALDRIX.dll/ { dll = 1 } dll && /Thunk +Ordn +Name/ { table = 1; next }
             table && NF < 3 { exit } table { print $3 }' | sort | tr '\n' ' ')
    [ "$imports" = "KxPlayStatus KxStartPlayFile KxStartRecFile KxStopRecFile " ] ||
        fail "the example imports '$imports' from KALDRIX.dll"
    echo "check-install: a mingw host links the installed KALDRIX.dll through its import library"
}

# Each example records a second and plays it back; both run at once, as
# each process has its own library and devices.
start_example() {
    "$1" "$work/$2.wav" 1 >"$work/$2.out" 2>&1 &
}

check_example() {
    wait "$1" || fail "$2 failed: $(cat "$work/$2.out")"
    size=$(wc -c <"$work/$2.wav")
    [ "$size" -gt 44 ] || fail "$2 recorded only $size bytes"
}

check_linux() {
    require include/kaldrix.h bin/kaldrix share/man/man1/kaldrix.1 share/doc/kaldrix/LICENSE
    libdir=$(dirname "$(find "$prefix" -name 'libkaldrix.so' | head -n 1)")
    [ -e "$libdir/libkaldrix.so" ] || fail "the install has no libkaldrix.so"
    for file in pkgconfig/kaldrix.pc cmake/kaldrix/kaldrixConfig.cmake \
        cmake/kaldrix/kaldrixConfigVersion.cmake cmake/kaldrix/kaldrixTargets.cmake; do
        [ -e "$libdir/$file" ] || fail "the install has no $libdir/$file"
    done

    # The library and the tests must stay private to this run.
    export KALDRIX_AUDIO=virtual
    export KALDRIX_LOG_DIR="$work"

    # Through find_package.
    cmake -S "$source_dir/examples" -B "$work/by-cmake" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >/dev/null
    cmake --build "$work/by-cmake" >/dev/null

    # Through pkg-config.
    export PKG_CONFIG_PATH="$libdir/pkgconfig"
    [ "$(pkg-config --modversion kaldrix)" = "$(sed -n 's/^Version: //p' "$libdir/pkgconfig/kaldrix.pc")" ] ||
        fail "pkg-config does not find kaldrix.pc"
    # shellcheck disable=SC2046 # the flags are meant to split into words
    cc -Wall -Wextra -Werror "$source_dir/examples/play_and_record.c" -o "$work/by-pkg-config" \
        $(pkg-config --cflags --libs kaldrix) -Wl,-rpath,"$(pkg-config --variable=libdir kaldrix)"

    start_example "$work/by-cmake/play_and_record" by_cmake
    cmake_pid=$!
    start_example "$work/by-pkg-config" by_pkg_config
    pkg_config_pid=$!
    check_example "$cmake_pid" by_cmake
    check_example "$pkg_config_pid" by_pkg_config

    # The installed program finds the installed library by itself.
    "$prefix/bin/kaldrix" info "$work/by_pkg_config.wav" >"$work/info.txt" ||
        fail "installed kaldrix cannot read the example's recording"
    grep -q "PCM, mono, 8000 Hz, 16-bit" "$work/info.txt" ||
        fail "unexpected info: $(cat "$work/info.txt")"
    echo "check-install: the installed tree builds and runs hosts through find_package and pkg-config"
}

if [ -e "$build_dir/KALDRIX.dll" ]; then
    check_windows
else
    check_linux
fi

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian packages of a Linux build (cmake/Packaging.cmake) as a user gets
# them: cpack makes them, lintian finds nothing but what the packages' own
# overrides explain, dpkg -i installs them on this machine, and then
#   libkaldrix1    ships libkaldrix.so.1 with that SONAME, shlibs and symbols
#   kaldrix-tools  depends on libkaldrix1 and what dpkg-shlibdeps found;
#                  /usr/bin/kaldrix loads the installed library; man kaldrix
#   libkaldrix-dev the example host builds through find_package and through
#                  pkg-config with no path given, and both builds run
#   python3-kaldrix depends on libkaldrix1; the system's Python imports it and
#                  loads the installed library by name; the README's example
#                  runs with it
# README's package table names the packages cpack made, and README's purge
# line removes them all. The packages are purged again on every way out,
# also when a check fails.
# Installing needs root: without it the check is skipped (exit 77). It
# refuses to run where the packages are installed already. `purge` removes
# what a check that was killed left installed (ctest's cleanup fixture).
#
#   scripts/check-packages.sh BUILD_DIR [purge]
set -uo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 1 ] && [ -f "$1/CPackConfig.cmake" ] || {
    echo "usage: $0 BUILD_DIR [purge]  (BUILD_DIR: a Linux build folder)" >&2
    exit 2
}
build_dir=$(cd "$1" && pwd)
packages=(libkaldrix1 libkaldrix-dev kaldrix-tools python3-kaldrix)
# Present while this check may have packages installed.
marker=$build_dir/packages-installed-by-check

fail() {
    echo "check-packages: $*" >&2
    exit 1
}

# dpkg takes no lock timeout: another apt or dpkg run may hold it a while.
dpkg_locked() {
    local _ output
    for _ in $(seq 60); do
        output=$("$@" 2>&1) && return 0
        grep -q "lock" <<<"$output" || break
        sleep 5
    done
    echo "$output" >&2
    return 1
}

purge_left_over() {
    [ ! -e "$marker" ] || { dpkg_locked dpkg --purge "${packages[@]}" && rm -f "$marker"; }
}
if [ "${2:-}" = purge ]; then
    purge_left_over
    exit
fi

[ "$(id -u)" -eq 0 ] || {
    echo "check-packages: installing packages needs root; skipped"
    exit 77
}
purge_left_over || fail "cannot purge the packages a killed check left"
for package in "${packages[@]}"; do
    ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q installed ||
        fail "$package is installed already; this check would remove it"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kaldrix-packages.XXXXXX")
installed=
cleanup() {
    [ -n "$installed" ] && dpkg_locked dpkg --purge "${packages[@]}" && rm -f "$marker"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

cpack -G DEB --config "$build_dir/CPackConfig.cmake" -B "$work/debs" >"$work/cpack.txt" 2>&1 ||
    fail "cpack failed: $(cat "$work/cpack.txt")"
debs=("$work"/debs/*.deb)
[ ${#debs[@]} -eq ${#packages[@]} ] || fail "cpack made ${debs[*]}"
made=$(for deb in "${debs[@]}"; do dpkg-deb -f "$deb" Package; done | sort)
# shellcheck disable=SC2016 # backquotes of the Markdown table
table=$(sed -n '/^| package | holds |$/,/^$/s/^| `\([^`]*\)` |.*/\1/p' "$source_dir/README.md" | sort)
[ "$table" = "$made" ] || fail "README's package table names $(tr "\n" " " <<<"$table")but cpack made $(tr "\n" " " <<<"$made")"

lintian --fail-on error,warning "${debs[@]}" >"$work/lintian.txt" 2>&1 ||
    fail "lintian: $(cat "$work/lintian.txt")"

installed=1
touch "$marker"
# Minimal images may keep manual pages out of every package; not ours.
dpkg_locked dpkg -i --path-include='/usr/share/man/man1/kaldrix.1*' "${debs[@]}" ||
    fail "dpkg -i failed"

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
library=/usr/lib/$multiarch/libkaldrix.so.1
soname=$(objdump -p "$library" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libkaldrix.so.1 ] || fail "$library has the SONAME '$soname'"
[ "$(readlink -f "/usr/lib/$multiarch/libkaldrix.so")" = "$(readlink -f "$library")" ] ||
    fail "libkaldrix-dev's development link does not lead to $library"
grep -qx "libkaldrix 1 libkaldrix1 (>= .*)" "$(dpkg-query --control-path libkaldrix1 shlibs)" ||
    fail "libkaldrix1 has no shlibs entry for libkaldrix.so.1"
symbols=$(dpkg-query --control-path libkaldrix1 symbols)
[ "$(grep -c '^ Kx[A-Za-z]*@Base 1\.0\.0\.1$' "$symbols")" -eq 6 ] &&
    grep -qx ' KxStartRecFileFormat@Base 1.1.0.0' "$symbols" ||
    fail "libkaldrix1's symbols are not the six of 1.0.0.1 and KxStartRecFileFormat of 1.1.0.0: $(cat "$symbols")"

for package in libkaldrix1 libkaldrix-dev; do
    [ "$(dpkg-query -W -f='${Multi-Arch}' "$package")" = same ] || fail "$package is not Multi-Arch: same"
done
dpkg -L kaldrix-tools | grep -qx /usr/share/bash-completion/completions/kaldrix ||
    fail "kaldrix-tools ships no bash completion"

depends=$(dpkg-query -W -f='${Depends}' kaldrix-tools)
for dependency in "libkaldrix1 (= " "libasound2" "libc6"; do
    grep -qF "$dependency" <<<"$depends" || fail "kaldrix-tools depends on '$depends'"
done
grep -qF "libasound2" <<<"$(dpkg-query -W -f='${Depends}' libkaldrix1)" ||
    fail "libkaldrix1 does not depend on libasound2"

# The library each program loads, as a real path (/lib may lead to /usr/lib).
loaded() {
    readlink -f "$(ldd "$1" | awk '$1 == "libkaldrix.so.1" { print $3 }')"
}
# kaldrix loads the library by name with dlopen when a command needs it.
kaldrix_loads=$(cd "$work" && KALDRIX_AUDIO=none LD_DEBUG=files /usr/bin/kaldrix record \
    "$work/probe.wav" --seconds 1 2>&1 | sed -n 's/.*calling init: \(.*libkaldrix\.so\.1\)$/\1/p')
[ "$(readlink -f "$kaldrix_loads")" = "$(readlink -f "$library")" ] ||
    fail "/usr/bin/kaldrix does not load $library (it loads '$kaldrix_loads')"
/usr/bin/kaldrix --version 2>/dev/null | grep -qx "License: MIT .*" || fail "kaldrix --version names no licence"
# The licence: machine-readable in every copyright file, and whole with the header.
for package in "${packages[@]}"; do
    grep -qx "License: Expat" "/usr/share/doc/$package/copyright" || fail "$package's copyright names no licence"
done
dpkg -L libkaldrix-dev | grep -qx /usr/share/doc/kaldrix/LICENSE || fail "libkaldrix-dev ships no LICENSE"
MANPAGER=cat MANWIDTH=80 man kaldrix 2>"$work/man.txt" | grep -q "kaldrix repair" ||
    fail "man kaldrix does not show the page: $(cat "$work/man.txt")"

# The example host, against the packages only.
export KALDRIX_AUDIO=virtual KALDRIX_LOG_DIR=$work
cmake -S "$source_dir/examples" -B "$work/by-cmake" -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" \
    >"$work/cmake.txt" 2>&1 && cmake --build "$work/by-cmake" >>"$work/cmake.txt" 2>&1 ||
    fail "find_package(kaldrix) build failed: $(cat "$work/cmake.txt")"
# shellcheck disable=SC2046 # the flags are meant to split into words
cc -Wall -Wextra -Werror "$source_dir/examples/play_and_record.c" -o "$work/by-pkg-config" \
    $(pkg-config --cflags --libs kaldrix) || fail "pkg-config build failed"
for host in "$work/by-cmake/play_and_record" "$work/by-pkg-config"; do
    [ "$(loaded "$host")" = "$(readlink -f "$library")" ] ||
        fail "$host does not load $library"
    "$host" "$work/take.wav" 1 >"$work/host.txt" 2>&1 || fail "$host failed: $(cat "$work/host.txt")"
    [ "$(wc -c <"$work/take.wav")" -gt 44 ] || fail "$host recorded nothing"
    rm -f "$work/take.wav"
done
# The Python module, from the system's Python (not one earlier on PATH),
# outside the source tree and with no path to the library.
grep -qF "libkaldrix1 (= " <<<"$(dpkg-query -W -f='${Depends}' python3-kaldrix)" ||
    fail "python3-kaldrix does not depend on libkaldrix1"
python=(env -u KALDRIX_LIBRARY -u PYTHONPATH PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3)
# shellcheck disable=SC2016 # the Python text is meant literally
python_host=$(cd "$work" && "${python[@]}" -c '
import os, sys, kaldrix
loaded_by = kaldrix.load()
mapped = {os.path.realpath(line.split()[-1]) for line in open("/proc/self/maps") if "libkaldrix" in line}
print(kaldrix.__file__, kaldrix.__version__, loaded_by, kaldrix.record_status().name, *mapped, file=sys.stderr)
' 2>&1 >/dev/null)
[ "$python_host" = "/usr/lib/python3/dist-packages/kaldrix/__init__.py $(dpkg-query -W -f='${Version}' python3-kaldrix) libkaldrix.so.1 IDLE $(readlink -f "$library")" ] ||
    fail "python3 -c 'import kaldrix' gave: $python_host"
(cd "$work" && "${python[@]}" -m pytest -q -p no:cacheprovider --basetemp="$work/pytest" \
    "$source_dir/python/tests/test_kaldrix.py" -k readme >"$work/pytest.txt" 2>&1) ||
    fail "the README's Python example failed: $(cat "$work/pytest.txt")"
# README's purge line, as it stands, with every package installed.
purge_line=$(sed -n '/^<!-- package-lines -->$/,/^<!-- \/package-lines -->$/s/^    \(dpkg --purge .*\)/\1/p' \
    "$source_dir/README.md")
[ -n "$purge_line" ] || fail "README has no purge line among its package lines"
dpkg_locked bash -c "$purge_line" || fail "README's purge line fails: $purge_line"
for package in "${packages[@]}"; do
    ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q installed ||
        fail "README's purge line leaves $package installed"
done
installed=
rm -f "$marker"
echo "check-packages: ${packages[*]} pass lintian, install, build and run the example hosts and show man kaldrix"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# KALDRIX.lib as a host built with Microsoft's linker uses it: clang for the
# MSVC target compiles tests/wine/msvc_host.c, lld-link links it against
# KALDRIX.lib and a kernel32 import library made here (no SDK, no C runtime),
# and the host runs under Wine (WINEPREFIX, WINEARCH) with no audio device.
# Checked: the .lib defines the symbols the header's declarations refer to
# (on i386 the decorated _KxStartRecFile@4), the host imports the undecorated
# names from KALDRIX.dll, and each call answers as before any start.
#
#   scripts/check-lib.sh BUILD_DIR MODULE_DEFINITION
set -uo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
[ $# -eq 2 ] && [ -f "$1/KALDRIX.lib" ] || {
    echo "usage: $0 BUILD_DIR MODULE_DEFINITION" >&2
    exit 2
}
bin=$(cd "$1" && pwd)
def=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/kaldrix-lib.XXXXXX")
trap 'rm -rf "$work" "$bin/kaldrix_msvc_host.exe"' EXIT

fail() {
    echo "check-lib: $*" >&2
    exit 1
}

# The module definition's names: decorated (KxStartRecFile@4) on i386.
names=$(awk '$1 ~ /^Kx/ { print $1 }' "$def")
if file "$bin/KALDRIX.dll" | grep -q "PE32+"; then
    target=x86_64-pc-windows-msvc machine=x64 dlltool=(-m i386:x86-64)
    symbols=$names
    printf 'LIBRARY kernel32\nEXPORTS\nGetStdHandle\nWriteFile\nExitProcess\n' >"$work/kernel32.def"
else
    # i386 C symbols carry a leading underscore.
    target=i686-pc-windows-msvc machine=x86 dlltool=(-m i386 -k)
    symbols=$(awk '{ print "_" $0 }' <<<"$names")
    printf 'LIBRARY kernel32\nEXPORTS\nGetStdHandle@4\nWriteFile@20\nExitProcess@4\n' >"$work/kernel32.def"
fi

defined=$(llvm-nm "$bin/KALDRIX.lib" | awk '$2 == "T" { print $3 }')
for symbol in $symbols; do
    grep -qx -- "$symbol" <<<"$defined" && grep -qx -- "__imp_$symbol" <<<"$defined" ||
        fail "KALDRIX.lib lacks $symbol: $defined"
done

llvm-dlltool "${dlltool[@]}" -d "$work/kernel32.def" -D kernel32.dll -l "$work/kernel32.lib" ||
    fail "no kernel32 import library"
clang --target=$target -O2 -Wall -Wextra -Werror -ffreestanding -fno-builtin -fno-stack-protector \
    -I"$source_dir/include" -c "$source_dir/tests/wine/msvc_host.c" -o "$work/host.obj" ||
    fail "the host does not compile"
lld-link -nologo -nodefaultlib -entry:HostMain -subsystem:console -machine:$machine \
    -out:"$bin/kaldrix_msvc_host.exe" "$work/host.obj" "$work/kernel32.lib" "$bin/KALDRIX.lib" ||
    fail "the host does not link against KALDRIX.lib"

imports=$(winedump -j import "$bin/kaldrix_msvc_host.exe" |
    awk '/offset .* KALDRIX.dll/ { dll = 1 } dll && /Thunk +Ordn +Name/ { table = 1; next }
         table && NF < 3 { exit } table { print $3 }' | sort | tr '\n' ' ')
expected=$(cut -d@ -f1 <<<"$names" | sort | tr '\n' ' ')
[ "$imports" = "$expected" ] || fail "the host imports '$imports' from KALDRIX.dll, not '$expected'"
echo "KALDRIX.lib: $(tr '\n' ' ' <<<"$symbols")-> KALDRIX.dll: $imports"

output=$(bash "$source_dir/scripts/wine-run.sh" --no-audio "$bin/kaldrix_msvc_host.exe") ||
    fail "the host failed: $output"
answers=$(grep -E '^Kx[A-Za-z]+ -?[0-9]+$' <<<"$output" | tr -d '\r')
echo "$answers"
[ "$answers" = "KxStopRecFile 0
KxStopPlayFile 0
KxPlayStatus 0
KxRecordStatus 0
KxStartPlayFile -1
KxStartRecFileFormat 0
KxStartRecFile -1" ] || fail "unexpected answers: $output"
echo "check-lib: a host linked by lld-link against KALDRIX.lib ($machine) calls every function"

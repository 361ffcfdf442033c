# SPDX-License-Identifier: MIT
# The library's exports, written once: name, ordinal, bytes of arguments
# (the __stdcall decoration of the 32-bit DLL), and the version that added
# it. Everything that lists them is generated from this table by
# kaldrix_generate_exports (cmake/Exports.cmake): the DLL's module
# definition, the POSIX version script, the tests' expected list, and the
# check of include/kaldrix.h; cmake/Packaging.cmake writes the Debian symbols
# file from it.
set(KALDRIX_EXPORTS
    "KxStartRecFile 2 4 1.0.0.1"
    "KxStopRecFile 3 0 1.0.0.1"
    "KxStartPlayFile 4 4 1.0.0.1"
    "KxStopPlayFile 5 0 1.0.0.1"
    "KxPlayStatus 6 0 1.0.0.1"
    "KxRecordStatus 7 0 1.0.0.1"
    "KxStartRecFileFormat 8 16 1.1.0.0")

# The 32-bit DLL names its __stdcall functions decorated (KxStartRecFile@4)
# in the module definition and links with --kill-at. On x64 there is one
# calling convention: __stdcall has no effect, names are never decorated, and
# the module definition lists the plain names.
string(COMPARE EQUAL "${CMAKE_SIZEOF_VOID_P}" 4 KALDRIX_DECORATE_EXPORTS)

# SPDX-License-Identifier: MIT
# find_package(kaldrix) in a Windows install tree gives the imported target
# kaldrix::kaldrix: bin/KALDRIX.dll, include/kaldrix.h on the include path,
# and the import library the host's linker reads (lib/libkaldrix.dll.a for
# MinGW, lib/KALDRIX.lib for Microsoft's linker and lld-link). The version
# file beside this one accepts only a host of the DLL's architecture.
get_filename_component(_kaldrix_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET kaldrix::kaldrix)
    add_library(kaldrix::kaldrix SHARED IMPORTED)
    if(MINGW)
        set(_kaldrix_import_library "${_kaldrix_prefix}/lib/libkaldrix.dll.a")
    else()
        set(_kaldrix_import_library "${_kaldrix_prefix}/lib/KALDRIX.lib")
    endif()
    set_target_properties(kaldrix::kaldrix PROPERTIES
        IMPORTED_LOCATION "${_kaldrix_prefix}/bin/KALDRIX.dll"
        IMPORTED_IMPLIB "${_kaldrix_import_library}"
        INTERFACE_INCLUDE_DIRECTORIES "${_kaldrix_prefix}/include")
    unset(_kaldrix_import_library)
endif()
unset(_kaldrix_prefix)
set(kaldrix_FOUND TRUE)

# SPDX-License-Identifier: MIT
# Generates, from the export table in src/frame/Exports.cmake, into DIR:
#   KALDRIX.def       module definition: names (decorated when
#                     KALDRIX_DECORATE_EXPORTS) with their ordinals
#   kaldrix.map       POSIX version script: the names global, the rest local
#   exports.txt       "ORDINAL NAME" lines, as winedump lists a DLL's exports
#   KaldrixExports.h  the table for C++ tests (kxtest::kExports)
#   KaldrixFunctions.h  the names for a host that resolves them one by one
#                     (KALDRIX_FUNCTIONS(X): X(name, required) for each,
#                     required when the first version had it; kaldrix)
#   ExportCheck.cpp   compiled into the library: every name is declared by
#                     include/kaldrix.h with the table's argument bytes
# and fails when include/kaldrix.h declares a function the table lacks.
include(${CMAKE_CURRENT_LIST_DIR}/../src/frame/Exports.cmake)

function(kaldrix_generate_exports dir)
    set(header ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../include/kaldrix.h)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${header})

    set(def "LIBRARY KALDRIX\nEXPORTS\n")
    set(map "{\n    global:\n")
    set(list "")
    set(rows "")
    set(checks "")
    set(names "")
    set(functions "")
    set(firstVersion "")
    foreach(row IN LISTS KALDRIX_EXPORTS)
        separate_arguments(fields UNIX_COMMAND "${row}")
        list(GET fields 0 name)
        list(GET fields 1 ordinal)
        list(GET fields 2 bytes)
        list(GET fields 3 version)
        if(NOT firstVersion)
            set(firstVersion ${version})
        endif()
        list(APPEND names ${name})
        if(KALDRIX_DECORATE_EXPORTS)
            string(APPEND def "    ${name}@${bytes} @${ordinal}\n")
        else()
            string(APPEND def "    ${name} @${ordinal}\n")
        endif()
        string(APPEND map "        ${name};\n")
        string(APPEND list "${ordinal} ${name}\n")
        string(APPEND rows "    {\"${name}\", ${ordinal}, ${bytes}},\n")
        if(version STREQUAL firstVersion)
            string(APPEND functions " \\\n    X(${name}, true)")
        else()
            string(APPEND functions " \\\n    X(${name}, false)")
        endif()
        string(APPEND checks
            "static_assert(ArgumentBytes(&${name}) == ${bytes}, \"${name}: arguments as in the export table\");\n")
    endforeach()
    string(APPEND map "    local:\n        *;\n};\n")

    # Every function the header declares is in the table.
    file(STRINGS ${header} declared REGEX "KALDRIX_CALL Kx[A-Za-z]+\\(")
    foreach(line IN LISTS declared)
        string(REGEX MATCH "Kx[A-Za-z]+" name "${line}")
        if(NOT name IN_LIST names)
            message(FATAL_ERROR "include/kaldrix.h declares ${name}, which src/frame/Exports.cmake lacks")
        endif()
    endforeach()

    file(GENERATE OUTPUT ${dir}/KALDRIX.def CONTENT "${def}")
    file(GENERATE OUTPUT ${dir}/kaldrix.map CONTENT "${map}")
    file(GENERATE OUTPUT ${dir}/exports.txt CONTENT "${list}")
    file(GENERATE OUTPUT ${dir}/KaldrixExports.h CONTENT
"// Generated from src/frame/Exports.cmake: the exports, their ordinals and
// the bytes of their arguments.
#pragma once

namespace kxtest {
struct ExportRow {
    const char* name;
    unsigned short ordinal;
    unsigned argumentBytes;
};
constexpr ExportRow kExports[] = {
${rows}};
} // namespace kxtest
")
    file(GENERATE OUTPUT ${dir}/KaldrixFunctions.h CONTENT
"// Generated from src/frame/Exports.cmake: the exports, in the table's
// order, for a host that resolves them by name; a function that is not
// required came in a later version, and an older library lacks it.
#pragma once

#define KALDRIX_FUNCTIONS(X)${functions}
")
    file(GENERATE OUTPUT ${dir}/ExportCheck.cpp CONTENT
"// Generated from src/frame/Exports.cmake: include/kaldrix.h declares every
// export with the argument bytes that its decorated name carries (each
// argument takes at least four bytes of the 32-bit stack).
#include \"kaldrix.h\"

#include <type_traits>

namespace {
template <typename T> constexpr unsigned StackBytes() {
    return sizeof(T) < 4 ? 4 : (sizeof(T) + 3) / 4 * 4;
}
template <typename Result, typename... Arguments>
constexpr unsigned ArgumentBytes(Result(KALDRIX_CALL*)(Arguments...)) {
    // Pointers are four bytes in the 32-bit DLL whatever this build's size.
    return (0u + ... + (std::is_pointer_v<Arguments> ? 4u : StackBytes<Arguments>()));
}
} // namespace

${checks}")
endfunction()

# SPDX-License-Identifier: MIT
# The checks of the Windows builds: KALDRIX.dll as a file, and the
# cross-built programs of tests/wine under Wine, with no audio device and
# against the private audio server. The 32-bit and the 64-bit build register
# the same checks, for their own DLL, in a Wine prefix of its architecture.
# The programs are a project of their own (GoogleTest needs the compiler's
# posix thread model, the DLL keeps the default one), built after the DLL
# into this build's folder.
include(ExternalProject)
ExternalProject_Add(kaldrix_wine_tests
    SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/wine
    BINARY_DIR ${PROJECT_BINARY_DIR}/wine-tests
    CMAKE_ARGS
        -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-${CMAKE_SYSTEM_PROCESSOR}-posix.cmake
        -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
        -DKALDRIX_IMPORT_LIBRARY=$<TARGET_LINKER_FILE:KALDRIX>
        -DKALDRIX_OUTPUT_DIR=${PROJECT_BINARY_DIR}
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> -j2
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    DEPENDS KALDRIX kaldrix_cli)

include(${CMAKE_CURRENT_LIST_DIR}/../cmake/AudioServer.cmake)
set(bin ${PROJECT_BINARY_DIR})
set(scripts ${PROJECT_SOURCE_DIR}/scripts)
set(wine_run bash ${scripts}/wine-run.sh)

# One Wine prefix for the run, its server kept up between programs.
set(KALDRIX_WINE_PREFIX ${PROJECT_BINARY_DIR}/wine-prefix)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(KALDRIX_WINE_ARCH win64)
else()
    set(KALDRIX_WINE_ARCH win32)
endif()
add_test(NAME wine.PrefixStart COMMAND bash ${scripts}/wine-prefix.sh start ${KALDRIX_WINE_PREFIX})
add_test(NAME wine.PrefixStop COMMAND bash ${scripts}/wine-prefix.sh stop ${KALDRIX_WINE_PREFIX})
set_tests_properties(wine.PrefixStart PROPERTIES FIXTURES_SETUP wine_prefix LABELS wine)
set_tests_properties(wine.PrefixStop PROPERTIES FIXTURES_CLEANUP wine_prefix LABELS wine)
set_tests_properties(wine.PrefixStart wine.PrefixStop PROPERTIES ENVIRONMENT WINEARCH=${KALDRIX_WINE_ARCH})

# kaldrix_add_wine_test(NAME LABELS... COMMAND...): a test in the prefix.
# The programs share the prefix's C:\temp, where the log's marker lives, so
# they run one at a time.
# The tests without audio go first: once the audio server of the prefix's
# earlier programs is gone, Wine's audio set-up waits about 20 s in every
# later program that loads winmm.
function(kaldrix_wine_test name)
    if(NOT ARGN)
        set_property(GLOBAL APPEND PROPERTY KALDRIX_WINE_SILENT_TESTS ${name})
    endif()
    set_tests_properties(${name} PROPERTIES
        ENVIRONMENT "WINEPREFIX=${KALDRIX_WINE_PREFIX};WINEARCH=${KALDRIX_WINE_ARCH}"
        FIXTURES_REQUIRED "wine_prefix;${ARGN}"
        RESOURCE_LOCK wine_prefix
        TIMEOUT 600)
endfunction()

# The DLL as a file.
add_test(NAME wine.ExportTable
    COMMAND bash ${scripts}/check-dll.sh exports ${bin}/KALDRIX.dll ${KALDRIX_EXPORTS_DIR}/exports.txt)
add_test(NAME wine.ImportsSystemDllsOnly COMMAND bash ${scripts}/check-dll.sh imports ${bin}/KALDRIX.dll)
set_tests_properties(wine.ExportTable wine.ImportsSystemDllsOnly PROPERTIES LABELS wine)

# A C host linked with the import library.
add_test(NAME wine.LinkHost COMMAND ${wine_run} --no-audio ${bin}/kaldrix_link_host.exe)
set_tests_properties(wine.LinkHost PROPERTIES LABELS wine)
kaldrix_wine_test(wine.LinkHost)

# A host linked by lld-link against KALDRIX.lib, as Microsoft's linker would.
add_test(NAME wine.MsvcLinkerHost
    COMMAND bash ${scripts}/check-lib.sh ${bin} ${KALDRIX_EXPORTS_DIR}/KALDRIX.def)
set_tests_properties(wine.MsvcLinkerHost PROPERTIES LABELS wine)
kaldrix_wine_test(wine.MsvcLinkerHost)

# The GoogleTest programs with no audio device. Left out under Wine, where
# Wine itself differs from Windows: its mmioDescend searches on past the end
# of the parent chunk.
set(wine_differs "MmioTest.SearchRunsForwardOnlyAndStaysInsideTheParent")
include(${CMAKE_CURRENT_LIST_DIR}/wine/Programs.cmake)
set(programs kaldrix_host_test)
while(KALDRIX_WINE_SUITES)
    list(POP_FRONT KALDRIX_WINE_SUITES name source)
    list(APPEND programs ${name})
endwhile()
foreach(program IN LISTS programs)
    add_test(NAME wine.${program}
        COMMAND ${wine_run} --no-audio ${bin}/${program}.exe --gtest_color=no
            --gtest_filter=-*AudioServer*:${wine_differs})
    set_tests_properties(wine.${program} PROPERTIES LABELS wine)
    kaldrix_wine_test(wine.${program})
endforeach()

# The host program against the private audio server.
kaldrix_add_server_test(NAME wine.HostAgainstTheAudioServer LABELS wine realtime
    COMMAND ${wine_run} --fed ${bin}/kaldrix_host_test.exe --gtest_color=no
        --gtest_filter=*AudioServer*)
kaldrix_wine_test(wine.HostAgainstTheAudioServer audio_server)

# kaldrix.exe as a user runs it, against the server.
kaldrix_add_server_test(NAME server.KaldrixExeUnderWine LABELS wine realtime
    COMMAND bash ${scripts}/kaldrix-server-test.sh wine ${bin}/kaldrix.exe ${bin}/kaldrix_wave_tool.exe)
kaldrix_wine_test(server.KaldrixExeUnderWine audio_server)
get_property(silent GLOBAL PROPERTY KALDRIX_WINE_SILENT_TESTS)
set_tests_properties(wine.HostAgainstTheAudioServer server.KaldrixExeUnderWine PROPERTIES
    DEPENDS "${silent}")

# The install tree: a mingw host links the installed import library.
add_test(NAME install.WindowsImportLibrary COMMAND sh ${scripts}/check-install.sh ${bin})
set_tests_properties(install.WindowsImportLibrary PROPERTIES LABELS "install;wine" TIMEOUT 300)

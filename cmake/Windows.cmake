# KALDRIX.dll: the same objects as the static core, the module definition
# (decorated names with fixed ordinals, exported undecorated through
# --kill-at) and the version block. The compiler's runtime is linked in, so
# the DLL imports system DLLs only.
enable_language(RC)

target_link_libraries(kaldrix_objects PUBLIC winmm user32)
target_link_libraries(kaldrix_core PUBLIC winmm user32)

add_library(KALDRIX SHARED
    $<TARGET_OBJECTS:kaldrix_objects>
    ${KALDRIX_ROOT}/src/frame/KALDRIX.def
    ${KALDRIX_ROOT}/src/frame/version.rc)
set_target_properties(KALDRIX PROPERTIES PREFIX "" OUTPUT_NAME KALDRIX)
target_link_libraries(KALDRIX PRIVATE winmm user32)
# The static runtime libraries carry debug information of their own: a
# release DLL leaves it out.
target_link_options(KALDRIX PRIVATE -static -Wl,--kill-at $<$<CONFIG:Release>:-s>)

# The linker's import library would name the functions undecorated, so a
# mingw host compiled against kaldrix.h (__stdcall, KxStartRecFile@4) could
# not link with it. dlltool builds it from the module definition instead:
# decorated symbols that import the undecorated names.
find_program(KALDRIX_DLLTOOL NAMES ${KALDRIX_MINGW_PREFIX}-dlltool REQUIRED)
add_custom_command(TARGET KALDRIX POST_BUILD
    COMMAND ${KALDRIX_DLLTOOL} --input-def ${KALDRIX_ROOT}/src/frame/KALDRIX.def
        --dllname KALDRIX.dll --kill-at --output-lib $<TARGET_LINKER_FILE:KALDRIX>
    VERBATIM)

# The Wine test programs are GoogleTest suites, which need std::mutex and so
# the posix thread model of the compiler: they are a project of their own,
# configured with that variant and built after the DLL, which they load.
if(KALDRIX_TESTS)
    include(ExternalProject)
    ExternalProject_Add(kaldrix_wine_tests
        SOURCE_DIR ${KALDRIX_ROOT}/tests/wine
        BINARY_DIR ${CMAKE_BINARY_DIR}/wine-tests
        CMAKE_ARGS
            -DCMAKE_TOOLCHAIN_FILE=${KALDRIX_ROOT}/cmake/mingw-i686-posix.cmake
            -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
            -DKALDRIX_IMPORT_LIBRARY=$<TARGET_LINKER_FILE:KALDRIX>
        BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> -j2
        INSTALL_COMMAND ""
        BUILD_ALWAYS ON
        DEPENDS KALDRIX)
endif()

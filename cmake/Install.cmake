# SPDX-License-Identifier: MIT
# What `cmake --install` puts into the prefix.
#
# Linux: libkaldrix.so with its version links, include/kaldrix.h, the CMake
# package (find_package(kaldrix) gives kaldrix::kaldrix), kaldrix.pc for
# pkg-config, the kaldrix program with its manual page, and the licence.
# Windows: KALDRIX.dll (target KALDRIX of src/CMakeLists.txt) and kaldrix.exe
# in bin/, the import libraries for mingw hosts and for Microsoft's linker
# (KALDRIX.lib) in lib/, a CMake package over them, the header and the
# licence.
include(CMakePackageConfigHelpers)

# On Linux every file belongs to one of the components that the Debian
# packages of cmake/Packaging.cmake are made of: runtime (libkaldrix1),
# development (libkaldrix-dev) and tools (kaldrix-tools).
install(FILES ${PROJECT_SOURCE_DIR}/include/kaldrix.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    COMPONENT development)
install(TARGETS kaldrix_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
# The licence travels with the header: share/doc/kaldrix/LICENSE.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR}
    COMPONENT development)

if(WIN32)
    # The import library that src/CMakeLists.txt builds from the module
    # definition, so a mingw host links KALDRIX.dll as -lkaldrix.
    install(TARGETS KALDRIX RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES $<TARGET_LINKER_FILE:KALDRIX> DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RENAME libkaldrix.dll.a)
    install(FILES ${PROJECT_BINARY_DIR}/KALDRIX.lib DESTINATION ${CMAKE_INSTALL_LIBDIR})
    # The CMake package: kaldrix::kaldrix over the DLL and its import libraries.
    write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/kaldrixConfigVersion.cmake
        VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
    install(FILES ${PROJECT_SOURCE_DIR}/cmake/package/kaldrixConfigWindows.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kaldrix RENAME kaldrixConfig.cmake)
    install(FILES ${PROJECT_BINARY_DIR}/package/kaldrixConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kaldrix)
    return()
endif()

install(FILES ${PROJECT_SOURCE_DIR}/tools/kaldrix/kaldrix.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/tools/kaldrix/kaldrix.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME kaldrix
    COMPONENT tools)

set(KALDRIX_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kaldrix)

target_include_directories(kaldrix INTERFACE
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(TARGETS kaldrix EXPORT kaldrixTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development)
install(EXPORT kaldrixTargets NAMESPACE kaldrix:: DESTINATION ${KALDRIX_PACKAGE_DIR}
    COMPONENT development)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/package/kaldrixConfig.cmake.in
    ${PROJECT_BINARY_DIR}/package/kaldrixConfig.cmake
    INSTALL_DESTINATION ${KALDRIX_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/kaldrixConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/package/kaldrixConfig.cmake
    ${PROJECT_BINARY_DIR}/package/kaldrixConfigVersion.cmake
    DESTINATION ${KALDRIX_PACKAGE_DIR} COMPONENT development)

# kaldrix.pc names its prefix relative to its own folder, so the tree works
# wherever `cmake --install --prefix` puts it.
file(RELATIVE_PATH KALDRIX_PC_TO_PREFIX
    /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" KALDRIX_PC_TO_PREFIX "${KALDRIX_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/package/kaldrix.pc.in
    ${PROJECT_BINARY_DIR}/package/kaldrix.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/kaldrix.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

include(${CMAKE_CURRENT_LIST_DIR}/Packaging.cmake)

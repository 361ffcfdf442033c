# SPDX-License-Identifier: MIT
# The Debian packages, made by `cpack -G DEB` in a Linux build folder from the
# install components of cmake/Install.cmake:
#   libkaldrix1     runtime      libkaldrix.so.1 (SONAME) and its file, with
#                                shlibs, symbols and the ldconfig trigger
#   libkaldrix-dev  development  kaldrix.h, libkaldrix.so, the CMake package,
#                                kaldrix.pc
#   kaldrix-tools   tools        kaldrix, its manual page and bash completion
#   python3-kaldrix python       the kaldrix module for Python 3 (python/)
# Each package's other dependencies come from dpkg-shlibdeps.
# scripts/check-packages.sh builds, lints, installs and purges them.
include(${PROJECT_SOURCE_DIR}/src/frame/Exports.cmake)
set(KALDRIX_DEB_VERSION ${PROJECT_VERSION})
set(KALDRIX_DEB_DIR ${PROJECT_BINARY_DIR}/package/debian)

# Installed into /usr, as the packages are: kaldrix finds the library on the
# loader's own path, so a search path of its own is only in the way, and the
# manual page is compressed, as man expects it there.
install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
        file(RPATH_REMOVE FILE \"\$ENV{DESTDIR}/usr/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:kaldrix_cli>\")
        execute_process(COMMAND gzip -9nf \"\$ENV{DESTDIR}/usr/${CMAKE_INSTALL_MANDIR}/man1/kaldrix.1\"
            COMMAND_ERROR_IS_FATAL ANY)
    endif()" COMPONENT tools)

# Every package's copyright file and changelog (a native package's:
# changelog.gz), made as the build is configured: an install or cpack after a
# build of some targets only (the demo preset builds kaldrix alone) finds
# them all the same.
string(TIMESTAMP KALDRIX_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(KALDRIX_DEB_COMPONENTS runtime development tools python)
set(KALDRIX_DEB_PACKAGES libkaldrix1 libkaldrix-dev kaldrix-tools python3-kaldrix)
foreach(component package IN ZIP_LISTS KALDRIX_DEB_COMPONENTS KALDRIX_DEB_PACKAGES)
    set(doc ${KALDRIX_DEB_DIR}/${package})
    file(WRITE ${doc}/changelog
"${package} (${KALDRIX_DEB_VERSION}) unstable; urgency=medium

  * Built from the KALDRIX sources.

 -- KALDRIX developers <kaldrix@example.org>  ${KALDRIX_DEB_DATE}
")
    execute_process(COMMAND gzip -9nkf ${doc}/changelog COMMAND_ERROR_IS_FATAL ANY)
    install(FILES ${PROJECT_SOURCE_DIR}/cmake/package/debian/copyright ${doc}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()
# What lintian says of the packages that is meant so, and why: see the file.
install(FILES ${PROJECT_SOURCE_DIR}/cmake/package/debian/libkaldrix1.lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME libkaldrix1 COMPONENT runtime)

# The library's symbols, from the export table, each with the version that
# added it, so that a host using a later one depends on a library that has
# it; unversioned, hence @Base.
set(symbols "libkaldrix.so.${PROJECT_VERSION_MAJOR} libkaldrix1 #MINVER#\n* Build-Depends-Package: libkaldrix-dev\n")
foreach(row IN LISTS KALDRIX_EXPORTS)
    separate_arguments(fields UNIX_COMMAND "${row}")
    list(GET fields 0 name)
    list(GET fields 3 since)
    string(APPEND symbols " ${name}@Base ${since}\n")
endforeach()
file(WRITE ${KALDRIX_DEB_DIR}/symbols "${symbols}")
file(WRITE ${KALDRIX_DEB_DIR}/triggers "activate-noawait ldconfig\n")

set(CPACK_PACKAGE_NAME kaldrix)
set(CPACK_PACKAGE_VENDOR "KALDRIX developers")
set(CPACK_PACKAGE_CONTACT "KALDRIX developers <kaldrix@example.org>")
set(CPACK_PACKAGE_VERSION ${KALDRIX_DEB_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development tools python)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION ${KALDRIX_DEB_VERSION})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools' own library is in the package being built, not yet installed.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkaldrix1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The library and its development files install side by side for several
# architectures: every file lies in the multiarch folder or is the same for
# all. MultiArchSame.cmake marks them so.
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/package/MultiArchSame.cmake)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${KALDRIX_DEB_DIR}/symbols ${KALDRIX_DEB_DIR}/triggers)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "play and record WAVE files - shared library
KALDRIX plays a WAVE file on an output device and records the default
input device into 8000 Hz 16-bit mono WAVE files, each job on a thread of
its own. Hosts call six functions. This package holds the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libkaldrix-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "play and record WAVE files - development files
KALDRIX plays a WAVE file on an output device and records the default
input device into 8000 Hz 16-bit mono WAVE files. This package holds the
header, the CMake package (find_package(kaldrix)) and kaldrix.pc for
pkg-config.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kaldrix-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION sound)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "play and record WAVE files - command-line host
kaldrix drives the KALDRIX library from a shell: it records, plays,
inspects and repairs WAVE files and lists the sound devices the library
sees.")

# The Python module for the system's Python 3, which loads libkaldrix.so.1
# by name. Only the package installs it: pip installs it anywhere else.
# Pure Python, so for every architecture; byte-compiled by py3compile at
# install and cleaned by py3clean at removal, as Debian's Python packages are.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/kaldrix DESTINATION lib/python3/dist-packages
    COMPONENT python EXCLUDE_FROM_ALL PATTERN __pycache__ EXCLUDE)
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-kaldrix)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any")
set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/cmake/package/debian/python3-kaldrix/postinst
    ${PROJECT_SOURCE_DIR}/cmake/package/debian/python3-kaldrix/prerm)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "play and record WAVE files - Python 3 module
The kaldrix module gives Python hosts the KALDRIX library's six functions
with named results, an exception that names the failed call and what its
result means, and context managers that record or play while a with-block
runs.")

include(CPack)

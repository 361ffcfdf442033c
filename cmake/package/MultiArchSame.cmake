# SPDX-License-Identifier: MIT
# Run by cpack once it has made the Debian packages (CPACK_POST_BUILD_SCRIPTS
# of Packaging.cmake, with their paths in CPACK_PACKAGE_FILES). CMake 3.25's
# CPack writes no Multi-Arch field, so the library's two packages are
# unpacked, marked "Multi-Arch: same" after their Architecture, and packed
# again by dpkg-deb, each file as it was.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    get_filename_component(name ${package} NAME)
    if(NOT name MATCHES "^libkaldrix(1|-dev)_.*\\.deb$")
        continue()
    endif()
    set(tree ${CPACK_TOPLEVEL_DIRECTORY}/multiarch/${name})
    file(REMOVE_RECURSE ${tree})
    file(MAKE_DIRECTORY ${tree})
    execute_process(COMMAND dpkg-deb -R ${package} ${tree} COMMAND_ERROR_IS_FATAL ANY)
    file(READ ${tree}/DEBIAN/control control)
    string(REGEX REPLACE "(Architecture: [^\n]*\n)" "\\1Multi-Arch: same\n" control "${control}")
    file(WRITE ${tree}/DEBIAN/control "${control}")
    execute_process(COMMAND dpkg-deb --root-owner-group -b ${tree} ${package}
        OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE ${tree})
endforeach()

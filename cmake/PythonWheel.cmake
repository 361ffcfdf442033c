# SPDX-License-Identifier: MIT
# The Python module as a wheel for this platform that carries the library
# (KALDRIX_WHEEL, Linux): packages/kaldrix-<version>-py3-none-<platform>.whl
# beside the Debian packages. The module finds the library it carries before
# any copy of the system's; the library relies on the system's ALSA library
# (libasound2), as libkaldrix1 does.
#
# The wheel is made in a staging folder of the build, from python/, the
# stripped library, LICENSE and README.md (its Python section is the long
# description), by setuptools' own build backend, as pip would call it:
# Debian's python3-setuptools and python3-wheel, no package index.
if(NOT KALDRIX_WHEEL OR WIN32)
    return()
endif()
if(KALDRIX_SANITIZE)
    message(FATAL_ERROR "KALDRIX_WHEEL: a Python host cannot load a library built with sanitizers")
endif()

execute_process(COMMAND ${KALDRIX_PYTHON3} -c "import setuptools.build_meta, wheel"
    RESULT_VARIABLE missing OUTPUT_QUIET ERROR_QUIET)
if(missing)
    message(FATAL_ERROR "KALDRIX_WHEEL: ${KALDRIX_PYTHON3} lacks setuptools or wheel "
        "(Debian: python3-setuptools python3-wheel; scripts/setup.sh package installs them)")
endif()

set(stage ${PROJECT_BINARY_DIR}/python-wheel)
set(KALDRIX_WHEEL_DIR ${PROJECT_BINARY_DIR}/packages)
file(GLOB module_files CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/python/kaldrix/*.py)
set(sources ${module_files} ${PROJECT_SOURCE_DIR}/python/kaldrix/py.typed
    ${PROJECT_SOURCE_DIR}/python/pyproject.toml ${PROJECT_SOURCE_DIR}/python/setup.py
    ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md)
add_custom_command(OUTPUT ${stage}/made
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}/kaldrix ${KALDRIX_WHEEL_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy ${module_files} ${PROJECT_SOURCE_DIR}/python/kaldrix/py.typed
        ${stage}/kaldrix
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/python/pyproject.toml
        ${PROJECT_SOURCE_DIR}/python/setup.py ${PROJECT_SOURCE_DIR}/LICENSE
        ${PROJECT_SOURCE_DIR}/README.md ${stage}
    # By its SONAME: a wheel holds no links.
    COMMAND ${CMAKE_STRIP} --strip-unneeded -o ${stage}/kaldrix/libkaldrix.so.1 $<TARGET_FILE:kaldrix>
    # What it did goes to a file of the staging folder; warnings and errors
    # to the build's output.
    COMMAND ${CMAKE_COMMAND} -E chdir ${stage} ${KALDRIX_PYTHON3} -c
        "import sys; sys.stdout = open('build.log', 'w'); from setuptools import build_meta; build_meta.build_wheel(sys.argv[1])"
        ${KALDRIX_WHEEL_DIR}
    COMMAND ${CMAKE_COMMAND} -E touch ${stage}/made
    DEPENDS kaldrix ${sources}
    COMMENT "Making the Python wheel that carries libkaldrix.so.1"
    VERBATIM)
add_custom_target(kaldrix_wheel ALL DEPENDS ${stage}/made)

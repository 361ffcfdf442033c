# SPDX-License-Identifier: MIT
# Cross-builds for Windows with Debian's mingw-w64, for the processor that
# the including file names in KALDRIX_MINGW_PROCESSOR (i686: the 32-bit DLL,
# x86_64: the 64-bit one).
#
# The library uses the compiler's default (win32) thread model: it threads
# through CreateThread and friends and needs nothing of std::thread. The
# GoogleTest programs need std::mutex and use the posix variant instead
# (mingw-*-posix.cmake sets KALDRIX_MINGW_VARIANT before including this).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KALDRIX_MINGW_PROCESSOR})

if(NOT KALDRIX_MINGW_VARIANT)
    set(KALDRIX_MINGW_VARIANT win32)
endif()

set(KALDRIX_MINGW_PREFIX ${KALDRIX_MINGW_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${KALDRIX_MINGW_PREFIX}-gcc-${KALDRIX_MINGW_VARIANT})
set(CMAKE_CXX_COMPILER ${KALDRIX_MINGW_PREFIX}-g++-${KALDRIX_MINGW_VARIANT})
set(CMAKE_RC_COMPILER ${KALDRIX_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KALDRIX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

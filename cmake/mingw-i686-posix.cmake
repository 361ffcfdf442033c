# SPDX-License-Identifier: MIT
# The posix thread model of the same cross compiler, for the GoogleTest
# programs that run under Wine (GoogleTest needs std::mutex).
set(KALDRIX_MINGW_VARIANT posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)

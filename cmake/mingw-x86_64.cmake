# SPDX-License-Identifier: MIT
# Cross-builds for 64-bit Windows (cmake/mingw.cmake).
set(KALDRIX_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)

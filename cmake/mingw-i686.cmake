# SPDX-License-Identifier: MIT
# Cross-builds for 32-bit Windows (cmake/mingw.cmake).
set(KALDRIX_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)

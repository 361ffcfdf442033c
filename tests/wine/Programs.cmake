# SPDX-License-Identifier: MIT
# The GoogleTest programs that run under Wine, as "NAME SOURCE" pairs, paths
# relative to tests/: the suites of the core on the real platform, this
# folder's own and those under tests/portable that both builds run. The
# cross-built project (CMakeLists.txt here) builds them and the mingw build's
# ctest runs them (tests/WineChecks.cmake): a new program is one line here.
set(KALDRIX_WINE_SUITES
    kaldrix_guard_test wine/guard_test.cpp
    kaldrix_file_test portable/file_test.cpp
    kaldrix_mmio_test portable/mmio_test.cpp
    kaldrix_wave_form_test portable/wave_form_test.cpp)

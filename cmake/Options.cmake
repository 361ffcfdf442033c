# SPDX-License-Identifier: MIT
# Flags every target of the project links through kaldrix_options: warnings
# (errors through CMAKE_COMPILE_WARNING_AS_ERROR), and the sanitizers that a
# preset chooses with KALDRIX_SANITIZE (and KALDRIX_FUZZ for the fuzzer's
# coverage).
add_library(kaldrix_options INTERFACE)
target_compile_options(kaldrix_options INTERFACE -Wall -Wextra)
if(KALDRIX_SANITIZE)
    target_compile_options(kaldrix_options INTERFACE
        -fsanitize=${KALDRIX_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(kaldrix_options INTERFACE -fsanitize=${KALDRIX_SANITIZE})
endif()
if(KALDRIX_FUZZ)
    target_compile_options(kaldrix_options INTERFACE -fsanitize=fuzzer-no-link)
endif()

// SPDX-License-Identifier: MIT
// The same host as C++ (C++98 and later).
#include "header_check.c"

// SPDX-License-Identifier: MIT
#include "Library.h"

#include <dlfcn.h>

namespace cli {

const char kLibraryName[] = "libkaldrix.so.1";

// LoadLibraryA is dlopen here: dlerror() says why it failed.
std::string LoadError(unsigned long) {
    const char* why = dlerror();
    return std::string("cannot load ") + (why ? why : kLibraryName);
}

} // namespace cli

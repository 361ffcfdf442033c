// SPDX-License-Identifier: MIT
#include "Library.h"

namespace cli {

const Library& OpenKaldrix() {
    static const Library library{KxStartRecFile, KxStopRecFile, KxStartPlayFile,
                                 KxStopPlayFile, KxPlayStatus,  KxRecordStatus};
    return library;
}

} // namespace cli

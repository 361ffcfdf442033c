// SPDX-License-Identifier: MIT
// Every descriptor the layer opens stays off 0, 1 and 2. A host that closed
// one of its standard streams would otherwise find a file of the library's
// behind that number, and its own output, or the log's echo, written into it.
#pragma once

// `fd` itself when it is above 2 or negative (a failed open, errno kept).
// Otherwise a close-on-exec copy above 2, the original closed; -1 with errno
// set when no copy can be made (the original is closed then too).
int AboveStandardStreams(int fd);

#pragma once

#include <string>

// The folder of the trace log's marker and daily file, with its trailing
// separator: "C:\temp\" on Windows; on POSIX "/tmp/", or the folder that
// KALDRIX_LOG_DIR names.
std::string LogFolder();

// The daily file's open mode: appending text. On Windows the "t" is explicit,
// so that a host that changes the runtime's default mode cannot turn off the
// CR LF line ends.
extern const char kLogAppendMode[];

// SPDX-License-Identifier: MIT
#pragma once

#include <cstdio>
#include <string>

// The folder of the trace log's marker and daily file, with its trailing
// separator: "C:\temp\" on Windows; on POSIX "/tmp/", or the folder that
// KALDRIX_LOG_DIR names.
std::string LogFolder();

// True when the marker file at `path` exists and could be opened for
// reading and writing, as fopen's "r+" mode asks; it is closed again at once.
bool LogMarkerPresent(const std::string& path);

// Opens the daily file for appending text, or returns null. Programs that the
// host starts never inherit it: the log belongs to the process that opened it.
// On Windows the text mode is explicit, so that a host that changes the
// runtime's default mode cannot turn off the CR LF line ends. Neither takes
// one of the host's standard streams' numbers (descriptors 0 to 2, on
// Windows those of the runtime), should the host have closed one.
std::FILE* OpenLogForAppend(const std::string& path);

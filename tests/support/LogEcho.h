// SPDX-License-Identifier: MIT
// The echo of the library's log linked into a test program (g_Log), shared
// by the Linux frame suite and the Wine guard suite.
#pragma once

#include "log/LogFile.h"

#include <gtest/gtest.h>
#include <string>

namespace kxtest {

// What g_Log echoed on standard output while `action` ran. The echo goes
// only into the file that standard output was when the log opened: the log
// opens again on the capture's file, and again on the real standard output
// afterwards.
template <typename Action> std::string LogEchoOf(Action action) {
    testing::internal::CaptureStdout();
    g_Log.Close();
    g_Log.Open();
    action();
    const std::string echo = testing::internal::GetCapturedStdout();
    g_Log.Close();
    g_Log.Open();
    return echo;
}

} // namespace kxtest

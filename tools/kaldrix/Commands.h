// SPDX-License-Identifier: MIT
// The commands. Each returns the exit status of a normal end and
// throws Failure for everything else.
#pragma once

#include "Arguments.h"

namespace cli {

int RunInfo(const Invocation& invocation);
int RunPlay(const Invocation& invocation);
int RunRecord(const Invocation& invocation);
int RunDuplex(const Invocation& invocation);
int RunDevices(const Invocation& invocation);
int RunRepair(const Invocation& invocation);

} // namespace cli

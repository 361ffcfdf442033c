// SPDX-License-Identifier: MIT
#include "platform/CancellationHold.h"

CCancellationHold::CCancellationHold() = default;

CCancellationHold::~CCancellationHold() = default;

// SPDX-License-Identifier: MIT
#pragma once

#include "winapi/WindowsApi.h"

// Posts to a thread's queue as PostThreadMessageA does, for the layer's own
// devices: their notifications come from the device, not from a call of the
// host's, so a failure that a test asks of PostThreadMessageA never hits them.
BOOL DeliverThreadMessage(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
// Posts `count` messages that differ in lParam only, in order, at once: the
// receiving thread is woken once for all of them.
BOOL DeliverThreadMessages(DWORD threadId, UINT message, WPARAM wParam, const LPARAM* lParams,
                           size_t count);

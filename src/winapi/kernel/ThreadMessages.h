// SPDX-License-Identifier: MIT
#pragma once

#include "winapi/WindowsApi.h"

// Posts to a thread's queue as PostThreadMessageA does, for the layer's own
// devices: their notifications come from the device, not from a call of the
// host's, so a failure that a test asks of PostThreadMessageA never hits them.
BOOL DeliverThreadMessage(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);

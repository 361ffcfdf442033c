// SPDX-License-Identifier: MIT
// The Windows echo and the loader.
#pragma once

// Set while DllMain runs the attach or the detach: records then go out at
// once from the calling thread, as no echo thread can start.
void SetEchoInsideLoader(bool inside);

// SPDX-License-Identifier: MIT
// The Windows echo and the loader.
#pragma once

// Set while DllMain runs the attach or the detach: records then go out at
// once from the calling thread, as no echo thread can start, and the echo's
// lock is only tried (at a process exit a killed thread may hold it). Takes
// no lock itself.
void SetEchoInsideLoader(bool inside);

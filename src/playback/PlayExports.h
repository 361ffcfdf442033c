// SPDX-License-Identifier: MIT
#pragma once

// The player's stop when the library goes (see EngineRegistration).
void StopPlaybackAtExit(bool processExit);

// SPDX-License-Identifier: MIT
#pragma once

// The recorder's stop when the library goes (see EngineRegistration).
void StopRecordingAtExit(bool processExit);

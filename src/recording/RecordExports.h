// SPDX-License-Identifier: MIT
#pragma once

// The detach's part of recording: a recording still running is completed
// rather than lost. A plain unload stops it as KxStopRecFile would; at
// process exit, with other threads gone, the file is completed without
// waiting on anything.
void CompleteRecordingAtDetach(bool processExit);

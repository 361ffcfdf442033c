// SPDX-License-Identifier: MIT
#pragma once

#include "frame/LibraryApp.h"
#include "log/LogFile.h"
#include "playback/WavePlayer.h"
#include "recording/WaveRecorder.h"

// The library's single long-lived objects, defined in Globals.cpp in the order
// they are built. The engines are destroyed by the detach itself, and only
// when it has stopped them (see CKeptObject).
extern CWaveRecorder& g_Recorder;
extern CWavePlayer& g_Player;

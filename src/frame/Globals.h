// SPDX-License-Identifier: MIT
#pragma once

#include "frame/LibraryApp.h"
#include "log/LogFile.h"
#include "recording/WaveRecorder.h"
#include "playback/WavePlayer.h"

// The library's single long-lived objects, defined in Globals.cpp in the order
// they are built. The engines are destroyed by the unload itself, and only
// when it has stopped them (see CKeptObject).
extern CLibraryApp theApp;
extern CWaveRecorder& g_Recorder;
extern CWavePlayer& g_Player;

void DestroyRecorder();
void DestroyPlayer();

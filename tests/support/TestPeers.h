// SPDX-License-Identifier: MIT
// What the suites reach inside the engines besides their public operations:
// single steps of the recorder and the player's play thread.
#pragma once

#include "playback/WavePlayer.h"
#include "recording/WaveRecorder.h"

class CWaveRecorderTestPeer {
public:
    explicit CWaveRecorderTestPeer(CWaveRecorder& recorder) : m_recorder(recorder) {}
    int StartThread() { return m_recorder.StartThread(); }
    int StopThread() { return m_recorder.StopThread(); }
    DWORD CaptureThreadId() const { return m_recorder.m_threadId; }
    void SetBytesRecorded(DWORD bytes) { m_recorder.SetBytesRecorded(bytes); }
    // As a stop's first step does.
    void ClearRecordingFlag() { m_recorder.m_recording.store(0); }

private:
    CWaveRecorder& m_recorder;
};

class CWavePlayerTestPeer {
public:
    explicit CWavePlayerTestPeer(const CWavePlayer& player) : m_player(player) {}
    HANDLE PlayThread() const { return m_player.PlayThread(); }

private:
    const CWavePlayer& m_player;
};

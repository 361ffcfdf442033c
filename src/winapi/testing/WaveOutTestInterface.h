// SPDX-License-Identifier: MIT
// The wave-out part of the POSIX layer's test interface (fault injection for
// waveOut* goes through kxtest::FailOperation with the operation's name).
#pragma once

namespace kxtest {

// From now on every header written to a wave-out device stays in the device,
// like on a stuck driver: it never finishes, a reset does not return it and
// unpreparing it answers WAVERR_STILLPLAYING, until ReleaseWaveOutHeaders.
void HoldWaveOutHeaders();
// Ends the hold: the held headers are marked done, unplayed.
void ReleaseWaveOutHeaders();

// From now on the virtual output plays nothing, like a device that stalled:
// its clock stands still, so no header written to it is ever done, but a
// reset drops them and returns them as a device's reset does. Until
// ResumeVirtualOutput, from which on the clock goes on from where it stood.
void StallVirtualOutput();
void ResumeVirtualOutput();

// Wave-out handles open now.
int OpenWaveOutHandles();
// Headers prepared on the wave-out handles open now.
int PreparedWaveOutHeaders();
// Of those, the headers on handles whose close failed, which their owner
// keeps on purpose.
int KeptWaveOutHeaders();

} // namespace kxtest

/* SPDX-License-Identifier: MIT
 *
 * KALDRIX: play WAVE files and record WAVE files (8000 Hz 16-bit mono, or the
 * PCM format the host asks for), each job on a thread of its own inside the
 * library.
 *
 * Copyright (c) 2026 The KALDRIX developers. Released under the MIT licence
 * (LICENSE; share/doc/kaldrix/LICENSE in an install).
 *
 * This header is C89, C99, C11 and C++98 and later.
 *
 * Linking
 *   Linux, pkg-config:  cc host.c $(pkg-config --cflags --libs kaldrix)
 *   Linux and Windows, CMake:  find_package(kaldrix 1.0 REQUIRED)
 *                              target_link_libraries(host PRIVATE kaldrix::kaldrix)
 *   Windows, MinGW:     gcc host.c -IDIR/include -LDIR/lib -lkaldrix
 *                       (lib/libkaldrix.dll.a)
 *   Windows, MSVC:      cl host.c /IDIR\include DIR\lib\KALDRIX.lib
 *   KALDRIX.dll (32- or 64-bit, as the host) must lie beside the host's
 *   executable or on its PATH; libkaldrix.so.1 in the loader's path.
 *
 * Threads
 *   Any host thread may call any function at any time, also at once with
 *   others. The start and the stop of one job (recording, or playback) take
 *   turns behind one lock, so a second caller waits for the first call to
 *   return; the status calls take no lock. Do not call from DllMain.
 *   On Linux no call is a cancellation point: a pthread_cancel of a thread
 *   inside one acts once the call has returned, at the thread's next
 *   cancellation point; the call completes and answers as usual.
 *
 * File names
 *   A file name is passed to the system as it is, as bytes: on Windows in the
 *   ANSI code page (CreateFileA), on Linux as the bytes of the path. NULL or
 *   an empty name is refused like a file that cannot be opened.
 *
 * The log
 *   The library writes a record of what it does (the Chinese records in GBK)
 *   on its host's standard output, from the library's load to its unload
 *   (on Linux, the process's exit). When the marker file /tmp/tracelog.is (Windows:
 *   C:\temp\tracelog.is) exists as the library loads, every record also goes
 *   to the day's file /tmp/KALDRIX<year><month><day>.log (Windows:
 *   C:\temp\KALDRIX<year><month><day>.log, CR LF). On Linux KALDRIX_LOG_DIR
 *   names another folder for both. Two environment variables, read once as
 *   the library loads (on Windows through GetEnvironmentVariableA), move the
 *   echo and never change the day's file: KALDRIX_ECHO (stdout, the default;
 *   stderr; off: no echo at all) and KALDRIX_ECHO_ENCODING (gbk, the default;
 *   utf-8: the library's own texts in UTF-8, what the host passed in, such as
 *   a file name, as its bytes). An unknown value is taken as the default and
 *   said once, in ASCII, on the echo. The echo goes only into the file that
 *   its standard output (or error) was as the library loaded: one closed then,
 *   or redirected since, gets nothing. No file the library opens ever takes
 *   descriptor 0, 1 or 2, even where the host has closed one.
 *
 * Faults
 *   No exception or processor fault leaves a function: it is logged and
 *   answered with the function's failure result.
 */
#ifndef KALDRIX_H
#define KALDRIX_H

/* The version of this header and of the library it came with: 1.1.0.0.
 * 1.1 added KxStartRecFileFormat; the six functions of 1.0 are unchanged. */
#define KALDRIX_VERSION_MAJOR 1
#define KALDRIX_VERSION_MINOR 1
#define KALDRIX_VERSION_PATCH 0
#define KALDRIX_VERSION_TWEAK 0
#define KALDRIX_VERSION_STRING "1.1.0.0"

/* The 32-bit DLL's functions are __stdcall; the 64-bit DLL has the one x64
 * convention, where __stdcall has no effect. Both export the undecorated
 * names at ordinals 2-8. */
#ifdef _WIN32
#define KALDRIX_CALL __stdcall
#else
#define KALDRIX_CALL
#endif

#if defined(__GNUC__) && !defined(_WIN32)
#define KALDRIX_API __attribute__((visibility("default")))
#else
#define KALDRIX_API
#endif

/* KxStartRecFile */
#define KX_REC_STARTED 1
#define KX_REC_NOT_STARTED 0
#define KX_REC_CANNOT_CREATE (-1)
/* KxStopRecFile */
#define KX_REC_COMPLETED 1
#define KX_REC_WAS_IDLE 0
#define KX_REC_FILE_ERROR (-1)
/* KxRecordStatus */
#define KX_REC_RECORDING 1
#define KX_REC_IDLE 0
/* KxStartPlayFile */
#define KX_PLAY_STARTED 1
#define KX_PLAY_CANNOT_OPEN (-1)
/* KxStopPlayFile */
#define KX_PLAY_STOPPED 0
#define KX_PLAY_STOP_TIMED_OUT 1
#define KX_PLAY_NO_THREAD 5
/* KxPlayStatus */
#define KX_PLAY_PLAYING 1
#define KX_PLAY_IDLE 0

#ifdef __cplusplus
extern "C" {
#endif

/* Creates (or truncates) fileName, writes a 44-byte WAVE header declaring no
 * sound (RIFF size 36, data size 0), and records the default input device
 * (the wave mapper) into it as 8000 Hz 16-bit mono PCM until KxStopRecFile.
 * While it records into a regular file, the two sizes follow the data from
 * the first buffer on and about once a second after it, so a host that dies
 * leaves a valid file short by a second at most.
 *   KX_REC_STARTED        recording.
 *   KX_REC_NOT_STARTED    already recording (that recording goes on), or a
 *                         device step failed: the file then holds the
 *                         header only.
 *   KX_REC_CANNOT_CREATE  the file cannot be created (a target that would
 *                         block, such as a FIFO without a reader, included).
 * After a failed start (KX_REC_NOT_STARTED for a device step, or
 * KX_REC_CANNOT_CREATE) KxRecordStatus stays KX_REC_RECORDING until a
 * KxStopRecFile, which closes the file: call it.
 * Blocks while the file and the device are opened: well under a second,
 * about 5 s at most when the device does not answer. */
KALDRIX_API int KALDRIX_CALL KxStartRecFile(const char* fileName);

/* Stops the recording and completes the file's header.
 *   KX_REC_COMPLETED   the file is complete: its 44-byte header is whole and
 *                      its sizes match its length, and every write to it
 *                      succeeded (reaching the 4 GiB limit is no failure).
 *   KX_REC_WAS_IDLE    nothing was recording.
 *   KX_REC_FILE_ERROR  the file could not be completed, or a write to it
 *                      failed while recording (the file is then still
 *                      completed with what it holds); the recording is
 *                      stopped all the same.
 * Blocks for at least 1.5 s while the last buffers come in, a few seconds
 * more when the device or the file misbehaves (a device call answers within
 * about 5 s, a write within 2 s). */
KALDRIX_API int KALDRIX_CALL KxStopRecFile(void);

/* Opens fileName (a regular file: a FIFO, a device or a folder is refused at
 * once) and plays its data chunk on wave-out device 0 in the file's format.
 *   KX_PLAY_STARTED      playing; KxPlayStatus answers KX_PLAY_PLAYING until
 *                        the end of the data or a KxStopPlayFile.
 *   KX_PLAY_CANNOT_OPEN  the file cannot be opened or read as WAVE, or no
 *                        device takes its format; nothing is left playing.
 * Starting while a playback runs stops that one first (see KxStopPlayFile).
 * Blocks while the file and the device are opened: well under a second,
 * about 5 s at most when the device does not answer. */
KALDRIX_API int KALDRIX_CALL KxStartPlayFile(const char* fileName);

/* Stops the playback. A stop is noticed between blocks, so it can take up to
 * about 3 s (5 s at the very end of a file); it gives up after 15 s.
 *   KX_PLAY_STOPPED         stopped, or nothing was playing.
 *   KX_PLAY_STOP_TIMED_OUT  the play thread did not end within 15 s; it is
 *                           left running.
 *   KX_PLAY_NO_THREAD       there was no thread to stop. */
KALDRIX_API int KALDRIX_CALL KxStopPlayFile(void);

/* KX_PLAY_PLAYING while a playback runs, answered after about 200 ms;
 * KX_PLAY_IDLE at once otherwise. */
KALDRIX_API int KALDRIX_CALL KxPlayStatus(void);

/* KX_REC_RECORDING from a KxStartRecFile (whatever it answered) until the
 * next KxStopRecFile; KX_REC_IDLE otherwise. Answers at once. */
KALDRIX_API int KALDRIX_CALL KxRecordStatus(void);

/* Added in 1.1, beyond the six functions above (ordinal 8): KxStartRecFile in
 * all but the format, which is PCM of samplesPerSec (8000 to 192000) samples
 * a second, channels (1 to 8) channels and bitsPerSample (8, 16, 24 or 32;
 * 24-bit samples take 3 bytes) bits. KxStartRecFile(fileName) is
 * KxStartRecFileFormat(fileName, 8000, 1, 16). The results, KxStopRecFile,
 * KxRecordStatus, the size updates and the blocking are those of
 * KxStartRecFile. A format that WAVE_FORMAT_PCM describes (1 or 2 channels
 * of 8 or 16 bits) gets the 44-byte header; any other a 68-byte header whose
 * 40-byte "fmt " chunk is WAVE_FORMAT_EXTENSIBLE (the channel mask of the
 * usual speaker layout for the count, the PCM sub-format, every bit valid).
 *   A format outside those ranges: KX_REC_NOT_STARTED with the record of a
 *     device that cannot be opened, before any file is created or
 *     truncated; KxRecordStatus stays KX_REC_IDLE (no KxStopRecFile needed).
 *   A format the device refuses: as KxStartRecFile when the device cannot
 *     be opened (KX_REC_NOT_STARTED, the file holds the header only, and
 *     KxRecordStatus is KX_REC_RECORDING until KxStopRecFile).
 * A host that finds it at run time (GetProcAddress, dlsym) must cope with a
 * library older than 1.1, which lacks it. */
KALDRIX_API int KALDRIX_CALL KxStartRecFileFormat(const char* fileName, int samplesPerSec,
                                                  int channels, int bitsPerSample);

/* What a host may do at any moment (README.md, "What a host may do at any
 * moment", says it whole):
 *   Unload: dlclose returns at once and leaves the library loaded (it stays
 *     until the process exits; a reload gets the same library and its jobs).
 *     FreeLibrary returns at once; a library thread holds the DLL, so a
 *     running job goes on, and the DLL goes when the last one ends.
 *   exit(), also while another thread is inside a call: a running job is
 *     stopped first (a recording completed, a playback stopped). The library
 *     waits at most about 20 s for another thread's start or stop, then as
 *     long as the stops above. From then on, the functions answer 0, 0, -1,
 *     0, 0, 0 (KxStartRecFile ... KxRecordStatus) at once and do nothing.
 *   fork (Linux): never waits on the library. In the child of a parent that
 *     was not using the library, it works as in a new process; otherwise the
 *     child sees idle engines, its starts fail as without a device, and it
 *     never touches the parent's jobs, devices or files.
 *   Signals (Linux): only a processor fault inside a call of the library's
 *     is its own; SIGSEGV, SIGBUS or SIGFPE sent to the host, or raised
 *     anywhere else, go to the host's handler or default action.
 *   Standard output that nobody reads: no call waits on it for more than
 *     100 ms; records it cannot take are dropped and counted, never the
 *     day's file's. */

#ifdef __cplusplus
}
#endif

#endif

/* KALDRIX: play WAVE files and record 8000 Hz 16-bit mono WAVE files, each job
 * on a thread of its own inside the library.
 *
 * Results:
 *   KxStartRecFile   1 recording, 0 already recording or a device step failed,
 *                    -1 the file cannot be created
 *   KxStopRecFile    1 file completed, 0 not recording, -1 file error
 *   KxRecordStatus   1 recording, 0 idle
 *   KxStartPlayFile  1 playing, -1 the file or the device cannot be opened
 *   KxStopPlayFile   0 stopped (or idle), 1 the play thread did not end, 5 no thread
 *   KxPlayStatus     1 playing (answers after about 200 ms), 0 idle
 */
#ifndef KALDRIX_H
#define KALDRIX_H

/* The 32-bit DLL's functions are __stdcall; the 64-bit DLL has the one x64
 * convention, where __stdcall has no effect. Both export the undecorated
 * names at ordinals 2-7. */
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

#ifdef __cplusplus
extern "C" {
#endif

KALDRIX_API int KALDRIX_CALL KxStartRecFile(const char* fileName);
KALDRIX_API int KALDRIX_CALL KxStopRecFile(void);
KALDRIX_API int KALDRIX_CALL KxStartPlayFile(const char* fileName);
KALDRIX_API int KALDRIX_CALL KxStopPlayFile(void);
KALDRIX_API int KALDRIX_CALL KxPlayStatus(void);
KALDRIX_API int KALDRIX_CALL KxRecordStatus(void);

#ifdef __cplusplus
}
#endif

#endif

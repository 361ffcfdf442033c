/* SPDX-License-Identifier: MIT */
/* A minimal KALDRIX host: records a few seconds into a WAVE file, then plays
 * the file back, checking every result.
 *
 *   play_and_record FILE [SECONDS]
 *
 * It is C89 and later; on POSIX it asks for nanosleep, which strict C modes
 * leave out of <time.h>.
 */
#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#define _POSIX_C_SOURCE 200112L
#endif
#include <kaldrix.h>

#include <stdio.h>
#include <stdlib.h>

#ifdef _WIN32
#include <windows.h>
static void SleepMs(unsigned ms) { Sleep(ms); }
#else
#include <time.h>
static void SleepMs(unsigned ms) {
    struct timespec wait;
    wait.tv_sec = (time_t)(ms / 1000);
    wait.tv_nsec = (long)(ms % 1000) * 1000000L;
    nanosleep(&wait, NULL);
}
#endif

int main(int argc, char** argv) {
    const char* file;
    int seconds = 2;
    int result;

    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: %s FILE [SECONDS]\n", argv[0]);
        return 2;
    }
    file = argv[1];
    if (argc == 3)
        seconds = atoi(argv[2]);
    if (seconds < 1)
        seconds = 1;

    /* A failed start still needs a stop, which closes the file. */
    result = KxStartRecFile(file);
    if (result != KX_REC_STARTED) {
        fprintf(stderr, "KxStartRecFile(%s) answered %d\n", file, result);
        KxStopRecFile();
        return 1;
    }
    SleepMs((unsigned)seconds * 1000u);
    /* Completes the file's header. */
    result = KxStopRecFile();
    if (result != KX_REC_COMPLETED) {
        fprintf(stderr, "KxStopRecFile answered %d\n", result);
        return 1;
    }
    fprintf(stderr, "recorded %s\n", file);

    result = KxStartPlayFile(file);
    if (result != KX_PLAY_STARTED) {
        fprintf(stderr, "KxStartPlayFile(%s) answered %d\n", file, result);
        return 1;
    }
    /* KxPlayStatus answers after about 200 ms while playing. */
    while (KxPlayStatus() == KX_PLAY_PLAYING)
        ;
    fprintf(stderr, "played %s\n", file);
    return 0;
}

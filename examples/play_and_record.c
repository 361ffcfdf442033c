/* A minimal KALDRIX host: records a few seconds into a WAVE file, then plays
 * the file back, checking every result.
 *
 *   play_and_record FILE [SECONDS]
 */
#include <kaldrix.h>

#include <stdio.h>
#include <stdlib.h>

#ifdef _WIN32
#include <windows.h>
static void SleepMs(unsigned ms) { Sleep(ms); }
#else
#include <time.h>
static void SleepMs(unsigned ms) {
    struct timespec wait = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
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

    /* 1 recording, 0 no recording device, -1 the file cannot be created. A
     * failed start still needs a stop, which closes the file. */
    result = KxStartRecFile(file);
    if (result != 1) {
        fprintf(stderr, "KxStartRecFile(%s) answered %d\n", file, result);
        KxStopRecFile();
        return 1;
    }
    SleepMs((unsigned)seconds * 1000u);
    /* Completes the file's header; 1 when the file is complete. */
    result = KxStopRecFile();
    if (result != 1) {
        fprintf(stderr, "KxStopRecFile answered %d\n", result);
        return 1;
    }
    fprintf(stderr, "recorded %s\n", file);

    /* 1 playing, -1 the file or the playback device cannot be opened. */
    result = KxStartPlayFile(file);
    if (result != 1) {
        fprintf(stderr, "KxStartPlayFile(%s) answered %d\n", file, result);
        return 1;
    }
    /* KxPlayStatus answers 1 (after about 200 ms) until the playback ends. */
    while (KxPlayStatus() == 1)
        ;
    fprintf(stderr, "played %s\n", file);
    return 0;
}

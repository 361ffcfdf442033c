/* SPDX-License-Identifier: MIT */
/* A C host linked against KALDRIX.dll through its import library, as a
 * mingw host is built: every function is bound at load time by its
 * undecorated name. Exits 0 when the calls answer as before any start. */
#include "kaldrix.h"

#include <stdio.h>

int main(void) {
    int failures = 0;
    const int idle[4] = {KxStopRecFile(), KxStopPlayFile(), KxPlayStatus(), KxRecordStatus()};
    int(KALDRIX_CALL* volatile startRecording)(const char*) = KxStartRecFile;
    int i;
    for (i = 0; i < 4; ++i) {
        if (idle[i] != 0) {
            printf("call %d answered %d before any start\n", i, idle[i]);
            ++failures;
        }
    }
    if (KxStartPlayFile("") != -1) {
        printf("playing an empty file name did not fail\n");
        ++failures;
    }
    printf("%s\n", startRecording ? "linked" : "KxStartRecFile missing");
    return failures || !startRecording;
}

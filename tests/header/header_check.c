/* SPDX-License-Identifier: MIT */
/* kaldrix.h as a host sees it, built in every C and C++ standard the header
 * promises (tests/CMakeLists.txt): the version macros agree with each other
 * and with the build's version, and each named result is the one the library
 * answers. */
#include <kaldrix.h>

#include <stdio.h>
#include <string.h>

static int g_failures = 0;

static void Expect(int answered, int named, const char* what) {
    if (answered != named) {
        fprintf(stderr, "%s answered %d, its constant is %d\n", what, answered, named);
        ++g_failures;
    }
}

int main(void) {
    char version[64];
    sprintf(version, "%d.%d.%d.%d", KALDRIX_VERSION_MAJOR, KALDRIX_VERSION_MINOR,
            KALDRIX_VERSION_PATCH, KALDRIX_VERSION_TWEAK);
    if (strcmp(version, KALDRIX_VERSION_STRING) != 0 ||
        strcmp(version, KALDRIX_PROJECT_VERSION) != 0) {
        fprintf(stderr, "the header says %s (%s), the build %s\n", KALDRIX_VERSION_STRING, version,
                KALDRIX_PROJECT_VERSION);
        ++g_failures;
    }

    /* Idle, on the virtual devices (set by the test). */
    Expect(KxRecordStatus(), KX_REC_IDLE, "KxRecordStatus");
    Expect(KxPlayStatus(), KX_PLAY_IDLE, "KxPlayStatus");
    Expect(KxStopRecFile(), KX_REC_WAS_IDLE, "KxStopRecFile");
    Expect(KxStopPlayFile(), KX_PLAY_STOPPED, "KxStopPlayFile");
    Expect(KxStartPlayFile("no/such/folder/file.wav"), KX_PLAY_CANNOT_OPEN, "KxStartPlayFile");
    /* A failed start leaves the recording flag set until a stop. */
    Expect(KxStartRecFile("no/such/folder/file.wav"), KX_REC_CANNOT_CREATE, "KxStartRecFile");
    Expect(KxRecordStatus(), KX_REC_RECORDING, "KxRecordStatus after a failed start");
    KxStopRecFile();
    Expect(KxRecordStatus(), KX_REC_IDLE, "KxRecordStatus after the stop");
    /* A format the recorder does not take leaves it idle. */
    Expect(KxStartRecFileFormat("no/such/folder/file.wav", 7999, 1, 16), KX_REC_NOT_STARTED,
           "KxStartRecFileFormat");
    Expect(KxRecordStatus(), KX_REC_IDLE, "KxRecordStatus after a refused format");
    return g_failures == 0 ? 0 : 1;
}

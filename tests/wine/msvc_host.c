/* SPDX-License-Identifier: MIT */
/* A host built by Microsoft's linker rules with no SDK: clang for the MSVC
 * target, lld-link against KALDRIX.lib and a kernel32 import library, no C
 * runtime. It calls each function through the import library and prints
 * what it answered, one "NAME RESULT" line each. */
#include "kaldrix.h"

/* The only kernel32 functions the host needs, declared here. */
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* bytes, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(unsigned int code);

static void Print(const char* name, int result) {
    char line[64];
    unsigned long length = 0, written;
    unsigned value = result < 0 ? 0u - (unsigned)result : (unsigned)result;
    char digits[12];
    int count = 0;
    while (name[length] != '\0') {
        line[length] = name[length];
        ++length;
    }
    line[length++] = ' ';
    if (result < 0)
        line[length++] = '-';
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0)
        line[length++] = digits[--count];
    line[length++] = '\n';
    WriteFile(GetStdHandle((unsigned long)-11), line, length, &written, 0);
}

void HostMain(void) {
    Print("KxStopRecFile", KxStopRecFile());
    Print("KxStopPlayFile", KxStopPlayFile());
    Print("KxPlayStatus", KxPlayStatus());
    Print("KxRecordStatus", KxRecordStatus());
    Print("KxStartPlayFile", KxStartPlayFile(""));
    Print("KxStartRecFileFormat", KxStartRecFileFormat("", 8000, 1, 12));
    Print("KxStartRecFile", KxStartRecFile(""));
    ExitProcess(0);
}

/* SPDX-License-Identifier: MIT */
/* A host that loads KALDRIX.dll by name, makes calls that each write log
 * records, and returns from main, having printed nothing of its own. Its
 * parent gives it a standard output that nobody reads and times its exit
 * from the moment main returns: argv[1] names the file that receives that
 * moment's GetTickCount. */
#include <windows.h>

#include <stdio.h>

typedef int(__stdcall* StartFunction)(const char*);

int main(int argc, char** argv) {
    HMODULE library = LoadLibraryA("KALDRIX.dll");
    StartFunction start;
    FILE* moment;
    int i;
    if (argc < 2 || !library)
        return 2;
    start = (StartFunction)(void (*)(void))GetProcAddress(library, "KxStartPlayFile");
    if (!start)
        return 3;
    for (i = 0; i < 300; ++i)
        start("C:\\no\\such\\file.wav");
    moment = fopen(argv[1], "w");
    if (!moment)
        return 4;
    fprintf(moment, "%lu", (unsigned long)GetTickCount());
    fclose(moment);
    return 0;
}

// Process start-up without a C runtime, and the few memory functions that
// the compiler may call on its own for struct copies and zeroing.
#include <windows.h>

#include "app/entry.h"

extern "C" {

void *memset(void *destination, int value, size_t count)
{
    unsigned char *d = (unsigned char *)destination;
    while (count-- > 0)
        *d++ = (unsigned char)value;
    return destination;
}

void *memcpy(void *destination, const void *source, size_t count)
{
    unsigned char *d = (unsigned char *)destination;
    const unsigned char *s = (const unsigned char *)source;
    while (count-- > 0)
        *d++ = *s++;
    return destination;
}

// The image's entry point: finds the command-line tail the way the C
// runtime would (skip the program path, quoted or not, and the blanks after
// it), runs wWinMain and ends the process with its result. Ending the
// process also ends an install worker that may still run.
void tarvik_start()
{
    wchar_t *p = GetCommandLineW();
    if (*p == L'"') {
        for (p++; *p != 0 && *p != L'"'; p++) {
        }
        if (*p == L'"')
            p++;
    } else {
        while (*p > L' ')
            p++;
    }
    while (*p != 0 && *p <= L' ')
        p++;
    ExitProcess((UINT)wWinMain(GetModuleHandleW(nullptr), nullptr, p, SW_SHOWDEFAULT));
}
}

// Process start-up without a C runtime, where the program's DLLs come from,
// and the few memory functions that the compiler may call on its own for
// struct copies and zeroing.
#include <windows.h>
#include <delayimp.h>

#include "app/dll_search.h"
#include "app/entry.h"
#include "app/system_dll.h"

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

// WINHTTP, bcrypt, WINTRUST and CRYPT32 are not known DLLs: loaded by name,
// Windows would look for them beside the executable first, and people run
// it from a Downloads folder where any web page can drop a file. They are
// delay-loaded, and this hook loads each one by its full path in the system
// folder when it is first used. When that fails it answers with this
// module, which exports nothing, rather than nothing: the delay-load helper
// would then load the DLL by its bare name, and where the DLL search cannot
// be restricted (Windows 7 without its update) that looks beside the
// executable first. Every function of the DLL then fails to bind (see the
// failure hook below).
static FARPROC WINAPI load_from_system_folder(unsigned notification, PDelayLoadInfo info)
{
    if (notification != dliNotePreLoadLibrary)
        return nullptr;
    HMODULE module = load_system_folder_dll(info->szDll);
    return (FARPROC)(module != nullptr ? module : GetModuleHandleW(nullptr));
}

PfnDliHook __pfnDliNotifyHook2 = load_from_system_folder;

// Without a failure hook, a function that cannot be found raises an
// exception that nothing handles: the process would end with an exception
// code, or the system's crash report, instead of a result code. So each
// missing function is bound to a stub, and load_system_dll() sees the
// failure, so that its step fails with its own code. The stubs fail
// closed, should a call ever reach one: the CNG calls and WinVerifyTrust,
// for which 0 means success, get a failing status; every other imported
// function fails by answering 0 (FALSE, a null handle or pointer).
static volatile LONG binding_failed;

static INT_PTR WINAPI unavailable_function()
{
    SetLastError(ERROR_PROC_NOT_FOUND);
    return 0;
}

static INT_PTR WINAPI unavailable_status_function()
{
    return (LONG)0xC0000139; // STATUS_ENTRYPOINT_NOT_FOUND, read as a 32-bit status
}

static bool same_name(const char *a, const char *b)
{
    while (*a != 0 && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

static FARPROC WINAPI bind_missing_import(unsigned notification, PDelayLoadInfo info)
{
    if (notification != dliFailGetProc)
        return nullptr;
    InterlockedExchange(&binding_failed, 1);
    if (same_name(info->szDll, "bcrypt.dll") ||
        (info->dlp.fImportByName && same_name(info->dlp.szProcName, "WinVerifyTrust")))
        return (FARPROC)unavailable_status_function;
    return (FARPROC)unavailable_function;
}

PfnDliHook __pfnDliFailureHook2 = bind_missing_import;

// The image's entry point: restricts the DLL search, finds the command-line
// tail the way the C runtime would (skip the program path, quoted or not,
// and the blanks after it), runs wWinMain and ends the process with its
// result. Ending the process also ends an install worker that may still run.
void tarvik_start()
{
    restrict_dll_search();
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

bool load_system_dll(const char *dll)
{
    InterlockedExchange(&binding_failed, 0);
    return SUCCEEDED(__HrLoadAllImportsForDll(dll)) && binding_failed == 0;
}

// The bootstrapper's delay-load hooks, called directly. This program is
// linked like the bootstrapper, from its start-up code (startup.cpp, no C
// runtime), with this wWinMain in place of the program's. The unit-test
// program cannot hold these checks: it links the DLLs directly and has no
// delay-load hooks.
//
// The result is a bit mask of the checks that failed, 0 when all passed.
#include <windows.h>
#include <delayimp.h>

#include "app/entry.h"

namespace {

FARPROC fail_get_proc(const char *dll, const char *function)
{
    DelayLoadInfo info = {};
    info.cb = sizeof info;
    info.szDll = dll;
    info.dlp.fImportByName = TRUE;
    info.dlp.szProcName = function;
    return __pfnDliFailureHook2(dliFailGetProc, &info);
}

bool in_system_folder(HMODULE module)
{
    wchar_t system[MAX_PATH], path[MAX_PATH];
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (module == nullptr || length == 0 || GetModuleFileNameW(module, path, MAX_PATH) <= length)
        return false;
    return CompareStringOrdinal(system, (int)length, path, (int)length, TRUE) == CSTR_EQUAL &&
           path[length] == L'\\';
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    int failed = 0;
    // A function that could not be bound fails closed: WinVerifyTrust and
    // CNG answer a failing status (0 would mean trusted, or success), the
    // others 0 with ERROR_PROC_NOT_FOUND.
    typedef LONG(WINAPI * Status)(HWND, GUID *, void *);
    typedef void *(WINAPI * Pointer)(void *);
    Status verify = (Status)(void *)fail_get_proc("WINTRUST.dll", "WinVerifyTrust");
    if (verify == nullptr || verify(nullptr, nullptr, nullptr) == 0)
        failed |= 1;
    Status hash = (Status)(void *)fail_get_proc("bcrypt.dll", "BCryptHashData");
    if (hash == nullptr || hash(nullptr, nullptr, nullptr) >= 0)
        failed |= 2;
    const char *const others[][2] = {{"WINTRUST.dll", "WTHelperProvDataFromStateData"},
                                     {"CRYPT32.dll", "CertGetNameStringW"},
                                     {"WINHTTP.dll", "WinHttpOpen"}};
    for (const auto &other : others) {
        Pointer function = (Pointer)(void *)fail_get_proc(other[0], other[1]);
        SetLastError(0);
        if (function == nullptr || function(nullptr) != nullptr ||
            GetLastError() != ERROR_PROC_NOT_FOUND)
            failed |= 4;
    }
    // The failure hook answers nothing else: a DLL that cannot load is
    // the notify hook's to answer.
    DelayLoadInfo info = {};
    info.cb = sizeof info;
    info.szDll = "WINTRUST.dll";
    if (__pfnDliFailureHook2(dliFailLoadLib, &info) != nullptr ||
        __pfnDliFailureHook2(dliNotePreGetProcAddress, &info) != nullptr)
        failed |= 8;
    // The notify hook loads a DLL from the system folder, answers with
    // this module (which exports nothing) for one that is not there, and
    // leaves every other notification to the helper.
    if (!in_system_folder((HMODULE)__pfnDliNotifyHook2(dliNotePreLoadLibrary, &info)))
        failed |= 16;
    info.szDll = "tarvik-no-such.dll";
    if ((HMODULE)__pfnDliNotifyHook2(dliNotePreLoadLibrary, &info) != GetModuleHandleW(nullptr))
        failed |= 32;
    if (__pfnDliNotifyHook2(dliNotePreGetProcAddress, &info) != nullptr ||
        __pfnDliNotifyHook2(dliStartProcessing, &info) != nullptr)
        failed |= 64;
    return failed;
}

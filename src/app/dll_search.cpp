#include "app/dll_search.h"

// Set once by restrict_dll_search(), before the DLLs are loaded.
static bool search_restricted;

void restrict_dll_search()
{
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesProc)(DWORD);
    // Through void *: the found address has the generic FARPROC type.
    SetDefaultDllDirectoriesProc set_directories = (SetDefaultDllDirectoriesProc)(void *)GetProcAddress(
        GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    search_restricted =
        set_directories != nullptr && set_directories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
}

HMODULE load_system_folder_dll(const char *dll)
{
    wchar_t path[MAX_PATH];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH - 32)
        return nullptr;
    path[length++] = L'\\';
    const char *c = dll;
    for (; *c != 0 && length < MAX_PATH - 1; c++)
        path[length++] = (wchar_t)*c;
    path[length] = 0;
    // A cut name would name another file.
    if (*c != 0)
        return nullptr;
    // With the search restricted, the DLL's own imports come from the
    // system folder like everything else (no flags: the process's default
    // directories). Without it, the standard order would look for them
    // beside the executable first; the altered order starts in the folder
    // of the DLL being loaded instead, the system folder. It governs only
    // this load and its imports: what the DLL loads by name later follows
    // the standard order on those systems. The LOAD_LIBRARY_SEARCH_ flags
    // themselves are unknown there.
    return LoadLibraryExW(path, nullptr, search_restricted ? 0 : LOAD_WITH_ALTERED_SEARCH_PATH);
}

#include "install/launcher.h"

#include <windows.h>
#include <shellapi.h>

#include "app/run_state.h"
#include "app/text.h"

void launch_installed_app()
{
    wchar_t location[PATH_CAPACITY] = {};
    DWORD size = sizeof location;
    LSTATUS status = RegGetValueW(HKEY_CURRENT_USER, UNINSTALL_KEY, L"InstallLocation",
                                  RRF_RT_REG_SZ, nullptr, location, &size);
    if (status != ERROR_SUCCESS) {
        size = sizeof location;
        status = RegGetValueW(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, L"InstallLocation",
                              RRF_RT_REG_SZ, nullptr, location, &size);
    }
    if (status != ERROR_SUCCESS) {
        // A value longer than the buffer is reported by the size it needs,
        // without filling the buffer: treat it like a missing variable.
        wchar_t local_app_data[PATH_CAPACITY];
        DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", local_app_data, PATH_CAPACITY);
        if (length == 0 || length >= PATH_CAPACITY)
            return;
        if (format_text(location, PATH_CAPACITY, L"%s\\Programs\\Tarvik\\", local_app_data) >=
            PATH_CAPACITY)
            return;
    }

    // A path cut to fit would name something else, and the shell completes
    // a name without extension: "...\Tarv" would start a Tarv.exe there.
    // Nothing is opened rather than the wrong program.
    unsigned length = text_length(location);
    const wchar_t *separator = length > 0 && location[length - 1] == L'\\' ? L"" : L"\\";
    wchar_t executable[PATH_CAPACITY];
    if (format_text(executable, PATH_CAPACITY, L"%s%sTarvik.exe", location, separator) >=
        PATH_CAPACITY)
        return;
    ShellExecuteW(nullptr, L"open", executable, nullptr, nullptr, SW_SHOWNORMAL);
}

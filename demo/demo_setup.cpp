// The demo release's setup program. It carries the demo Tarvik.exe as a
// resource and installs it for the current user, as the product's setup
// program does:
//   %LOCALAPPDATA%\Programs\Tarvik\Tarvik.exe
//   HKCU\UNINSTALL_KEY (install/launcher.h)
//       InstallLocation = %LOCALAPPDATA%\Programs\Tarvik\ (with the backslash)
// It honours the four switches the bootstrapper passes: /VERYSILENT (no
// window), /SUPPRESSMSGBOXES (no message box), /NORESTART and /SP- (nothing
// to do for either). Exit code 0 on success, 1 when it cannot install.
#include <windows.h>

#include <string>

#include "install/launcher.h" // UNINSTALL_KEY

static bool install(std::wstring *folder)
{
    wchar_t local[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    std::wstring programs = std::wstring(local) + L"\\Programs";
    *folder = programs + L"\\Tarvik\\";
    CreateDirectoryW(programs.c_str(), nullptr);
    CreateDirectoryW(folder->c_str(), nullptr);

    HRSRC resource = FindResourceW(nullptr, L"TARVIK_APP", MAKEINTRESOURCEW(10)); // RT_RCDATA
    HGLOBAL loaded = resource ? LoadResource(nullptr, resource) : nullptr;
    if (loaded == nullptr)
        return false;
    HANDLE file = CreateFileW((*folder + L"Tarvik.exe").c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD size = SizeofResource(nullptr, resource), written = 0;
    bool ok = WriteFile(file, LockResource(loaded), size, &written, nullptr) && written == size;
    CloseHandle(file);

    HKEY key;
    if (!ok || RegCreateKeyExW(HKEY_CURRENT_USER, UNINSTALL_KEY, 0, nullptr, 0, KEY_SET_VALUE,
                               nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    const wchar_t name[] = L"Tarvik (demo)";
    RegSetValueExW(key, L"DisplayName", 0, REG_SZ, (const BYTE *)name, sizeof name);
    RegSetValueExW(key, L"InstallLocation", 0, REG_SZ, (const BYTE *)folder->c_str(),
                   (DWORD)((folder->size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return true;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR command_line, int)
{
    std::wstring switches(command_line);
    bool silent = switches.find(L"/VERYSILENT") != std::wstring::npos;
    bool quiet = silent || switches.find(L"/SUPPRESSMSGBOXES") != std::wstring::npos;
    if (!quiet && MessageBoxW(nullptr, L"Install the Tarvik demo for this user?", L"Tarvik Setup",
                              MB_OKCANCEL | MB_ICONQUESTION) != IDOK)
        return 5; // cancelled by the user
    std::wstring folder;
    bool ok = install(&folder);
    if (!quiet)
        MessageBoxW(nullptr, ok ? L"Tarvik is installed." : L"Tarvik could not be installed.",
                    L"Tarvik Setup", MB_OK | (ok ? MB_ICONINFORMATION : MB_ICONERROR));
    return ok ? 0 : 1;
}

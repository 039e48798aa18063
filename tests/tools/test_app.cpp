// Installed as Tarvik.exe by the test setup program. Records that it was
// opened by appending its command line to "opened.log" beside itself, so a
// test can see from outside what the bootstrapper opened.
#include <windows.h>

#include <cstdio>
#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring log(path, n);
    log = log.substr(0, log.rfind(L'\\') + 1) + L"opened.log";
    if (FILE *file = _wfopen(log.c_str(), L"a")) {
        fprintf(file, "%ls\n", GetCommandLineW());
        fclose(file);
    }
    return 0;
}

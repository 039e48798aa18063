// The demo "Tarvik.exe": what the demo release installs. It only says that
// it runs, and where from.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t text[MAX_PATH + 96];
    wsprintfW(text, L"Tarvik is installed and running.\n\n%s", path);
    MessageBoxW(nullptr, text, L"Tarvik (demo)", MB_OK | MB_ICONINFORMATION);
    return 0;
}

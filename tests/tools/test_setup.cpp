// A stand-in for the product's setup program, published by the test site.
// Each test steers it through a plan file named by the environment variable
// TARVIK_TEST_SETUP_PLAN (the bootstrapper passes its environment on):
//
//   exit 3 3 0           exit codes of the successive runs; the last repeats
//   install DIR          on exit 0: copy APP to DIR\Tarvik.exe and record DIR
//                        as "InstallLocation" of the uninstall entry
//   app PATH             the program installed as Tarvik.exe
//   scope user|machine   where the uninstall entry is written (default user)
//   handshake            signal "TarvikTestSetupStarted", then wait for
//                        "TarvikTestSetupGo" before exiting
//   sleep MS             take that long before exiting
//
// Every run appends one line to PLAN.log: the run number, a tab and the
// command line it received. Without a plan it exits with 0 and does nothing.
// Like a real setup program it is a GUI program: it never shows a console.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "install/launcher.h" // UNINSTALL_KEY

static std::wstring widen(const std::string &text)
{
    wchar_t buffer[1024];
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, buffer, 1024);
    return n > 0 ? std::wstring(buffer) : std::wstring();
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    wchar_t plan_path[1024];
    if (GetEnvironmentVariableW(L"TARVIK_TEST_SETUP_PLAN", plan_path, 1024) == 0)
        return 0;

    std::vector<unsigned long> codes;
    std::wstring install_dir, app_path;
    bool machine = false, handshake = false;
    unsigned long sleep_ms = 0;
    if (FILE *plan = _wfopen(plan_path, L"r")) {
        char line[1024];
        while (fgets(line, sizeof line, plan)) {
            line[strcspn(line, "\r\n")] = 0;
            std::string text(line);
            std::string word = text.substr(0, text.find(' '));
            std::string rest = text.size() > word.size() ? text.substr(word.size() + 1) : "";
            if (word == "exit") {
                char *p = &rest[0];
                while (*p) {
                    char *end;
                    unsigned long value = strtoul(p, &end, 0);
                    if (end == p)
                        break;
                    codes.push_back(value);
                    p = end;
                }
            } else if (word == "install")
                install_dir = widen(rest);
            else if (word == "app")
                app_path = widen(rest);
            else if (word == "scope")
                machine = rest == "machine";
            else if (word == "handshake")
                handshake = true;
            else if (word == "sleep")
                sleep_ms = strtoul(rest.c_str(), nullptr, 10);
        }
        fclose(plan);
    }

    // The run number is one more than the lines already logged.
    std::wstring log_path = std::wstring(plan_path) + L".log";
    int run = 1;
    if (FILE *log = _wfopen(log_path.c_str(), L"r")) {
        char line[4096];
        while (fgets(line, sizeof line, log))
            run++;
        fclose(log);
    }
    if (FILE *log = _wfopen(log_path.c_str(), L"a")) {
        fprintf(log, "%d\t%ls\n", run, GetCommandLineW());
        fclose(log);
    }

    if (handshake) {
        HANDLE started = CreateEventW(nullptr, FALSE, FALSE, L"TarvikTestSetupStarted");
        HANDLE go = CreateEventW(nullptr, FALSE, FALSE, L"TarvikTestSetupGo");
        SetEvent(started);
        WaitForSingleObject(go, 60000);
        CloseHandle(started);
        CloseHandle(go);
    }

    Sleep(sleep_ms);
    unsigned long code = 0;
    if (!codes.empty())
        code = codes[(size_t)run - 1 < codes.size() ? (size_t)run - 1 : codes.size() - 1];

    if (code == 0 && !install_dir.empty()) {
        CreateDirectoryW(install_dir.c_str(), nullptr);
        std::wstring target = install_dir;
        if (target.back() != L'\\')
            target += L'\\';
        if (!app_path.empty())
            CopyFileW(app_path.c_str(), (target + L"Tarvik.exe").c_str(), FALSE);
        HKEY key;
        if (RegCreateKeyExW(machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, UNINSTALL_KEY, 0,
                            nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) == ERROR_SUCCESS) {
            RegSetValueExW(key, L"InstallLocation", 0, REG_SZ, (const BYTE *)install_dir.c_str(),
                           (DWORD)((install_dir.size() + 1) * sizeof(wchar_t)));
            RegCloseKey(key);
        }
    }
    return (int)code;
}

// Every platform call fails in turn, a system DLL that cannot load
// (load_system_dll) counting as one. For each scenario a clean run counts
// the program's platform calls (N); then the scenario runs again N times
// with the n-th call failing, and each run is checked: its result is one
// that the failing function's step may give, a signed bootstrapper never
// accepts what it could not check, no file is left after a failure, no
// setup program started after a failed check, and every handle opened was
// closed again. The faults come from the fault-injection layer
// (fault_layer.h) under real WinHTTP, CNG and WinVerifyTrust.
#include <doctest/doctest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "app/dll_search.h"
#include "app/entry.h"
#include "app/run_state.h"
#include "install/install_worker.h"
#include "install/launcher.h"
#include "verify/download.h"
#include "fault_layer.h"
#include "test_support.h"

namespace {

// The results that a failure of each function may give. Where a function
// runs in more than one role, `ordinal` picks its n-th call (0: any).
// "transfer": 2 in the manifest's transfer, 3 in the download's. The own
// signature is read first (WinVerifyTrust 1 and 2, the helpers' first
// calls), the download's second: a failure reading the own signature turns
// the comparison off, one reading the download's refuses it. Close calls,
// the second WinHttpOpen and the redirect option change nothing.
struct Allowed {
    const char *function;
    int ordinal;
    const char *results;
};
const Allowed allowed_results[] = {
    // A system DLL that cannot load fails its step.
    {"load_system_dll(WINHTTP.dll)", 0, "transfer"},
    {"load_system_dll(bcrypt.dll)", 0, "3"},
    {"load_system_dll(WINTRUST.dll)", 0, "5"},
    {"load_system_dll(CRYPT32.dll)", 0, "5"},
    {"WinHttpOpen", 0, "0"},
    {"WinHttpSetOption", 0, "0"},
    {"WinHttpCloseHandle", 0, "0"},
    {"WinHttpCrackUrl", 0, "transfer"},
    {"WinHttpConnect", 0, "transfer"},
    {"WinHttpOpenRequest", 0, "transfer"},
    {"WinHttpSendRequest", 0, "transfer"},
    {"WinHttpReceiveResponse", 0, "transfer"},
    {"WinHttpQueryHeaders", 0, "transfer"},
    {"WinHttpReadData", 0, "transfer"},
    {"MultiByteToWideChar", 1, "0"}, // the version: only the file's name changes
    {"MultiByteToWideChar", 2, "3"}, // the download URL
    {"GetModuleHandleW", 0, "0"},    // GetTempPath2W is not looked for
    {"GetProcAddress", 0, "0"},
    {"GetTempPathW", 0, "3"},
    {"OpenProcessToken", 0, "3"},
    {"GetTokenInformation", 0, "3"},
    {"CreateWellKnownSid", 0, "3"},
    {"InitializeAcl", 0, "3"},
    {"AddAccessAllowedAceEx", 0, "3"},
    {"InitializeSecurityDescriptor", 0, "3"},
    {"SetSecurityDescriptorDacl", 0, "3"},
    {"SetSecurityDescriptorControl", 0, "3"},
    {"CreateDirectoryW", 0, "3"},
    {"CreateFileW", 0, "3"},
    {"WriteFile", 0, "3"},
    {"BCryptOpenAlgorithmProvider", 0, "3"},
    {"BCryptCreateHash", 0, "3"},
    {"BCryptHashData", 0, "3"},
    {"BCryptFinishHash", 0, "3"},
    {"BCryptDestroyHash", 0, "0"},
    {"BCryptCloseAlgorithmProvider", 0, "0"},
    // A download file that stays open cannot be read to check its
    // signature, nor started.
    {"CloseHandle", 0, "056"},
    {"GetModuleFileNameW", 0, "5"},
    {"WinVerifyTrust", 1, "0"},
    {"WinVerifyTrust", 2, "0"},
    {"WinVerifyTrust", 3, "5"},
    {"WinVerifyTrust", 4, "0"},
    {"WTHelperProvDataFromStateData", 1, "0"},
    {"WTHelperProvDataFromStateData", 2, "5"},
    {"WTHelperGetProvSignerFromChain", 1, "0"},
    {"WTHelperGetProvSignerFromChain", 2, "5"},
    {"WTHelperGetProvCertFromChain", 1, "0"},
    {"WTHelperGetProvCertFromChain", 2, "5"},
    {"CertGetNameStringW", 1, "0"},
    {"CertGetNameStringW", 2, "5"},
    {"CreateProcessW", 0, "6"},
    {"WaitForSingleObject", 0, "6"},
    {"GetExitCodeProcess", 0, "6"},
    {"DeleteFileW", 0, "06"},
    {"RegGetValueW", 0, "0"},
    {"GetEnvironmentVariableW", 0, "0"},
    {"ShellExecuteW", 0, "0"},
};

// Each transfer starts by loading WinHTTP. The call number at which this
// run's second transfer, the download's, began (0: not yet). It is noted
// in each run: the transfers' read counts differ from run to run, so a
// clean run's numbers do not hold for the next.
long download_transfer;

void note_transfers(const char *function)
{
    if (strcmp(function, "load_system_dll(WINHTTP.dll)") == 0 && fault_count(function) == 1)
        download_transfer = fault_calls() + 1;
}

// A setup run that a scenario retries may still end in 0.
bool allowed(const FaultCall &fault, int result, bool retries)
{
    for (const Allowed &row : allowed_results)
        if (strcmp(row.function, fault.function) == 0 &&
            (row.ordinal == 0 || row.ordinal == fault.ordinal)) {
            const char *results = row.results;
            if (strcmp(results, "transfer") == 0)
                results = download_transfer != 0 && fault.call >= download_transfer ? "3" : "2";
            return strchr(results, '0' + result) != nullptr ||
                   (retries && result == 0 && strchr(results, '6') != nullptr);
        }
    return false;
}

std::wstring download_folders()
{
    return temp_folder() + L"TarvikInstaller-" + std::to_wstring(GetCurrentProcessId());
}

// Files left in this process's download folders; removes them and the
// folders. A folder that cannot be removed (a close call failed on
// purpose, so its file stays open) is left out of later counts.
std::set<std::wstring> stale_folders;

int clear_download_folders()
{
    int files = 0;
    WIN32_FIND_DATAW folder;
    HANDLE folders = FindFirstFileW((download_folders() + L"*").c_str(), &folder);
    if (folders == INVALID_HANDLE_VALUE)
        return 0;
    do {
        std::wstring path = temp_folder() + folder.cFileName;
        if (stale_folders.count(path) != 0)
            continue;
        WIN32_FIND_DATAW file;
        HANDLE found = FindFirstFileW((path + L"\\*").c_str(), &file);
        if (found != INVALID_HANDLE_VALUE) {
            do {
                if ((file.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                    files++;
                    DeleteFileW((path + L"\\" + file.cFileName).c_str());
                }
            } while (FindNextFileW(found, &file));
            FindClose(found);
        }
        if (!RemoveDirectoryW(path.c_str()))
            stale_folders.insert(path);
    } while (FindNextFileW(folders, &folder));
    FindClose(folders);
    return files;
}

struct Scenario {
    const char *name;
    void (*prepare)(); // before each run, outside the count
    int (*run)();
    bool retries; // blocked setup runs are retried
    bool signed_bootstrapper;
};

std::wstring fixture(const wchar_t *name)
{
    return harness_path(std::wstring(L"fixtures\\") + name);
}

std::wstring own_image;

void publish_setup(const wchar_t *setup)
{
    site_fault("/windows-setup.json", "");
    site_fault("/downloads/Tarvik-Setup.exe", "");
    publish_release(read_file(fixture(setup)));
}

void unsigned_release()
{
    fault_own_image = nullptr;
    write_setup_plan("exit 0\n");
}

void signed_release()
{
    own_image = fixture(L"bootstrapper-braskworks.exe");
    fault_own_image = own_image.c_str();
    write_setup_plan("exit 0\n");
}

void blocked_once()
{
    fault_own_image = nullptr;
    RegDeleteTreeW(HKEY_CURRENT_USER, UNINSTALL_KEY);
    write_setup_plan("exit 3 0\ninstall " + narrow(harness_path(L"installed")) + "\napp " +
                     narrow(test_app_path()) + "\n");
}

int checked_download()
{
    return prepare_installer();
}

int silent_run()
{
    wchar_t tail[] = L"--silent";
    return wWinMain(GetModuleHandleW(nullptr), nullptr, tail, SW_SHOWDEFAULT);
}

int worker_run()
{
    install_worker(nullptr);
    return run_state.final_result;
}

// A crash is not counted: it ends the program in report_crash, which names
// the failing call and fails the run.
struct Counts {
    long calls = 0, injected = 0, outside = 0, fail_open = 0, files = 0, leaks = 0;
};

const char *current_scenario;
long current_call;

LONG WINAPI report_crash(EXCEPTION_POINTERS *exception)
{
    FaultCall fault = fault_injected();
    fprintf(stderr, "%s: crash 0x%lx with call %ld (%s) failing\n", current_scenario,
            exception->ExceptionRecord->ExceptionCode, current_call,
            fault.function != nullptr ? fault.function : "none");
    fflush(stderr);
    ExitProcess(3);
}

// One run with call `fail_at` failing (0: none); counts what went wrong.
int run_once(const Scenario &scenario, long fail_at, Counts *counts)
{
    reset_run_state();
    scenario.prepare();
    current_call = fail_at;
    fault_reset(fail_at);
    download_transfer = 0;
    fault_before_call = note_transfers;
    int result = scenario.run();
    fault_before_call = nullptr;
    FaultCall fault = fault_injected();
    FaultCall opener = {};
    int open = fault_open_handles(&opener);
    bool started = fault_count("CreateProcessW") > 0;
    long calls = fault_calls();
    fault_reset(0);
    int files = clear_download_folders();
    if (fail_at == 0)
        counts->calls = calls;
    if (fault.function == nullptr)
        return result;
    counts->injected++;
    // A failed close leaves its file open, so it cannot be deleted; a
    // failed wait leaves the setup program running from its file.
    bool exempt = strcmp(fault.function, "DeleteFileW") == 0 ||
                  strcmp(fault.function, "CloseHandle") == 0 ||
                  strcmp(fault.function, "WaitForSingleObject") == 0;
    const char *problem = nullptr;
    if (!allowed(fault, result, scenario.retries)) {
        if (result == 0) {
            counts->fail_open++;
            problem = "accepted";
        } else {
            counts->outside++;
            problem = "a result outside the table";
        }
    } else if (result != 0 && files > 0 && !exempt) {
        counts->files++;
        problem = "a file left";
    } else if (result >= RESULT_NO_RELEASE_INFO && result <= RESULT_PUBLISHER_MISMATCH &&
               started) {
        counts->outside++;
        problem = "a setup run after a failed check";
    } else if (open > 0 && !exempt) {
        counts->leaks++;
        problem = "a handle left open";
        fprintf(stderr, "%s: %s by %s call %d (call %ld)\n", scenario.name, problem,
                opener.function, opener.ordinal, opener.call);
    }
    if (problem != nullptr)
        fprintf(stderr, "%s: call %ld, %s call %d failing: result %d, %s\n", scenario.name,
                fail_at, fault.function, fault.ordinal, result, problem);
    return result;
}

std::wstring temp_path2_folder()
{
    return temp_folder() + L"system-temp\\";
}

DWORD WINAPI temp_path2(DWORD capacity, LPWSTR path)
{
    std::wstring folder = temp_path2_folder();
    if (folder.size() >= capacity)
        return (DWORD)folder.size() + 1;
    wcscpy(path, folder.c_str());
    return (DWORD)folder.size();
}

FARPROC with_temp_path2(const char *name, FARPROC found)
{
    return strcmp(name, "GetTempPath2W") == 0 ? (FARPROC)(void *)temp_path2 : found;
}

// SetDefaultDllDirectories as the lookup finds it: missing, or a stand-in
// that notes its flags and answers `set_directories_result`, so that the
// test program's own DLL search stays as it is.
bool set_directories_present;
BOOL set_directories_result;
DWORD set_directories_flags;

BOOL WINAPI set_directories(DWORD flags)
{
    set_directories_flags = flags;
    return set_directories_result;
}

FARPROC with_set_directories(const char *name, FARPROC found)
{
    if (strcmp(name, "SetDefaultDllDirectories") != 0)
        return found;
    return set_directories_present ? (FARPROC)(void *)set_directories : nullptr;
}

} // namespace

TEST_SUITE("fault_injection")
{
    TEST_CASE("every platform call fails in turn")
    {
        SetUnhandledExceptionFilter(report_crash);
        const Scenario scenarios[] = {
            {"prepare_installer, unsigned bootstrapper", unsigned_release, checked_download, false,
             false},
            {"prepare_installer, signed bootstrapper", signed_release, checked_download, false,
             true},
            {"--silent", unsigned_release, silent_run, false, false},
            {"install worker, blocked once", blocked_once, worker_run, true, false},
        };
        for (const Scenario &scenario : scenarios) {
            std::string name = scenario.name;
            CAPTURE(name);
            current_scenario = scenario.name;
            publish_setup(scenario.signed_bootstrapper ? L"setup-braskworks.exe"
                                                       : L"setup-unsigned.exe");
            Counts counts;
            REQUIRE(run_once(scenario, 0, &counts) == RESULT_OK);
            for (long n = 1; n <= counts.calls; n++)
                run_once(scenario, n, &counts);
            printf("%s: N %ld, faults injected %ld, results outside the table %ld, fail-open %ld, "
                   "files left %ld, handles leaked %ld\n",
                   scenario.name, counts.calls, counts.injected, counts.outside, counts.fail_open,
                   counts.files, counts.leaks);
            fflush(stdout);
            CHECK(counts.injected > 0);
            CHECK(counts.outside + counts.fail_open + counts.files + counts.leaks == 0);
        }
        SetUnhandledExceptionFilter(nullptr);
        fault_own_image = nullptr;
    }
}

// Branches that Wine alone never takes: Wine 8 has no GetTempPath2W, its
// mutexes never answer "access denied", and it always has
// SetDefaultDllDirectories.
TEST_SUITE("fault_injection")
{
    TEST_CASE("where GetTempPath2W exists, the download folder is made under its answer")
    {
        reset_run_state();
        publish_setup(L"setup-unsigned.exe");
        CreateDirectoryW(temp_path2_folder().c_str(), nullptr);
        fault_lookup = with_temp_path2;
        CHECK(prepare_installer() == RESULT_OK);
        fault_lookup = nullptr;
        std::wstring path = run_state.installer_path;
        CHECK(path.rfind(temp_path2_folder() + L"TarvikInstaller-", 0) == 0);
        CHECK(file_exists(path));
        DeleteFileW(path.c_str());
        RemoveDirectoryW(path.substr(0, path.rfind(L'\\')).c_str());
        RemoveDirectoryW(temp_path2_folder().c_str());
    }

    TEST_CASE("a single-instance mutex that answers access denied ends the run at once")
    {
        // The table's failure of CreateMutexW is a null handle with
        // ERROR_ACCESS_DENIED: the mutex of an instance with other rights.
        // The dialog is made to fail too, so that a regression cannot hang.
        reset_run_state();
        fault_reset(0);
        fault_arm("CreateMutexW", 1);
        fault_arm("TaskDialogIndirect", 1);
        wchar_t tail[] = L"";
        CHECK(wWinMain(GetModuleHandleW(nullptr), nullptr, tail, SW_SHOWDEFAULT) == 0);
        CHECK(fault_count("CreateMutexW") == 1);
        CHECK(fault_count("TaskDialogIndirect") == 0);
        fault_reset(0);
    }

    TEST_CASE("system DLLs load by full path, their own imports from the system folder too")
    {
        // Without a restricted search (SetDefaultDllDirectories missing on
        // Vista and on Windows 7 without its update, or refusing), the
        // flags must make the DLL's own imports come from its folder.
        const std::string long_name(300, 'x');
        struct Case {
            const char *name;
            bool present;
            BOOL accepts;
            const char *failing; // a call that fails
            const char *dll;
            DWORD flags; // of the load; none when -1
        } cases[] = {
            {"missing", false, FALSE, nullptr, "WINTRUST.dll", LOAD_WITH_ALTERED_SEARCH_PATH},
            {"refusing", true, FALSE, nullptr, "WINTRUST.dll", LOAD_WITH_ALTERED_SEARCH_PATH},
            {"restricting", true, TRUE, nullptr, "WINTRUST.dll", 0},
            {"no system folder", true, TRUE, "GetSystemDirectoryW", "WINTRUST.dll", (DWORD)-1},
            {"a name that does not fit", true, TRUE, nullptr, long_name.c_str(), (DWORD)-1},
        };
        for (const Case &row : cases) {
            std::string name = row.name;
            CAPTURE(name);
            fault_reset(0);
            if (row.failing != nullptr)
                fault_arm(row.failing, 1);
            set_directories_present = row.present;
            set_directories_result = row.accepts;
            set_directories_flags = 0;
            fault_lookup = with_set_directories;
            restrict_dll_search();
            HMODULE module = load_system_folder_dll(row.dll);
            fault_lookup = nullptr;
            CHECK(set_directories_flags == (row.present ? LOAD_LIBRARY_SEARCH_SYSTEM32 : 0));
            if (row.flags == (DWORD)-1) {
                CHECK(module == nullptr);
                CHECK(fault_count("LoadLibraryExW") == 0);
            } else {
                CHECK(module == GetModuleHandleW(L"wintrust.dll"));
                CHECK(fault_library_flags == row.flags);
                FreeLibrary(module);
            }
        }
        fault_reset(0);
    }
}

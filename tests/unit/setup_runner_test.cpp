// One silent setup run: the command line it gets and how its exit code is
// classed, with the test setup program standing in for the real one.
#include <doctest/doctest.h>

#include <windows.h>

#include <string>

#include "app/run_state.h"
#include "install/setup_runner.h"
#include "test_support.h"

namespace {

const char SWITCHES[] = " /VERYSILENT /SUPPRESSMSGBOXES /NORESTART /SP-";

void set_installer_path(const std::wstring &path)
{
    wcscpy(run_state.installer_path, path.c_str());
}

} // namespace

TEST_SUITE("setup_runner")
{
    TEST_CASE("exit codes: 0 succeeds, 1, 3 and 7 are blocked, every other code fails")
    {
        reset_run_state();
        std::wstring path = temp_folder() + L"Tarvik-Setup-runner.exe";
        install_test_setup(path);
        set_installer_path(path);
        write_setup_plan("exit 0 1 3 7 5 2 4 6 8 259 0x80000000 3 5\n");
        struct Expected {
            InstallResult result;
            LONG blocked;
        } expected[] = {
            {RESULT_OK, 0},           {RESULT_SETUP_FAILED, 1}, {RESULT_SETUP_FAILED, 1},
            {RESULT_SETUP_FAILED, 1}, {RESULT_SETUP_FAILED, 0}, {RESULT_SETUP_FAILED, 0},
            {RESULT_SETUP_FAILED, 0}, {RESULT_SETUP_FAILED, 0}, {RESULT_SETUP_FAILED, 0},
            {RESULT_SETUP_FAILED, 0}, {RESULT_SETUP_FAILED, 0},
            // Blocked, then cancelled inside the setup program: the flag
            // describes the latest run alone.
            {RESULT_SETUP_FAILED, 1}, {RESULT_SETUP_FAILED, 0},
        };
        int run = 0;
        for (const Expected &e : expected) {
            CAPTURE(run);
            CHECK(run_setup() == e.result);
            CHECK(run_state.setup_blocked == e.blocked);
            run++;
        }
        std::vector<std::string> runs = setup_runs();
        REQUIRE(runs.size() == 13);
        CHECK(runs[0] == "\"" + narrow(path) + "\"" + SWITCHES);
        DeleteFileW(path.c_str());
    }

    TEST_CASE("a path of 259 units still gets the whole command line")
    {
        reset_run_state();
        std::wstring folder = temp_folder() + L"runner-" + std::wstring(100, L'f');
        CreateDirectoryW(folder.c_str(), nullptr);
        std::wstring name = L"\\Tarvik-Setup-";
        std::wstring path = folder + name;
        path += std::wstring(259 - path.size() - 4, L'9') + L".exe";
        REQUIRE(path.size() == 259);
        install_test_setup(path);
        REQUIRE(file_exists(path));
        set_installer_path(path);
        write_setup_plan("exit 0\n");
        CHECK(run_setup() == RESULT_OK);
        std::vector<std::string> runs = setup_runs();
        REQUIRE(runs.size() == 1);
        CHECK(runs[0] == "\"" + narrow(path) + "\"" + SWITCHES);
        DeleteFileW(path.c_str());
        RemoveDirectoryW(folder.c_str());
    }

    TEST_CASE("start failures: a missing file is blocked, a program that can never start is not")
    {
        std::wstring text = temp_folder() + L"not-a-program.exe";
        std::wstring arm64 = temp_folder() + L"arm64-setup.exe";
        std::string bytes = "hello";
        HANDLE file = CreateFileW(text.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written;
        WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
        CloseHandle(file);
        // The test setup program with its COFF machine field set to ARM64.
        install_test_setup(arm64);
        file = CreateFileW(arm64.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           0, nullptr);
        LONG header = 0;
        SetFilePointer(file, 0x3C, nullptr, FILE_BEGIN);
        ReadFile(file, &header, 4, &written, nullptr);
        SetFilePointer(file, header + 4, nullptr, FILE_BEGIN);
        WriteFile(file, "\x64\xAA", 2, &written, nullptr);
        CloseHandle(file);

        struct Row {
            std::wstring path;
            LONG blocked;
        } rows[] = {
            {temp_folder() + L"no-such-setup.exe", 1},
            {text, 0},
            {arm64, 0},
        };
        for (const Row &row : rows) {
            CAPTURE(narrow(row.path));
            reset_run_state();
            write_setup_plan("exit 0\n");
            set_installer_path(row.path);
            CHECK(run_setup() == RESULT_SETUP_FAILED);
            CHECK(run_state.setup_blocked == row.blocked);
            CHECK(setup_runs().empty());
        }
        DeleteFileW(text.c_str());
        DeleteFileW(arm64.c_str());
    }
}

// Where the launcher looks for the installed application, observed through
// the installed test program, which logs every start beside itself.
#include <doctest/doctest.h>

#include <windows.h>

#include <string>

#include "install/launcher.h"
#include "test_support.h"

namespace {

// A folder with the test program installed as Tarvik.exe; its log of starts
// removed.
std::wstring make_folder(const wchar_t *name)
{
    std::wstring path = harness_path(std::wstring(L"launch\\") + name);
    install_test_app(path);
    return path;
}

void set_location(HKEY root, const std::wstring &value, DWORD type = REG_SZ)
{
    HKEY key;
    REQUIRE(RegCreateKeyExW(root, UNINSTALL_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                            nullptr) == ERROR_SUCCESS);
    if (type == REG_DWORD) {
        DWORD number = 42;
        RegSetValueExW(key, L"InstallLocation", 0, REG_DWORD, (const BYTE *)&number, 4);
    } else {
        RegSetValueExW(key, L"InstallLocation", 0, type, (const BYTE *)value.c_str(),
                       (DWORD)((value.size() + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(key);
}

void clear_locations()
{
    RegDeleteTreeW(HKEY_CURRENT_USER, UNINSTALL_KEY);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, UNINSTALL_KEY);
}

// Runs the launcher with LOCALAPPDATA set to `local_app_data` (or unset).
void launch(const std::wstring *local_app_data)
{
    wchar_t saved[1024];
    DWORD saved_length = GetEnvironmentVariableW(L"LOCALAPPDATA", saved, 1024);
    SetEnvironmentVariableW(L"LOCALAPPDATA", local_app_data ? local_app_data->c_str() : nullptr);
    launch_installed_app();
    SetEnvironmentVariableW(L"LOCALAPPDATA", saved_length ? saved : nullptr);
}

} // namespace

TEST_SUITE("launcher")
{
    TEST_CASE("the per-user entry wins over the per-machine one, with or without a backslash")
    {
        std::wstring user = make_folder(L"user"), machine = make_folder(L"machine");
        std::wstring fallback = make_folder(L"fallback");
        clear_locations();
        set_location(HKEY_CURRENT_USER, user);
        set_location(HKEY_LOCAL_MACHINE, machine + L"\\");
        launch(&fallback);
        CHECK(app_opened(user));

        make_folder(L"user");
        set_location(HKEY_CURRENT_USER, user + L"\\");
        launch(&fallback);
        CHECK(app_opened(user));
        CHECK(!app_opened(machine, 500));
        CHECK(!app_opened(fallback, 0));
    }

    TEST_CASE("only a per-machine entry, or one the per-user value cannot give")
    {
        std::wstring machine = make_folder(L"machine");
        std::wstring user = make_folder(L"user");
        clear_locations();
        set_location(HKEY_LOCAL_MACHINE, machine);
        launch(nullptr);
        CHECK(app_opened(machine));

        // A per-user value of another type, or too long for 260 units, is
        // passed over for the next source.
        make_folder(L"machine");
        set_location(HKEY_CURRENT_USER, L"", REG_DWORD);
        launch(nullptr);
        CHECK(app_opened(machine));

        make_folder(L"machine");
        set_location(HKEY_CURRENT_USER, user + L"\\" + std::wstring(260 - user.size() - 1, L'x'));
        launch(nullptr);
        CHECK(app_opened(machine));
        CHECK(!app_opened(user, 0));
    }

    TEST_CASE("no entry: the per-user default folder under LOCALAPPDATA")
    {
        std::wstring local = make_folder(L"local");
        install_test_app(local + L"\\Programs\\Tarvik");
        clear_locations();
        launch(&local);
        CHECK(app_opened(local + L"\\Programs\\Tarvik"));

        // A LOCALAPPDATA that does not fit its buffer is not used at all.
        DeleteFileW((local + L"\\Programs\\Tarvik\\opened.log").c_str());
        std::wstring too_long = local + L"\\" + std::wstring(300, L'z');
        launch(&too_long);
        launch(nullptr);
        CHECK(!app_opened(local + L"\\Programs\\Tarvik", 1000));
    }

    TEST_CASE("a folder without Tarvik.exe opens nothing and reports nothing")
    {
        std::wstring empty = make_folder(L"empty");
        DeleteFileW((empty + L"\\Tarvik.exe").c_str());
        clear_locations();
        set_location(HKEY_CURRENT_USER, empty);
        launch(nullptr);
        CHECK(!app_opened(empty, 1000));
        clear_locations();
    }
}

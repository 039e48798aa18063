// The download sink and the parts of prepare_installer that the end-to-end
// --check tests cannot reach: write failures, the percentage, a cancel that
// arrives with the last byte, and temporary paths that do not fit.
#include <doctest/doctest.h>

#include <windows.h>

#include <string>

#include "app/run_state.h"
#include "verify/download.h"
#include "test_support.h"

namespace {

struct Sink {
    DownloadTarget target = {INVALID_HANDLE_VALUE, nullptr, 0, 0};
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    std::wstring path;

    Sink(unsigned long long expected, DWORD access = GENERIC_WRITE)
    {
        path = temp_folder() + L"tarvik-sink-test.bin";
        DeleteFileW(path.c_str());
        // A handle opened without write access makes every write fail.
        if (access == GENERIC_READ)
            CloseHandle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                                    nullptr));
        target.file = CreateFileW(path.c_str(), access, 0, nullptr,
                                  access == GENERIC_READ ? OPEN_EXISTING : CREATE_ALWAYS, 0,
                                  nullptr);
        BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
        BCryptCreateHash(algorithm, &target.hash, nullptr, 0, nullptr, 0, 0);
        target.expected = expected;
    }
    ~Sink()
    {
        CloseHandle(target.file);
        BCryptDestroyHash(target.hash);
        BCryptCloseAlgorithmProvider(algorithm, 0);
        DeleteFileW(path.c_str());
    }
    int put(const std::string &bytes)
    {
        return write_and_hash_chunk((const unsigned char *)bytes.data(), (unsigned)bytes.size(),
                                    &target);
    }
    std::string digest()
    {
        unsigned char bytes[32];
        BCryptFinishHash(target.hash, bytes, 32, 0);
        std::string hex;
        for (unsigned char b : bytes) {
            hex += "0123456789abcdef"[b >> 4];
            hex += "0123456789abcdef"[b & 15];
        }
        return hex;
    }
};

// Lets prepare_installer run with TMP and TEMP pointing elsewhere.
struct TempOverride {
    std::wstring tmp, temp;
    explicit TempOverride(const std::wstring &value)
    {
        wchar_t old[2048];
        tmp.assign(old, GetEnvironmentVariableW(L"TMP", old, 2048));
        temp.assign(old, GetEnvironmentVariableW(L"TEMP", old, 2048));
        SetEnvironmentVariableW(L"TMP", value.c_str());
        SetEnvironmentVariableW(L"TEMP", value.c_str());
    }
    ~TempOverride()
    {
        SetEnvironmentVariableW(L"TMP", tmp.c_str());
        SetEnvironmentVariableW(L"TEMP", temp.c_str());
    }
};

DWORD WINAPI cancel_at_full_percentage(LPVOID)
{
    while (run_state.download_percent < 100)
        Sleep(1);
    InterlockedExchange(&run_state.cancel_requested, 1);
    return 0;
}

} // namespace

TEST_SUITE("download")
{
    TEST_CASE("the sink writes and hashes exactly the accepted bytes")
    {
        reset_run_state();
        std::string data = pattern_bytes(1000000, 7);
        Sink sink(data.size());
        CHECK(sink.put(data.substr(0, 65536)) == 1);
        CHECK(run_state.download_percent == 6);
        CHECK(sink.put(data.substr(65536, 900000)) == 1);
        CHECK(run_state.download_percent == 96);
        // A chunk that would pass the promised size is refused whole.
        CHECK(sink.put(data.substr(965536) + "x") == 0);
        CHECK(sink.target.received == 965536);
        CHECK(run_state.download_percent == 96);
        CHECK(sink.put(data.substr(965536)) == 1);
        CHECK(run_state.download_percent == 100);
        CHECK(sink.target.received == 1000000);
        CHECK(sink.put("x") == 0);
        CHECK(sink.digest() == sha256_hex(data));
        CloseHandle(sink.target.file);
        sink.target.file = INVALID_HANDLE_VALUE;
        CHECK(read_file(sink.path) == data);
    }

    TEST_CASE("a failing write stops the transfer and counts nothing")
    {
        reset_run_state();
        Sink sink(100, GENERIC_READ);
        REQUIRE(sink.target.file != INVALID_HANDLE_VALUE);
        CHECK(sink.put("abc") == 0);
        CHECK(sink.target.received == 0);
        CHECK(run_state.download_percent == 0);
    }

    TEST_CASE("a good release is left verified at its path for the caller")
    {
        reset_run_state();
        std::string setup = pattern_bytes(200000, 8);
        publish_release(setup, "2.0.1");
        site_fault("/windows-setup.json", "");
        site_fault("/downloads/Tarvik-Setup.exe", "");
        // Process ids come round again: an earlier run's folder would be
        // passed over for one with a suffix.
        std::wstring folder = temp_folder() + L"TarvikInstaller-" +
                              std::to_wstring(GetCurrentProcessId());
        std::wstring expected_path = folder + L"\\Tarvik-Setup-2.0.1.exe";
        DeleteFileW(expected_path.c_str());
        RemoveDirectoryW(folder.c_str());
        CHECK(prepare_installer() == RESULT_OK);
        CHECK(std::wstring(run_state.installer_path) == expected_path);
        CHECK(read_file(expected_path) == setup);
        CHECK(std::wstring(run_state.status_text) == L"Downloading Tarvik 2.0.1\u2026");
        CHECK(run_state.download_percent == 100);
        DeleteFileW(expected_path.c_str());
    }

    TEST_CASE("the download folder is open to the user, SYSTEM and the Administrators only")
    {
        // Wine does not keep a folder's descriptor, so the one that goes to
        // CreateDirectoryW is read instead.
        PrivateAccess access;
        REQUIRE(make_private_access(&access));
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision;
        BOOL present = FALSE, defaulted;
        PACL dacl = nullptr;
        GetSecurityDescriptorControl(access.attributes.lpSecurityDescriptor, &control, &revision);
        CHECK((control & SE_DACL_PROTECTED) != 0);
        GetSecurityDescriptorDacl(access.attributes.lpSecurityDescriptor, &present, &dacl,
                                  &defaulted);
        REQUIRE((present && dacl->AceCount == 3));
        // The user first, then SYSTEM and the Administrators.
        WELL_KNOWN_SID_TYPE kinds[] = {WinNullSid, WinLocalSystemSid, WinBuiltinAdministratorsSid};
        for (DWORD i = 0; i < 3; i++) {
            CAPTURE(i);
            ACCESS_ALLOWED_ACE *ace = nullptr;
            GetAce(dacl, i, (void **)&ace);
            CHECK(ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE);
            CHECK(ace->Header.AceFlags == (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE));
            CHECK(ace->Mask == FILE_ALL_ACCESS);
            CHECK(IsWellKnownSid(&ace->SidStart, kinds[i]) == (i > 0));
        }
    }

    TEST_CASE("a cancel that comes with the last byte still cancels, and the file goes")
    {
        reset_run_state();
        // Two full reads, then a body end that the server holds back for a
        // second: the cancel lands while the last, empty read waits.
        std::string setup = pattern_bytes(2 * 65536, 9);
        publish_release(setup);
        site_fault("/downloads/Tarvik-Setup.exe", R"({"body": "no_length", "linger_ms": 1000})");
        HANDLE canceller = CreateThread(nullptr, 0, cancel_at_full_percentage, nullptr, 0, nullptr);
        CHECK(prepare_installer() == RESULT_CANCELLED);
        WaitForSingleObject(canceller, INFINITE);
        CloseHandle(canceller);
        CHECK(!file_exists(run_state.installer_path));
        site_fault("/downloads/Tarvik-Setup.exe", "");
    }

    TEST_CASE("temporary paths that do not fit are refused before anything is made")
    {
        publish_release(pattern_bytes(1000, 10));
        std::wstring base = temp_folder();

        // The directory fits, but the setup program's path would be cut.
        std::wstring deep = base + std::wstring(259 - base.size() - 40, L'd') + L"\\";
        {
            TempOverride temp(deep);
            reset_run_state();
            CHECK(prepare_installer() == RESULT_DOWNLOAD_FAILED);
            CHECK(run_state.installer_path[0] == 0);
            CHECK(!file_exists(deep));
        }
        // Longer than GetTempPathW's buffer.
        std::wstring deeper = base + std::wstring(300, L'e') + L"\\";
        CreateDirectoryW(deeper.c_str(), nullptr);
        {
            TempOverride temp(deeper);
            reset_run_state();
            CHECK(prepare_installer() == RESULT_DOWNLOAD_FAILED);
            CHECK(run_state.installer_path[0] == 0);
        }
        RemoveDirectoryW(deeper.c_str());
    }
}

// Signer names read with WinVerifyTrust from the test fixtures, which the
// harness signs at test time (tests/harness/harness.py).
#include <doctest/doctest.h>

#include <string>

#include "verify/publisher.h"
#include "test_support.h"

namespace {

std::wstring signer(const wchar_t *fixture, int *ok)
{
    wchar_t name[256] = L"?";
    *ok = get_signer_name(harness_path(std::wstring(L"fixtures\\") + fixture).c_str(), name, 256);
    return name;
}

} // namespace

TEST_SUITE("publisher")
{
    TEST_CASE("the signer's display name of trusted signatures only")
    {
        int ok;
        CHECK(signer(L"setup-braskworks.exe", &ok) == L"Braskworks");
        CHECK(ok == 1);
        CHECK(signer(L"setup-renewed.exe", &ok) == L"Braskworks");
        CHECK(ok == 1);
        CHECK(signer(L"setup-other.exe", &ok) == L"Other Publisher Ltd");
        CHECK(ok == 1);
        signer(L"setup-unsigned.exe", &ok);
        CHECK(ok == 0);
        signer(L"setup-altered.exe", &ok);
        CHECK(ok == 0);
        signer(L"no-such-file.exe", &ok);
        CHECK(ok == 0);
        // A certificate that no trusted authority issued would belong here,
        // but Wine accepts a self-signed code-signing certificate where
        // Windows refuses it, so that case cannot be tested under Wine.
    }

    TEST_CASE("the verification state is released every time")
    {
        // Thousands of checks must not pile up open state or file handles:
        // the file can be deleted right after.
        std::wstring copy = harness_path(L"fixtures\\publisher-copy.exe");
        CopyFileW(harness_path(L"fixtures\\setup-braskworks.exe").c_str(), copy.c_str(), FALSE);
        wchar_t name[256];
        for (int i = 0; i < 200; i++)
            REQUIRE(get_signer_name(copy.c_str(), name, 256) == 1);
        CHECK(DeleteFileW(copy.c_str()));
    }

    TEST_CASE("an unsigned bootstrapper compares nothing")
    {
        // This test program is not signed, so every download passes.
        CHECK(check_publisher(harness_path(L"fixtures\\setup-unsigned.exe").c_str()) == RESULT_OK);
        CHECK(check_publisher(harness_path(L"fixtures\\setup-other.exe").c_str()) == RESULT_OK);
    }
}

// The truncating formatter that every text and path of the program uses.
#include <doctest/doctest.h>

#include <string>

#include "app/text.h"

TEST_SUITE("text_format")
{
    TEST_CASE("formats strings and numbers")
    {
        wchar_t out[64];
        CHECK(format_text(out, 64, L"%sTarvikInstaller-%lu", L"C:\\Temp\\", 812ul) == 27);
        CHECK(std::wstring(out) == L"C:\\Temp\\TarvikInstaller-812");
        format_text(out, 64, L"in %d s, %d, %d, 100%%", 60, -7, (int)0x80000000);
        CHECK(std::wstring(out) == L"in 60 s, -7, -2147483648, 100%");
        format_text(out, 64, L"%lu|%s|", 4294967295ul, static_cast<const wchar_t *>(nullptr));
        CHECK(std::wstring(out) == L"4294967295||");
    }

    TEST_CASE("cuts at the capacity and always terminates")
    {
        wchar_t out[8];
        for (wchar_t &c : out)
            c = L'#';
        // The return value is the uncut length, so callers can see the cut.
        CHECK(format_text(out, 8, L"%s-%s", L"abcd", L"efgh") == 9);
        CHECK(std::wstring(out) == L"abcd-ef");
        CHECK(format_text(out, 1, L"abc") == 3);
        CHECK(out[0] == 0);
        CHECK(format_text(out, 8, L"1234567") == 7);
        CHECK(std::wstring(out) == L"1234567");
    }

    TEST_CASE("substring search and equality")
    {
        CHECK(text_contains(L"a --checkout b", L"--check"));
        CHECK_FALSE(text_contains(L"--chec", L"--check"));
        CHECK_FALSE(text_contains(nullptr, L"--check"));
        CHECK(text_equal(L"Braskworks", L"Braskworks"));
        CHECK_FALSE(text_equal(L"Braskworks", L"braskworks"));
        CHECK_FALSE(text_equal(L"Braskworks", L"Braskworks "));
    }
}

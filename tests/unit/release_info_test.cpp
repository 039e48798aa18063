// Fetching the release manifest from the local test site.
#include <doctest/doctest.h>

#include <windows.h>

#include <string>

#include "app/config.h"
#include "app/run_state.h"
#include "net/release_info.h"
#include "test_support.h"

namespace {

const std::string GOOD_URL = std::string(DOWNLOAD_URL_PREFIX) + "Tarvik-Setup-1.4.2.exe";

std::string manifest_text(const std::string &version = "1.4.2")
{
    Manifest manifest;
    manifest.version = quoted(version);
    return manifest.text();
}

} // namespace

TEST_SUITE("release_info")
{
    TEST_CASE("a valid manifest fills the release, converted from UTF-8")
    {
        reset_run_state();
        site_fault("/windows-setup.json", "");
        site_put("/windows-setup.json", manifest_text());
        ReleaseInfo *release = &run_state.release;
        CHECK(fetch_release_info(release) == RESULT_OK);
        CHECK(std::wstring(release->version) == L"1.4.2");
        CHECK(std::wstring(release->download_url) ==
              std::wstring(GOOD_URL.begin(), GOOD_URL.end()));
        CHECK(release->expected_size == 1000000);
    }

    TEST_CASE("a body of 4,095 bytes is read, one of 4,096 is not")
    {
        site_fault("/windows-setup.json", "");
        for (size_t length : {4095u, 4096u, 10000u}) {
            CAPTURE(length);
            reset_run_state();
            std::string text = manifest_text();
            text += std::string(length - text.size(), ' ');
            site_put("/windows-setup.json", text);
            CHECK(fetch_release_info(&run_state.release) ==
                  (length == 4095 ? RESULT_OK : RESULT_NO_RELEASE_INFO));
            CHECK((run_state.release.version[0] != 0) == (length == 4095));
        }
    }

    TEST_CASE("a NUL byte ends the text the lookups see")
    {
        reset_run_state();
        site_fault("/windows-setup.json", "");
        std::string text = manifest_text();
        site_put("/windows-setup.json", text.substr(0, 20) + std::string(1, '\0') + text.substr(20));
        CHECK(fetch_release_info(&run_state.release) == RESULT_NO_RELEASE_INFO);
        CHECK(run_state.release.version[0] == 0);
    }

    TEST_CASE("an invalid, missing or refused manifest leaves the version empty")
    {
        site_put("/windows-setup.json", manifest_text("1.4-beta"));
        reset_run_state();
        CHECK(fetch_release_info(&run_state.release) == RESULT_NO_RELEASE_INFO);
        CHECK(run_state.release.version[0] == 0);
        CHECK(run_state.release.download_url[0] == 0);

        site_put("/windows-setup.json", manifest_text());
        site_fault("/windows-setup.json", R"({"status": 404})");
        reset_run_state();
        CHECK(fetch_release_info(&run_state.release) == RESULT_NO_RELEASE_INFO);
        site_fault("/windows-setup.json", "");
    }

    TEST_CASE("a cancelled manifest transfer is no release information, not a cancel")
    {
        reset_run_state();
        site_fault("/windows-setup.json", "");
        site_put("/windows-setup.json", manifest_text());
        InterlockedExchange(&run_state.cancel_requested, 1);
        CHECK(fetch_release_info(&run_state.release) == RESULT_NO_RELEASE_INFO);
        CHECK(run_state.release.version[0] == 0);
    }
}

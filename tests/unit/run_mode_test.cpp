// Which mode a command-line tail selects.
#include <doctest/doctest.h>

#include "app/entry.h"

TEST_SUITE("run_mode")
{
    TEST_CASE("switches are case-sensitive substrings and --check wins")
    {
        CHECK(choose_run_mode(nullptr) == RUN_MODE_DIALOG);
        CHECK(choose_run_mode(L"") == RUN_MODE_DIALOG);
        CHECK(choose_run_mode(L"--check") == RUN_MODE_CHECK);
        CHECK(choose_run_mode(L"--checkout") == RUN_MODE_CHECK);
        CHECK(choose_run_mode(L"\"x--checky\"") == RUN_MODE_CHECK);
        CHECK(choose_run_mode(L"--CHECK") == RUN_MODE_DIALOG);
        CHECK(choose_run_mode(L"--Silent") == RUN_MODE_DIALOG);
        CHECK(choose_run_mode(L"--silent") == RUN_MODE_SILENT);
        CHECK(choose_run_mode(L"--silent --check") == RUN_MODE_CHECK);
        CHECK(choose_run_mode(L"--check --silent") == RUN_MODE_CHECK);
        CHECK(choose_run_mode(L"-check /silent") == RUN_MODE_DIALOG);
    }
}

// The install worker on its own thread, with the real download from the
// test site, the test setup program and the real launcher. The countdown's
// one-second pauses are the test build's instant ones, so a run with 19
// countdowns takes seconds, not minutes.
//
// What is observed, from outside the worker: the phase when each setup run
// starts (the setup program waits for the test's go), the phase and status
// text at each countdown pause, and the end state.
#include <doctest/doctest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/run_state.h"
#include "install/install_worker.h"
#include "install/launcher.h"
#include "fault_layer.h"
#include "test_support.h"

namespace {

struct Observation {
    std::vector<LONG> phases;            // consecutive duplicates folded
    std::vector<std::wstring> countdown; // status text at each pause
    int cancel_at_pause = 0;             // set cancel_requested at this pause
    int cancel_at_run = 0;               // set it while this setup run is held
};

Observation observed;
CRITICAL_SECTION observed_lock;

void note_phase(LONG phase)
{
    EnterCriticalSection(&observed_lock);
    if (observed.phases.empty() || observed.phases.back() != phase)
        observed.phases.push_back(phase);
    LeaveCriticalSection(&observed_lock);
}

void on_pause(int pause)
{
    note_phase(run_state.phase);
    observed.countdown.push_back(run_state.status_text);
    if (pause == observed.cancel_at_pause)
        InterlockedExchange(&run_state.cancel_requested, 1);
}

std::wstring install_folder()
{
    return harness_path(L"installed");
}

// Runs the worker with a setup plan of exit codes, releasing each setup run
// as soon as the phase it runs in has been noted. Returns the number of runs.
int run_worker(const std::string &exit_codes)
{
    static bool initialised = false;
    if (!initialised) {
        InitializeCriticalSection(&observed_lock);
        initialised = true;
    }
    reset_run_state();
    int cancel_at_pause = observed.cancel_at_pause, cancel_at_run = observed.cancel_at_run;
    observed = Observation();
    observed.cancel_at_pause = cancel_at_pause;
    observed.cancel_at_run = cancel_at_run;
    countdown_observer = on_pause;

    DeleteFileW((install_folder() + L"\\opened.log").c_str());
    RegDeleteTreeW(HKEY_CURRENT_USER, UNINSTALL_KEY);
    write_setup_plan("exit " + exit_codes + "\nhandshake\ninstall " + narrow(install_folder()) +
                     "\napp " + narrow(test_app_path()) + "\n");

    HANDLE started = CreateEventW(nullptr, FALSE, FALSE, L"TarvikTestSetupStarted");
    HANDLE go = CreateEventW(nullptr, FALSE, FALSE, L"TarvikTestSetupGo");
    note_phase(run_state.phase);
    HANDLE worker = CreateThread(nullptr, 0, install_worker, nullptr, 0, nullptr);
    int runs = 0;
    HANDLE waits[2] = {worker, started};
    while (WaitForMultipleObjects(2, waits, FALSE, 120000) == WAIT_OBJECT_0 + 1) {
        runs++;
        note_phase(run_state.phase);
        if (runs == observed.cancel_at_run)
            InterlockedExchange(&run_state.cancel_requested, 1);
        SetEvent(go);
    }
    note_phase(run_state.phase);
    CloseHandle(worker);
    CloseHandle(started);
    CloseHandle(go);
    countdown_observer = nullptr;
    observed.cancel_at_pause = observed.cancel_at_run = 0;
    return runs;
}

// The phases of k blocked runs followed by one last run.
std::vector<LONG> phases_after_blocked_runs(int k)
{
    std::vector<LONG> phases = {PHASE_DOWNLOADING};
    for (int i = 0; i < k; i++) {
        phases.push_back(PHASE_INSTALLING);
        phases.push_back(PHASE_SECURITY_WAIT);
    }
    phases.push_back(PHASE_INSTALLING);
    phases.push_back(PHASE_FINISHED);
    return phases;
}

std::wstring countdown_text(int seconds)
{
    return L"Your computer\u2019s security software is checking Tarvik. This can take a few "
           L"minutes the first time. Trying again in " +
           std::to_wstring(seconds) + L" s\u2026";
}

void publish()
{
    site_fault("/windows-setup.json", "");
    site_fault("/downloads/Tarvik-Setup.exe", "");
    publish_release(read_file(harness_path(L"fixtures\\setup-unsigned.exe")));
}

} // namespace

TEST_SUITE("install_worker")
{
    TEST_CASE("a failed download ends at once: nothing run, deleted or opened")
    {
        publish();
        site_fault("/windows-setup.json", R"({"status": 404})");
        CHECK(run_worker("0") == 0);
        CHECK(observed.phases == std::vector<LONG>{PHASE_DOWNLOADING, PHASE_FINISHED});
        CHECK(run_state.final_result == RESULT_NO_RELEASE_INFO);
        CHECK(!app_opened(install_folder()));
        site_fault("/windows-setup.json", "");
    }

    TEST_CASE("success at the first run: the file goes and the application opens")
    {
        publish();
        CHECK(run_worker("0") == 1);
        CHECK(observed.phases == phases_after_blocked_runs(0));
        CHECK(run_state.final_result == RESULT_OK);
        CHECK(observed.countdown.empty());
        CHECK(!file_exists(run_state.installer_path));
        CHECK(app_opened(install_folder()));
    }

    TEST_CASE("a failure that is not blocked is not retried")
    {
        publish();
        CHECK(run_worker("5") == 1);
        CHECK(observed.phases == phases_after_blocked_runs(0));
        CHECK(run_state.final_result == RESULT_SETUP_FAILED);
        CHECK(observed.countdown.empty());
        CHECK(!file_exists(run_state.installer_path));
        CHECK(!app_opened(install_folder()));
    }

    TEST_CASE("blocked runs are retried after a countdown from 60 to 1")
    {
        publish();
        CHECK(run_worker("3 7 0") == 3);
        CHECK(observed.phases == phases_after_blocked_runs(2));
        CHECK(run_state.final_result == RESULT_OK);
        REQUIRE(observed.countdown.size() == 120);
        for (int i = 0; i < 60; i++) {
            CHECK(observed.countdown[i] == countdown_text(60 - i));
            CHECK(observed.countdown[60 + i] == countdown_text(60 - i));
        }
        CHECK(app_opened(install_folder()));

        publish();
        CHECK(run_worker("1 2") == 2);
        CHECK(observed.phases == phases_after_blocked_runs(1));
        CHECK(run_state.final_result == RESULT_SETUP_FAILED);
        CHECK(!app_opened(install_folder()));
    }

    TEST_CASE("twenty blocked runs: 19 countdowns, then failure")
    {
        publish();
        CHECK(run_worker("1") == 20);
        CHECK(observed.phases == phases_after_blocked_runs(19));
        CHECK(observed.countdown.size() == 19 * 60);
        CHECK(run_state.final_result == RESULT_SETUP_FAILED);
        CHECK(!file_exists(run_state.installer_path));
        CHECK(!app_opened(install_folder()));
    }

    TEST_CASE("cancel right after a blocked run: no countdown, the run's failure stands")
    {
        publish();
        observed.cancel_at_run = 1;
        CHECK(run_worker("3 0") == 1);
        CHECK(observed.phases == phases_after_blocked_runs(0));
        CHECK(observed.countdown.empty());
        CHECK(run_state.final_result == RESULT_SETUP_FAILED);
        CHECK(!file_exists(run_state.installer_path));
    }

    TEST_CASE("cancel during a countdown: it stops, no further run")
    {
        publish();
        observed.cancel_at_pause = 10;
        CHECK(run_worker("3 0") == 1);
        CHECK(observed.countdown.size() == 10);
        CHECK(observed.phases == std::vector<LONG>{PHASE_DOWNLOADING, PHASE_INSTALLING,
                                                   PHASE_SECURITY_WAIT, PHASE_FINISHED});
        CHECK(run_state.final_result == RESULT_CANCELLED);
        CHECK(!file_exists(run_state.installer_path));
        CHECK(!app_opened(install_folder()));
    }

    TEST_CASE("cancel during the checks of the download: finished without installing")
    {
        // The cancel lands in the publisher check, after the download's own
        // reading of the flag; the phase is noted when the worker deletes
        // the file.
        fault_before_call = [](const char *function) {
            if (strcmp(function, "GetModuleFileNameW") == 0)
                InterlockedExchange(&run_state.cancel_requested, 1);
            else if (strcmp(function, "DeleteFileW") == 0)
                note_phase(run_state.phase);
        };
        publish();
        CHECK(run_worker("0") == 0);
        fault_before_call = nullptr;
        CHECK(observed.phases == std::vector<LONG>{PHASE_DOWNLOADING, PHASE_FINISHED});
        CHECK(run_state.final_result == RESULT_CANCELLED);
        CHECK(!file_exists(run_state.installer_path));
    }

    TEST_CASE("cancel at the last second of a countdown is seen before the next run")
    {
        publish();
        observed.cancel_at_pause = 60;
        CHECK(run_worker("3 0") == 1);
        CHECK(observed.countdown.size() == 60);
        CHECK(run_state.final_result == RESULT_CANCELLED);
    }
}

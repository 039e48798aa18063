#include "install/install_worker.h"

#include "app/run_state.h"
#include "app/text.h"
#include "install/launcher.h"
#include "install/setup_runner.h"
#include "verify/download.h"

// Counts RETRY_COUNTDOWN_SECONDS down in status_text, one second at a time,
// and looks at the cancel flag before each text and once more at the end.
// Returns true when the user cancelled.
static bool count_down_before_retry()
{
    InterlockedExchange(&run_state.phase, PHASE_SECURITY_WAIT);
    for (int seconds = RETRY_COUNTDOWN_SECONDS; seconds > 0; seconds--) {
        if (run_state.cancel_requested != 0)
            break;
        format_text(run_state.status_text, STATUS_TEXT_CAPACITY,
                    L"Your computer\u2019s security software is checking Tarvik. This can take "
                    L"a few minutes the first time. Trying again in %d s\u2026",
                    seconds);
        countdown_pause();
    }
    return run_state.cancel_requested != 0;
}

DWORD WINAPI install_worker(LPVOID parameter)
{
    (void)parameter;
    InstallResult outcome = prepare_installer();
    if (outcome == RESULT_OK) {
        int runs = 0;
        for (;;) {
            // The dialog refuses Cancel from PHASE_INSTALLING on, and it
            // reads the phase after it sets the flag. So the flag is read
            // again after the phase is set: a Cancel that the dialog
            // accepted just before (during the checks of the download, or
            // at the end of a countdown) is always seen, and no setup run
            // starts. One seen before goes straight to PHASE_FINISHED.
            if (run_state.cancel_requested != 0) {
                outcome = RESULT_CANCELLED;
                break;
            }
            InterlockedExchange(&run_state.phase, PHASE_INSTALLING);
            if (run_state.cancel_requested != 0) {
                outcome = RESULT_CANCELLED;
                break;
            }
            outcome = run_setup();
            runs++;
            if (outcome != RESULT_SETUP_FAILED || run_state.setup_blocked == 0 ||
                runs >= MAX_SETUP_RUNS || run_state.cancel_requested != 0)
                break;
            if (count_down_before_retry()) {
                outcome = RESULT_CANCELLED;
                break;
            }
        }
        // The setup program has ended, so its file is free to delete.
        DeleteFileW(run_state.installer_path);
        if (outcome == RESULT_OK)
            launch_installed_app();
    }
    InterlockedExchange(&run_state.final_result, outcome);
    InterlockedExchange(&run_state.phase, PHASE_FINISHED);
    return 0;
}

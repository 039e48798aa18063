#include "app/entry.h"

#include <commctrl.h>

#include "app/run_state.h"
#include "app/text.h"
#include "install/setup_runner.h"
#include "ui/failure_dialog.h"
#include "ui/progress_dialog.h"
#include "verify/download.h"

RunMode choose_run_mode(const wchar_t *tail)
{
    if (text_contains(tail, L"--check"))
        return RUN_MODE_CHECK;
    if (text_contains(tail, L"--silent"))
        return RUN_MODE_SILENT;
    return RUN_MODE_DIALOG;
}

// Check and Silent modes: the pipeline on this thread, no window, no mutex,
// no retry; the result is the exit code.
static int run_headless(RunMode mode)
{
    InstallResult result = prepare_installer();
    if (mode == RUN_MODE_SILENT && result == RESULT_OK)
        result = run_setup();
    DeleteFileW(run_state.installer_path);
    return result;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR tail, int show)
{
    (void)previous;
    (void)show;
    RunMode mode = choose_run_mode(tail);
    if (mode != RUN_MODE_DIALOG)
        return run_headless(mode);

    // One interactive bootstrapper per logon session: only the mutex's
    // existence counts, it is never waited on. A mutex made by an instance
    // with other rights (elevated, or another user in this session) exists
    // too, but is reported as access denied.
    HANDLE mutex = CreateMutexW(nullptr, TRUE, L"Local\\TarvikInstaller");
    DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || (mutex == nullptr && error == ERROR_ACCESS_DENIED))
        return 0;

    SetProcessDPIAware();
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    show_progress_dialog(instance);

    // Closed before the worker finished (Cancel, or no dialog at all): ask it
    // to stop and give it about five seconds.
    if (run_state.phase != PHASE_FINISHED) {
        InterlockedExchange(&run_state.cancel_requested, 1);
        for (int i = 0; i < 50; i++) {
            if (run_state.phase == PHASE_FINISHED)
                break;
            Sleep(100);
        }
    }

    LONG result = run_state.final_result;
    if (result != RESULT_NONE && result != RESULT_OK && result != RESULT_CANCELLED)
        show_failure_dialog(result);
    if (mutex != nullptr)
        CloseHandle(mutex);
    return result == RESULT_OK ? 0 : 1;
}

#include "install/setup_runner.h"

#include "app/text.h"

// Quotes, a path of at most 259 units and the switches need 308 units.
#define COMMAND_LINE_CAPACITY 356

// Two errors that the toolchain's headers lack: the program asks for
// elevation, and application control refused it.
#ifndef ERROR_ELEVATION_REQUIRED
#define ERROR_ELEVATION_REQUIRED 740
#endif
#ifndef ERROR_SYSTEM_INTEGRITY_POLICY_VIOLATION
#define ERROR_SYSTEM_INTEGRITY_POLICY_VIOLATION 4551
#endif

// Start errors that no wait can cure: the program asks for elevation,
// group policy or application control forbid it, or it is not a program for
// this machine at all.
static bool can_never_start(DWORD error)
{
    return error == ERROR_ELEVATION_REQUIRED ||                // 740
           error == ERROR_ACCESS_DISABLED_BY_POLICY ||         // 1260
           error == ERROR_SYSTEM_INTEGRITY_POLICY_VIOLATION || // 4551
           error == ERROR_BAD_EXE_FORMAT ||                    // 193
           error == ERROR_EXE_MACHINE_TYPE_MISMATCH;           // 216
}

InstallResult run_setup()
{
    wchar_t command_line[COMMAND_LINE_CAPACITY];
    format_text(command_line, COMMAND_LINE_CAPACITY,
                L"\"%s\" /VERYSILENT /SUPPRESSMSGBOXES /NORESTART /SP-", run_state.installer_path);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};

    InterlockedExchange(&run_state.setup_blocked, 0);
    if (!CreateProcessW(run_state.installer_path, command_line, nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &startup, &process)) {
        // Security software that holds the new file locked or quarantined
        // shows up here: worth another try later. A few errors say that the
        // program can never start here, and no wait would change that.
        if (!can_never_start(GetLastError()))
            InterlockedExchange(&run_state.setup_blocked, 1);
        return RESULT_SETUP_FAILED;
    }

    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exit_code = 1; // an exit code that cannot be read counts as 1
    GetExitCodeProcess(process.hProcess, &exit_code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    // 1: setup failed to initialise; 3: fatal error between installation
    // phases; 7: preparing to install found it cannot proceed. All three are
    // what security software still examining the program tends to cause.
    if (exit_code == 1 || exit_code == 3 || exit_code == 7)
        InterlockedExchange(&run_state.setup_blocked, 1);
    return exit_code == 0 ? RESULT_OK : RESULT_SETUP_FAILED;
}

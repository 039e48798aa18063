// The entry point's decisions: which mode a command line selects.
#pragma once

#include <windows.h>

enum RunMode {
    RUN_MODE_DIALOG, // no switch: progress dialog, worker, failure dialog
    RUN_MODE_CHECK,  // "--check": download and verify, then delete
    RUN_MODE_SILENT, // "--silent": download, verify and one silent setup run
};

// Chooses the mode from the command-line tail (the command line less the
// program's own path; null counts as empty). The switches are matched as
// case-sensitive substrings anywhere in the text, so "--checkout" selects
// Check mode and "--CHECK" does not. "--check" wins over "--silent".
RunMode choose_run_mode(const wchar_t *tail);

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR tail, int show);

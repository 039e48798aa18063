// The worker thread of the dialog mode: download, verify, install with
// retries, then open the application.
#pragma once

#include <windows.h>

// Setup runs per process at most, the first included.
#define MAX_SETUP_RUNS 20
// Seconds counted down before each retry of a blocked setup run.
#define RETRY_COUNTDOWN_SECONDS 60

// Thread procedure of the install worker. Runs the whole pipeline, stores
// final_result and then sets PHASE_FINISHED, in that order. The parameter
// is not used; returns 0.
DWORD WINAPI install_worker(LPVOID parameter);

// Waits one second of the retry countdown. A separate function so that a
// test build can link a faster one; the program waits real seconds.
void countdown_pause();

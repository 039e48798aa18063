// The state shared by the interface thread and the install worker, the
// install phases and the result codes of the pipeline.
//
// Access rules: phase, cancel_requested, setup_blocked, download_percent and
// final_result are written only with InterlockedExchange and read with plain
// aligned 32-bit loads; cancel_requested only ever goes from 0 to 1;
// final_result is stored once, just before phase becomes PHASE_FINISHED.
// status_text, release and installer_path are plain memory without a lock.
#pragma once

#include <windows.h>

#include "net/manifest.h"

// Install phases. The values are not in order of progress: a blocked setup
// run goes 1 -> 3 -> 1, and 2 is always last.
enum InstallPhase : LONG {
    PHASE_DOWNLOADING = 0,   // release information, download and checks
    PHASE_INSTALLING = 1,    // a setup run is in progress
    PHASE_FINISHED = 2,      // final_result is stored; the worker has ended
    PHASE_SECURITY_WAIT = 3, // counting down before the next setup run
};

// Result of every pipeline step; in the command-line modes it is the exit
// code. Code 1 is never produced by the pipeline: it is the dialog mode's
// exit code for every outcome but success.
enum InstallResult : LONG {
    RESULT_NONE = -1,
    RESULT_OK = 0,
    RESULT_NO_RELEASE_INFO = 2,
    RESULT_DOWNLOAD_FAILED = 3,
    RESULT_DIGEST_MISMATCH = 4,
    RESULT_PUBLISHER_MISMATCH = 5,
    RESULT_SETUP_FAILED = 6,
    RESULT_CANCELLED = 7,
};

#define STATUS_TEXT_CAPACITY 160
#define PATH_CAPACITY 260

struct RunState {
    volatile LONG phase;             // an InstallPhase
    volatile LONG cancel_requested;  // 0 or 1
    volatile LONG setup_blocked;     // 0 or 1: the last setup run may be retried
    volatile LONG download_percent;  // 0 to 100
    volatile LONG final_result;      // an InstallResult
    wchar_t status_text[STATUS_TEXT_CAPACITY];
    ReleaseInfo release;
    wchar_t installer_path[PATH_CAPACITY];
};

// The one record of the process.
extern RunState run_state;

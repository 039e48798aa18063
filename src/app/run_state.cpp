#include "app/run_state.h"

// Constant-initialised: the program has no C runtime to run constructors.
RunState run_state = {
    PHASE_DOWNLOADING,
    0,
    0,
    0,
    RESULT_NONE,
    L"Getting the latest version\u2026",
    {},
    {},
};

#include "test_support.h"

#include "app/run_state.h"
#include "ui/progress_dialog.h"

void reset_run_state()
{
    run_state = RunState{PHASE_DOWNLOADING, 0, 0, 0, RESULT_NONE,
                         L"Getting the latest version\u2026", {}, {}};
    shown_phase = -1;
    countdown_observer = nullptr;
    countdown_pauses = 0;
}

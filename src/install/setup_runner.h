// One silent run of the downloaded setup program.
#pragma once

#include "app/run_state.h"

// Starts installer_path with " /VERYSILENT /SUPPRESSMSGBOXES /NORESTART /SP-"
// and waits for it without a time-out. Returns RESULT_OK for exit code 0 and
// RESULT_SETUP_FAILED otherwise. setup_blocked is cleared first and set when
// the run may be retried: the program could not be started (except for the
// errors that say it never can: elevation required, blocked by group policy
// or application control, not a program for this machine), its exit code
// could not be read, or it exited with 1, 3 or 7.
InstallResult run_setup();

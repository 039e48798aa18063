// Helpers shared by the unit and conformance tests.
#pragma once

#include <string>

// Called by the test build's countdown pause with the number of pauses so
// far (1 for the first).
typedef void (*CountdownObserver)(int pause);
extern CountdownObserver countdown_observer;
extern int countdown_pauses;

// Puts the program's shared state back to its start values.
void reset_run_state();

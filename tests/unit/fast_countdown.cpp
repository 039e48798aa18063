// The test build's countdown pause: no real second passes, but every pause
// is counted and the test may watch or act at each one.
#include "install/install_worker.h"
#include "test_support.h"

CountdownObserver countdown_observer = nullptr;
int countdown_pauses = 0;

void countdown_pause()
{
    countdown_pauses++;
    if (countdown_observer != nullptr)
        countdown_observer(countdown_pauses);
}

#include "install/install_worker.h"

void countdown_pause()
{
    Sleep(1000);
}

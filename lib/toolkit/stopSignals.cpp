#include "stopSignals.h"

#include <initializer_list>

volatile sig_atomic_t stopRequested = 0;

static void requestStop(int /*signal*/)
{
    stopRequested = 1;
}

void installStopHandlers()
{
    struct sigaction action {};
    action.sa_handler = requestStop;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaction(signal, &action, nullptr);
}

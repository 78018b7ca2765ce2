#include "stopSignals.h"

#include <string>

volatile sig_atomic_t stopRequested = 0;

namespace {

struct StopSignal {
    int number;
    const char *name;
};

#define STOP_SIGNAL(name) StopSignal{name, #name}
constexpr StopSignal STOP_SIGNALS[] = {STOP_SIGNAL(SIGINT), STOP_SIGNAL(SIGTERM), STOP_SIGNAL(SIGHUP),
                                       STOP_SIGNAL(SIGQUIT)};
#undef STOP_SIGNAL

void requestStop(int /*signal*/)
{
    stopRequested = 1;
}

} // namespace

void installStopHandlers()
{
    struct sigaction action {};
    action.sa_handler = requestStop;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const StopSignal &stop : STOP_SIGNALS)
        sigaction(stop.number, &action, nullptr);
}

void addStopSignals(sigset_t &signals)
{
    for (const StopSignal &stop : STOP_SIGNALS)
        sigaddset(&signals, stop.number);
}

const char *stopSignalNames()
{
    static const std::string names = [] {
        std::string text;
        size_t count = sizeof STOP_SIGNALS / sizeof STOP_SIGNALS[0];
        for (size_t i = 0; i < count; ++i)
            text += std::string(i == 0 ? "" : i + 1 == count ? " or " : ", ") + STOP_SIGNALS[i].name;
        return text;
    }();
    return names.c_str();
}

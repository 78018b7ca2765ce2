#include "terminal.h"
#include "writeAll.h"

#include <cerrno>
#include <csignal>
#include <initializer_list>
#include <unistd.h>

namespace {

// Alternate screen, cursor hidden, no line wrap (a narrow terminal cuts
// lines rather than scrolling), and the reverse.
constexpr char TAKE[] = "\x1b[?1049h\x1b[?25l\x1b[?7l";
constexpr char GIVE_BACK[] = "\x1b[?7h\x1b[?25h\x1b[?1049l";

volatile sig_atomic_t held = 0;
volatile sig_atomic_t suspendRequested = 0;

void requestSuspend(int /*signal*/)
{
    suspendRequested = 1;
}

// Async-signal-safe: a crash, such as a bus error at a register the FPGA
// does not answer, must not leave the user's terminal unusable.
void giveBackAndDie(int signal)
{
    if (held != 0)
        writeAll(STDOUT_FILENO, GIVE_BACK, sizeof GIVE_BACK - 1);
    ::signal(signal, SIG_DFL);
    raise(signal);
}

void onSignal(int signal, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

// Stops the way Ctrl-Z stops a program that does not catch it.
void stopHere()
{
    onSignal(SIGTSTP, SIG_DFL);
    kill(getpid(), SIGTSTP);
    onSignal(SIGTSTP, requestSuspend);
}

} // namespace

bool terminalInForeground()
{
    if (isatty(STDOUT_FILENO) == 0)
        return false;
    // A terminal that is not ours to control (lpfscope > /dev/pts/3) is
    // shown on all the same.
    pid_t foreground = tcgetpgrp(STDOUT_FILENO);
    return foreground == getpgrp() || (foreground == -1 && errno == ENOTTY);
}

void terminalWatch()
{
    onSignal(SIGTSTP, requestSuspend);
    for (int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT})
        onSignal(signal, giveBackAndDie);
}

bool terminalTake()
{
    if (held != 0)
        return true;
    held = 1;
    return writeAll(STDOUT_FILENO, TAKE, sizeof TAKE - 1);
}

void terminalGiveBack()
{
    if (held == 0)
        return;
    held = 0;
    writeAll(STDOUT_FILENO, GIVE_BACK, sizeof GIVE_BACK - 1);
}

bool terminalService()
{
    if (suspendRequested != 0) {
        suspendRequested = 0;
        terminalGiveBack();
        stopHere();
    }
    if (!terminalInForeground()) {
        terminalGiveBack();
        return false;
    }
    return true;
}

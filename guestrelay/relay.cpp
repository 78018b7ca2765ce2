#include "relay.h"
#include "controlLine.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

static bool flowDone(const Flow &flow)
{
    return flow.ended && flow.start == flow.end;
}

// The reader on the far side left: drop what waits for it, and let the
// writer see its output closed (or keep draining a terminal, whose session
// gets a hangup instead).
static void flowGone(const Relay &relay, Flow &flow)
{
    flow.to = -1;
    flow.start = flow.end = 0;
    if (flow.closeWhenGone) {
        close(flow.from);
        flow.from = -1;
        flow.ended = true;
    } else {
        kill(-relay.child, SIGHUP);
    }
}

static void readFlow(Flow &flow)
{
    ssize_t got = read(flow.from, flow.buffer, sizeof flow.buffer);
    flow.shortRead = got > 0 && static_cast<size_t>(got) < sizeof flow.buffer;
    if (got > 0) {
        flow.start = 0;
        flow.end = static_cast<size_t>(got);
        if (flow.to < 0)
            flow.end = 0; // nobody to take it
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        flow.ended = true; // a pty's master says EIO once the terminal is closed
    }
}

static void writeFlow(const Relay &relay, Flow &flow)
{
    ssize_t put = write(flow.to, flow.buffer + flow.start, flow.end - flow.start);
    if (put > 0) {
        flow.start += static_cast<size_t>(put);
        flow.sent += static_cast<uint64_t>(put);
        if (flow.start == flow.end)
            flow.start = flow.end = 0;
    } else if (put < 0 && errno != EAGAIN && errno != EINTR) {
        flowGone(relay, flow);
    }
}

static void passSignal(const Relay &relay, int number)
{
    kill(-relay.child, number);
    if (relay.terminal >= 0) {
        pid_t foreground = tcgetpgrp(relay.terminal);
        if (foreground > 0)
            kill(-foreground, number);
    }
}

static void obey(const Relay &relay, const char *line)
{
    ControlMessage message = parseControlLine(line);
    if (message.kind == ControlKind::Signal) {
        passSignal(relay, message.first);
    } else if (message.kind == ControlKind::Size && relay.terminal >= 0) {
        winsize size{};
        size.ws_row = static_cast<unsigned short>(message.first);
        size.ws_col = static_cast<unsigned short>(message.second);
        ioctl(relay.terminal, TIOCSWINSZ, &size); // the kernel sends SIGWINCH
    }
}

static void readControl(Relay &relay)
{
    char chunk[256];
    ssize_t got = read(relay.control, chunk, sizeof chunk);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        relay.control = -1; // the host went away: nothing more to hear
        return;
    }
    for (ssize_t i = 0; i < got; ++i) {
        if (chunk[i] == '\n') {
            relay.line[relay.lineLength] = '\0';
            obey(relay, relay.line);
            relay.lineLength = 0;
        } else if (relay.lineLength + 1 < sizeof relay.line) {
            relay.line[relay.lineLength++] = chunk[i];
        }
    }
}

static void reap(Relay &relay)
{
    signalfd_siginfo info;
    while (read(relay.signals, &info, sizeof info) > 0) {
    }
    int wstatus = 0;
    if (!relay.childEnded && waitpid(relay.child, &wstatus, WNOHANG) == relay.child) {
        relay.childEnded = true;
        relay.status = WIFSIGNALED(wstatus) ? 128 + WTERMSIG(wstatus) : WEXITSTATUS(wstatus);
    }
}

void runRelay(Relay &relay)
{
    enum { MAX_POLLED = 6 };
    for (;;) {
        bool allDone = true;
        pollfd polled[MAX_POLLED];
        Flow *owner[MAX_POLLED] = {};
        bool isTo[MAX_POLLED] = {};
        nfds_t count = 0;
        for (Flow *flow : relay.flows) {
            if (flow == nullptr || flowDone(*flow))
                continue;
            allDone = allDone && flow->input;
            bool empty = flow->start == flow->end;
            if (empty && !flow->ended && flow->from >= 0) {
                polled[count] = {flow->from, POLLIN, 0};
                owner[count++] = flow;
            }
            if (flow->to >= 0) { // always, to hear a hangup
                polled[count] = {flow->to, static_cast<short>(empty ? 0 : POLLOUT), 0};
                isTo[count] = true;
                owner[count++] = flow;
            }
        }
        if (allDone && relay.childEnded)
            return;
        bool gather = false;
        for (Flow *flow : relay.flows)
            gather = gather || (flow != nullptr && flow->shortRead && !flow->input && !flow->ended);
        if (gather) {
            const timespec pause{0, GATHER_NS};
            nanosleep(&pause, nullptr);
        }
        nfds_t fixed = count;
        polled[count++] = {relay.signals, POLLIN, 0};
        if (relay.control >= 0)
            polled[count++] = {relay.control, POLLIN, 0};
        if (poll(polled, count, -1) < 0)
            continue;
        for (nfds_t i = 0; i < fixed; ++i) {
            Flow &flow = *owner[i];
            short events = polled[i].revents;
            if (events == 0)
                continue;
            if (!isTo[i]) {
                readFlow(flow);
            } else if (flow.to < 0) {
                continue; // gone meanwhile
            } else if ((events & POLLOUT) != 0) {
                writeFlow(relay, flow);
            } else if ((events & (POLLHUP | POLLERR)) != 0) {
                flowGone(relay, flow);
            }
        }
        if (polled[fixed].revents != 0)
            reap(relay);
        if (relay.control >= 0 && count > fixed + 1 && polled[fixed + 1].revents != 0)
            readControl(relay);
    }
}

bool sendControl(int control, const char *text, size_t length, int timeoutMs)
{
    while (length > 0) {
        pollfd ready{control, POLLOUT, 0};
        if (poll(&ready, 1, timeoutMs) <= 0 || (ready.revents & POLLOUT) == 0)
            return false;
        ssize_t put = write(control, text, length);
        if (put < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (put > 0) {
            text += put;
            length -= static_cast<size_t>(put);
        }
    }
    return true;
}

// guestrelay: runs one command in the virtual board's guest with its
// standard input, output and error, and its exit status, on virtio-serial
// ports of their own, so that the host has them apart from the serial
// console, as they are written, with nothing held whole.
//
//   guestrelay [--in PORT] --out PORT [--err PORT] --control PORT
//              [--terminal ROWSxCOLUMNS] [--close FD]... -- COMMAND [ARG]...
//
// Without --terminal the command's input is the input port itself (or the
// relay's own input without --in), and its output and error are pipes read
// as it writes them; when the host's reader leaves, the pipe is closed. With
// --terminal it runs on a pseudo-terminal of that size, which both output
// ports share. --close gives the command that descriptor closed.
//
// The relay's own status is 0 once it has sent the command's exit record,
// 255 if it could not.
#include "controlLine.h"
#include "ports.h"
#include "relay.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

constexpr int FAILED = 255;
constexpr int EXEC_FAILED = 127;
constexpr int EXIT_RECORD_WAIT_MS = 10000;
constexpr int PIPE_SIZE = 1 << 20;

struct Options {
    const char *in = nullptr;
    const char *out = nullptr;
    const char *err = nullptr;
    const char *control = nullptr;
    bool terminal = false;
    winsize size{};
    bool close[3] = {false, false, false};
    char **command = nullptr;
};

static bool usage(const char *text)
{
    fprintf(stderr, "guestrelay: %s\n", text);
    return false;
}

static bool parseSize(const char *text, winsize &size)
{
    unsigned rows = 0;
    unsigned columns = 0;
    char end = 0;
    if (sscanf(text, "%ux%u%c", &rows, &columns, &end) != 2 || rows > 0xFFFF || columns > 0xFFFF)
        return false;
    size.ws_row = static_cast<unsigned short>(rows);
    size.ws_col = static_cast<unsigned short>(columns);
    return true;
}

static bool parseOptions(int argc, char **argv, Options &options)
{
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; i += 2) {
        const char *name = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (value == nullptr)
            return usage("an option without its value");
        if (strcmp(name, "--in") == 0) {
            options.in = value;
        } else if (strcmp(name, "--out") == 0) {
            options.out = value;
        } else if (strcmp(name, "--err") == 0) {
            options.err = value;
        } else if (strcmp(name, "--control") == 0) {
            options.control = value;
        } else if (strcmp(name, "--terminal") == 0) {
            options.terminal = true;
            if (!parseSize(value, options.size))
                return usage("--terminal wants ROWSxCOLUMNS");
        } else if (strcmp(name, "--close") == 0 && value[0] >= '0' && value[0] <= '2' &&
                   value[1] == '\0') {
            options.close[value[0] - '0'] = true;
        } else {
            return usage("unknown option");
        }
    }
    if (i + 1 >= argc)
        return usage("no command after --");
    if (options.out == nullptr || options.control == nullptr || (!options.terminal && options.err == nullptr))
        return usage("--out, --err and --control are needed (--err not with --terminal)");
    options.command = argv + i + 1;
    return true;
}

// In the child: the command as a new session, with default signals.
[[noreturn]] static void becomeCommand(const Options &options)
{
    setsid();
    for (int number : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGTSTP, SIGTTIN, SIGTTOU, SIGCHLD})
        signal(number, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int fd = 0; fd < 3; ++fd)
        if (options.close[fd])
            close(fd);
    execvp(options.command[0], options.command);
    int error = errno;
    dprintf(STDERR_FILENO, "guestrelay: cannot run %s: %s\n", options.command[0], strerror(error));
    _exit(EXEC_FAILED);
}

// Standard descriptors for the child from `fds` (-1: keep the relay's).
static void takeStandard(const int fds[3])
{
    for (int fd = 0; fd < 3; ++fd)
        if (fds[fd] >= 0 && dup2(fds[fd], fd) < 0)
            _exit(FAILED);
}

static bool startPlain(const Options &options, Relay &relay, Flow &out, Flow &err, int in)
{
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) < 0 || pipe2(errPipe, O_CLOEXEC) < 0)
        return false;
    relay.child = fork();
    if (relay.child == 0) {
        const int fds[3] = {in, outPipe[1], errPipe[1]};
        takeStandard(fds);
        becomeCommand(options);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    if (in >= 0)
        close(in); // the command's alone: it reads the port as it needs
    out.from = outPipe[0];
    err.from = errPipe[0];
    for (int from : {out.from, err.from}) {
        fcntl(from, F_SETFL, O_NONBLOCK);
        fcntl(from, F_SETPIPE_SZ, PIPE_SIZE); // room for what comes while the relay gathers
    }
    relay.flows[0] = &out;
    relay.flows[1] = &err;
    return relay.child > 0;
}

static bool startTerminal(const Options &options, Relay &relay, Flow &out, Flow &in)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) < 0 || unlockpt(master) < 0)
        return false;
    ioctl(master, TIOCSWINSZ, &options.size);
    char name[64];
    if (ptsname_r(master, name, sizeof name) != 0)
        return false;
    // Opened here, so the terminal has its command's end before the relay reads it.
    int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0)
        return false;
    relay.child = fork();
    if (relay.child == 0) {
        const int fds[3] = {slave, slave, slave};
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        takeStandard(fds);
        becomeCommand(options);
    }
    close(slave);
    fcntl(master, F_SETFL, O_NONBLOCK);
    relay.terminal = master;
    out.from = master;
    out.closeWhenGone = false; // the session hangs up instead
    relay.flows[0] = &out;
    if (in.from >= 0) {
        in.to = master;
        in.input = true;
        relay.flows[1] = &in;
    }
    return relay.child > 0;
}

static int openOrSay(const char *path, int flags)
{
    int port = openPort(path, flags);
    if (port < 0)
        fprintf(stderr, "guestrelay: cannot open %s: %s\n", path, strerror(errno));
    return port;
}

int main(int argc, char **argv)
{
    Options options;
    if (!parseOptions(argc, argv, options))
        return FAILED;
    static Flow out;
    static Flow err;
    static Flow input;
    Relay relay;
    int control = openOrSay(options.control, O_RDWR | O_NONBLOCK);
    relay.control = control;
    out.to = openOrSay(options.out, O_WRONLY | O_NONBLOCK);
    out.toIsPort = true;
    if (options.err != nullptr) {
        err.to = openOrSay(options.err, O_WRONLY | O_NONBLOCK);
        err.toIsPort = true;
    }
    int in = -1;
    if (options.in != nullptr) // blocking for the command, which reads it itself
        in = openOrSay(options.in, O_RDONLY | (options.terminal ? O_NONBLOCK : 0));
    if (control < 0 || out.to < 0 || (options.err != nullptr && err.to < 0) ||
        (options.in != nullptr && in < 0))
        return FAILED;

    signal(SIGPIPE, SIG_IGN);
    sigset_t childEnds;
    sigemptyset(&childEnds);
    sigaddset(&childEnds, SIGCHLD);
    sigprocmask(SIG_BLOCK, &childEnds, nullptr);
    relay.signals = signalfd(-1, &childEnds, SFD_NONBLOCK | SFD_CLOEXEC);
    input.from = in;
    bool started = relay.signals >= 0 &&
                   (options.terminal ? startTerminal(options, relay, out, input)
                                     : startPlain(options, relay, out, err, in));
    if (!started) {
        fprintf(stderr, "guestrelay: cannot start the command: %s\n", strerror(errno));
        return FAILED;
    }
    static const char STARTED[] = "started\n";
    sendControl(control, STARTED, sizeof STARTED - 1, EXIT_RECORD_WAIT_MS);
    runRelay(relay);

    char record[96];
    size_t length = formatExitRecord(record, sizeof record, relay.status, out.sent, err.sent);
    return sendControl(control, record, length, EXIT_RECORD_WAIT_MS) ? 0 : FAILED;
}

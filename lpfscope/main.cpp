// lpfscope: samples the LED and LPf filter registers at a steady rate,
// read-only, and shows them live on a terminal or records them as CSV.
#include "hwregs.h"
#include "liveView.h"
#include "memoryDevice.h"
#include "options.h"
#include "sampling.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/mman.h>
#include <unistd.h>

constexpr int EXIT_USAGE = 2;

static void requestStop(int /*signal*/)
{
    scopeStopRequested = 1;
}

static void installStopHandlers()
{
    struct sigaction action {};
    action.sa_handler = requestStop;
    action.sa_flags = SA_RESTART; // a row being written is written whole
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaction(signal, &action, nullptr);
}

// Opens the device read-only and maps the window read-only: a store cannot
// happen even by mistake. Prints one line on standard error on failure.
static bool openReadOnly(RegisterWindow &window)
{
    const char *path = memoryDevicePath();
    const char *refusal = nullptr;
    // O_SYNC: on the board, an uncached mapping, so every load reaches the bridge.
    window.descriptor = openMemoryDevice(O_RDONLY | O_SYNC, &refusal);
    if (window.descriptor == -1) {
        fprintf(stderr, "lpfscope: cannot open %s: %s\n", path, refusal != nullptr ? refusal : strerror(errno));
        return false;
    }
    window.base = mapWindow(window.descriptor, false);
    if (window.base == MAP_FAILED) {
        fprintf(stderr, "lpfscope: cannot map %s at 0x%08X: %s\n", path, ALT_STM_OFST, strerror(errno));
        close(window.descriptor);
        return false;
    }
    scopeLed = lightweightRegister(window, LED_BASE);
    scopeU = lightweightRegister(window, LPF_U_BASE);
    scopeKu = lightweightRegister(window, LPF_KU_BASE);
    scopeKy = lightweightRegister(window, LPF_KY_BASE);
    scopeY = lightweightRegister(window, LPF_Y_BASE);
    return true;
}

int main(int argc, char **argv)
{
    ScopeOptions options{};
    if (!parseOptions(argc, argv, options))
        return EXIT_USAGE;
    if (options.help) {
        printUsage();
        return 0;
    }
    if (options.version) {
        printf("lpfscope %s\n", LPF_VERSION);
        return 0;
    }

    RegisterWindow window{};
    if (!openReadOnly(window))
        return 1;
    installStopHandlers();

    bool view = !options.csv && isatty(STDOUT_FILENO) != 0;
    if (view) {
        static char title[128]; // the view keeps it
        snprintf(title, sizeof title, "lpfscope: %s, %u samples/s", memoryDevicePath(), options.rate);
        viewOpen(title, "Ctrl-C quits.");
    }
    SamplingResult result = runSampling(options, view);
    if (view)
        viewClose();

    int status = 0;
    if (result.outputFailed) {
        fprintf(stderr, "lpfscope: cannot write the output: %s\n", strerror(errno));
        status = 1;
    }
    fprintf(stderr, "lpfscope: samples: %llu, late: %llu\n", static_cast<unsigned long long>(result.taken),
            static_cast<unsigned long long>(result.late));
    munmap(window.base, HW_REGS_SPAN);
    close(window.descriptor);
    return status;
}

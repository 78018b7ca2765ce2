// lpfscope: samples the LED and LPf filter registers at a steady rate,
// read-only, and shows them live on a terminal or records them as CSV.
#include "exitStatus.h"
#include "liveView.h"
#include "memoryDevice.h"
#include "memoryWindow.h"
#include "options.h"
#include "registerSet.h"
#include "sampling.h"
#include "stopSignals.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

// Opens the device read-only and maps the window read-only: a store cannot
// happen even by mistake. Prints one line on standard error on failure.
static bool openReadOnly(RegisterWindow &window)
{
    const char *path = memoryDevicePath();
    WindowStatus status = mapMemoryWindow(window, WindowAccess::ReadOnly);
    if (status.fault == WindowFault::Open) {
        fprintf(stderr, "lpfscope: cannot open %s: %s\n", path,
                status.refusal != nullptr ? status.refusal : strerror(status.error));
        return false;
    }
    if (status.fault == WindowFault::Map) {
        fprintf(stderr, "lpfscope: cannot map %s at 0x%08X: %s\n", path, ALT_STM_OFST, strerror(status.error));
        return false;
    }
    return true;
}

int main(int argc, char **argv)
{
    ScopeOptions options{};
    if (!parseOptions(argc, argv, options))
        return EXIT_STATUS_USAGE;
    if (options.help) {
        printUsage();
        return EXIT_STATUS_OK;
    }
    if (options.version) {
        printf("lpfscope %s\n", LPF_VERSION);
        return EXIT_STATUS_OK;
    }

    RegisterWindow window{};
    if (!openReadOnly(window))
        return EXIT_STATUS_FAILURE;
    installStopHandlers();

    bool view = !options.csv && isatty(STDOUT_FILENO) != 0;
    if (view) {
        static char title[128]; // the view keeps it
        snprintf(title, sizeof title, "lpfscope: %s, %u samples/s", memoryDevicePath(), options.rate);
        viewOpen(title, "Ctrl-C quits.");
    }
    SamplingResult result = runSampling(windowRegisters(window), options, view);
    if (view)
        viewClose();

    int status = EXIT_STATUS_OK;
    if (result.outputFailed) {
        fprintf(stderr, "lpfscope: cannot write the output: %s\n", strerror(errno));
        status = EXIT_STATUS_FAILURE;
    }
    fprintf(stderr, "lpfscope: samples: %llu, late: %llu\n", static_cast<unsigned long long>(result.taken),
            static_cast<unsigned long long>(result.late));
    unmapMemoryWindow(window);
    close(window.descriptor);
    return status;
}

// lpfconsole: one-letter command console for the LED port and the LPf filter.
#include "console.h"
#include "hwregs.h"
#include "registerSet.h"

#include <cstdio>

volatile uint32_t *LPf_Ku = nullptr;
volatile uint32_t *LPf_Ky = nullptr;
volatile uint32_t *LPf_u = nullptr;
volatile uint32_t *LPf_y = nullptr;

constexpr int KEY_ESCAPE = 0x1B;
constexpr int TOKEN_LENGTH = 20;

static char token[TOKEN_LENGTH + 1];

// Reads one blank-delimited value token of at most 20 characters into the
// token buffer and gives it; nullptr once standard input has ended. The
// caller has printed its prompt.
static const char *readToken()
{
    // The prompt must be visible before we block, on a pipe as on a terminal.
    fflush(stdout);
    if (scanf("%20s", token) == EOF)
        return nullptr;
    return token;
}

const char *promptValue(const char *prompt)
{
    printf("%s", prompt);
    const char *value = readToken();
    if (value == nullptr)
        printf("\n"); // leave the shell's prompt on a line of its own
    return value;
}

static void printHelp()
{
    printf("\n"
           "Insert command:\n"
           "-------------------------------\n"
           "L\tChange LED value\n"
           "F\tConfig Filter coefficients\n"
           "U\tSet Input Filter (per-unit)\n"
           "Y\tRead Y value\n"
           "E/Q\tExit\n"
           "-------------------------------\n");
}

static bool isExitKey(int command)
{
    return command == 'Q' || command == 'q' || command == 'E' || command == 'e' || command == KEY_ESCAPE;
}

// Next command character, with newlines skipped; EOF once input has ended.
static int readCommand()
{
    fflush(stdout);
    int c = getchar();
    while (c == '\n')
        c = getchar();
    return c;
}

static bool runCommand(int command)
{
    switch (command) {
    case 'L':
    case 'l':
        return ledCommand();
    case 'F':
    case 'f':
        return filterCoefficientCommand();
    case 'U':
    case 'u':
        return filterInputCommand();
    case 'Y':
    case 'y':
        filterReadbackCommand();
        return true;
    default:
        printHelp();
        return true;
    }
}

static void setFilterPointers(const RegisterWindow &window)
{
    RegisterSet registers = windowRegisters(window);
    LPf_Ku = registers.Ku;
    LPf_Ky = registers.Ky;
    LPf_u = registers.u;
    LPf_y = registers.y;
}

int main()
{
    RegisterWindow window{};
    if (!openRegisterWindow(window))
        return EXIT_STATUS_FAILURE;
    setFilterPointers(window);

    int command = 0;
    while (!isExitKey(command)) {
        if (!runCommand(command))
            break;
        printf("===============================\n\n");
        command = readCommand();
        if (command == EOF)
            break;
    }
    return closeRegisterWindow(window);
}

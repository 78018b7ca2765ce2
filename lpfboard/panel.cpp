#include "panel.h"
#include "filterEncoding.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <unistd.h>

constexpr int BAR_HALF = 20;
constexpr size_t SCREEN_SIZE = 4096;

struct Screen {
    char text[SCREEN_SIZE];
    size_t length;
};

static void put(Screen &screen, const char *format, ...) __attribute__((format(printf, 2, 3)));
static void put(Screen &screen, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int written = vsnprintf(screen.text + screen.length, SCREEN_SIZE - screen.length, format, arguments);
    va_end(arguments);
    if (written > 0)
        screen.length += static_cast<size_t>(written);
    if (screen.length >= SCREEN_SIZE)
        screen.length = SCREEN_SIZE - 1;
}

static void writeAll(const char *text, size_t length)
{
    while (length > 0) {
        ssize_t written = write(STDOUT_FILENO, text, length);
        if (written <= 0)
            return;
        text += written;
        length -= static_cast<size_t>(written);
    }
}

static double perUnit(int32_t value)
{
    return value / 2147483647.0;
}

// A bar from -1 on the left to +1 on the right, filled from the centre.
static void putBar(Screen &screen, double value)
{
    double cells = std::fmax(-1.0, std::fmin(1.0, value)) * BAR_HALF;
    auto filled = static_cast<int>(std::lround(cells));
    put(screen, "[");
    for (int cell = -BAR_HALF; cell <= BAR_HALF; ++cell) {
        bool lit = (filled < 0 && cell >= filled && cell < 0) || (filled > 0 && cell <= filled && cell > 0);
        put(screen, "%s", cell == 0 ? "|" : lit ? "#" : " ");
    }
    put(screen, "]");
}

void panelOpen()
{
    // Alternate screen, cursor hidden: the user's terminal comes back as it was.
    static const char open[] = "\x1b[?1049h\x1b[?25l";
    writeAll(open, sizeof open - 1);
}

void panelClose()
{
    static const char close[] = "\x1b[?25h\x1b[?1049l";
    writeAll(close, sizeof close - 1);
}

void panelDraw(const BoardFile &board)
{
    uint32_t led = *board.led;
    auto u = static_cast<int32_t>(*board.u);
    uint32_t ku = *board.Ku;
    uint32_t ky = *board.Ky;
    auto y = static_cast<int32_t>(*board.y);

    Screen screen{};
    put(screen, "\x1b[H lpfboard: serving %s\x1b[K\n\x1b[K\n LEDs  ", board.path);
    for (int bit = 7; bit >= 0; --bit)
        put(screen, "%s ", ((led >> bit) & 1u) != 0 ? "\x1b[1;31m\xe2\x97\x8f\x1b[0m" : "\xe2\x97\x8b");
    put(screen, "   LED = 0x%08X\x1b[K\n\x1b[K\n", led);
    put(screen, " u  %+9.6f  ", perUnit(u));
    putBar(screen, perUnit(u));
    put(screen, "\x1b[K\n y  %+9.6f  ", perUnit(y));
    putBar(screen, perUnit(y));
    put(screen, "\x1b[K\n\x1b[K\n Ku  0x%08X    Ky  0x%08X    tau ", ku, ky);
    if (ky == 0)
        put(screen, "-");
    else
        put(screen, "%.4g s", -LPF_TS / std::log(ky / 4294967296.0));
    put(screen, "\x1b[K\n\x1b[K\n Ctrl-C powers the board off.\x1b[K\n\x1b[J");
    writeAll(screen.text, screen.length);
}

#include "say.h"

#include <cstdarg>
#include <cstdio>
#include <string>

static std::string sayLine(const char *program, const char *message, const char *reason)
{
    std::string line = std::string(program) + ": " + message;
    if (reason != nullptr)
        line += std::string(": ") + reason;
    return line + "\n";
}

void say(const char *program, const char *reason, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    std::string message(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    va_start(arguments, format);
    vsnprintf(message.data(), message.size() + 1, format, arguments);
    va_end(arguments);
    // Made whole first and printed in one call, as one fprintf would.
    std::string line = sayLine(program, message.c_str(), reason);
    fputs(line.c_str(), stderr);
}

// Access tracer of the test preload library. With LPF_TRACE_FILE set, it logs
// every load and store that the program makes to the page holding the five
// FPGA registers, in order, one line each:
//
//   map   FLAGS PROTECTION @PRINTED
//   load  PHYSICAL VALUE @PRINTED
//   store PHYSICAL BEFORE AFTER @PRINTED
//
// The first line tells how the window was mapped: the file status flags of
// the device (as fcntl F_GETFL gives them) and the protection.
// PRINTED is how many bytes the program had written to standard output (a
// regular file) when it made the access; text still in its stdio buffer does
// not count, since a fault at the access would lose it.
//
// The page is kept inaccessible. A fault on it opens the page and single-steps
// the faulting instruction (x86 trap flag); the trap after it records the
// result and closes the page again.
#undef _FILE_OFFSET_BITS

#include "accessTracer.h"
#include "physicalMemoryFile.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

namespace {

constexpr auto PAGE_SIZE = static_cast<size_t>(REGISTER_PAGE_SIZE);
constexpr greg_t TRAP_FLAG = 0x100;
constexpr greg_t PAGE_FAULT_WRITE = 0x2;

char *window = nullptr;
char *page = nullptr;
int pageProtection = PROT_READ | PROT_WRITE; // as the program mapped it
int traceFile = -1;

struct Access {
    volatile uint32_t *word;
    bool store;
    uint32_t before;
    long long printed;
};
Access pending{};
bool stepping = false;

void protectPage(int protection)
{
    syscall(SYS_mprotect, page, PAGE_SIZE, protection);
}

long long printedSoFar()
{
    return static_cast<long long>(syscall(SYS_lseek, STDOUT_FILENO, 0, SEEK_CUR));
}

// Async-signal-safe formatting: one line, one write.
char *appendText(char *out, const char *text)
{
    while (*text != '\0')
        *out++ = *text++;
    return out;
}

char *appendHex(char *out, uint64_t value, int digits)
{
    out = appendText(out, "0x");
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
        *out++ = "0123456789ABCDEF"[(value >> shift) & 0xF];
    return out;
}

char *appendDecimal(char *out, long long value)
{
    if (value < 0) {
        *out++ = '-';
        value = -value;
    }
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0)
        *out++ = digits[--count];
    return out;
}

void logAccess(const Access &access, uint32_t after)
{
    char line[128];
    uint64_t physical = ALT_STM_OFST + static_cast<uint64_t>(reinterpret_cast<volatile char *>(access.word) - window);
    char *out = appendText(line, access.store ? "store " : "load  ");
    out = appendHex(out, physical, 8);
    *out++ = ' ';
    if (access.store) {
        out = appendHex(out, access.before, 8);
        *out++ = ' ';
    }
    out = appendHex(out, after, 8);
    out = appendText(out, " @");
    out = appendDecimal(out, access.printed);
    *out++ = '\n';
    syscall(SYS_write, traceFile, line, out - line);
}

// Any other fault is a real crash: let it happen as if we were not here.
void passOn(int signal)
{
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigaction(signal, &fallback, nullptr);
}

void onSegmentationFault(int signal, siginfo_t *info, void *context)
{
    auto *address = static_cast<char *>(info->si_addr);
    if (page == nullptr || stepping || address < page || address >= page + PAGE_SIZE) {
        passOn(signal);
        return;
    }
    auto *registers = static_cast<ucontext_t *>(context)->uc_mcontext.gregs;
    protectPage(pageProtection);
    auto *word = reinterpret_cast<volatile uint32_t *>(reinterpret_cast<uintptr_t>(address) & ~uintptr_t{3});
    pending = Access{word, (registers[REG_ERR] & PAGE_FAULT_WRITE) != 0, *word, printedSoFar()};
    stepping = true;
    registers[REG_EFL] |= TRAP_FLAG;
}

void onTrap(int signal, siginfo_t * /*info*/, void *context)
{
    if (!stepping) {
        passOn(signal);
        raise(signal);
        return;
    }
    stepping = false;
    static_cast<ucontext_t *>(context)->uc_mcontext.gregs[REG_EFL] &= ~TRAP_FLAG;
    logAccess(pending, *pending.word);
    protectPage(PROT_NONE);
}

void install(int signal, void (*handler)(int, siginfo_t *, void *))
{
    struct sigaction action {};
    action.sa_sigaction = handler;
    action.sa_flags = SA_SIGINFO;
    sigfillset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

void logMapping(int descriptor, int protection)
{
    char line[128];
    char *out = appendText(line, "map   ");
    out = appendHex(out, static_cast<uint64_t>(syscall(SYS_fcntl, descriptor, F_GETFL)), 8);
    *out++ = ' ';
    out = appendHex(out, static_cast<uint64_t>(protection), 8);
    out = appendText(out, " @");
    out = appendDecimal(out, printedSoFar());
    *out++ = '\n';
    syscall(SYS_write, traceFile, line, out - line);
}

void traceWindowMapped(void *base, size_t length, int protection, int descriptor, off_t offset)
{
    const char *path = getenv("LPF_TRACE_FILE");
    if (path == nullptr || *path == '\0' || length != HW_REGS_SPAN || offset != STAND_IN_WINDOW)
        return;
    traceFile = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (traceFile < 0)
        abort(); // a trace that silently logs nothing would pass any test
    window = static_cast<char *>(base);
    page = window + HW_REGS_LWFPGASLVS_BASE;
    pageProtection = protection;
    logMapping(descriptor, protection);
    install(SIGSEGV, onSegmentationFault);
    install(SIGTRAP, onTrap);
    protectPage(PROT_NONE);
}

void *mapAndTrace(void *address, size_t length, int protection, int flags, int descriptor, off_t offset)
{
    void *base = reinterpret_cast<void *>(syscall(SYS_mmap, address, length, protection, flags, descriptor, offset));
    if (base != MAP_FAILED)
        traceWindowMapped(base, length, protection, descriptor, offset);
    return base;
}

} // namespace

void traceWindowUnmapped(void *address, size_t length)
{
    char *start = static_cast<char *>(address);
    if (page != nullptr && page >= start && page < start + length)
        page = nullptr;
}

extern "C" {

void *mmap(void *address, size_t length, int protection, int flags, int descriptor, off_t offset)
{
    return mapAndTrace(address, length, protection, flags, descriptor, offset);
}

void *mmap64(void *address, size_t length, int protection, int flags, int descriptor, off64_t offset)
{
    return mapAndTrace(address, length, protection, flags, descriptor, offset);
}

} // extern "C"

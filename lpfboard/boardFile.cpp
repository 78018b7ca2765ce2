#include "boardFile.h"
#include "memoryDevice.h"
#include "physicalMemoryFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

constexpr int OPEN_ATTEMPTS = 100;

static const PhysicalMemoryFile &layoutOf(const BoardFile &board)
{
    return board.kind == BoardKind::WindowFile ? WINDOW_FILE : STAND_IN;
}

enum class Step { Ready, Failed, Again };

static bool fail(const char *path, const char *what)
{
    fprintf(stderr, "lpfboard: %s %s: %s\n", what, path, strerror(errno));
    return false;
}

// After a failed power on: removes what this board created, and only that.
static void removeOwn(const BoardFile &board)
{
    if (board.created && pathNames(board.path, board.descriptor))
        unlink(board.path);
}

static Step openAndLock(BoardFile &board)
{
    const char *path = board.path;
    board.created = true;
    board.descriptor = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (board.descriptor == -1 && errno == EEXIST) {
        board.created = false;
        const char *refusal = nullptr;
        board.descriptor = openStandIn(path, O_RDWR, &refusal);
        if (board.descriptor == -1 && refusal != nullptr) {
            fprintf(stderr, "lpfboard: refusing %s: %s\n", path, refusal);
            return Step::Failed;
        }
        if (board.descriptor == -1 && errno == ENOENT)
            return Step::Again; // removed since
    }
    if (board.descriptor == -1) {
        fail(path, "cannot open or create");
        return Step::Failed;
    }
    // Marked at once, so that a board starting beside this one sees its own
    // kind of file rather than an empty one.
    const char *mark = layoutOf(board).mark;
    if (board.created && pwrite(board.descriptor, mark, strlen(mark), 0) != static_cast<ssize_t>(strlen(mark))) {
        fail(path, "cannot mark");
        removeOwn(board);
        close(board.descriptor);
        return Step::Failed;
    }

    if (flock(board.descriptor, LOCK_EX | LOCK_NB) != 0) {
        int lockError = errno;
        close(board.descriptor);
        if (lockError == EWOULDBLOCK) {
            fprintf(stderr, "lpfboard: %s is already powered on by another lpfboard\n", path);
            return Step::Failed;
        }
        errno = lockError;
        fail(path, "cannot lock");
        return Step::Failed;
    }
    // Locked a file that a stopping board has just removed: start over.
    if (!pathNames(path, board.descriptor)) {
        close(board.descriptor);
        return Step::Again;
    }
    const char *unmarked = board.created ? nullptr : markRefusal(board.descriptor, layoutOf(board));
    if (unmarked != nullptr) {
        fprintf(stderr, "lpfboard: refusing %s: %s\n", path, unmarked);
        close(board.descriptor);
        return Step::Failed;
    }
    return Step::Ready;
}

// The size, and real storage for the register page, so that a full file
// system gives an error here rather than SIGBUS at a register access.
static bool prepare(const BoardFile &board)
{
    const char *path = board.path;
    const PhysicalMemoryFile &layout = layoutOf(board);
    struct stat status {};
    if (fstat(board.descriptor, &status) != 0 ||
        (status.st_size < layout.size && ftruncate(board.descriptor, layout.size) != 0))
        return fail(path, "cannot size");
    if (!backRegisterPage(board.descriptor, layout.registers))
        return fail(path, "cannot allocate the register page of");
    return true;
}

bool powerOn(BoardFile &board, const char *path, BoardKind kind)
{
    board.path = path;
    board.kind = kind;
    Step step = Step::Again;
    for (int attempt = 0; attempt < OPEN_ATTEMPTS && step == Step::Again; ++attempt)
        step = openAndLock(board);
    if (step == Step::Again) {
        fprintf(stderr, "lpfboard: %s keeps changing under us; giving up\n", path);
        return false;
    }
    if (step == Step::Failed)
        return false;

    board.page = MAP_FAILED;
    if (prepare(board)) {
        board.page = mmap(nullptr, static_cast<size_t>(REGISTER_PAGE_SIZE), PROT_READ | PROT_WRITE, MAP_SHARED,
                          board.descriptor, layoutOf(board).registers);
        if (board.page == MAP_FAILED)
            fail(path, "cannot map");
    }
    if (board.page == MAP_FAILED) {
        removeOwn(board);
        close(board.descriptor);
        return false;
    }
    const RegisterSet &registers = board.registers = slaveRegisters(board.page);
    for (volatile uint32_t *reg : {registers.led, registers.u, registers.Ku, registers.Ky, registers.y,
                                   registers.sampleCount, registers.status})
        *reg = 0;
    // What the core says it is, there before a tool is told the board is on.
    *registers.identity = LPF_IDENTITY;
    *registers.clockHz = LPF_CLOCK_HZ_DEFAULT;
    return true;
}

void powerOff(BoardFile &board)
{
    // Unlink while the lock is still held, so that a new board never finds a
    // file that is about to disappear; and only the file this board serves.
    munmap(board.page, static_cast<size_t>(REGISTER_PAGE_SIZE));
    if (pathNames(board.path, board.descriptor))
        unlink(board.path);
    close(board.descriptor);
}

#include "boardFile.h"
#include "memoryDevice.h"
#include "physicalMemoryFile.h"
#include "program.h"
#include "say.h"

#include <cerrno>
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
            say(PROGRAM, refusal, "refusing %s", path);
            return Step::Failed;
        }
        if (board.descriptor == -1 && errno == ENOENT)
            return Step::Again; // removed since
    }
    if (board.descriptor == -1) {
        say(PROGRAM, strerror(errno), "cannot open or create %s", path);
        return Step::Failed;
    }
    // Marked at once, so that a board starting beside this one sees its own
    // kind of file rather than an empty one.
    const char *mark = layoutOf(board).mark;
    if (board.created && pwrite(board.descriptor, mark, strlen(mark), 0) != static_cast<ssize_t>(strlen(mark))) {
        say(PROGRAM, strerror(errno), "cannot mark %s", path);
        removeOwn(board);
        close(board.descriptor);
        return Step::Failed;
    }

    if (flock(board.descriptor, LOCK_EX | LOCK_NB) != 0) {
        int lockError = errno;
        close(board.descriptor);
        if (lockError == EWOULDBLOCK) {
            say(PROGRAM, nullptr, "%s is already powered on by another lpfboard", path);
            return Step::Failed;
        }
        say(PROGRAM, strerror(lockError), "cannot lock %s", path);
        return Step::Failed;
    }
    // Locked a file that a stopping board has just removed: start over.
    if (!pathNames(path, board.descriptor)) {
        close(board.descriptor);
        return Step::Again;
    }
    const char *unmarked = board.created ? nullptr : markRefusal(board.descriptor, layoutOf(board));
    if (unmarked != nullptr) {
        say(PROGRAM, unmarked, "refusing %s", path);
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
        (status.st_size < layout.size && ftruncate(board.descriptor, layout.size) != 0)) {
        say(PROGRAM, strerror(errno), "cannot size %s", path);
        return false;
    }
    if (!backRegisterPage(board.descriptor, layout.registers)) {
        say(PROGRAM, strerror(errno), "cannot allocate the register page of %s", path);
        return false;
    }
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
        say(PROGRAM, nullptr, "%s keeps changing under us; giving up", path);
        return false;
    }
    if (step == Step::Failed)
        return false;

    board.page = MAP_FAILED;
    if (prepare(board)) {
        board.page = mmap(nullptr, static_cast<size_t>(REGISTER_PAGE_SIZE), PROT_READ | PROT_WRITE, MAP_SHARED,
                          board.descriptor, layoutOf(board).registers);
        if (board.page == MAP_FAILED)
            say(PROGRAM, strerror(errno), "cannot map %s", path);
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

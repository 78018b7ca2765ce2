#include "boardFile.h"
#include "hwregs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

constexpr off_t STAND_IN_SIZE = 0x100000000LL; // the whole 32-bit physical address space
constexpr size_t REGISTER_PAGE = 4096;

static bool fail(const char *path, const char *what)
{
    fprintf(stderr, "lpfboard: %s %s: %s\n", what, path, strerror(errno));
    return false;
}

static volatile uint32_t *registerAt(void *page, uint32_t offset)
{
    return reinterpret_cast<volatile uint32_t *>(static_cast<char *>(page) + offset);
}

bool powerOn(BoardFile &board, const char *path)
{
    board.path = path;
    board.descriptor = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (board.descriptor == -1)
        return fail(path, "cannot open or create");

    if (flock(board.descriptor, LOCK_EX | LOCK_NB) != 0) {
        int lockError = errno;
        close(board.descriptor);
        if (lockError == EWOULDBLOCK) {
            fprintf(stderr, "lpfboard: %s is already powered on by another lpfboard\n", path);
            return false;
        }
        errno = lockError;
        return fail(path, "cannot lock");
    }

    struct stat status {};
    if (fstat(board.descriptor, &status) != 0 ||
        (status.st_size < STAND_IN_SIZE && ftruncate(board.descriptor, STAND_IN_SIZE) != 0)) {
        fail(path, "cannot size");
        close(board.descriptor);
        return false;
    }

    board.page = mmap(nullptr, REGISTER_PAGE, PROT_READ | PROT_WRITE, MAP_SHARED, board.descriptor,
                      static_cast<off_t>(ALT_LWFPGASLVS_OFST));
    if (board.page == MAP_FAILED) {
        fail(path, "cannot map");
        close(board.descriptor);
        return false;
    }
    board.led = registerAt(board.page, LED_BASE);
    board.u = registerAt(board.page, LPF_U_BASE);
    board.Ku = registerAt(board.page, LPF_KU_BASE);
    board.Ky = registerAt(board.page, LPF_KY_BASE);
    board.y = registerAt(board.page, LPF_Y_BASE);
    *board.led = 0;
    *board.u = 0;
    *board.Ku = 0;
    *board.Ky = 0;
    *board.y = 0;
    return true;
}

void powerOff(BoardFile &board)
{
    // Unlink while the lock is still held, so that a new board never finds a
    // file that is about to disappear.
    munmap(board.page, REGISTER_PAGE);
    unlink(board.path);
    close(board.descriptor);
}

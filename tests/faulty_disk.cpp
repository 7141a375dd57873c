#include "faulty_disk.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

FaultyDisk faulty_disk;

namespace {

// True, with errno set, when the call is to fail; stops the process first
// when so told.
bool fails(Fault fault, int error)
{
    if (fault == Fault::kStop) {
        std::raise(SIGSTOP);
    }
    if (fault != Fault::kFail) {
        return false;
    }
    errno = error;
    return true;
}

mode_t mode_of(int flags, va_list args)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

}  // namespace

// Exported from the test program, so the library's calls bind here.
#define INTERPOSED extern "C" __attribute__((visibility("default")))

INTERPOSED int open(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_of(flags, args);
    va_end(args);
    faulty_disk.last_opened = path;
    if (fails(faulty_disk.open, EACCES)) {
        return -1;
    }
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

INTERPOSED int openat(int dir, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_of(flags, args);
    va_end(args);
    if (!faulty_disk.unnamed_files && (flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return static_cast<int>(syscall(SYS_openat, dir, path, flags, mode));
}

INTERPOSED ssize_t pwrite(int fd, const void *data, size_t size, off_t offset)
{
    return fails(faulty_disk.pwrite, EIO) ? -1 : syscall(SYS_pwrite64, fd, data, size, offset);
}

INTERPOSED int fsync(int fd)
{
    return fails(faulty_disk.fsync, EIO) ? -1 : static_cast<int>(syscall(SYS_fsync, fd));
}

INTERPOSED int fdatasync(int fd)
{
    return fails(faulty_disk.fdatasync, EIO) ? -1 : static_cast<int>(syscall(SYS_fdatasync, fd));
}

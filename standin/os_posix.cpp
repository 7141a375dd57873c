// The stand-in's file layer on POSIX systems: flock() between processes,
// a hard link to publish a new database without ever showing it half written.
#include "os.h"

#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace comdb_os {

struct File {
    int fd;
};

namespace {

pthread_mutex_t handles_mutex = PTHREAD_MUTEX_INITIALIZER;

std::int32_t error_code(int error)
{
    switch (error) {
    case ENOENT:
        return kErrorFileNotFound;
    case ENOTDIR:
        return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return kErrorAccessDenied;
    case ENOMEM:
        return kErrorNotEnoughMemory;
    case EEXIST:
        return kErrorAlreadyExists;
    case ENAMETOOLONG:
        return kErrorFilenameTooLong;
    default:
        return kErrorGenFailure;
    }
}

bool write_all(int fd, const std::uint8_t *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno != EINTR) {
            return false;
        }
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
        }
    }
    return true;
}

// Makes a new directory entry durable, so a published database survives a crash.
void sync_directory_of(const char *path)
{
    char dir[PATH_MAX];
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        std::strcpy(dir, ".");
    } else {
        const std::size_t length = slash == path ? 1 : static_cast<std::size_t>(slash - path);
        std::memcpy(dir, path, length);
        dir[length] = '\0';
    }
    const int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

const char *default_path()
{
    return "/var/lib/comdb.db";
}

std::int32_t open(const char *path, File **file)
{
    // Non-blocking, so that a device or FIFO named by mistake cannot hang the
    // open; anything but a regular file is then refused as no database.
    const int fd = ::open(path, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return error_code(errno);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return kErrorBadDb;
    }
    *file = new (std::nothrow) File{fd};
    if (*file == nullptr) {
        ::close(fd);
        return kErrorNotEnoughMemory;
    }
    return 0;
}

std::int32_t create(const char *path, const std::uint8_t *data, std::size_t size)
{
    // Written in full under a private name first, then linked into place:
    // link() never replaces a database that another process published first.
    char scratch[PATH_MAX];
    const int length = std::snprintf(scratch, sizeof scratch, "%s.new-%ld", path,
                                     static_cast<long>(::getpid()));
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof scratch) {
        return kErrorFilenameTooLong;
    }
    ::unlink(scratch);  // left by a process killed while creating
    const int fd = ::open(scratch, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        return errno == ENOENT ? kErrorPathNotFound : error_code(errno);
    }
    const bool written = write_all(fd, data, size) && ::fsync(fd) == 0;
    const int write_error = errno;
    ::close(fd);
    std::int32_t status = 0;
    if (!written) {
        status = error_code(write_error);
    } else if (::link(scratch, path) != 0) {
        status = error_code(errno);
    }
    ::unlink(scratch);
    if (status == 0) {
        sync_directory_of(path);
    }
    return status;
}

void close(File *file)
{
    ::close(file->fd);
    delete file;
}

std::int32_t lock(File *file, bool exclusive)
{
    while (::flock(file->fd, exclusive ? LOCK_EX : LOCK_SH) != 0) {
        if (errno != EINTR) {
            return error_code(errno);
        }
    }
    return 0;
}

void unlock(File *file)
{
    ::flock(file->fd, LOCK_UN);
}

std::int32_t read(File *file, std::uint8_t *data, std::size_t capacity, std::size_t *size)
{
    std::size_t got = 0;
    while (got < capacity) {
        const ssize_t n = ::pread(file->fd, data + got, capacity - got, static_cast<off_t>(got));
        if (n == 0) {
            break;
        }
        if (n < 0 && errno != EINTR) {
            return error_code(errno);
        }
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        }
    }
    *size = got;
    return 0;
}

std::int32_t write_byte(File *file, std::size_t offset, std::uint8_t value)
{
    ssize_t n = 0;
    do {
        n = ::pwrite(file->fd, &value, 1, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    if (n != 1 || ::fsync(file->fd) != 0) {
        return error_code(errno);
    }
    return 0;
}

void lock_handles()
{
    pthread_mutex_lock(&handles_mutex);
}

void unlock_handles()
{
    pthread_mutex_unlock(&handles_mutex);
}

}  // namespace comdb_os

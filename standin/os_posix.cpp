// The stand-in's file layer on POSIX systems: flock() between processes, and
// new files written unnamed (or under a random name) and linked into place.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os.h"

namespace comdb_os {

namespace {

pthread_mutex_t process_mutex = PTHREAD_MUTEX_INITIALIZER;

int fd_of(File file)
{
    return static_cast<int>(file.native);
}

// Moves a new descriptor above the standard streams'. A process started with
// one of them closed would otherwise get the database there, and whatever it
// printed would land in the file.
int above_stdio(int fd)
{
    if (fd < 0 || fd > STDERR_FILENO) {
        return fd;
    }
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const ErrorKept kept;
    ::close(fd);
    return moved;
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

// A fresh name for a file of our own in the database's folder.
void random_name(char (&name)[32])
{
    std::uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != sizeof bits) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        bits = static_cast<std::uint64_t>(now.tv_nsec) * 0x9e3779b97f4a7c15u ^
               static_cast<std::uint64_t>(::getpid()) << 32 ^ static_cast<std::uint64_t>(now.tv_sec);
    }
    std::snprintf(name, sizeof name, ".comdb-%016llx", static_cast<unsigned long long>(bits));
}

// Tries fresh random names until `take` succeeds with one, or fails for
// another reason than the name being taken.
template <typename Take>
bool take_random_name(char (&name)[32], Take take)
{
    for (int attempt = 0; attempt < 100; attempt++) {
        random_name(name);
        if (take(name)) {
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

// The outcome of giving a new file its name without replacing what is there.
Published linked(bool done)
{
    return done ? Published::kPublished : errno == EEXIST ? Published::kExists : Published::kFailed;
}

// The new file: unnamed where the kernel offers that, so that a creator killed
// at any moment leaves nothing behind; elsewhere under a random name, put in
// `scratch`.
int create_unpublished(int dir, char (&scratch)[32])
{
    scratch[0] = '\0';
    const int fd = ::openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) {
        return above_stdio(fd);
    }
    int named = -1;
    take_random_name(scratch, [&](const char *name) {
        named = ::openat(dir, name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        return named >= 0;
    });
    return above_stdio(named);
}

// Gives the unnamed file `fd` the name `name` in `dir`; never replaces.
bool link_unnamed(int fd, int dir, const char *name)
{
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    if (::linkat(AT_FDCWD, self, dir, name, AT_SYMLINK_FOLLOW) == 0) {
        return true;
    }
    // Without /proc, only a privileged process may link a descriptor directly.
    return errno == ENOENT && ::linkat(fd, "", dir, name, AT_EMPTY_PATH) == 0;
}

Published link_into_place(int fd, int dir, char (&scratch)[32], const char *name, bool replace)
{
    if (scratch[0] == '\0') {
        if (!replace) {
            return linked(link_unnamed(fd, dir, name));
        }
        // Only a named file can be renamed over another: name it for the moment.
        const auto link_as = [&](const char *scratch_name) { return link_unnamed(fd, dir, scratch_name); };
        if (!take_random_name(scratch, link_as)) {
            scratch[0] = '\0';
            return Published::kFailed;
        }
    }
    if (replace) {
        if (::renameat(dir, scratch, dir, name) != 0) {
            return Published::kFailed;
        }
        scratch[0] = '\0';
        return Published::kPublished;
    }
    return linked(::linkat(dir, scratch, dir, name, 0) == 0);
}

}  // namespace

void set_error(Reason reason)
{
    switch (reason) {
    case Reason::kInvalidParameter:
        errno = EINVAL;
        break;
    case Reason::kNoMemory:
        errno = ENOMEM;
        break;
    case Reason::kBadDatabase:
        errno = EBADMSG;
        break;
    case Reason::kReplaced:
        errno = ESTALE;
        break;
    case Reason::kLockTimeout:
        errno = EWOULDBLOCK;
        break;
    case Reason::kNoFreeNumber:
        errno = ENOSPC;
        break;
    }
}

int last_error()
{
    return errno;
}

void set_last_error(int error)
{
    errno = error;
}

const char *default_path()
{
    return "/var/lib/comdb.db";
}

std::uint64_t now_ms()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

void pause_ms(std::uint32_t ms)
{
    const timespec pause{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    ::nanosleep(&pause, nullptr);
}

std::uint32_t process_id()
{
    return static_cast<std::uint32_t>(::getpid());
}

bool lock_process(std::uint64_t deadline_ms)
{
    const timespec deadline{static_cast<time_t>(deadline_ms / 1000),
                            static_cast<long>(deadline_ms % 1000) * 1000000};
    const int error = ::pthread_mutex_clocklock(&process_mutex, CLOCK_MONOTONIC, &deadline);
    if (error == ETIMEDOUT) {
        set_error(Reason::kLockTimeout);
    } else if (error != 0) {
        errno = error;
    }
    return error == 0;
}

void unlock_process()
{
    ::pthread_mutex_unlock(&process_mutex);
}

Opened open(const char *path, File *file)
{
    // Non-blocking, so that a device or FIFO named by mistake cannot hang the
    // open; anything but a regular file is then refused as no database.
    const int fd = above_stdio(::open(path, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd < 0) {
        return errno == ENOENT ? Opened::kMissing : Opened::kFailed;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        set_error(Reason::kBadDatabase);
        return Opened::kFailed;
    }
    file->native = fd;
    return Opened::kOpened;
}

void close(File file)
{
    ::close(fd_of(file));
}

Published publish(const char *path, const std::uint8_t *data, std::size_t size, bool replace)
{
    // The folder is held open: the name is resolved once, and the new entry
    // is made durable through it.
    const char *slash = std::strrchr(path, '/');
    const char *name = slash == nullptr ? path : slash + 1;
    char folder[PATH_MAX] = ".";
    if (slash != nullptr) {
        const std::size_t length = slash == path ? 1 : static_cast<std::size_t>(slash - path);
        if (length >= sizeof folder) {
            errno = ENAMETOOLONG;
            return Published::kFailed;
        }
        std::memcpy(folder, path, length);
        folder[length] = '\0';
    }
    const int dir = above_stdio(::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir < 0) {
        return Published::kFailed;
    }

    Published result = Published::kFailed;
    char scratch[32];
    const int fd = create_unpublished(dir, scratch);
    if (fd >= 0) {
        if (write_all(fd, data, size) && ::fchmod(fd, 0600) == 0 && ::fsync(fd) == 0) {
            result = link_into_place(fd, dir, scratch, name, replace);
        }
        const ErrorKept kept;
        if (scratch[0] != '\0') {
            ::unlinkat(dir, scratch, 0);
        }
        ::close(fd);
    }
    if (result == Published::kPublished) {
        ::fsync(dir);  // the new entry survives a crash
    }
    const ErrorKept kept;
    ::close(dir);
    return result;
}

Locked try_lock(File file, bool exclusive)
{
    for (;;) {
        if (::flock(fd_of(file), (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) {
            return Locked::kLocked;
        }
        if (errno == EWOULDBLOCK) {
            return Locked::kBusy;
        }
        if (errno != EINTR) {
            return Locked::kFailed;
        }
    }
}

void unlock(File file)
{
    ::flock(fd_of(file), LOCK_UN);
}

bool still_linked(File file)
{
    struct stat st {};
    if (::fstat(fd_of(file), &st) != 0) {
        return false;
    }
    if (st.st_nlink == 0) {
        set_error(Reason::kReplaced);
        return false;
    }
    return true;
}

bool read(File file, std::uint8_t *data, std::size_t capacity, std::size_t *size)
{
    std::size_t got = 0;
    while (got < capacity) {
        const ssize_t n = ::pread(fd_of(file), data + got, capacity - got, static_cast<off_t>(got));
        if (n == 0) {
            break;
        }
        if (n < 0 && errno != EINTR) {
            return false;
        }
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        }
    }
    *size = got;
    return true;
}

bool write_byte(File file, std::size_t offset, std::uint8_t value)
{
    ssize_t n = 0;
    do {
        n = ::pwrite(fd_of(file), &value, 1, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    if (n == 0) {
        errno = EIO;
    }
    return n == 1 && ::fdatasync(fd_of(file)) == 0;
}

}  // namespace comdb_os

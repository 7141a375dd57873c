// What the stand-in port database needs from the operating system; one file a
// platform implements it (os_posix.cpp, os_windows.cpp). A call that fails
// leaves its reason in the platform's own error slot (errno, or the thread's
// last error), where callers of the port database operations look for it.
#ifndef COMDB_OS_H
#define COMDB_OS_H

#include <cstddef>
#include <cstdint>

namespace comdb_os {

// An open database file: a descriptor on POSIX, a HANDLE on Windows.
struct File {
    std::intptr_t native;
};

// Failures the stand-in finds by itself rather than in a system call; each is
// left as the platform's nearest error code.
enum class Reason {
    kInvalidParameter,  // EINVAL, ERROR_INVALID_PARAMETER
    kNoMemory,          // ENOMEM, ERROR_NOT_ENOUGH_MEMORY
    kBadDatabase,       // EBADMSG, ERROR_BADDB: not a valid database file
    kReplaced,          // ESTALE, ERROR_FILE_INVALID: no longer the file at its path
    kLockTimeout,       // EWOULDBLOCK, ERROR_LOCK_VIOLATION: a lock not had in time
    kNoFreeNumber,      // ENOSPC, ERROR_NO_LOG_SPACE
};
void set_error(Reason reason);
int last_error();
void set_last_error(int error);

// Keeps the reason of a failure while clean-up calls run.
class ErrorKept {
public:
    ErrorKept() : error_(last_error()) {}
    ~ErrorKept() { set_last_error(error_); }
    ErrorKept(const ErrorKept &) = delete;
    ErrorKept &operator=(const ErrorKept &) = delete;

private:
    int error_;
};

// Where the database lives when COMDB_FILE does not say.
const char *default_path();

// A monotonic clock in milliseconds, and a pause on it.
std::uint64_t now_ms();
void pause_ms(std::uint32_t ms);

std::uint32_t process_id();

// Serialises the operations of this process's threads; false, with
// Reason::kLockTimeout, when the lock is not had by `deadline_ms`.
bool lock_process(std::uint64_t deadline_ms);
void unlock_process();

enum class Locked { kLocked, kBusy, kFailed };

// Calls `attempt` until it gives other than kBusy, pausing a little longer
// each time; false, with Reason::kLockTimeout, when `deadline_ms` comes first.
// For locks that offer no timed wait of their own.
template <typename Attempt>
bool lock_by(std::uint64_t deadline_ms, Attempt attempt)
{
    for (std::uint64_t pause = 1;; pause = pause < 16 ? pause * 2 : pause) {
        switch (attempt()) {
        case Locked::kLocked:
            return true;
        case Locked::kFailed:
            return false;
        case Locked::kBusy:
            break;
        }
        const std::uint64_t now = now_ms();
        if (now >= deadline_ms) {
            set_error(Reason::kLockTimeout);
            return false;
        }
        pause_ms(static_cast<std::uint32_t>(pause < deadline_ms - now ? pause : deadline_ms - now));
    }
}

enum class Opened { kOpened, kMissing, kFailed };
// Opens an existing regular file for reading and writing, on a descriptor that
// is never one of the standard streams'.
Opened open(const char *path, File *file);
void close(File file);

enum class Published { kPublished, kExists, kFailed };
// Makes `path` name a new file of exactly `data`, on stable storage and owner
// only (0600). Other processes never see it partly written, and a creator
// killed at any moment leaves no file behind wherever the system can avoid it.
// Without `replace`, a file already at `path` is kept and kExists returned;
// with it, the file is replaced, or a symbolic link at `path` replaced by the
// file, never written through.
Published publish(const char *path, const std::uint8_t *data, std::size_t size, bool replace);

// Whole-file advisory lock between processes, released by unlock or when the
// process ends. kBusy while another holds a lock that excludes this one.
Locked try_lock(File file, bool exclusive);
void unlock(File file);

// False, with Reason::kReplaced, once the file is no longer at its path.
bool still_linked(File file);

// Reads from the start until the end of the file or `capacity` bytes.
bool read(File file, std::uint8_t *data, std::size_t capacity, std::size_t *size);

// Writes one byte in place and returns once it is on stable storage.
bool write_byte(File file, std::size_t offset, std::uint8_t value);

}  // namespace comdb_os

#endif

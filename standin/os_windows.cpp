// The stand-in's file layer on Windows: LockFileEx() between processes, and a
// move that never replaces to publish a new database without ever showing it
// half written.
#include "os.h"

#include <cstdio>
#include <new>

#include <windows.h>

namespace comdb_os {

struct File {
    HANDLE handle;
};

namespace {

SRWLOCK handles_lock = SRWLOCK_INIT;

// Windows locks are mandatory, so the lock covers one byte far beyond the
// data: it orders the processes without blocking anyone's reads or writes.
constexpr DWORD kLockOffsetHigh = 1;

OVERLAPPED at(std::size_t offset)
{
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(offset);
    return where;
}

std::int32_t last_error()
{
    const DWORD error = GetLastError();
    return error == ERROR_FILE_EXISTS ? kErrorAlreadyExists : static_cast<std::int32_t>(error);
}

}  // namespace

const char *default_path()
{
    return "C:\\ProgramData\\comdb.db";
}

std::int32_t open(const char *path, File **file)
{
    const HANDLE handle =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return last_error();
    }
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return kErrorBadDb;
    }
    *file = new (std::nothrow) File{handle};
    if (*file == nullptr) {
        CloseHandle(handle);
        return kErrorNotEnoughMemory;
    }
    return 0;
}

std::int32_t create(const char *path, const std::uint8_t *data, std::size_t size)
{
    // Written in full under a private name first, then moved into place: the
    // move never replaces a database that another process published first.
    char scratch[MAX_PATH + 32];
    const int length = std::snprintf(scratch, sizeof scratch, "%s.new-%lu", path,
                                     static_cast<unsigned long>(GetCurrentProcessId()));
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof scratch) {
        return kErrorFilenameTooLong;
    }
    DeleteFileA(scratch);  // left by a process killed while creating
    const HANDLE handle = CreateFileA(scratch, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return last_error();
    }
    DWORD written = 0;
    const bool ok = WriteFile(handle, data, static_cast<DWORD>(size), &written, nullptr) &&
                    written == size && FlushFileBuffers(handle);
    std::int32_t status = ok ? 0 : last_error();
    CloseHandle(handle);
    if (status == 0 && !MoveFileExA(scratch, path, MOVEFILE_WRITE_THROUGH)) {
        status = last_error();
    }
    if (status != 0) {
        DeleteFileA(scratch);
    }
    return status;
}

void close(File *file)
{
    CloseHandle(file->handle);
    delete file;
}

std::int32_t lock(File *file, bool exclusive)
{
    OVERLAPPED where{};
    where.OffsetHigh = kLockOffsetHigh;
    if (!LockFileEx(file->handle, exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0, 0, 1, 0, &where)) {
        return last_error();
    }
    return 0;
}

void unlock(File *file)
{
    OVERLAPPED where{};
    where.OffsetHigh = kLockOffsetHigh;
    UnlockFileEx(file->handle, 0, 1, 0, &where);
}

std::int32_t read(File *file, std::uint8_t *data, std::size_t capacity, std::size_t *size)
{
    std::size_t got = 0;
    while (got < capacity) {
        OVERLAPPED where = at(got);
        DWORD n = 0;
        if (!ReadFile(file->handle, data + got, static_cast<DWORD>(capacity - got), &n, &where)) {
            if (GetLastError() == ERROR_HANDLE_EOF) {
                break;
            }
            return last_error();
        }
        if (n == 0) {
            break;
        }
        got += n;
    }
    *size = got;
    return 0;
}

std::int32_t write_byte(File *file, std::size_t offset, std::uint8_t value)
{
    OVERLAPPED where = at(offset);
    DWORD n = 0;
    if (!WriteFile(file->handle, &value, 1, &n, &where) || n != 1 ||
        !FlushFileBuffers(file->handle)) {
        return last_error();
    }
    return 0;
}

void lock_handles()
{
    AcquireSRWLockExclusive(&handles_lock);
}

void unlock_handles()
{
    ReleaseSRWLockExclusive(&handles_lock);
}

}  // namespace comdb_os

// The stand-in's file layer on Windows: LockFileEx() between processes, and new
// files written under a random name and moved into place.
#include <cstdio>
#include <cstring>

#include <windows.h>

#include "os.h"

namespace comdb_os {

namespace {

SRWLOCK process_lock = SRWLOCK_INIT;

// Windows locks are mandatory, so the lock covers one byte far beyond the
// data: it orders the processes without blocking anyone's reads or writes.
constexpr DWORD kLockOffsetHigh = 1;

HANDLE handle_of(File file)
{
    return reinterpret_cast<HANDLE>(file.native);
}

OVERLAPPED at(std::size_t offset)
{
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(offset);
    return where;
}

// A fresh name for a file of our own in the database's folder: not secret,
// only never the same twice, and CREATE_NEW refuses one already taken.
void random_name(char (&name)[32])
{
    static volatile LONG counter = 0;
    LARGE_INTEGER ticks{};
    QueryPerformanceCounter(&ticks);
    std::uint64_t bits = static_cast<std::uint64_t>(ticks.QuadPart) ^
                         static_cast<std::uint64_t>(GetCurrentProcessId()) << 32 ^
                         static_cast<std::uint64_t>(InterlockedIncrement(&counter)) << 48;
    bits ^= bits >> 31;  // splitmix64's finaliser spreads every input bit
    bits *= 0xbf58476d1ce4e5b9u;
    bits ^= bits >> 27;
    bits *= 0x94d049bb133111ebu;
    bits ^= bits >> 31;
    std::snprintf(name, sizeof name, "comdb-%016llx.tmp", static_cast<unsigned long long>(bits));
}

}  // namespace

void set_error(Reason reason)
{
    switch (reason) {
    case Reason::kInvalidParameter:
        SetLastError(ERROR_INVALID_PARAMETER);
        break;
    case Reason::kNoMemory:
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        break;
    case Reason::kBadDatabase:
        SetLastError(ERROR_BADDB);
        break;
    case Reason::kReplaced:
        SetLastError(ERROR_FILE_INVALID);
        break;
    case Reason::kLockTimeout:
        SetLastError(ERROR_LOCK_VIOLATION);
        break;
    case Reason::kNoFreeNumber:
        SetLastError(ERROR_NO_LOG_SPACE);
        break;
    }
}

int last_error()
{
    return static_cast<int>(GetLastError());
}

void set_last_error(int error)
{
    SetLastError(static_cast<DWORD>(error));
}

const char *default_path()
{
    return "C:\\ProgramData\\comdb.db";
}

std::uint64_t now_ms()
{
    return GetTickCount64();
}

void pause_ms(std::uint32_t ms)
{
    Sleep(ms);
}

std::uint32_t process_id()
{
    return GetCurrentProcessId();
}

bool lock_process(std::uint64_t deadline_ms)
{
    // A slim reader/writer lock has no timed wait of its own.
    return lock_by(deadline_ms, [] {
        return TryAcquireSRWLockExclusive(&process_lock) ? Locked::kLocked : Locked::kBusy;
    });
}

void unlock_process()
{
    ReleaseSRWLockExclusive(&process_lock);
}

Opened open(const char *path, File *file)
{
    const HANDLE handle =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_FILE_NOT_FOUND ? Opened::kMissing : Opened::kFailed;
    }
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        set_error(Reason::kBadDatabase);
        return Opened::kFailed;
    }
    file->native = reinterpret_cast<std::intptr_t>(handle);
    return Opened::kOpened;
}

void close(File file)
{
    CloseHandle(handle_of(file));
}

Published publish(const char *path, const std::uint8_t *data, std::size_t size, bool replace)
{
    // Written in full under a random name in the same folder, then moved into
    // place; without `replace` the move never replaces a file already there.
    const char *slash = std::strrchr(path, '\\');
    const char *other = std::strrchr(path, '/');
    slash = other > slash ? other : slash;
    const std::size_t folder = slash == nullptr ? 0 : static_cast<std::size_t>(slash - path) + 1;
    char scratch[MAX_PATH];
    if (folder + 32 > sizeof scratch) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return Published::kFailed;
    }
    std::memcpy(scratch, path, folder);
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && handle == INVALID_HANDLE_VALUE; attempt++) {
        char name[32];
        random_name(name);
        std::memcpy(scratch + folder, name, sizeof name);
        handle = CreateFileA(scratch, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
            return Published::kFailed;
        }
    }
    if (handle == INVALID_HANDLE_VALUE) {
        return Published::kFailed;
    }
    DWORD written = 0;
    const bool ok = WriteFile(handle, data, static_cast<DWORD>(size), &written, nullptr) &&
                    written == size && FlushFileBuffers(handle);
    const DWORD write_error = GetLastError();
    CloseHandle(handle);
    Published result = Published::kFailed;
    if (!ok) {
        SetLastError(write_error);
    } else if (MoveFileExA(scratch, path, MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0))) {
        return Published::kPublished;
    } else if (GetLastError() == ERROR_ALREADY_EXISTS || GetLastError() == ERROR_FILE_EXISTS) {
        result = Published::kExists;
    }
    const ErrorKept kept;
    DeleteFileA(scratch);
    return result;
}

Locked try_lock(File file, bool exclusive)
{
    OVERLAPPED where{};
    where.OffsetHigh = kLockOffsetHigh;
    const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    if (LockFileEx(handle_of(file), flags, 0, 1, 0, &where)) {
        return Locked::kLocked;
    }
    return GetLastError() == ERROR_LOCK_VIOLATION ? Locked::kBusy : Locked::kFailed;
}

void unlock(File file)
{
    OVERLAPPED where{};
    where.OffsetHigh = kLockOffsetHigh;
    UnlockFileEx(handle_of(file), 0, 1, 0, &where);
}

bool still_linked(File file)
{
    FILE_STANDARD_INFO info{};
    if (!GetFileInformationByHandleEx(handle_of(file), FileStandardInfo, &info, sizeof info)) {
        return false;
    }
    if (info.DeletePending || info.NumberOfLinks == 0) {
        set_error(Reason::kReplaced);
        return false;
    }
    return true;
}

bool read(File file, std::uint8_t *data, std::size_t capacity, std::size_t *size)
{
    std::size_t got = 0;
    while (got < capacity) {
        OVERLAPPED where = at(got);
        DWORD n = 0;
        if (!ReadFile(handle_of(file), data + got, static_cast<DWORD>(capacity - got), &n, &where)) {
            if (GetLastError() == ERROR_HANDLE_EOF) {
                break;
            }
            return false;
        }
        if (n == 0) {
            break;
        }
        got += n;
    }
    *size = got;
    return true;
}

bool write_byte(File file, std::size_t offset, std::uint8_t value)
{
    OVERLAPPED where = at(offset);
    DWORD n = 0;
    if (!WriteFile(handle_of(file), &value, 1, &n, &where)) {
        return false;
    }
    if (n != 1) {
        SetLastError(ERROR_WRITE_FAULT);
        return false;
    }
    return FlushFileBuffers(handle_of(file)) != 0;
}

}  // namespace comdb_os

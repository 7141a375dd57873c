// A stand-in for the platform's COM port database: one file that every process
// on the machine shares, behind the five operations of the platform library.
// Every operation works on the file under a lock that it waits for only so
// long, so claims from several processes never hand out the same number and no
// update is lost, and an update that fails leaves the file as it was. Each
// operation returns only the statuses the platform documents for it, and leaves
// the underlying reason of a failure in errno (the thread's last error on
// Windows).
#ifdef _WIN32
#define COMDB_EXPORT __declspec(dllexport)
#else
#define COMDB_EXPORT __attribute__((visibility("default")))
#endif

#include "comdb.h"

#include <cstdlib>

#include "format.h"
#include "os.h"

namespace os = comdb_os;
using comdb_format::kHeaderSize;
using os::Reason;

namespace {

constexpr std::int32_t kSuccess = 0;
constexpr std::int32_t kAccessDenied = 5;     // the open failed, whatever the reason
constexpr std::int32_t kInvalidParameter = 87;
constexpr std::int32_t kCannotWrite = 1013;   // an update was not written, and was undone
constexpr std::int32_t kNoFreeNumber = 1019;  // the platform's "no log space"
constexpr std::int32_t kNotConnected = 2250;  // the database could not be reached

// How long an operation waits for other processes and threads to finish theirs.
constexpr std::uint64_t kLockTimeoutMs = 5000;

// A database this process holds open. Its handle is a number that is never
// given out twice, not an address that a later open could reuse: a handle that
// has been closed stays refused.
struct OpenDatabase {
    OpenDatabase *next;
    std::uintptr_t id;
    os::File file;
    std::uint32_t process;  // the platform's handles do not cross processes
};

// The databases this process holds open, and the last id given, guarded by
// the process lock. A handle is only used once it has been found here, so a
// stale or made-up one is refused rather than followed.
OpenDatabase *open_databases = nullptr;
std::uintptr_t last_id = 0;

std::int32_t fail(std::int32_t status, Reason reason)
{
    os::set_error(reason);
    return status;
}

// The link to the database that `handle` stands for in this process, or null.
OpenDatabase **find(ComDbHandle handle)
{
    const auto id = reinterpret_cast<std::uintptr_t>(handle);
    for (OpenDatabase **link = &open_databases; *link != nullptr; link = &(*link)->next) {
        if ((*link)->id == id) {
            return (*link)->process == os::process_id() ? link : nullptr;
        }
    }
    return nullptr;
}

// Takes the file's lock by `deadline_ms`: a lock between processes offers no
// timed wait of its own.
bool lock_file(os::File file, bool exclusive, std::uint64_t deadline_ms)
{
    return os::lock_by(deadline_ms, [&] { return os::try_lock(file, exclusive); });
}

// The whole database as it is now on disk.
struct Image {
    std::uint8_t bytes[comdb_format::kMaxFileSize + 1];  // one more, to see a file too long
    std::uint32_t ports;
};

// Reads the database, under the file's lock.
bool load(os::File file, Image *image)
{
    std::size_t size = 0;
    if (!os::read(file, image->bytes, sizeof image->bytes, &size)) {
        return false;
    }
    if (!comdb_format::parse(image->bytes, size, &image->ports)) {
        os::set_error(Reason::kBadDatabase);
        return false;
    }
    return true;
}

bool create_new_database(const char *path)
{
    std::uint8_t fresh[kHeaderSize + comdb_format::kNewDatabasePorts] = {};
    comdb_format::write_header(fresh, comdb_format::kNewDatabasePorts);
    return os::publish(path, fresh, sizeof fresh, false) != os::Published::kFailed;
}

// Opens the database at `path`, creating it when there is none, and checks
// that it is one. A file replaced meanwhile is let go for the one now there.
bool open_database(const char *path, std::uint64_t deadline_ms, os::File *file)
{
    for (int attempt = 0; attempt < 8; attempt++) {
        switch (os::open(path, file)) {
        case os::Opened::kFailed:
            return false;
        case os::Opened::kMissing:
            // Whoever creates it first wins; everyone then opens that one.
            if (!create_new_database(path)) {
                return false;
            }
            continue;
        case os::Opened::kOpened:
            break;
        }
        if (!lock_file(*file, false, deadline_ms)) {
            const os::ErrorKept kept;
            os::close(*file);
            return false;
        }
        Image image;
        const bool current = os::still_linked(*file);
        const bool valid = current && load(*file, &image);
        const os::ErrorKept kept;
        os::unlock(*file);
        if (valid) {
            return true;
        }
        os::close(*file);
        if (current) {
            return false;
        }
    }
    return false;
}

// Runs `body` on the database as read under the file's lock, through a handle
// that this process opened. The status is the body's, or the failure to reach
// the database.
template <typename Body>
std::int32_t with_database(ComDbHandle handle, bool exclusive, Body body)
{
    const std::uint64_t deadline_ms = os::now_ms() + kLockTimeoutMs;
    if (!os::lock_process(deadline_ms)) {
        return kNotConnected;
    }
    std::int32_t status = kNotConnected;
    OpenDatabase **link = find(handle);
    if (link == nullptr) {
        status = fail(kInvalidParameter, Reason::kInvalidParameter);
    } else if (const os::File file = (*link)->file; lock_file(file, exclusive, deadline_ms)) {
        Image image;
        if (os::still_linked(file) && load(file, &image)) {
            status = body(file, image);
        }
        const os::ErrorKept kept;
        os::unlock(file);
    }
    const os::ErrorKept kept;
    os::unlock_process();
    return status;
}

// Writes one usage byte. When the write or its flush fails, the old byte is
// put back, so a failed claim leaves the number free and a failed release
// leaves it claimed.
std::int32_t write_usage(os::File file, std::size_t offset, std::uint8_t old, std::uint8_t value)
{
    if (os::write_byte(file, offset, value)) {
        return kSuccess;
    }
    const os::ErrorKept kept;
    os::write_byte(file, offset, old);
    return kCannotWrite;
}

}  // namespace

extern "C" {

int32_t COMDB_CALL ComDBOpen(ComDbHandle *handle)
{
    if (handle == nullptr) {
        return fail(kAccessDenied, Reason::kInvalidParameter);
    }
    *handle = COMDB_INVALID_HANDLE;
    const char *path = std::getenv("COMDB_FILE");
    if (path == nullptr || *path == '\0') {
        path = os::default_path();
    }

    auto *opened = static_cast<OpenDatabase *>(std::malloc(sizeof(OpenDatabase)));
    if (opened == nullptr) {
        return fail(kAccessDenied, Reason::kNoMemory);
    }
    const std::uint64_t deadline_ms = os::now_ms() + kLockTimeoutMs;
    if (!open_database(path, deadline_ms, &opened->file)) {
        const os::ErrorKept kept;
        std::free(opened);
        return kAccessDenied;
    }
    if (!os::lock_process(deadline_ms)) {
        const os::ErrorKept kept;
        os::close(opened->file);
        std::free(opened);
        return kAccessDenied;
    }
    opened->next = open_databases;
    opened->id = ++last_id;
    opened->process = os::process_id();
    open_databases = opened;
    os::unlock_process();
    *handle = reinterpret_cast<ComDbHandle>(opened->id);
    return kSuccess;
}

int32_t COMDB_CALL ComDBClose(ComDbHandle handle)
{
    if (!os::lock_process(os::now_ms() + kLockTimeoutMs)) {
        return kInvalidParameter;
    }
    OpenDatabase *closed = nullptr;
    if (OpenDatabase **link = find(handle); link != nullptr) {
        closed = *link;
        *link = closed->next;
    }
    os::unlock_process();
    if (closed == nullptr) {
        return fail(kInvalidParameter, Reason::kInvalidParameter);
    }
    os::close(closed->file);
    std::free(closed);
    return kSuccess;
}

int32_t COMDB_CALL ComDBGetCurrentPortUsage(ComDbHandle handle, uint8_t *buffer,
                                            uint32_t buffer_size, uint32_t report_type,
                                            uint32_t *ports_reported)
{
    if ((report_type != CDB_REPORT_BITS && report_type != CDB_REPORT_BYTES) ||
        (buffer == nullptr && ports_reported == nullptr)) {
        return fail(kInvalidParameter, Reason::kInvalidParameter);
    }
    return with_database(handle, false, [&](os::File, const Image &image) {
        const std::uint8_t *usage = image.bytes + kHeaderSize;
        if (buffer == nullptr) {
            *ports_reported = image.ports;
        } else if (report_type == CDB_REPORT_BYTES) {
            // The count is left alone: the byte report does not give one.
            const std::uint32_t reported = buffer_size < image.ports ? buffer_size : image.ports;
            for (std::uint32_t i = 0; i < reported; i++) {
                buffer[i] = usage[i];
            }
        } else {
            // Compared in 64 bits: buffer_size * 8 overflows 32.
            const std::uint64_t bits = std::uint64_t{buffer_size} * 8;
            const std::uint32_t reported = bits < image.ports ? static_cast<std::uint32_t>(bits) : image.ports;
            for (std::uint32_t byte = 0; byte < (reported + 7) / 8; byte++) {
                buffer[byte] = 0;
            }
            for (std::uint32_t i = 0; i < reported; i++) {
                buffer[i / 8] = static_cast<std::uint8_t>(buffer[i / 8] | usage[i] << (i % 8));
            }
            if (ports_reported != nullptr) {
                *ports_reported = reported;
            }
        }
        return kSuccess;
    });
}

int32_t COMDB_CALL ComDBClaimNextFreePort(ComDbHandle handle, uint32_t *port_number)
{
    if (port_number == nullptr) {
        return fail(kInvalidParameter, Reason::kInvalidParameter);
    }
    return with_database(handle, true, [&](os::File file, const Image &image) {
        std::uint32_t i = 0;
        while (i < image.ports && image.bytes[kHeaderSize + i] != 0) {
            i++;
        }
        if (i == image.ports) {
            return fail(kNoFreeNumber, Reason::kNoFreeNumber);
        }
        const std::int32_t status = write_usage(file, kHeaderSize + i, 0, 1);
        if (status == kSuccess) {
            *port_number = i + 1;
        }
        return status;
    });
}

int32_t COMDB_CALL ComDBReleasePort(ComDbHandle handle, uint32_t port_number)
{
    if (port_number == 0) {
        return fail(kInvalidParameter, Reason::kInvalidParameter);
    }
    return with_database(handle, true, [&](os::File file, const Image &image) {
        if (port_number > image.ports) {
            return fail(kInvalidParameter, Reason::kInvalidParameter);
        }
        const std::size_t at = kHeaderSize + port_number - 1;
        return image.bytes[at] == 0 ? kSuccess : write_usage(file, at, 1, 0);
    });
}

}  // extern "C"

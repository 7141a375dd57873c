// A stand-in for the platform's COM port database: one file that every process
// on the machine shares, with the five operations of the platform library.
// Every operation works on the file under a lock, so claims from several
// processes never hand out the same number and no update is lost.
#ifdef _WIN32
#define COMDB_EXPORT __declspec(dllexport)
#else
#define COMDB_EXPORT __attribute__((visibility("default")))
#endif

#include "comdb.h"

#include <cstdlib>
#include <new>

#include "format.h"
#include "os.h"

using namespace comdb_os;
using comdb_format::kHeaderSize;

struct ComDbHandleTag {
    ComDbHandleTag *next;
    File *file;
};

namespace {

// The handles this process holds open. A handle is only used after it has
// been found here, so a stale or made-up handle is refused rather than
// dereferenced.
ComDbHandleTag *open_handles = nullptr;

// Serialises the operations of this process's threads.
class HandlesGuard {
public:
    HandlesGuard() { lock_handles(); }
    ~HandlesGuard() { unlock_handles(); }
    HandlesGuard(const HandlesGuard &) = delete;
    HandlesGuard &operator=(const HandlesGuard &) = delete;
};

bool is_open(ComDbHandle handle)
{
    for (ComDbHandleTag *h = open_handles; h != nullptr; h = h->next) {
        if (h == handle) {
            return true;
        }
    }
    return false;
}

// The whole database as it is now on disk, valid or refused.
struct Image {
    std::uint8_t bytes[comdb_format::kMaxFileSize + 1];
    std::uint32_t ports;

    const std::uint8_t *usage() const { return bytes + kHeaderSize; }
};

std::int32_t load_locked(File *file, Image *image)
{
    std::size_t size = 0;
    std::int32_t status = read(file, image->bytes, sizeof image->bytes, &size);
    if (status == 0 && !comdb_format::parse(image->bytes, size, &image->ports)) {
        status = kErrorBadDb;
    }
    return status;
}

std::int32_t load(File *file, Image *image)
{
    std::int32_t status = lock(file, false);
    if (status == 0) {
        status = load_locked(file, image);
        unlock(file);
    }
    return status;
}

// Applies `change` to the database as it is now, with no other process
// between the read and the write.
template <typename Change>
std::int32_t update(File *file, Change change)
{
    std::int32_t status = lock(file, true);
    if (status == 0) {
        Image image;
        status = load_locked(file, &image);
        if (status == 0) {
            status = change(image);
        }
        unlock(file);
    }
    return status;
}

std::int32_t create_new_database(const char *path)
{
    std::uint8_t fresh[kHeaderSize + comdb_format::kNewDatabasePorts] = {};
    comdb_format::write_header(fresh, comdb_format::kNewDatabasePorts);
    return create(path, fresh, sizeof fresh);
}

}  // namespace

extern "C" {

int32_t COMDB_CALL ComDBOpen(ComDbHandle *handle)
{
    if (handle == nullptr) {
        return kErrorInvalidParameter;
    }
    *handle = COMDB_INVALID_HANDLE;

    const char *path = std::getenv("COMDB_FILE");
    if (path == nullptr || *path == '\0') {
        path = default_path();
    }

    HandlesGuard guard;
    File *file = nullptr;
    std::int32_t status = open(path, &file);
    if (status == kErrorFileNotFound) {
        // Whoever creates it first wins; everyone then opens that one.
        status = create_new_database(path);
        if (status == 0 || status == kErrorAlreadyExists) {
            status = open(path, &file);
        }
    }
    if (status != 0) {
        return status;
    }

    Image image;
    status = load(file, &image);
    if (status == 0) {
        auto *opened = new (std::nothrow) ComDbHandleTag{open_handles, file};
        if (opened != nullptr) {
            open_handles = opened;
            *handle = opened;
            return 0;
        }
        status = kErrorNotEnoughMemory;
    }
    close(file);
    return status;
}

int32_t COMDB_CALL ComDBClose(ComDbHandle handle)
{
    HandlesGuard guard;
    for (ComDbHandleTag **link = &open_handles; *link != nullptr; link = &(*link)->next) {
        if (*link == handle) {
            *link = handle->next;
            close(handle->file);
            delete handle;
            return 0;
        }
    }
    return kErrorInvalidParameter;
}

int32_t COMDB_CALL ComDBGetCurrentPortUsage(ComDbHandle handle, uint8_t *buffer,
                                            uint32_t buffer_size, uint32_t report_type,
                                            uint32_t *ports_reported)
{
    HandlesGuard guard;
    if (!is_open(handle) || (report_type != CDB_REPORT_BITS && report_type != CDB_REPORT_BYTES) ||
        (buffer == nullptr && ports_reported == nullptr)) {
        return kErrorInvalidParameter;
    }
    Image image;
    std::int32_t status = load(handle->file, &image);
    if (status != 0) {
        return status;
    }

    std::uint32_t reported = image.ports;
    if (buffer != nullptr && report_type == CDB_REPORT_BYTES) {
        reported = buffer_size < image.ports ? buffer_size : image.ports;
        for (std::uint32_t i = 0; i < reported; i++) {
            buffer[i] = image.usage()[i];
        }
    } else if (buffer != nullptr) {
        // Compared in 64 bits: buffer_size * 8 overflows 32.
        const std::uint64_t bits = std::uint64_t{buffer_size} * 8;
        reported = bits < image.ports ? static_cast<std::uint32_t>(bits) : image.ports;
        for (std::uint32_t byte = 0; byte < (reported + 7) / 8; byte++) {
            buffer[byte] = 0;
        }
        for (std::uint32_t i = 0; i < reported; i++) {
            buffer[i / 8] = static_cast<std::uint8_t>(buffer[i / 8] | image.usage()[i] << (i % 8));
        }
    }
    if (ports_reported != nullptr) {
        *ports_reported = reported;
    }
    return 0;
}

int32_t COMDB_CALL ComDBClaimNextFreePort(ComDbHandle handle, uint32_t *port_number)
{
    HandlesGuard guard;
    if (!is_open(handle) || port_number == nullptr) {
        return kErrorInvalidParameter;
    }
    return update(handle->file, [&](const Image &image) {
        std::uint32_t i = 0;
        while (i < image.ports && image.usage()[i] != 0) {
            i++;
        }
        if (i == image.ports) {
            return kErrorDatabaseFull;
        }
        const std::int32_t status = write_byte(handle->file, kHeaderSize + i, 1);
        if (status == 0) {
            *port_number = i + 1;
        }
        return status;
    });
}

int32_t COMDB_CALL ComDBReleasePort(ComDbHandle handle, uint32_t port_number)
{
    HandlesGuard guard;
    if (!is_open(handle) || port_number == 0) {
        return kErrorInvalidParameter;
    }
    return update(handle->file, [&](const Image &image) {
        if (port_number > image.ports) {
            return kErrorInvalidParameter;
        }
        return write_byte(handle->file, kHeaderSize + port_number - 1, 0);
    });
}

}  // extern "C"

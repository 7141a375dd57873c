// What the stand-in port database needs from the operating system. One file
// a platform implements it: os_posix.cpp, os_windows.cpp. Failures are
// reported as the platform's error codes, which the operations pass on.
#ifndef COMDB_OS_H
#define COMDB_OS_H

#include <cstddef>
#include <cstdint>

namespace comdb_os {

constexpr std::int32_t kErrorFileNotFound = 2;
constexpr std::int32_t kErrorPathNotFound = 3;
constexpr std::int32_t kErrorAccessDenied = 5;
constexpr std::int32_t kErrorNotEnoughMemory = 8;
constexpr std::int32_t kErrorGenFailure = 31;
constexpr std::int32_t kErrorInvalidParameter = 87;
constexpr std::int32_t kErrorAlreadyExists = 183;
constexpr std::int32_t kErrorFilenameTooLong = 206;
constexpr std::int32_t kErrorBadDb = 1009;
constexpr std::int32_t kErrorDatabaseFull = 1019;  // the platform's "no log space"

struct File;

// Where the database lives when COMDB_FILE does not say.
const char *default_path();

// Opens an existing file for reading and writing; kErrorFileNotFound when
// there is none.
std::int32_t open(const char *path, File **file);

// Makes `path` hold exactly `data`, durably, unless it already exists
// (kErrorAlreadyExists). Other processes never see it partly written.
std::int32_t create(const char *path, const std::uint8_t *data, std::size_t size);

void close(File *file);

// Whole-file advisory lock between processes, released by unlock or when the
// process ends.
std::int32_t lock(File *file, bool exclusive);
void unlock(File *file);

// Reads from the start until the end of the file or `capacity` bytes.
std::int32_t read(File *file, std::uint8_t *data, std::size_t capacity, std::size_t *size);

// Writes one byte and returns once it is on stable storage.
std::int32_t write_byte(File *file, std::size_t offset, std::uint8_t value);

// One lock for the process's table of open handles.
void lock_handles();
void unlock_handles();

}  // namespace comdb_os

#endif

// The stand-in port database's file: a 16-byte header, then one byte per port
// number, 0 when free and 1 when in use. Every update rewrites a single usage
// byte in place, so a process killed at any moment leaves either the old or
// the new byte, and the file stays valid.
//
//   offset 0   8 bytes  magic
//   offset 8   uint32   format version, little-endian
//   offset 12  uint32   number of port numbers, little-endian
//   offset 16  bytes    usage of port numbers 1, 2, ...
#ifndef COMDB_FORMAT_H
#define COMDB_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace comdb_format {

constexpr std::uint8_t kMagic[8] = {'C', 'O', 'M', 'D', 'B', 0x1a, '\n', 0};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeaderSize = 16;
constexpr std::uint32_t kMaxPorts = 4096;
constexpr std::uint32_t kNewDatabasePorts = 256;
constexpr std::size_t kMaxFileSize = kHeaderSize + kMaxPorts;

inline void put_u32(std::uint8_t *p, std::uint32_t v)
{
    for (int i = 0; i < 4; i++) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

inline std::uint32_t get_u32(const std::uint8_t *p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Writes the header for `ports` port numbers; the usage bytes are the caller's.
inline void write_header(std::uint8_t *file, std::uint32_t ports)
{
    std::memcpy(file, kMagic, sizeof kMagic);
    put_u32(file + 8, kVersion);
    put_u32(file + 12, ports);
}

// True when `file` holds a whole, valid database; `ports` then holds its size.
inline bool parse(const std::uint8_t *file, std::size_t size, std::uint32_t *ports)
{
    if (size < kHeaderSize || std::memcmp(file, kMagic, sizeof kMagic) != 0 ||
        get_u32(file + 8) != kVersion) {
        return false;
    }
    const std::uint32_t count = get_u32(file + 12);
    if (count > kMaxPorts || size != kHeaderSize + count) {
        return false;
    }
    for (std::size_t i = kHeaderSize; i < size; i++) {
        if (file[i] > 1) {
            return false;
        }
    }
    *ports = count;
    return true;
}

}  // namespace comdb_format

#endif

// Database files for tests, spelt out byte for byte: the file format is
// pinned here, not by the code under test.
#ifndef COMENUM_DB_FILE_H
#define COMENUM_DB_FILE_H

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// A database of `ports` port numbers with the given ones (1-based) in use:
// the magic, version 1 and the count, little-endian, then a byte a number.
inline std::vector<std::uint8_t> database(std::uint32_t ports, const std::vector<std::uint32_t> &in_use = {})
{
    std::vector<std::uint8_t> bytes = {
        'C', 'O', 'M', 'D', 'B', 0x1a, '\n', 0,
        1, 0, 0, 0,
        static_cast<std::uint8_t>(ports), static_cast<std::uint8_t>(ports >> 8),
        static_cast<std::uint8_t>(ports >> 16), static_cast<std::uint8_t>(ports >> 24)};
    bytes.resize(bytes.size() + ports, 0);
    for (std::uint32_t n : in_use) {
        bytes[15 + n] = 1;
    }
    return bytes;
}

inline std::vector<std::uint8_t> read_bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_bytes(const std::string &path, const std::vector<std::uint8_t> &bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

#endif

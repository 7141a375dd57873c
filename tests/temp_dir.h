// A fresh folder for one test's database files, removed with everything in it.
#ifndef COMENUM_TEMP_DIR_H
#define COMENUM_TEMP_DIR_H

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <dirent.h>
#include <ftw.h>
#include <unistd.h>

#include "format.h"

class TempDir {
public:
    TempDir()
    {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                              "/comenum-test-XXXXXX";
        path_ = mkdtemp(pattern.data()) != nullptr ? pattern : "";
    }
    ~TempDir()
    {
        if (!path_.empty()) {
            nftw(path_.c_str(), [](const char *p, const struct stat *, int, FTW *) { return remove(p); },
                 16, FTW_DEPTH | FTW_PHYS);
        }
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    std::string file(const std::string &name) const { return path_ + "/" + name; }
    const std::string &path() const { return path_; }

    // The names in the folder, in no particular order.
    std::vector<std::string> names() const
    {
        std::vector<std::string> found;
        if (DIR *d = opendir(path_.c_str())) {
            while (const dirent *entry = readdir(d)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") {
                    found.push_back(name);
                }
            }
            closedir(d);
        }
        return found;
    }

private:
    std::string path_;
};

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

// A database file of `ports` port numbers with the given ones (1-based) in use.
inline std::vector<std::uint8_t> database(std::uint32_t ports, const std::vector<std::uint32_t> &in_use = {})
{
    std::vector<std::uint8_t> bytes(comdb_format::kHeaderSize + ports, 0);
    comdb_format::write_header(bytes.data(), ports);
    for (std::uint32_t n : in_use) {
        bytes[comdb_format::kHeaderSize + n - 1] = 1;
    }
    return bytes;
}

#endif

// A fresh folder for one test's files, removed with everything in it.
#ifndef COMENUM_TEMP_DIR_H
#define COMENUM_TEMP_DIR_H

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include <dirent.h>
#include <ftw.h>
#include <unistd.h>

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

    // The names in the folder, sorted.
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
        std::sort(found.begin(), found.end());
        return found;
    }

private:
    std::string path_;
};

#endif

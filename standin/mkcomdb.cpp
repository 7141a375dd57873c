// mkcomdb FILE PORTS [IN-USE...]: writes a stand-in port database of PORTS
// port numbers to FILE, with the numbers or ranges (N or N-M) given in use.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "format.h"

namespace {

bool parse_number(const char *text, char **end, unsigned long *value)
{
    errno = 0;
    *value = std::strtoul(text, end, 10);
    return *end != text && errno == 0 && *text >= '0' && *text <= '9';
}

int usage()
{
    std::fprintf(stderr, "usage: mkcomdb FILE PORTS [IN-USE...]\n"
                         "  PORTS   0 to %u port numbers\n"
                         "  IN-USE  a port number N or a range N-M\n",
                 static_cast<unsigned>(comdb_format::kMaxPorts));
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        return usage();
    }
    char *end = nullptr;
    unsigned long ports = 0;
    if (!parse_number(argv[2], &end, &ports) || *end != '\0' || ports > comdb_format::kMaxPorts) {
        return usage();
    }
    std::vector<std::uint8_t> file(comdb_format::kHeaderSize + ports);
    comdb_format::write_header(file.data(), static_cast<std::uint32_t>(ports));
    for (int arg = 3; arg < argc; arg++) {
        unsigned long first = 0;
        unsigned long last = 0;
        if (!parse_number(argv[arg], &end, &first)) {
            return usage();
        }
        last = first;
        if (*end == '-' && !parse_number(end + 1, &end, &last)) {
            return usage();
        }
        if (*end != '\0' || first == 0 || first > last || last > ports) {
            std::fprintf(stderr, "mkcomdb: %s: not a port number or range within 1-%lu\n",
                         argv[arg], ports);
            return 2;
        }
        for (unsigned long n = first; n <= last; n++) {
            file[comdb_format::kHeaderSize + n - 1] = 1;
        }
    }
    std::FILE *out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    const bool written = std::fwrite(file.data(), 1, file.size(), out) == file.size();
    if (std::fclose(out) != 0 || !written) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}

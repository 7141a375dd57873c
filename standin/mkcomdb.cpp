// mkcomdb FILE PORTS [IN-USE...]: writes a stand-in port database of PORTS
// port numbers to FILE, with the numbers or ranges (N or N-M) given in use.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "format.h"
#include "os.h"

namespace {

bool parse_number(const char *text, char **end, unsigned long *value)
{
    errno = 0;
    *value = std::strtoul(text, end, 10);
    return *end != text && errno == 0 && *text >= '0' && *text <= '9';
}

int usage()
{
    std::fprintf(stderr,
                 "usage: mkcomdb FILE PORTS [IN-USE...]\n"
                 "Writes a port database of PORTS numbers (0 to %u) to FILE, with the\n"
                 "numbers given in use; each IN-USE is a number N or a range N-M.\n"
                 "FILE is replaced whole: the new database is written beside it and moved\n"
                 "into place, so a process using the database sees the old one or the new\n"
                 "one, never a mix. A symbolic link at FILE is replaced, never followed.\n",
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
    static std::uint8_t file[comdb_format::kMaxFileSize];
    comdb_format::write_header(file, static_cast<std::uint32_t>(ports));
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
    if (comdb_os::publish(argv[1], file, comdb_format::kHeaderSize + ports, true) !=
        comdb_os::Published::kPublished) {
#ifdef _WIN32
        std::fprintf(stderr, "mkcomdb: %s: cannot write it (error %d)\n", argv[1], comdb_os::last_error());
#else
        std::perror(argv[1]);
#endif
        return 1;
    }
    return 0;
}

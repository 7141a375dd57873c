#include "run.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "comdb.h"

namespace {

// Line ends as the platform's text has them. On Windows the stream is made
// binary and the run writes its own: in text mode the C library would cut
// the report into small writes.
#ifdef _WIN32
constexpr char kLineEnd[] = "\r\n";
#else
constexpr char kLineEnd[] = "\n";
#endif

// The report is gathered here and handed to the stream in large blocks, each
// a single write, whatever the stream is: on a terminal or a console, every
// line printed alone would cost a write of its own.
class Report {
public:
    explicit Report(std::FILE *out) : out_(out)
    {
        std::setvbuf(out, nullptr, _IONBF, 0);
#ifdef _WIN32
        _setmode(_fileno(out), _O_BINARY);
#endif
    }

    void print(const char *format, ...) __attribute__((format(printf, 2, 3)))
    {
        char message[128];  // longer than any message with its numbers
        va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(message, sizeof message, format, args);
        va_end(args);
        make_room(2 * sizeof message);  // a line end may take two bytes
        for (int i = 0; i < n && i < static_cast<int>(sizeof message) - 1; i++) {
            if (message[i] == '\n') {
                end_line();
            } else {
                text_[used_++] = message[i];
            }
        }
    }

    // "COM%u is in use\n", put together without a formatted print: the
    // listing may have thousands of lines.
    void in_use(std::uint32_t port)
    {
        char digits[10];
        std::size_t count = 0;
        do {
            digits[count++] = static_cast<char>('0' + port % 10);
            port /= 10;
        } while (port != 0);
        make_room(sizeof "COM4294967295 is in use\r\n");
        std::memcpy(text_ + used_, "COM", 3);
        used_ += 3;
        while (count > 0) {
            text_[used_++] = digits[--count];
        }
        std::memcpy(text_ + used_, " is in use", 10);
        used_ += 10;
        end_line();
    }

    // Hands everything gathered to the stream and flushes it.
    void flush()
    {
        write_out();
        std::fflush(out_);
    }

private:
    void end_line()
    {
        std::memcpy(text_ + used_, kLineEnd, sizeof kLineEnd - 1);
        used_ += sizeof kLineEnd - 1;
    }

    void make_room(std::size_t size)
    {
        if (sizeof text_ - used_ < size) {
            write_out();
        }
    }

    void write_out()
    {
        std::fwrite(text_, 1, used_, out_);
        used_ = 0;
    }

    std::FILE *out_;
    char text_[16384];
    std::size_t used_ = 0;
};

}  // namespace

int comenum_run(std::FILE *out, std::FILE *in)
{
    Report report(out);
    ComDbHandle handle = nullptr;
    std::int32_t status = 0;
    std::uint32_t MaxPorts = 0;
    std::uint32_t tmp = 0;

    report.print("Com port enumerator\n\n");

    status = ComDBOpen(&handle);
    if (status != 0) {
        report.print("Failed opening com port db, errcode %" PRId32 "\n", status);
        report.print("Did you run the program as Administrator?\n");
    } else {
        status = ComDBGetCurrentPortUsage(handle, nullptr, 0, CDB_REPORT_BITS, &MaxPorts);
        if (status == 0) {
            report.print("Maximum ports available: %" PRIu32 "\n", MaxPorts);

            // The database may report any size; a block this process cannot
            // have is treated like a failed usage query, not dereferenced.
            // At least one byte is asked for: malloc(0) may return null.
            auto *usage = static_cast<std::uint8_t *>(std::malloc(MaxPorts > 0 ? MaxPorts : 1));
            if (usage == nullptr) {
                std::fprintf(stderr, "comenum: no memory for the usage of %" PRIu32 " ports\n",
                             MaxPorts);
            } else {
                status = ComDBGetCurrentPortUsage(handle, usage, MaxPorts, CDB_REPORT_BYTES, &tmp);
                if (status == 0) {
                    for (std::uint32_t i = 0; i < MaxPorts; i++) {
                        if (usage[i] != 0) {
                            report.in_use(i + 1);
                        }
                    }
                }
            }

            tmp = 0;
            status = ComDBClaimNextFreePort(handle, &tmp);
            if (status != 0) {
                report.print("Failed claiming next com port number, errcode %" PRId32 "\n", status);
            } else {
                report.print("Successfully claimed next free port number: %" PRIu32 "\n", tmp);
                status = ComDBReleasePort(handle, tmp);
                if (status != 0) {
                    report.print("Failed releasing com port number %" PRIu32 ", errcode %" PRId32 "\n",
                                 tmp, status);
                } else {
                    report.print("Successfully released port number: %" PRIu32 "\n", tmp);
                }
            }

            std::free(usage);
        }
        ComDBClose(handle);
    }

    // The whole report, the prompt included, is out before the wait.
    report.print("\nPress a key!");
    report.flush();
    std::fgetc(in);
    return 0;
}

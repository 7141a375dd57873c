#include "run.h"

#include <cinttypes>
#include <cstdint>
#include <new>

#include "comdb.h"

int comenum_run(std::FILE *out, std::FILE *in)
{
    ComDbHandle handle = nullptr;
    std::int32_t status = 0;
    std::uint32_t MaxPorts = 0;
    std::uint32_t tmp = 0;

    std::fprintf(out, "Com port enumerator\n\n");

    status = ComDBOpen(&handle);
    if (status != 0) {
        std::fprintf(out, "Failed opening com port db, errcode %" PRId32 "\n", status);
        std::fprintf(out, "Did you run the program as Administrator?\n");
    } else {
        status = ComDBGetCurrentPortUsage(handle, nullptr, 0, CDB_REPORT_BITS, &MaxPorts);
        if (status == 0) {
            std::fprintf(out, "Maximum ports available: %" PRIu32 "\n", MaxPorts);

            // The database may report any size; a block this process cannot
            // have is treated like a failed usage query, not dereferenced.
            auto *usage = new (std::nothrow) std::uint8_t[MaxPorts];
            if (usage == nullptr) {
                std::fprintf(stderr, "comenum: no memory for the usage of %" PRIu32 " ports\n",
                             MaxPorts);
            } else {
                status = ComDBGetCurrentPortUsage(handle, usage, MaxPorts, CDB_REPORT_BYTES, &tmp);
                if (status == 0) {
                    for (std::uint32_t i = 0; i < MaxPorts; i++) {
                        if (usage[i] != 0) {
                            std::fprintf(out, "COM%" PRIu32 " is in use\n", i + 1);
                        }
                    }
                }
            }

            tmp = 0;
            status = ComDBClaimNextFreePort(handle, &tmp);
            if (status != 0) {
                std::fprintf(out, "Failed claiming next com port number, errcode %" PRId32 "\n",
                             status);
            } else {
                std::fprintf(out, "Successfully claimed next free port number: %" PRIu32 "\n", tmp);
                status = ComDBReleasePort(handle, tmp);
                if (status != 0) {
                    std::fprintf(out,
                                 "Failed releasing com port number %" PRIu32 ", errcode %" PRId32
                                 "\n",
                                 tmp, status);
                } else {
                    std::fprintf(out, "Successfully released port number: %" PRIu32 "\n", tmp);
                }
            }

            delete[] usage;
        }
        ComDBClose(handle);
    }

    std::fprintf(out, "\nPress a key!");
    std::fgetc(in);
    return 0;
}

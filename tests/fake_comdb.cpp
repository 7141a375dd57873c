#include "fake_comdb.h"

#include <cstring>

#include "comdb.h"

FakeComDb fake_comdb;
std::vector<std::string> fake_comdb_calls;

namespace {

int handle_object;
const ComDbHandle kHandle = reinterpret_cast<ComDbHandle>(&handle_object);

void record(ComDbHandle handle, const std::string &call)
{
    fake_comdb_calls.push_back(handle == kHandle ? call : call + " ON A FOREIGN HANDLE");
}

}  // namespace

extern "C" {

int32_t COMDB_CALL ComDBOpen(ComDbHandle *handle)
{
    fake_comdb_calls.push_back("open");
    if (fake_comdb.open_status == 0) {
        *handle = kHandle;
    }
    return fake_comdb.open_status;
}

int32_t COMDB_CALL ComDBClose(ComDbHandle handle)
{
    record(handle, "close");
    return fake_comdb.close_status;
}

int32_t COMDB_CALL ComDBGetCurrentPortUsage(ComDbHandle handle, uint8_t *buffer,
                                            uint32_t buffer_size, uint32_t report_type,
                                            uint32_t *ports_reported)
{
    record(handle, std::string(buffer == nullptr ? "size" : "usage") + " buffer_size=" +
                       std::to_string(buffer_size) + " type=" + std::to_string(report_type) +
                       (ports_reported == nullptr ? " no count" : ""));
    if (buffer == nullptr) {
        if (fake_comdb.size_status == 0) {
            *ports_reported = fake_comdb.max_ports;
        }
        return fake_comdb.size_status;
    }
    if (fake_comdb.usage_status != 0) {
        // What a failed query leaves must never be listed.
        std::memset(buffer, 0xee, buffer_size);
        return fake_comdb.usage_status;
    }
    for (uint32_t i = 0; i < buffer_size; i++) {
        buffer[i] = i < fake_comdb.usage.size() ? fake_comdb.usage[i] : 0;
    }
    *ports_reported = buffer_size;
    return 0;
}

int32_t COMDB_CALL ComDBClaimNextFreePort(ComDbHandle handle, uint32_t *port_number)
{
    record(handle, "claim tmp=" + std::to_string(*port_number));
    if (fake_comdb.claim_status == 0) {
        *port_number = fake_comdb.claimed;
    }
    return fake_comdb.claim_status;
}

int32_t COMDB_CALL ComDBReleasePort(ComDbHandle handle, uint32_t port_number)
{
    record(handle, "release " + std::to_string(port_number));
    return fake_comdb.release_status;
}

}  // extern "C"

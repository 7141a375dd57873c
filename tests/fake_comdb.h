// A scripted port database for testing the run: each operation returns what
// the script says and records how it was called.
#ifndef COMENUM_FAKE_COMDB_H
#define COMENUM_FAKE_COMDB_H

#include <cstdint>
#include <string>
#include <vector>

struct FakeComDb {
    std::int32_t open_status = 0;
    std::int32_t size_status = 0;
    std::uint32_t max_ports = 0;
    std::int32_t usage_status = 0;
    std::vector<std::uint8_t> usage;  // written to the buffer; zeros beyond
    std::int32_t claim_status = 0;
    std::uint32_t claimed = 0;
    std::int32_t release_status = 0;
    std::int32_t close_status = 0;
};

// The script the operations follow, and the calls they have seen, one line each.
extern FakeComDb fake_comdb;
extern std::vector<std::string> fake_comdb_calls;

#endif

// The stand-in port database: its file, each operation's results and errors,
// and several processes sharing it.
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "comdb.h"
#include "format.h"
#include "temp_dir.h"

namespace {

constexpr std::int32_t kAccessDenied = 5;
constexpr std::int32_t kPathNotFound = 3;
constexpr std::int32_t kInvalidParameter = 87;
constexpr std::int32_t kBadDb = 1009;
constexpr std::int32_t kFull = 1019;

class StandInTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.path().empty());
        ::setenv("COMDB_FILE", db.c_str(), 1);
    }

    ComDbHandle open_db()
    {
        ComDbHandle handle = nullptr;
        EXPECT_EQ(ComDBOpen(&handle), 0);
        return handle;
    }

    // The usage bytes as a caller sees them through a fresh handle.
    std::vector<std::uint8_t> usage()
    {
        ComDbHandle handle = open_db();
        std::uint32_t ports = 0;
        EXPECT_EQ(ComDBGetCurrentPortUsage(handle, nullptr, 0, CDB_REPORT_BYTES, &ports), 0);
        std::vector<std::uint8_t> bytes(ports);
        std::uint32_t reported = 0;
        EXPECT_EQ(ComDBGetCurrentPortUsage(handle, bytes.data(), ports, CDB_REPORT_BYTES, &reported), 0);
        EXPECT_EQ(reported, ports);
        EXPECT_EQ(ComDBClose(handle), 0);
        return bytes;
    }

    TempDir dir;
    const std::string db = dir.file("ports.db");
};

std::vector<std::uint8_t> usage_of(std::uint32_t ports, const std::vector<std::uint32_t> &in_use)
{
    const std::vector<std::uint8_t> file = database(ports, in_use);
    return {file.begin() + comdb_format::kHeaderSize, file.end()};
}

TEST_F(StandInTest, FirstOpenCreatesAFreeDatabaseOf256Numbers)
{
    ComDbHandle handle = open_db();
    std::uint32_t ports = 0;
    EXPECT_EQ(ComDBGetCurrentPortUsage(handle, nullptr, 0, CDB_REPORT_BITS, &ports), 0);
    EXPECT_EQ(ports, 256u);
    EXPECT_EQ(ComDBClose(handle), 0);
    EXPECT_EQ(read_bytes(db), database(256));

    EXPECT_EQ(dir.names(), std::vector<std::string>{"ports.db"}) << "nothing else is left behind";
}

TEST_F(StandInTest, ClaimsTheLowestFreeNumberAndReleasesIt)
{
    write_bytes(db, database(8, {1, 3}));
    ComDbHandle handle = open_db();
    std::uint32_t n = 0;

    EXPECT_EQ(ComDBClaimNextFreePort(handle, &n), 0);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(read_bytes(db), database(8, {1, 2, 3})) << "a claim is in the file when it returns";
    EXPECT_EQ(ComDBClaimNextFreePort(handle, &n), 0);
    EXPECT_EQ(n, 4u);

    EXPECT_EQ(ComDBReleasePort(handle, 2), 0);
    EXPECT_EQ(read_bytes(db), database(8, {1, 3, 4}));
    EXPECT_EQ(ComDBReleasePort(handle, 2), 0) << "releasing a free number is no error";
    EXPECT_EQ(ComDBClaimNextFreePort(handle, &n), 0);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(ComDBClose(handle), 0);
    EXPECT_EQ(usage(), usage_of(8, {1, 2, 3, 4}));
}

TEST_F(StandInTest, FullDatabaseRefusesAClaim)
{
    write_bytes(db, database(4, {1, 2, 3, 4}));
    ComDbHandle handle = open_db();
    std::uint32_t n = 99;
    EXPECT_EQ(ComDBClaimNextFreePort(handle, &n), kFull);
    EXPECT_EQ(n, 99u);
    EXPECT_EQ(ComDBClose(handle), 0);
    EXPECT_EQ(read_bytes(db), database(4, {1, 2, 3, 4}));
}

struct UsageCase {
    const char *name;
    std::uint32_t report_type;
    bool with_buffer;
    std::uint32_t buffer_size;
    std::vector<std::uint8_t> buffer;  // after the call; 0xaa was never written
    std::uint32_t reported;

    friend void PrintTo(const UsageCase &row, std::ostream *os) { *os << row.name; }
};

class UsageReportTest : public StandInTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(UsageReportTest, DescribesPortsUpToTheBufferSize)
{
    const UsageCase &c = GetParam();
    write_bytes(db, database(10, {1, 3, 10}));
    ComDbHandle handle = open_db();
    std::vector<std::uint8_t> buffer(4, 0xaa);
    std::uint32_t reported = 0;
    EXPECT_EQ(ComDBGetCurrentPortUsage(handle, c.with_buffer ? buffer.data() : nullptr,
                                       c.buffer_size, c.report_type, &reported),
              0);
    EXPECT_EQ(reported, c.reported);
    if (c.with_buffer) {
        EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + static_cast<long>(c.buffer.size())),
                  c.buffer);
        EXPECT_EQ(ComDBGetCurrentPortUsage(handle, buffer.data(), c.buffer_size, c.report_type, nullptr), 0)
            << "the count is optional with a buffer";
    }
    EXPECT_EQ(ComDBClose(handle), 0);
}

// Ports 1, 3 and 10 of 10 are in use.
const UsageCase kUsageCases[] = {
    {"SizeAsBytes", CDB_REPORT_BYTES, false, 0, {}, 10},
    {"SizeAsBits", CDB_REPORT_BITS, false, 0, {}, 10},
    {"BytesInPortOrder", CDB_REPORT_BYTES, true, 4, {1, 0, 1, 0}, 4},
    {"BytesStopAtTheBufferSize", CDB_REPORT_BYTES, true, 2, {1, 0, 0xaa, 0xaa}, 2},
    {"BytesIntoAnEmptyBuffer", CDB_REPORT_BYTES, true, 0, {0xaa}, 0},
    {"BitsLowestFirst", CDB_REPORT_BITS, true, 2, {0x05, 0x02, 0xaa}, 10},
    {"BitsStopAtTheBufferSize", CDB_REPORT_BITS, true, 1, {0x05, 0xaa}, 8},
    {"BitsNeverBeyondTheLastPort", CDB_REPORT_BITS, true, 4, {0x05, 0x02, 0xaa, 0xaa}, 10},
};

INSTANTIATE_TEST_SUITE_P(Reports, UsageReportTest, ::testing::ValuesIn(kUsageCases),
                         [](const auto &test) { return std::string(test.param.name); });

TEST_F(StandInTest, BytesReportCoversTheWholeDatabase)
{
    write_bytes(db, database(10, {1, 3, 10}));
    EXPECT_EQ(usage(), usage_of(10, {1, 3, 10}));
}

struct BadCall {
    const char *name;
    // Given an open handle on 8 ports and a handle that has been closed.
    std::function<std::int32_t(ComDbHandle open, ComDbHandle closed)> call;

    friend void PrintTo(const BadCall &row, std::ostream *os) { *os << row.name; }
};

int made_up;
const ComDbHandle kMadeUp = reinterpret_cast<ComDbHandle>(&made_up);
std::uint32_t n;

const BadCall kBadCalls[] = {
    {"OpenWithoutAHandle", [](ComDbHandle, ComDbHandle) { return ComDBOpen(nullptr); }},
    {"CloseNull", [](ComDbHandle, ComDbHandle) { return ComDBClose(nullptr); }},
    {"CloseMadeUp", [](ComDbHandle, ComDbHandle) { return ComDBClose(kMadeUp); }},
    {"CloseTwice", [](ComDbHandle, ComDbHandle closed) { return ComDBClose(closed); }},
    {"InvalidHandleValue", [](ComDbHandle, ComDbHandle) { return ComDBClose(COMDB_INVALID_HANDLE); }},
    {"UsageOnAClosedHandle",
     [](ComDbHandle, ComDbHandle closed) { return ComDBGetCurrentPortUsage(closed, nullptr, 0, 0, &n); }},
    {"UsageOfAnUnknownType",
     [](ComDbHandle open, ComDbHandle) { return ComDBGetCurrentPortUsage(open, nullptr, 0, 2, &n); }},
    {"UsageWithNeitherBufferNorCount",
     [](ComDbHandle open, ComDbHandle) { return ComDBGetCurrentPortUsage(open, nullptr, 0, 1, nullptr); }},
    {"ClaimOnAMadeUpHandle", [](ComDbHandle, ComDbHandle) { return ComDBClaimNextFreePort(kMadeUp, &n); }},
    {"ClaimWithoutANumber", [](ComDbHandle open, ComDbHandle) { return ComDBClaimNextFreePort(open, nullptr); }},
    {"ReleaseOnAClosedHandle", [](ComDbHandle, ComDbHandle closed) { return ComDBReleasePort(closed, 1); }},
    {"ReleaseNumberZero", [](ComDbHandle open, ComDbHandle) { return ComDBReleasePort(open, 0); }},
    {"ReleaseBeyondTheDatabase", [](ComDbHandle open, ComDbHandle) { return ComDBReleasePort(open, 9); }},
};

class BadCallTest : public StandInTest, public ::testing::WithParamInterface<BadCall> {};

TEST_P(BadCallTest, IsRefusedAsAnInvalidParameterAndChangesNothing)
{
    write_bytes(db, database(8, {2}));
    ComDbHandle closed = open_db();
    ASSERT_EQ(ComDBClose(closed), 0);
    ComDbHandle open = open_db();
    EXPECT_EQ(GetParam().call(open, closed), kInvalidParameter);
    EXPECT_EQ(ComDBClose(open), 0);
    EXPECT_EQ(read_bytes(db), database(8, {2}));
}

INSTANTIATE_TEST_SUITE_P(Calls, BadCallTest, ::testing::ValuesIn(kBadCalls),
                         [](const auto &test) { return std::string(test.param.name); });

struct InvalidFile {
    const char *name;
    std::vector<std::uint8_t> bytes;

    friend void PrintTo(const InvalidFile &row, std::ostream *os) { *os << row.name; }
};

std::vector<std::uint8_t> edited(std::vector<std::uint8_t> bytes, std::size_t at, std::uint8_t value)
{
    bytes[at] = value;
    return bytes;
}

std::vector<std::uint8_t> resized(std::vector<std::uint8_t> bytes, std::size_t size)
{
    bytes.resize(size, 0);
    return bytes;
}

const InvalidFile kInvalidFiles[] = {
    {"Empty", {}},
    {"Foreign", {'[', 'p', 'o', 'r', 't', 's', ']', '\n', 'C', 'O', 'M', '1', '=', '1', '\n', '\n'}},
    {"HeaderOnlyInPart", resized(database(8), 12)},
    {"UnknownVersion", edited(database(8), 8, 2)},
    {"Truncated", resized(database(256), 100)},
    {"TrailingBytes", resized(database(8), comdb_format::kHeaderSize + 9)},
    {"TooManyPortNumbers", [] {
         std::vector<std::uint8_t> bytes(comdb_format::kHeaderSize + 4097, 0);
         comdb_format::write_header(bytes.data(), 4097);
         return bytes;
     }()},
    {"UsageByteNeitherZeroNorOne", edited(database(8), comdb_format::kHeaderSize + 5, 2)},
};

class InvalidFileTest : public StandInTest, public ::testing::WithParamInterface<InvalidFile> {};

TEST_P(InvalidFileTest, IsRefusedAndLeftByteForByte)
{
    write_bytes(db, GetParam().bytes);
    ComDbHandle handle = nullptr;
    EXPECT_EQ(ComDBOpen(&handle), kBadDb);
    EXPECT_EQ(handle, COMDB_INVALID_HANDLE);
    EXPECT_EQ(read_bytes(db), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(Files, InvalidFileTest, ::testing::ValuesIn(kInvalidFiles),
                         [](const auto &test) { return std::string(test.param.name); });

// Runs `body` in a child process, as an ordinary user when this one is root,
// and returns the status the body returns.
std::int32_t as_unprivileged_user(const std::function<std::int32_t()> &body)
{
    int fds[2];
    if (::pipe(fds) != 0) {
        return -1;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        const bool dropped = ::geteuid() != 0 || (::setgid(65534) == 0 && ::setuid(65534) == 0);
        const std::int32_t status = dropped ? body() : -2;
        (void)!::write(fds[1], &status, sizeof status);
        ::_exit(0);
    }
    ::close(fds[1]);
    std::int32_t status = -1;
    (void)!::read(fds[0], &status, sizeof status);
    ::close(fds[0]);
    ::waitpid(child, nullptr, 0);
    return status;
}

std::int32_t open_and_close()
{
    ComDbHandle handle = nullptr;
    const std::int32_t status = ComDBOpen(&handle);
    if (status == 0) {
        ComDBClose(handle);
    }
    return status;
}

TEST_F(StandInTest, DatabaseTheCallerMayNotWriteIsAccessDenied)
{
    ::chmod(dir.path().c_str(), 0755);
    write_bytes(db, database(8));
    ::chmod(db.c_str(), 0444);
    EXPECT_EQ(as_unprivileged_user(open_and_close), kAccessDenied);
    EXPECT_EQ(read_bytes(db), database(8));
}

TEST_F(StandInTest, DatabaseTheCallerMayNotCreateIsAccessDenied)
{
    ::chmod(dir.path().c_str(), 0555);
    EXPECT_EQ(as_unprivileged_user(open_and_close), kAccessDenied);
    EXPECT_NE(::access(db.c_str(), F_OK), 0);
    ::chmod(dir.path().c_str(), 0700);
}

TEST_F(StandInTest, DatabaseInAMissingFolderIsPathNotFound)
{
    ::setenv("COMDB_FILE", dir.file("missing/ports.db").c_str(), 1);
    EXPECT_EQ(open_and_close(), kPathNotFound);
}

// Starts `count` processes that each run `body` once the last has started.
std::vector<pid_t> start_together(int count, const std::function<void(int index)> &body)
{
    int go[2];
    if (::pipe(go) != 0) {
        return {};
    }
    std::vector<pid_t> children;
    for (int i = 0; i < count; i++) {
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(go[1]);
            char byte;
            (void)!::read(go[0], &byte, 1);  // returns when the parent closes its end
            body(i);
            ::_exit(0);
        }
        children.push_back(child);
    }
    ::close(go[0]);
    ::close(go[1]);
    return children;
}

TEST_F(StandInTest, ProcessesClaimingAtOnceNeverShareANumberNorLoseAnUpdate)
{
    // From an absent file, so the processes also race to create it. Each one
    // keeps every other number it claims and releases the rest.
    constexpr int kProcesses = 4;
    constexpr int kRounds = 20;
    int kept[2];
    ASSERT_EQ(::pipe(kept), 0);
    const std::vector<pid_t> children = start_together(kProcesses, [&](int) {
        ComDbHandle handle = nullptr;
        if (ComDBOpen(&handle) != 0) {
            ::_exit(1);
        }
        for (int round = 0; round < kRounds; round++) {
            std::uint32_t released = 0;
            std::uint32_t keep = 0;
            if (ComDBClaimNextFreePort(handle, &released) != 0 || ComDBClaimNextFreePort(handle, &keep) != 0 ||
                ComDBReleasePort(handle, released) != 0) {
                ::_exit(2);
            }
            (void)!::write(kept[1], &keep, sizeof keep);
        }
        ::_exit(ComDBClose(handle) == 0 ? 0 : 3);
    });
    ::close(kept[1]);
    std::multiset<std::uint32_t> numbers;
    for (std::uint32_t number = 0; ::read(kept[0], &number, sizeof number) == sizeof number;) {
        numbers.insert(number);
    }
    ::close(kept[0]);
    for (pid_t child : children) {
        int status = -1;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    }

    ASSERT_EQ(numbers.size(), std::size_t{kProcesses * kRounds});
    const std::set<std::uint32_t> distinct(numbers.begin(), numbers.end());
    EXPECT_EQ(distinct.size(), numbers.size()) << "a number was handed to two claims";
    EXPECT_EQ(usage(), usage_of(256, std::vector<std::uint32_t>(distinct.begin(), distinct.end())))
        << "a claim or a release was lost";
}

TEST_F(StandInTest, ProcessKilledAtAnyMomentLeavesAValidDatabase)
{
    for (int attempt = 0; attempt < 24; attempt++) {
        if (attempt % 3 == 0) {
            ::unlink(db.c_str());  // so that some are killed while creating it
        }
        const std::vector<pid_t> child = start_together(1, [](int) {
            for (;;) {
                ComDbHandle handle = nullptr;
                std::uint32_t number = 0;
                if (ComDBOpen(&handle) == 0) {
                    if (ComDBClaimNextFreePort(handle, &number) == 0) {
                        ComDBReleasePort(handle, number);
                    }
                    ComDBClose(handle);
                }
            }
        });
        ::usleep(static_cast<useconds_t>(attempt * 700 % 9000));
        ::kill(child.at(0), SIGKILL);
        ::waitpid(child.at(0), nullptr, 0);

        ComDbHandle handle = nullptr;
        ASSERT_EQ(ComDBOpen(&handle), 0) << "after kill " << attempt;
        std::uint32_t number = 0;
        EXPECT_EQ(ComDBClaimNextFreePort(handle, &number), 0);
        EXPECT_EQ(ComDBReleasePort(handle, number), 0);
        EXPECT_EQ(ComDBClose(handle), 0);
    }
}

}  // namespace

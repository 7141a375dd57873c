// The stand-in port database through the five operations it exports: what each
// returns and leaves in its outputs and in errno, its file, and the conditions
// a real machine produces: other processes and users, forks, failing disks.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "comdb.h"
#include "db_file.h"
#include "faulty_disk.h"
#include "temp_dir.h"

namespace {

constexpr std::int32_t kAccessDenied = 5;
constexpr std::int32_t kInvalidParameter = 87;
constexpr std::int32_t kCannotWrite = 1013;
constexpr std::int32_t kNoFreeNumber = 1019;
constexpr std::int32_t kNotConnected = 2250;

constexpr std::uint32_t kUntouched = 0xdeadbeef;

// A status and the errno the call left.
struct Result {
    std::int32_t status;
    int error;
};

Result result_of(const std::function<std::int32_t()> &call)
{
    errno = 0;
    const std::int32_t status = call();
    return {status, errno};
}

// Runs `body` in a child process, as an ordinary user when asked and this
// process is root, and returns what the body returned.
template <typename T>
T in_child(const std::function<T()> &body, bool unprivileged = false)
{
    int fds[2];
    if (::pipe(fds) != 0) {
        return T{};
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        if (unprivileged && ::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(1);
        }
        const T value = body();
        (void)!::write(fds[1], &value, sizeof value);
        ::_exit(0);
    }
    ::close(fds[1]);
    T value{};
    (void)!::read(fds[0], &value, sizeof value);
    ::close(fds[0]);
    ::waitpid(child, nullptr, 0);
    return value;
}

// Another process's lock on the database file, as an open file holds it.
class LockHeld {
public:
    explicit LockHeld(const std::string &path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC))
    {
        EXPECT_EQ(::flock(fd_, LOCK_EX), 0);
    }
    ~LockHeld() { ::close(fd_); }
    LockHeld(const LockHeld &) = delete;
    LockHeld &operator=(const LockHeld &) = delete;

private:
    int fd_;
};

class StandInTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.path().empty());
        faulty_disk = FaultyDisk{};
        ::setenv("COMDB_FILE", db.c_str(), 1);
    }
    void TearDown() override { faulty_disk = FaultyDisk{}; }

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
        EXPECT_EQ(ComDBGetCurrentPortUsage(handle, bytes.data(), ports, CDB_REPORT_BYTES, nullptr), 0);
        EXPECT_EQ(ComDBClose(handle), 0);
        return bytes;
    }

    TempDir dir;
    const std::string db = dir.file("ports.db");
};

std::vector<std::uint8_t> usage_of(std::uint32_t ports, const std::vector<std::uint32_t> &in_use)
{
    const std::vector<std::uint8_t> file = database(ports, in_use);
    return {file.begin() + 16, file.end()};
}

// ComDBOpen: 0 with a handle, or 5 with the invalid handle and the reason in errno.

struct OpenCase {
    const char *name;
    std::function<void(const TempDir &dir, const std::string &db)> arrange;
    bool unprivileged;
    std::int32_t status;
    int error;

    friend void PrintTo(const OpenCase &row, std::ostream *os) { *os << row.name; }
};

const OpenCase kOpenCases[] = {
    {"ValidDatabase", [](const TempDir &, const std::string &db) { write_bytes(db, database(8, {2})); },
     false, 0, 0},
    {"NoDatabaseYet", [](const TempDir &, const std::string &) {}, false, 0, 0},
    {"MissingFolder",
     [](const TempDir &dir, const std::string &) { ::setenv("COMDB_FILE", dir.file("no/ports.db").c_str(), 1); },
     false, kAccessDenied, ENOENT},
    {"AFolder", [](const TempDir &dir, const std::string &) { ::setenv("COMDB_FILE", dir.path().c_str(), 1); },
     false, kAccessDenied, EISDIR},
    {"NameTooLong",
     [](const TempDir &dir, const std::string &) {
         ::setenv("COMDB_FILE", dir.file(std::string(256, 'n')).c_str(), 1);
     },
     false, kAccessDenied, ENAMETOOLONG},
    {"NoRightToWrite",
     [](const TempDir &dir, const std::string &db) {
         ::chmod(dir.path().c_str(), 0755);
         write_bytes(db, database(8));
         ::chmod(db.c_str(), 0444);
     },
     true, kAccessDenied, EACCES},
    {"NoRightToCreate", [](const TempDir &dir, const std::string &) { ::chmod(dir.path().c_str(), 0555); },
     true, kAccessDenied, EACCES},
};

class OpenTest : public StandInTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenTest, OpensOrSaysAccessDeniedWithTheReasonInErrno)
{
    const OpenCase &c = GetParam();
    c.arrange(dir, db);
    struct Opened {
        Result result;
        bool invalid_handle;
    };
    const Opened opened = in_child<Opened>(
        [] {
            ComDbHandle handle = nullptr;
            const Result result = result_of([&] { return ComDBOpen(&handle); });
            const bool invalid = handle == COMDB_INVALID_HANDLE;
            if (result.status == 0) {
                ComDBClose(handle);
            }
            return Opened{result, invalid};
        },
        c.unprivileged);
    ::chmod(dir.path().c_str(), 0700);
    EXPECT_EQ(opened.result.status, c.status);
    EXPECT_EQ(opened.invalid_handle, c.status != 0);
    if (c.status != 0) {
        EXPECT_EQ(opened.result.error, c.error) << std::strerror(opened.result.error);
    }
}

INSTANTIATE_TEST_SUITE_P(Conditions, OpenTest, ::testing::ValuesIn(kOpenCases),
                         [](const auto &test) { return std::string(test.param.name); });

TEST_F(StandInTest, OpenWithoutAPlaceForTheHandleIsAccessDenied)
{
    const Result result = result_of([] { return ComDBOpen(nullptr); });
    EXPECT_EQ(result.status, kAccessDenied);
    EXPECT_EQ(result.error, EINVAL);
}

TEST_F(StandInTest, OpenWaitsForALockOnlySoLong)
{
    write_bytes(db, database(8));
    const LockHeld lock(db);
    ComDbHandle handle = nullptr;
    const Result result = result_of([&] { return ComDBOpen(&handle); });
    EXPECT_EQ(result.status, kAccessDenied);
    EXPECT_EQ(result.error, EWOULDBLOCK);
    EXPECT_EQ(handle, COMDB_INVALID_HANDLE);
}

TEST_F(StandInTest, NewDatabaseHas256FreeNumbersAndIsOwnerOnlyWhateverTheUmask)
{
    for (const mode_t mask : {0000, 0022, 0077, 0277}) {
        ::unlink(db.c_str());
        const mode_t old = ::umask(mask);
        ComDbHandle handle = open_db();
        ::umask(old);
        EXPECT_EQ(ComDBClose(handle), 0);
        struct stat st {};
        ASSERT_EQ(::stat(db.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u) << "umask " << std::oct << mask;
        EXPECT_EQ(read_bytes(db), database(256));
        EXPECT_EQ(dir.names(), std::vector<std::string>{"ports.db"}) << "nothing else is left behind";
    }
}

TEST_F(StandInTest, DatabaseNamesUpToTheLongestTheFileSystemTakes)
{
    for (const std::size_t length : {1, 200, 246, 255}) {
        const std::string path = dir.file(std::string(length, 'p'));
        ::setenv("COMDB_FILE", path.c_str(), 1);
        ComDbHandle handle = nullptr;
        EXPECT_EQ(ComDBOpen(&handle), 0) << length << " characters";
        EXPECT_EQ(ComDBClose(handle), 0);
        EXPECT_EQ(read_bytes(path), database(256));
    }
}

TEST_F(StandInTest, DefaultFileIsUsedWhenCOMDB_FILEIsUnsetOrEmpty)
{
    faulty_disk.open = Fault::kFail;  // so that the machine's own database is never touched
    for (const char *value : {static_cast<const char *>(nullptr), ""}) {
        if (value == nullptr) {
            ::unsetenv("COMDB_FILE");
        } else {
            ::setenv("COMDB_FILE", value, 1);
        }
        ComDbHandle handle = nullptr;
        EXPECT_EQ(ComDBOpen(&handle), kAccessDenied);
        EXPECT_EQ(faulty_disk.last_opened, "/var/lib/comdb.db");
    }
}

// The file: its format, files that are refused, and files that change.

TEST_F(StandInTest, ReadsAndWritesTheFileFormatByteForByte)
{
    const std::vector<std::uint8_t> file = {'C', 'O', 'M', 'D', 'B', 0x1a, '\n', 0, 1, 0, 0, 0, 4, 0, 0, 0,
                                            1, 0, 1, 0};
    write_bytes(db, file);
    ComDbHandle handle = open_db();
    std::uint8_t bits = 0;
    std::uint32_t reported = 0;
    EXPECT_EQ(ComDBGetCurrentPortUsage(handle, &bits, 1, CDB_REPORT_BITS, &reported), 0);
    EXPECT_EQ(bits, 0x05);
    EXPECT_EQ(reported, 4u);
    std::uint32_t n = 0;
    EXPECT_EQ(ComDBClaimNextFreePort(handle, &n), 0);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(ComDBClose(handle), 0);
    EXPECT_EQ(read_bytes(db), (std::vector<std::uint8_t>{'C', 'O', 'M', 'D', 'B', 0x1a, '\n', 0, 1, 0, 0, 0, 4,
                                                         0, 0, 0, 1, 1, 1, 0}));
}

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
    {"OtherMagic", edited(database(8), 0, 'c')},
    {"HeaderOnlyInPart", resized(database(8), 12)},
    {"UnknownVersion", edited(database(8), 8, 2)},
    {"Truncated", resized(database(256), 100)},
    {"TrailingBytes", resized(database(8), 16 + 9)},
    {"TooManyPortNumbers", database(4097)},
    {"UsageByteNeitherZeroNorOne", edited(database(8), 16 + 5, 2)},
};

class InvalidFileTest : public StandInTest, public ::testing::WithParamInterface<InvalidFile> {};

TEST_P(InvalidFileTest, IsNotOpenedAndLeftByteForByte)
{
    write_bytes(db, GetParam().bytes);
    ComDbHandle handle = nullptr;
    const Result result = result_of([&] { return ComDBOpen(&handle); });
    EXPECT_EQ(result.status, kAccessDenied);
    EXPECT_EQ(result.error, EBADMSG);
    EXPECT_EQ(handle, COMDB_INVALID_HANDLE);
    EXPECT_EQ(read_bytes(db), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(Files, InvalidFileTest, ::testing::ValuesIn(kInvalidFiles),
                         [](const auto &test) { return std::string(test.param.name); });

// ComDBGetCurrentPortUsage: what each report leaves in the buffer and the count.

struct UsageCase {
    const char *name;
    std::uint32_t report_type;
    bool with_buffer;
    std::uint32_t buffer_size;
    std::vector<std::uint8_t> buffer;  // after the call; 0xaa was never written
    std::uint32_t reported;            // kUntouched: never written

    friend void PrintTo(const UsageCase &row, std::ostream *os) { *os << row.name; }
};

class UsageReportTest : public StandInTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(UsageReportTest, DescribesPortsUpToTheBufferSize)
{
    const UsageCase &c = GetParam();
    write_bytes(db, database(10, {1, 3, 10}));
    ComDbHandle handle = open_db();
    std::vector<std::uint8_t> buffer(4, 0xaa);
    std::uint32_t reported = kUntouched;
    EXPECT_EQ(ComDBGetCurrentPortUsage(handle, c.with_buffer ? buffer.data() : nullptr, c.buffer_size,
                                       c.report_type, &reported),
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
    {"BytesInPortOrderWithoutACount", CDB_REPORT_BYTES, true, 4, {1, 0, 1, 0}, kUntouched},
    {"BytesStopAtTheBufferSize", CDB_REPORT_BYTES, true, 2, {1, 0, 0xaa, 0xaa}, kUntouched},
    {"BytesIntoAnEmptyBuffer", CDB_REPORT_BYTES, true, 0, {0xaa}, kUntouched},
    {"BitsLowestFirst", CDB_REPORT_BITS, true, 2, {0x05, 0x02, 0xaa}, 10},
    {"BitsStopAtTheBufferSize", CDB_REPORT_BITS, true, 1, {0x05, 0xaa}, 8},
    {"BitsNeverBeyondTheLastPort", CDB_REPORT_BITS, true, 4, {0x05, 0x02, 0xaa, 0xaa}, 10},
    {"BitsIntoAnEmptyBuffer", CDB_REPORT_BITS, true, 0, {0xaa}, 0},
};

INSTANTIATE_TEST_SUITE_P(Reports, UsageReportTest, ::testing::ValuesIn(kUsageCases),
                         [](const auto &test) { return std::string(test.param.name); });

// ComDBClaimNextFreePort and ComDBReleasePort.

TEST_F(StandInTest, ClaimsTheLowestFreeNumberAndReleasesAny)
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

TEST_F(StandInTest, ReleasesTheHighestNumberOfTheDatabase)
{
    write_bytes(db, database(8, {8}));
    ComDbHandle handle = open_db();
    EXPECT_EQ(ComDBReleasePort(handle, 8), 0);
    EXPECT_EQ(ComDBClose(handle), 0);
    EXPECT_EQ(read_bytes(db), database(8));
}

TEST_F(StandInTest, FullDatabaseRefusesAClaim)
{
    write_bytes(db, database(4, {1, 2, 3, 4}));
    ComDbHandle handle = open_db();
    std::uint32_t n = kUntouched;
    const Result result = result_of([&] { return ComDBClaimNextFreePort(handle, &n); });
    EXPECT_EQ(result.status, kNoFreeNumber);
    EXPECT_EQ(result.error, ENOSPC);
    EXPECT_EQ(n, kUntouched);
    EXPECT_EQ(ComDBClose(handle), 0);
    EXPECT_EQ(read_bytes(db), database(4, {1, 2, 3, 4}));
}

// Calls refused with 87, whatever the state of the database.

std::uint32_t n_out = kUntouched;
std::uint8_t buffer_out[4];

// Runs `call` in a child process, as the handles of a fork would be used.
std::int32_t in_a_fork(const std::function<std::int32_t()> &call)
{
    const Result result = in_child<Result>([&] { return result_of(call); });
    errno = result.error;
    return result.status;
}

struct BadCall {
    const char *name;
    // Given an open handle on 8 ports and a handle that has been closed.
    std::function<std::int32_t(ComDbHandle open, ComDbHandle closed)> call;

    friend void PrintTo(const BadCall &row, std::ostream *os) { *os << row.name; }
};

int made_up;
const ComDbHandle kMadeUp = reinterpret_cast<ComDbHandle>(&made_up);

const BadCall kBadCalls[] = {
    {"CloseNull", [](ComDbHandle, ComDbHandle) { return ComDBClose(nullptr); }},
    {"CloseMadeUp", [](ComDbHandle, ComDbHandle) { return ComDBClose(kMadeUp); }},
    {"CloseTwice", [](ComDbHandle, ComDbHandle closed) { return ComDBClose(closed); }},
    {"CloseTheInvalidHandle", [](ComDbHandle, ComDbHandle) { return ComDBClose(COMDB_INVALID_HANDLE); }},
    {"CloseInAFork", [](ComDbHandle open, ComDbHandle) { return in_a_fork([=] { return ComDBClose(open); }); }},
    {"UsageOnAClosedHandle",
     [](ComDbHandle, ComDbHandle closed) {
         return ComDBGetCurrentPortUsage(closed, buffer_out, 4, CDB_REPORT_BYTES, &n_out);
     }},
    {"UsageOfAnUnknownType",
     [](ComDbHandle open, ComDbHandle) { return ComDBGetCurrentPortUsage(open, buffer_out, 4, 2, &n_out); }},
    {"UsageWithNeitherBufferNorCount",
     [](ComDbHandle open, ComDbHandle) { return ComDBGetCurrentPortUsage(open, nullptr, 0, 1, nullptr); }},
    {"UsageInAFork",
     [](ComDbHandle open, ComDbHandle) {
         return in_a_fork([=] { return ComDBGetCurrentPortUsage(open, nullptr, 0, 0, &n_out); });
     }},
    {"ClaimOnAMadeUpHandle", [](ComDbHandle, ComDbHandle) { return ComDBClaimNextFreePort(kMadeUp, &n_out); }},
    {"ClaimWithoutANumber", [](ComDbHandle open, ComDbHandle) { return ComDBClaimNextFreePort(open, nullptr); }},
    {"ClaimInAFork",
     [](ComDbHandle open, ComDbHandle) { return in_a_fork([=] { return ComDBClaimNextFreePort(open, &n_out); }); }},
    {"ReleaseOnAClosedHandle", [](ComDbHandle, ComDbHandle closed) { return ComDBReleasePort(closed, 2); }},
    {"ReleaseNumberZero", [](ComDbHandle open, ComDbHandle) { return ComDBReleasePort(open, 0); }},
    {"ReleaseBeyondTheDatabase", [](ComDbHandle open, ComDbHandle) { return ComDBReleasePort(open, 9); }},
    {"ReleaseInAFork",
     [](ComDbHandle open, ComDbHandle) { return in_a_fork([=] { return ComDBReleasePort(open, 2); }); }},
};

class BadCallTest : public StandInTest, public ::testing::WithParamInterface<BadCall> {};

TEST_P(BadCallTest, IsRefusedAsAnInvalidParameterAndChangesNothing)
{
    write_bytes(db, database(8, {2}));
    ComDbHandle closed = open_db();
    ASSERT_EQ(ComDBClose(closed), 0);
    ComDbHandle open = open_db();
    n_out = kUntouched;
    std::fill(std::begin(buffer_out), std::end(buffer_out), 0xaa);

    const Result result = result_of([&] { return GetParam().call(open, closed); });
    EXPECT_EQ(result.status, kInvalidParameter);
    EXPECT_EQ(result.error, EINVAL);
    EXPECT_EQ(n_out, kUntouched);
    EXPECT_EQ(std::vector<std::uint8_t>(std::begin(buffer_out), std::end(buffer_out)),
              std::vector<std::uint8_t>(4, 0xaa));
    EXPECT_EQ(ComDBReleasePort(open, 2), 0) << "the handle still works in the process that opened it";
    EXPECT_EQ(ComDBClose(open), 0);
    EXPECT_EQ(read_bytes(db), database(8));
}

INSTANTIATE_TEST_SUITE_P(Calls, BadCallTest, ::testing::ValuesIn(kBadCalls),
                         [](const auto &test) { return std::string(test.param.name); });

// Operations on an open handle whose database cannot be reached: 2250, the
// outputs and the file untouched, and the reason in errno.

struct Unreachable {
    const char *name;
    std::function<void(const std::string &db)> arrange;  // after the open; holds nothing
    int error;
    bool locked;  // the lock is held by another for the whole call

    friend void PrintTo(const Unreachable &row, std::ostream *os) { *os << row.name; }
};

const Unreachable kUnreachable[] = {
    {"LockedElsewhere", [](const std::string &) {}, EWOULDBLOCK, true},
    {"DamagedAfterTheOpen", [](const std::string &db) { write_bytes(db, edited(database(8, {1}), 16 + 4, 7)); },
     EBADMSG, false},
    {"TruncatedAfterTheOpen", [](const std::string &db) { (void)!::truncate(db.c_str(), 12); }, EBADMSG, false},
    {"ReplacedAfterTheOpen",
     [](const std::string &db) {
         write_bytes(db + ".other", database(4));
         ::rename((db + ".other").c_str(), db.c_str());
     },
     ESTALE, false},
    {"RemovedAfterTheOpen", [](const std::string &db) { ::unlink(db.c_str()); }, ESTALE, false},
};

struct Operation {
    const char *name;
    std::function<std::int32_t(ComDbHandle)> call;

    friend void PrintTo(const Operation &row, std::ostream *os) { *os << row.name; }
};

const Operation kOperations[] = {
    {"SizeQuery", [](ComDbHandle h) { return ComDBGetCurrentPortUsage(h, nullptr, 0, CDB_REPORT_BITS, &n_out); }},
    {"UsageQuery",
     [](ComDbHandle h) { return ComDBGetCurrentPortUsage(h, buffer_out, 4, CDB_REPORT_BITS, &n_out); }},
    {"Claim", [](ComDbHandle h) { return ComDBClaimNextFreePort(h, &n_out); }},
    {"Release", [](ComDbHandle h) { return ComDBReleasePort(h, 1); }},
};

class UnreachableTest : public StandInTest,
                        public ::testing::WithParamInterface<std::tuple<Unreachable, Operation>> {};

TEST_P(UnreachableTest, IsNotConnectedAndChangesNothing)
{
    const auto &[condition, operation] = GetParam();
    write_bytes(db, database(8, {1}));
    ComDbHandle handle = open_db();
    condition.arrange(db);
    const std::vector<std::uint8_t> before = read_bytes(db);
    n_out = kUntouched;
    std::fill(std::begin(buffer_out), std::end(buffer_out), 0xaa);

    Result result{};
    if (condition.locked) {
        const LockHeld lock(db);
        result = result_of([&] { return operation.call(handle); });
    } else {
        result = result_of([&] { return operation.call(handle); });
    }
    EXPECT_EQ(result.status, kNotConnected);
    EXPECT_EQ(result.error, condition.error) << std::strerror(result.error);
    EXPECT_EQ(n_out, kUntouched);
    EXPECT_EQ(std::vector<std::uint8_t>(std::begin(buffer_out), std::end(buffer_out)),
              std::vector<std::uint8_t>(4, 0xaa));
    EXPECT_EQ(read_bytes(db), before);
    EXPECT_EQ(ComDBClose(handle), 0);
}

INSTANTIATE_TEST_SUITE_P(Conditions, UnreachableTest,
                         ::testing::Combine(::testing::ValuesIn(kUnreachable), ::testing::ValuesIn(kOperations)),
                         [](const auto &test) {
                             return std::string(std::get<0>(test.param).name) + "_" +
                                    std::get<1>(test.param).name;
                         });

// An update whose write or flush fails: 1013, and the file as it was.

struct DiskFault {
    const char *name;
    Fault FaultyDisk::*call;

    friend void PrintTo(const DiskFault &row, std::ostream *os) { *os << row.name; }
};

const DiskFault kDiskFaults[] = {
    {"WriteFails", &FaultyDisk::pwrite},
    {"FlushFails", &FaultyDisk::fdatasync},
};

class DiskFaultTest : public StandInTest, public ::testing::WithParamInterface<DiskFault> {};

TEST_P(DiskFaultTest, FailedClaimLeavesTheNumberFree)
{
    write_bytes(db, database(8, {1}));
    ComDbHandle handle = open_db();
    std::uint32_t n = kUntouched;
    faulty_disk.*GetParam().call = Fault::kFail;
    const Result result = result_of([&] { return ComDBClaimNextFreePort(handle, &n); });
    faulty_disk = FaultyDisk{};
    EXPECT_EQ(result.status, kCannotWrite);
    EXPECT_EQ(result.error, EIO);
    EXPECT_EQ(n, kUntouched);
    EXPECT_EQ(read_bytes(db), database(8, {1}));
    EXPECT_EQ(ComDBClaimNextFreePort(handle, &n), 0);
    EXPECT_EQ(n, 2u) << "the number is still free";
    EXPECT_EQ(ComDBClose(handle), 0);
}

TEST_P(DiskFaultTest, FailedReleaseLeavesTheNumberClaimed)
{
    write_bytes(db, database(8, {1, 2}));
    ComDbHandle handle = open_db();
    faulty_disk.*GetParam().call = Fault::kFail;
    const Result result = result_of([&] { return ComDBReleasePort(handle, 2); });
    faulty_disk = FaultyDisk{};
    EXPECT_EQ(result.status, kCannotWrite);
    EXPECT_EQ(result.error, EIO);
    EXPECT_EQ(read_bytes(db), database(8, {1, 2}));
    std::uint32_t n = 0;
    EXPECT_EQ(ComDBClaimNextFreePort(handle, &n), 0);
    EXPECT_EQ(n, 3u) << "the number is still claimed";
    EXPECT_EQ(ComDBClose(handle), 0);
}

INSTANTIATE_TEST_SUITE_P(Faults, DiskFaultTest, ::testing::ValuesIn(kDiskFaults),
                         [](const auto &test) { return std::string(test.param.name); });

// Creating the database while others may be creating it too. The creator is
// stopped with its new file written but not yet in place, every time.

struct Creation {
    const char *name;
    bool unnamed_files;  // the file system offers unnamed files (O_TMPFILE)
    bool killed;         // the stopped creator is killed rather than let go on

    friend void PrintTo(const Creation &row, std::ostream *os) { *os << row.name; }
};

const Creation kCreations[] = {
    {"UnnamedFileLetGoOn", true, false},
    {"UnnamedFileKilled", true, true},
    {"RandomNameLetGoOn", false, false},
    {"RandomNameKilled", false, true},
};

class CreationTest : public StandInTest, public ::testing::WithParamInterface<Creation> {};

TEST_P(CreationTest, CreatorCaughtHalfWayShowsNothingAndNeverReplacesAnother)
{
    const Creation &c = GetParam();
    faulty_disk.unnamed_files = c.unnamed_files;
    faulty_disk.fsync = Fault::kStop;
    const pid_t creator = ::fork();
    if (creator == 0) {
        ComDbHandle handle = nullptr;
        std::uint32_t n = 0;
        ::_exit(ComDBOpen(&handle) == 0 && ComDBClaimNextFreePort(handle, &n) == 0 ? static_cast<int>(n) : 99);
    }
    faulty_disk.fsync = Fault::kNone;
    int status = 0;
    ASSERT_EQ(::waitpid(creator, &status, WUNTRACED), creator);
    ASSERT_TRUE(WIFSTOPPED(status));

    const std::vector<std::string> scratch = dir.names();
    EXPECT_NE(::access(db.c_str(), F_OK), 0) << "a half-made database is visible";
    if (c.unnamed_files) {
        EXPECT_TRUE(scratch.empty());
    } else {
        ASSERT_EQ(scratch.size(), 1u);
        EXPECT_EQ(scratch[0].rfind(".comdb-", 0), 0u) << scratch[0];
    }

    // Meanwhile another process creates the database and claims a number.
    ComDbHandle handle = open_db();
    std::uint32_t n = 0;
    EXPECT_EQ(ComDBClaimNextFreePort(handle, &n), 0);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(ComDBClose(handle), 0);

    ::kill(creator, c.killed ? SIGKILL : SIGCONT);
    ASSERT_EQ(::waitpid(creator, &status, 0), creator);
    std::vector<std::string> left = {"ports.db"};
    if (c.killed) {
        EXPECT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(usage(), usage_of(256, {1}));
        if (!c.unnamed_files) {
            left.push_back(scratch[0]);  // a named file cannot be taken back by the dead
        }
    } else {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << "the creator opened the other's database";
        EXPECT_EQ(usage(), usage_of(256, {1, 2}));
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(dir.names(), left);
}

INSTANTIATE_TEST_SUITE_P(Creators, CreationTest, ::testing::ValuesIn(kCreations),
                         [](const auto &test) { return std::string(test.param.name); });

// Several processes and threads at once.

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

TEST_F(StandInTest, ProcessesAndThreadsClaimingAtOnceNeverShareANumberNorLoseAnUpdate)
{
    // From an absent file, so the processes also race to create it. Each
    // thread keeps every other number it claims and releases the rest; two
    // threads of each process share one handle, one has its own.
    constexpr int kProcesses = 4;
    constexpr int kThreads = 3;
    constexpr int kRounds = 15;
    int kept[2];
    ASSERT_EQ(::pipe(kept), 0);
    const std::vector<pid_t> children = start_together(kProcesses, [&](int) {
        ComDbHandle shared = nullptr;
        ComDbHandle own = nullptr;
        if (ComDBOpen(&shared) != 0 || ComDBOpen(&own) != 0) {
            ::_exit(1);
        }
        std::atomic<bool> failed{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++) {
            threads.emplace_back([&, handle = t == 0 ? own : shared] {
                for (int round = 0; round < kRounds; round++) {
                    std::uint32_t released = 0;
                    std::uint32_t keep = 0;
                    if (ComDBClaimNextFreePort(handle, &released) != 0 ||
                        ComDBClaimNextFreePort(handle, &keep) != 0 || ComDBReleasePort(handle, released) != 0) {
                        failed = true;
                        return;
                    }
                    (void)!::write(kept[1], &keep, sizeof keep);
                }
            });
        }
        for (std::thread &thread : threads) {
            thread.join();
        }
        ::_exit(failed || ComDBClose(shared) != 0 || ComDBClose(own) != 0 ? 2 : 0);
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

    ASSERT_EQ(numbers.size(), std::size_t{kProcesses * kThreads * kRounds});
    const std::set<std::uint32_t> distinct(numbers.begin(), numbers.end());
    EXPECT_EQ(distinct.size(), numbers.size()) << "a number was handed to two claims";
    EXPECT_EQ(usage(), usage_of(256, std::vector<std::uint32_t>(distinct.begin(), distinct.end())))
        << "a claim or a release was lost";
}

TEST_F(StandInTest, ProcessKilledAtAnyMomentLeavesAValidDatabaseAndNothingElse)
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
        EXPECT_EQ(dir.names(), std::vector<std::string>{"ports.db"});
    }
}

}  // namespace

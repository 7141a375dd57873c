// The built programs against prepared stand-in databases: comenum's exact
// report, the database as it was afterwards, and exit status 0; with the
// Windows build at hand, comenum.exe runs the same table under Wine and must
// print the same report, line ends aside. Then mkcomdb.
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "db_file.h"
#include "process.h"
#include "temp_dir.h"

namespace {

const std::string kBanner = "Com port enumerator\n\n";
const std::string kPrompt = "\nPress a key!";
const std::string kOpenDenied = kBanner +
                                "Failed opening com port db, errcode 5\n"
                                "Did you run the program as Administrator?\n" +
                                kPrompt;

struct Runner {
    const char *name;
    Command (*command)(const std::string &db);

    friend void PrintTo(const Runner &row, std::ostream *os) { *os << row.name; }
};

Command native(const std::string &db)
{
    return {{COMENUM_PATH}, {"COMDB_FILE=" + db}};
}

#ifdef COMENUM_EXE_PATH
// Under Wine the database is named by its Windows path, and the stand-in
// msports.dll beside comenum.exe is loaded in place of Wine's own.
Command under_wine(const std::string &db)
{
    std::string windows_db = "Z:" + db;
    std::replace(windows_db.begin(), windows_db.end(), '/', '\\');
    return {{WINE_PATH, COMENUM_EXE_PATH},
            {"COMDB_FILE=" + windows_db, "WINEPREFIX=" WINE_PREFIX, "WINEDEBUG=-all",
             "WINEDLLOVERRIDES=mscoree,mshtml=;msports=n"}};
}
#endif

const Runner kRunners[] = {
    {"Native", native},
#ifdef COMENUM_EXE_PATH
    {"Wine", under_wine},
#endif
};

// The report with Windows line ends made plain.
std::string plain(const std::string &text)
{
    std::string lf;
    for (std::size_t i = 0; i < text.size(); i++) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            lf += text[i];
        }
    }
    return lf;
}

std::vector<std::uint8_t> every_number_in_use(std::uint32_t ports)
{
    std::vector<std::uint32_t> all(ports);
    for (std::uint32_t n = 0; n < ports; n++) {
        all[n] = n + 1;
    }
    return database(ports, all);
}

std::string listing(std::uint32_t first, std::uint32_t last)
{
    std::string text;
    for (std::uint32_t port = first; port <= last; port++) {
        text += "COM" + std::to_string(port) + " is in use\n";
    }
    return text;
}

const std::vector<std::uint8_t> kNotADatabase = {'n', 'o', 't', ' ', 'a', ' ', 'd', 'b', '\n'};

struct Database {
    const char *name;
    std::optional<std::vector<std::uint8_t>> before;  // none: no file yet
    std::string report;
    std::vector<std::uint8_t> after;

    friend void PrintTo(const Database &row, std::ostream *os) { *os << row.name; }
};

const Database kDatabases[] = {
    {"SomeNumbersInUse", database(16, {1, 3, 10, 16}),
     kBanner + "Maximum ports available: 16\n"
               "COM1 is in use\nCOM3 is in use\nCOM10 is in use\nCOM16 is in use\n"
               "Successfully claimed next free port number: 2\n"
               "Successfully released port number: 2\n" +
         kPrompt,
     database(16, {1, 3, 10, 16})},
    {"EveryNumberOf4096InUse", every_number_in_use(4096),
     kBanner + "Maximum ports available: 4096\n" + listing(1, 4096) +
         "Failed claiming next com port number, errcode 1019\n" + kPrompt,
     every_number_in_use(4096)},
    {"NotADatabase", kNotADatabase, kOpenDenied, kNotADatabase},
    {"NotYetCreated", std::nullopt,
     kBanner + "Maximum ports available: 256\n"
               "Successfully claimed next free port number: 1\n"
               "Successfully released port number: 1\n" +
         kPrompt,
     database(256)},
};

class EndToEndTest : public ::testing::TestWithParam<std::tuple<Runner, Database>> {};

TEST_P(EndToEndTest, PrintsTheReportAndLeavesTheDatabaseAsItWas)
{
    const auto &[runner, db] = GetParam();
    TempDir dir;
    const std::string path = dir.file("ports.db");
    if (db.before) {
        write_bytes(path, *db.before);
    }
    const Finished finished = run_program(runner.command(path));
    EXPECT_EQ(plain(finished.out), db.report);
    EXPECT_EQ(finished.exit_status, 0);
    EXPECT_EQ(read_bytes(path), db.after);
}

INSTANTIATE_TEST_SUITE_P(Databases, EndToEndTest,
                         ::testing::Combine(::testing::ValuesIn(kRunners), ::testing::ValuesIn(kDatabases)),
                         [](const auto &test) {
                             return std::string(std::get<0>(test.param).name) + "_" +
                                    std::get<1>(test.param).name;
                         });

class PromptTest : public ::testing::TestWithParam<Runner> {};

TEST_P(PromptTest, WholeReportIsShownBeforeTheKeyIsWaitedFor)
{
    TempDir dir;
    const std::string db = dir.file("ports.db");
    write_bytes(db, database(8, {3}));
    Conversation comenum(GetParam().command(db));
    EXPECT_EQ(plain(comenum.read_until("Press a key!", 30000)),
              kBanner + "Maximum ports available: 8\nCOM3 is in use\n"
                        "Successfully claimed next free port number: 1\n"
                        "Successfully released port number: 1\n" +
                  kPrompt);
    comenum.type("\n");
    EXPECT_EQ(comenum.exit_status(), 0);
}

INSTANTIATE_TEST_SUITE_P(Runners, PromptTest, ::testing::ValuesIn(kRunners),
                         [](const auto &test) { return std::string(test.param.name); });

// Standard streams closed at the start are never taken by the database, so
// the report cannot reach the file however long it grows.
TEST(EndToEndNativeTest, StandardStreamsClosedAtTheStartLeaveTheDatabaseAlone)
{
    for (const std::vector<int> &closed : {std::vector<int>{STDOUT_FILENO}, std::vector<int>{0, 1, 2}}) {
        TempDir dir;
        const std::string db = dir.file("ports.db");
        write_bytes(db, every_number_in_use(4096));
        HowToRun how;
        how.closed = closed;
        EXPECT_EQ(run_program(native(db), how).exit_status, 0);
        EXPECT_EQ(read_bytes(db), every_number_in_use(4096)) << closed.size() << " streams closed";
    }
}

TEST(EndToEndNativeTest, UnprivilegedUserOfASystemWideDatabaseIsAskedAboutAdministrator)
{
    // The program and its library are copied where an ordinary user may run them.
    TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    const std::string program = dir.file("comenum");
    write_bytes(program, read_bytes(COMENUM_PATH));
    write_bytes(dir.file("libmsports.so"), read_bytes(MSPORTS_PATH));
    ::chmod(program.c_str(), 0755);
    const std::string db = dir.file("ports.db");
    write_bytes(db, database(8));
    ::chmod(db.c_str(), 0444);

    HowToRun how;
    how.unprivileged = true;
    const Finished finished = run_program({{program}, {"COMDB_FILE=" + db, "LD_LIBRARY_PATH=" + dir.path()}}, how);
    EXPECT_EQ(finished.out, kOpenDenied);
    EXPECT_EQ(finished.exit_status, 0);
}

TEST(EndToEndNativeTest, DatabaseLockedByAnotherProcessIsReportedAfterAWhile)
{
    TempDir dir;
    const std::string db = dir.file("ports.db");
    write_bytes(db, database(8));
    const int holder = ::open(db.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    const Finished finished = run_program(native(db));
    ::close(holder);
    EXPECT_EQ(finished.out, kOpenDenied);
    EXPECT_EQ(finished.exit_status, 0);
}

TEST(EndToEndNativeTest, ReaderGoneBeforeTheReportStillExitsZero)
{
    TempDir dir;
    const std::string db = dir.file("ports.db");
    write_bytes(db, database(8, {1}));
    HowToRun how;
    how.no_reader = true;
    EXPECT_EQ(run_program(native(db), how).exit_status, 0);
    EXPECT_EQ(read_bytes(db), database(8, {1})) << "the claim was still released";
}

// The shared libraries a file needs, from its dynamic section.
std::vector<std::string> needed(const std::string &path)
{
    std::vector<std::string> libraries;
    if (std::FILE *dump = popen(("objdump -p '" + path + "'").c_str(), "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, dump) != nullptr) {
            char library[256];
            if (std::sscanf(line, " NEEDED %255s", library) == 1) {
                libraries.push_back(library);
            }
        }
        pclose(dump);
    }
    return libraries;
}

TEST(EndToEndNativeTest, ProgramAndLibraryLoadNoCxxRuntime)
{
#ifdef COMENUM_SANITIZE
    GTEST_SKIP() << "the sanitizers bring their own runtime";
#endif
    EXPECT_THAT(needed(COMENUM_PATH), ::testing::UnorderedElementsAre("libmsports.so", "libc.so.6"));
    EXPECT_THAT(needed(MSPORTS_PATH), ::testing::ElementsAre("libc.so.6"));
    EXPECT_THAT(needed(MKCOMDB_PATH), ::testing::ElementsAre("libc.so.6"));
}

// mkcomdb.

struct MkcomdbCase {
    const char *name;
    std::vector<std::string> args;  // after FILE
    int exit_status;
    std::vector<std::uint8_t> written;

    friend void PrintTo(const MkcomdbCase &row, std::ostream *os) { *os << row.name; }
};

const MkcomdbCase kMkcomdbCases[] = {
    {"NumbersAndRanges", {"12", "2", "5-7", "12"}, 0, database(12, {2, 5, 6, 7, 12})},
    {"Empty", {"0"}, 0, database(0)},
    {"Largest", {"4096", "1-4096"}, 0, every_number_in_use(4096)},
    {"TooManyPorts", {"4097"}, 2, {}},
    {"NumberZero", {"8", "0"}, 2, {}},
    {"BeyondTheDatabase", {"8", "9"}, 2, {}},
    {"BackwardRange", {"8", "5-3"}, 2, {}},
    {"NotANumber", {"8", "COM3"}, 2, {}},
};

class MkcomdbTest : public ::testing::TestWithParam<MkcomdbCase> {};

TEST_P(MkcomdbTest, WritesAnOwnerOnlyDatabaseOrRefusesTheArguments)
{
    TempDir dir;
    const std::string path = dir.file("ports.db");
    std::vector<std::string> argv = {MKCOMDB_PATH, path};
    argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
    EXPECT_EQ(run_program({argv, {}}).exit_status, GetParam().exit_status);
    EXPECT_EQ(read_bytes(path), GetParam().written);
    struct stat st {};
    if (GetParam().exit_status == 0 && ::stat(path.c_str(), &st) == 0) {
        EXPECT_EQ(st.st_mode & 07777, 0600u);
    }
}

INSTANTIATE_TEST_SUITE_P(Arguments, MkcomdbTest, ::testing::ValuesIn(kMkcomdbCases),
                         [](const auto &test) { return std::string(test.param.name); });

TEST(MkcomdbFileTest, ReplacesASymbolicLinkAndNeverWritesThroughIt)
{
    TempDir dir;
    const std::string victim = dir.file("victim");
    const std::vector<std::uint8_t> precious = {'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'};
    write_bytes(victim, precious);
    const std::string path = dir.file("ports.db");
    ASSERT_EQ(::symlink(victim.c_str(), path.c_str()), 0);
    EXPECT_EQ(run_program({{MKCOMDB_PATH, path, "8", "1"}, {}}).exit_status, 0);
    EXPECT_EQ(read_bytes(victim), precious);
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(read_bytes(path), database(8, {1}));
}

TEST(MkcomdbFileTest, KilledHalfWayLeavesTheOldDatabaseAndNothingElse)
{
    // Killed at its first flush to disk: the new file is written by then.
    TempDir dir;
    const std::string path = dir.file("ports.db");
    write_bytes(path, database(8, {1}));
    const Finished killed = run_program({{"/usr/bin/strace", "-o", "/dev/null", "-e", "trace=fsync", "-e",
                                          "inject=fsync:signal=SIGKILL", MKCOMDB_PATH, path, "4"},
                                         {}});
    EXPECT_EQ(killed.exit_status, -1) << "strace passes the kill on";
    EXPECT_EQ(read_bytes(path), database(8, {1}));
    EXPECT_EQ(dir.names(), std::vector<std::string>{"ports.db"});
}

}  // namespace

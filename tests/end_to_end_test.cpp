// The built comenum against prepared stand-in databases: the exact report, the
// database as it was afterwards, and exit status 0, with standard input at its
// end from the start. With the Windows build at hand, comenum.exe runs the same
// table under Wine and must print the same report, line ends aside.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "process.h"
#include "temp_dir.h"

namespace {

const std::string kBanner = "Com port enumerator\n\n";
const std::string kPrompt = "\nPress a key!";

struct Runner {
    const char *name;
    Finished (*run)(const std::string &db);

    friend void PrintTo(const Runner &row, std::ostream *os) { *os << row.name; }
};

Finished run_native(const std::string &db)
{
    return run_program({COMENUM_PATH}, {{"COMDB_FILE=" + db}});
}

#ifdef COMENUM_EXE_PATH
// Under Wine the database is named by its Windows path, and the stand-in
// msports.dll beside comenum.exe is loaded in place of Wine's own.
Finished run_under_wine(const std::string &db)
{
    std::string windows_db = "Z:" + db;
    for (char &c : windows_db) {
        c = c == '/' ? '\\' : c;
    }
    Finished finished = run_program({WINE_PATH, COMENUM_EXE_PATH},
                                    {{"COMDB_FILE=" + windows_db, "WINEPREFIX=" WINE_PREFIX,
                                      "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml=;msports=n"}});
    std::string lf;
    for (std::size_t i = 0; i < finished.out.size(); i++) {
        if (!(finished.out[i] == '\r' && i + 1 < finished.out.size() && finished.out[i + 1] == '\n')) {
            lf += finished.out[i];
        }
    }
    finished.out = lf;
    return finished;
}
#endif

const Runner kRunners[] = {
    {"Native", run_native},
#ifdef COMENUM_EXE_PATH
    {"Wine", run_under_wine},
#endif
};

struct Database {
    const char *name;
    std::optional<std::vector<std::uint8_t>> before;  // none: no file yet
    std::string report;
    std::vector<std::uint8_t> after;

    friend void PrintTo(const Database &row, std::ostream *os) { *os << row.name; }
};

const std::vector<std::uint8_t> kNotADatabase = {'n', 'o', 't', ' ', 'a', ' ', 'd', 'b', '\n'};

const Database kDatabases[] = {
    {"SomeNumbersInUse", database(16, {1, 3, 10, 16}),
     kBanner + "Maximum ports available: 16\n"
               "COM1 is in use\nCOM3 is in use\nCOM10 is in use\nCOM16 is in use\n"
               "Successfully claimed next free port number: 2\n"
               "Successfully released port number: 2\n" +
         kPrompt,
     database(16, {1, 3, 10, 16})},
    {"Full", database(4, {1, 2, 3, 4}),
     kBanner + "Maximum ports available: 4\n"
               "COM1 is in use\nCOM2 is in use\nCOM3 is in use\nCOM4 is in use\n"
               "Failed claiming next com port number, errcode 1019\n" +
         kPrompt,
     database(4, {1, 2, 3, 4})},
    {"Refused", kNotADatabase,
     kBanner + "Failed opening com port db, errcode 1009\n"
               "Did you run the program as Administrator?\n" +
         kPrompt,
     kNotADatabase},
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
    const Finished finished = runner.run(path);
    EXPECT_EQ(finished.out, db.report);
    EXPECT_EQ(finished.exit_status, 0);
    EXPECT_EQ(read_bytes(path), db.after);
}

INSTANTIATE_TEST_SUITE_P(Databases, EndToEndTest,
                         ::testing::Combine(::testing::ValuesIn(kRunners), ::testing::ValuesIn(kDatabases)),
                         [](const auto &test) {
                             return std::string(std::get<0>(test.param).name) + "_" +
                                    std::get<1>(test.param).name;
                         });

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
    how.env = {"COMDB_FILE=" + db, "LD_LIBRARY_PATH=" + dir.path()};
    how.unprivileged = true;
    const Finished finished = run_program({program}, how);
    EXPECT_EQ(finished.out, kBanner +
                                "Failed opening com port db, errcode 5\n"
                                "Did you run the program as Administrator?\n" +
                                kPrompt);
    EXPECT_EQ(finished.exit_status, 0);
}

TEST(EndToEndNativeTest, ReaderGoneBeforeTheReportStillExitsZero)
{
    TempDir dir;
    const std::string db = dir.file("ports.db");
    write_bytes(db, database(8, {1}));
    HowToRun how;
    how.env = {"COMDB_FILE=" + db};
    how.no_reader = true;
    EXPECT_EQ(run_program({COMENUM_PATH}, how).exit_status, 0);
    EXPECT_EQ(read_bytes(db), database(8, {1})) << "the claim was still released";
}

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
    {"Largest", {"4096", "1-4096"}, 0, [] {
         std::vector<std::uint8_t> full = database(4096);
         std::fill(full.begin() + comdb_format::kHeaderSize, full.end(), 1);
         return full;
     }()},
    {"TooManyPorts", {"4097"}, 2, {}},
    {"NumberZero", {"8", "0"}, 2, {}},
    {"BeyondTheDatabase", {"8", "9"}, 2, {}},
    {"BackwardRange", {"8", "5-3"}, 2, {}},
    {"NotANumber", {"8", "COM3"}, 2, {}},
};

class MkcomdbTest : public ::testing::TestWithParam<MkcomdbCase> {};

TEST_P(MkcomdbTest, WritesTheDatabaseOrRefusesTheArguments)
{
    TempDir dir;
    const std::string path = dir.file("ports.db");
    std::vector<std::string> argv = {MKCOMDB_PATH, path};
    argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
    EXPECT_EQ(run_program(argv).exit_status, GetParam().exit_status);
    EXPECT_EQ(read_bytes(path), GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(Arguments, MkcomdbTest, ::testing::ValuesIn(kMkcomdbCases),
                         [](const auto &test) { return std::string(test.param.name); });

}  // namespace

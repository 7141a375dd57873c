// The run against a scripted port database: what it prints, which operations
// it calls with which arguments, and its exit status, for every outcome.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>


#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_comdb.h"
#include "run.h"

// This test's heap refuses blocks of 1 GiB or more, as a 32-bit process's
// would, so the run's handling of a usage buffer it cannot have is testable.
// The program is linked with --wrap=malloc, so its calls come here.
extern "C" void *__real_malloc(std::size_t size);
extern "C" void *__wrap_malloc(std::size_t size)
{
    return size >= (std::size_t{1} << 30) ? nullptr : __real_malloc(size);
}

namespace {

using ::testing::ElementsAreArray;

const std::string kBanner = "Com port enumerator\n\n";
const std::string kPrompt = "\nPress a key!";
const std::string kAdministrator = "Did you run the program as Administrator?\n";

struct Outcome {
    int exit_status;
    std::string out;
    std::string out_before_the_read;  // what had reached standard output when the key was read
    std::string input_left;
    int writes;  // how many writes the report reached standard output in
};

// Standard output and input as a terminal has them: output line-buffered,
// recording what reaches it and in how many writes; input noting what output
// had received when the run first read from it.
struct Terminal {
    std::string written;
    int writes = 0;
    std::string input;
    std::size_t offset = 0;
    std::optional<std::string> written_at_first_read;
};

ssize_t write_terminal(void *cookie, const char *data, std::size_t size)
{
    auto *terminal = static_cast<Terminal *>(cookie);
    terminal->written.append(data, size);
    terminal->writes++;
    return static_cast<ssize_t>(size);
}

ssize_t read_terminal(void *cookie, char *data, std::size_t size)
{
    auto *terminal = static_cast<Terminal *>(cookie);
    if (!terminal->written_at_first_read) {
        terminal->written_at_first_read = terminal->written;
    }
    const std::size_t n = std::min(size, terminal->input.size() - terminal->offset);
    terminal->input.copy(data, n, terminal->offset);
    terminal->offset += n;
    return static_cast<ssize_t>(n);
}

// Runs against `script` with `input` waiting on standard input.
Outcome run(const FakeComDb &script, const std::string &input = "")
{
    fake_comdb = script;
    fake_comdb_calls.clear();
    Terminal terminal;
    terminal.input = input;
    std::FILE *out = fopencookie(&terminal, "w", {nullptr, write_terminal, nullptr, nullptr});
    std::FILE *in = fopencookie(&terminal, "r", {read_terminal, nullptr, nullptr, nullptr});
    std::setvbuf(out, nullptr, _IOLBF, BUFSIZ);
    const int exit_status = comenum_run(out, in);
    std::string left;
    for (int c = std::fgetc(in); c != EOF; c = std::fgetc(in)) {
        left += static_cast<char>(c);
    }
    std::fclose(in);
    std::fclose(out);
    return {exit_status, terminal.written, terminal.written_at_first_read.value_or("(never read)"), left,
            terminal.writes};
}

std::vector<std::uint8_t> in_use(std::size_t ports, std::vector<std::size_t> indices,
                                 std::uint8_t value = 1)
{
    std::vector<std::uint8_t> usage(ports, 0);
    for (std::size_t i : indices) {
        usage[i] = value;
    }
    return usage;
}

struct Case {
    const char *name;
    FakeComDb script;
    std::string report;
    std::vector<std::string> calls;

    friend void PrintTo(const Case &row, std::ostream *os) { *os << row.name; }
};

FakeComDb script(std::uint32_t max_ports, std::vector<std::uint8_t> usage, std::uint32_t claimed)
{
    FakeComDb s;
    s.max_ports = max_ports;
    s.usage = std::move(usage);
    s.claimed = claimed;
    return s;
}

template <typename Change>
FakeComDb with(FakeComDb s, Change change)
{
    change(s);
    return s;
}

const std::vector<std::string> kAllCalls16 = {"open",        "size buffer_size=0 type=0",
                                              "usage buffer_size=16 type=1",
                                              "claim tmp=0", "release 2",
                                              "close"};

const Case kCases[] = {
    {"AllSucceed",
     script(16, in_use(16, {0, 2, 9}), 2),
     kBanner + "Maximum ports available: 16\n"
               "COM1 is in use\nCOM3 is in use\nCOM10 is in use\n"
               "Successfully claimed next free port number: 2\n"
               "Successfully released port number: 2\n" +
         kPrompt,
     kAllCalls16},
    {"AnyNonzeroByteIsInUse",
     with(script(16, in_use(16, {1, 15}, 0x80), 1), [](FakeComDb &s) { s.usage[4] = 0xff; }),
     kBanner + "Maximum ports available: 16\n"
               "COM2 is in use\nCOM5 is in use\nCOM16 is in use\n"
               "Successfully claimed next free port number: 1\n"
               "Successfully released port number: 1\n" +
         kPrompt,
     {"open", "size buffer_size=0 type=0", "usage buffer_size=16 type=1", "claim tmp=0",
      "release 1", "close"}},
    {"OpenFails",
     with(script(16, {}, 2), [](FakeComDb &s) { s.open_status = 5; }),
     kBanner + "Failed opening com port db, errcode 5\n" + kAdministrator + kPrompt,
     {"open"}},
    {"OpenFailsWithNegativeCode",
     with(script(16, {}, 2), [](FakeComDb &s) { s.open_status = INT32_MIN + 0x4005; }),
     kBanner + "Failed opening com port db, errcode -2147467259\n" + kAdministrator + kPrompt,
     {"open"}},
    {"SizeQueryFails",
     with(script(16, {}, 2), [](FakeComDb &s) { s.size_status = 87; }),
     kBanner + kPrompt,
     {"open", "size buffer_size=0 type=0", "close"}},
    {"UsageQueryFails",
     with(script(16, in_use(16, {0}), 2), [](FakeComDb &s) { s.usage_status = 1009; }),
     kBanner + "Maximum ports available: 16\n"
               "Successfully claimed next free port number: 2\n"
               "Successfully released port number: 2\n" +
         kPrompt,
     kAllCalls16},
    {"ClaimFails",
     with(script(16, in_use(16, {0}), 7), [](FakeComDb &s) { s.claim_status = -5; }),
     kBanner + "Maximum ports available: 16\nCOM1 is in use\n"
               "Failed claiming next com port number, errcode -5\n" +
         kPrompt,
     {"open", "size buffer_size=0 type=0", "usage buffer_size=16 type=1", "claim tmp=0",
      "close"}},
    {"ReleaseFails",
     with(script(16, {}, 4294967295u), [](FakeComDb &s) { s.release_status = 87; }),
     kBanner + "Maximum ports available: 16\n"
               "Successfully claimed next free port number: 4294967295\n"
               "Failed releasing com port number 4294967295, errcode 87\n" +
         kPrompt,
     {"open", "size buffer_size=0 type=0", "usage buffer_size=16 type=1", "claim tmp=0",
      "release 4294967295", "close"}},
    {"CloseFails",
     with(script(16, {}, 2), [](FakeComDb &s) { s.close_status = 6; }),
     kBanner + "Maximum ports available: 16\n"
               "Successfully claimed next free port number: 2\n"
               "Successfully released port number: 2\n" +
         kPrompt,
     kAllCalls16},
    {"NoPortNumbers",
     script(0, {}, 1),
     kBanner + "Maximum ports available: 0\n"
               "Successfully claimed next free port number: 1\n"
               "Successfully released port number: 1\n" +
         kPrompt,
     {"open", "size buffer_size=0 type=0", "usage buffer_size=0 type=1", "claim tmp=0",
      "release 1", "close"}},
    {"LastPortNumberInUse",
     script(4096, in_use(4096, {4095}), 1),
     kBanner + "Maximum ports available: 4096\nCOM4096 is in use\n"
               "Successfully claimed next free port number: 1\n"
               "Successfully released port number: 1\n" +
         kPrompt,
     {"open", "size buffer_size=0 type=0", "usage buffer_size=4096 type=1", "claim tmp=0",
      "release 1", "close"}},
    {"PortNumbersOfEveryLength",
     script(1000, in_use(1000, {8, 9, 98, 99, 998, 999}), 1),
     kBanner + "Maximum ports available: 1000\n"
               "COM9 is in use\nCOM10 is in use\nCOM99 is in use\nCOM100 is in use\n"
               "COM999 is in use\nCOM1000 is in use\n"
               "Successfully claimed next free port number: 1\n"
               "Successfully released port number: 1\n" +
         kPrompt,
     {"open", "size buffer_size=0 type=0", "usage buffer_size=1000 type=1", "claim tmp=0",
      "release 1", "close"}},
    {"EveryPortOf4096InUse",
     with(script(4096, std::vector<std::uint8_t>(4096, 1), 0), [](FakeComDb &s) { s.claim_status = 1019; }),
     kBanner + "Maximum ports available: 4096\n" + [] {
         std::string listing;
         for (int port = 1; port <= 4096; port++) {
             listing += "COM" + std::to_string(port) + " is in use\n";
         }
         return listing;
     }() + "Failed claiming next com port number, errcode 1019\n" + kPrompt,
     {"open", "size buffer_size=0 type=0", "usage buffer_size=4096 type=1", "claim tmp=0", "close"}},
    {"UsageBufferCannotBeAllocated",
     script(4294967295u, {}, 3),
     kBanner + "Maximum ports available: 4294967295\n"
               "Successfully claimed next free port number: 3\n"
               "Successfully released port number: 3\n" +
         kPrompt,
     {"open", "size buffer_size=0 type=0", "claim tmp=0", "release 3", "close"}},
};

class RunTest : public ::testing::TestWithParam<Case> {};

TEST_P(RunTest, ReportsEachOutcomeAndExitsZero)
{
    const Case &c = GetParam();
    const Outcome outcome = run(c.script);
    EXPECT_EQ(outcome.out, c.report);
    EXPECT_EQ(outcome.out_before_the_read, c.report) << "the report, prompt included, is out before the wait";
    EXPECT_THAT(fake_comdb_calls, ElementsAreArray(c.calls));
    EXPECT_EQ(outcome.exit_status, 0);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, RunTest, ::testing::ValuesIn(kCases),
                         [](const auto &test) { return std::string(test.param.name); });

TEST(RunWritesTest, ReportOf4096PortsInUseReachesATerminalInAFewWrites)
{
    const Outcome outcome = run(with(script(4096, std::vector<std::uint8_t>(4096, 1), 0),
                                     [](FakeComDb &s) { s.claim_status = 1019; }));
    EXPECT_GT(outcome.out.size(), 70000u);
    EXPECT_LE(outcome.writes, 8);
}

TEST(RunPromptTest, ReadsOneCharacterAfterThePrompt)
{
    const Outcome outcome = run(script(16, {}, 2), "ab\n");
    EXPECT_EQ(outcome.exit_status, 0);
    EXPECT_EQ(outcome.input_left, "b\n");
}

}  // namespace

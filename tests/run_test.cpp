// The run against a scripted port database: what it prints, which operations
// it calls with which arguments, and its exit status, for every outcome.
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_comdb.h"
#include "run.h"

// This test's heap refuses blocks of 1 GiB or more, as a 32-bit process's
// would, so the run's handling of a usage buffer it cannot have is testable.
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept
{
    if (size >= (std::size_t{1} << 30)) {
        return nullptr;
    }
    try {
        return ::operator new[](size);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

namespace {

using ::testing::ElementsAreArray;

const std::string kBanner = "Com port enumerator\n\n";
const std::string kPrompt = "\nPress a key!";
const std::string kAdministrator = "Did you run the program as Administrator?\n";

std::string read_rest(std::FILE *file)
{
    std::string text;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        text += static_cast<char>(c);
    }
    return text;
}

std::string read_all(std::FILE *file)
{
    std::rewind(file);
    return read_rest(file);
}

struct Outcome {
    int exit_status;
    std::string out;
    std::string input_left;
};

// Runs against `script` with `input` waiting on standard input.
Outcome run(const FakeComDb &script, const std::string &input = "")
{
    fake_comdb = script;
    fake_comdb_calls.clear();
    std::FILE *out = std::tmpfile();
    std::FILE *in = std::tmpfile();
    std::fputs(input.c_str(), in);
    std::rewind(in);
    const int exit_status = comenum_run(out, in);
    Outcome outcome{exit_status, read_all(out), read_rest(in)};
    std::fclose(out);
    std::fclose(in);
    return outcome;
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
    EXPECT_THAT(fake_comdb_calls, ElementsAreArray(c.calls));
    EXPECT_EQ(outcome.exit_status, 0);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, RunTest, ::testing::ValuesIn(kCases),
                         [](const auto &test) { return std::string(test.param.name); });

TEST(RunPromptTest, ReadsOneCharacterAfterThePrompt)
{
    const Outcome outcome = run(script(16, {}, 2), "ab\n");
    EXPECT_EQ(outcome.exit_status, 0);
    EXPECT_EQ(outcome.input_left, "b\n");
}

}  // namespace

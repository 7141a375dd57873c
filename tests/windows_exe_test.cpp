// What comenum.exe carries: a 32-bit console image whose only imports beyond
// the system's own are the five port database operations from MSPORTS.DLL, a
// manifest that runs it with its caller's rights, and its version; and what
// it leaves out: no time stamp, no symbols, no debug sections.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "db_file.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::UnorderedElementsAre;

std::string objdump(const std::string &options)
{
    const std::string command = std::string(MINGW_OBJDUMP) + " " + options + " " COMENUM_EXE_PATH;
    std::string text;
    if (std::FILE *pipe = popen(command.c_str(), "r")) {
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
            text.append(chunk, n);
        }
        pclose(pipe);
    }
    return text;
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The names each imported DLL is asked for, from the listing of the import tables.
std::map<std::string, std::vector<std::string>> imports()
{
    std::map<std::string, std::vector<std::string>> by_dll;
    std::istringstream listing(objdump("-p"));
    std::string dll;
    for (std::string line; std::getline(listing, line);) {
        const auto at = line.find("DLL Name: ");
        if (at != std::string::npos) {
            dll = lower(line.substr(at + 10));
            by_dll[dll];
        } else if (line.empty()) {
            dll.clear();
        } else if (!dll.empty() && line.find("Hint/Ord") == std::string::npos) {
            by_dll[dll].push_back(line.substr(line.find_last_of(" \t") + 1));
        }
    }
    return by_dll;
}

TEST(WindowsExeTest, IsA32BitConsoleProgram)
{
    EXPECT_THAT(objdump("-f"), HasSubstr("file format pei-i386"));
    EXPECT_THAT(objdump("-p"), HasSubstr("(Windows CUI)"));
}

TEST(WindowsExeTest, ImportsTheFiveOperationsFromMsportsByName)
{
    EXPECT_THAT(imports()["msports.dll"],
                UnorderedElementsAre("ComDBOpen", "ComDBClose", "ComDBGetCurrentPortUsage",
                                     "ComDBClaimNextFreePort", "ComDBReleasePort"));
}

TEST(WindowsExeTest, NeedsNoDllBeyondTheSystemsAndMsports)
{
    const auto by_dll = imports();
    ASSERT_TRUE(by_dll.count("kernel32.dll")) << "the import tables were not read";
    for (const auto &[dll, names] : by_dll) {
        EXPECT_TRUE(dll == "kernel32.dll" || dll == "msvcrt.dll" || dll == "msports.dll")
            << dll << " would have to ship beside the program";
    }
}

TEST(WindowsExeTest, CarriesTheManifestAsResourceOne)
{
    const std::vector<std::uint8_t> bytes = read_bytes(MANIFEST_PATH);
    const std::string manifest(bytes.begin(), bytes.end());
    ASSERT_THAT(manifest, HasSubstr("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"));

    // Type 24 (a manifest), name 1 (the one the loader reads), of the manifest's size.
    char size[16];
    std::snprintf(size, sizeof size, "Size: 0x%06zx", manifest.size());
    const std::string listing = objdump("-p");
    const auto type = listing.find("Entry: ID: 0x000018");
    ASSERT_NE(type, std::string::npos) << "no manifest resource";
    const auto name = listing.find("Entry: ID: 0x000001", type);
    const auto leaf = listing.find("Leaf: ", name);
    ASSERT_NE(leaf, std::string::npos);
    EXPECT_THAT(listing.substr(leaf, listing.find('\n', leaf) - leaf), HasSubstr(size));

    const std::vector<std::uint8_t> exe = read_bytes(COMENUM_EXE_PATH);
    EXPECT_NE(std::search(exe.begin(), exe.end(), bytes.begin(), bytes.end()), exe.end())
        << "the manifest is not in the image word for word";
}

// The strings of the version resource, as Properties, Details shows them.
TEST(WindowsExeTest, CarriesItsVersionForPropertiesDetails)
{
    const std::vector<std::uint8_t> exe = read_bytes(COMENUM_EXE_PATH);
    const auto utf16 = [](const std::string &text) {
        std::vector<std::uint8_t> wide;
        for (char c : text) {
            wide.push_back(static_cast<std::uint8_t>(c));
            wide.push_back(0);
        }
        return wide;
    };
    const std::pair<std::string, std::string> strings[] = {
        {"FileVersion", COMENUM_VERSION},
        {"ProductVersion", COMENUM_VERSION},
        {"ProductName", "comenum"},
        {"FileDescription", "COM port database enumerator"},
        {"LegalCopyright", "Copyright (c) 2026 The comenum authors"},
        {"OriginalFilename", "comenum.exe"},
    };
    for (const auto &[name, value] : strings) {
        // The name, its terminator and padding to 32 bits, then the value.
        const std::vector<std::uint8_t> key = utf16(name);
        auto at = std::search(exe.begin(), exe.end(), key.begin(), key.end());
        ASSERT_NE(at, exe.end()) << name;
        at += static_cast<long>(key.size());
        while (at != exe.end() && *at == 0) {
            at++;
        }
        const std::vector<std::uint8_t> expected = utf16(value);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), at)) << name << " is not " << value;
    }
}

TEST(WindowsExeTest, IsTerminalServerAwareWithoutTimeStampOrSymbols)
{
    // The link time stamp is the second word of the COFF header, which
    // follows the "PE\0\0" signature that the word at 0x3c points to.
    const std::vector<std::uint8_t> exe = read_bytes(COMENUM_EXE_PATH);
    const auto u32 = [&](std::size_t at) {
        return at + 4 <= exe.size() ? static_cast<std::uint32_t>(exe[at] | exe[at + 1] << 8 | exe[at + 2] << 16 |
                                                                 exe[at + 3] << 24)
                                    : 0xffffffffu;
    };
    const std::uint32_t pe = u32(0x3c);
    ASSERT_EQ(u32(pe), 0x00004550u) << "no PE signature";
    EXPECT_EQ(u32(pe + 8), 0u) << "a link time stamp";

    EXPECT_THAT(objdump("-p"), HasSubstr("TERMINAL_SERVICE_AWARE"));
    EXPECT_THAT(objdump("-t"), Not(HasSubstr("[  0]"))) << "the symbol table ships";
    EXPECT_THAT(objdump("-h"), Not(HasSubstr(".debug"))) << "debug sections ship";
}

}  // namespace

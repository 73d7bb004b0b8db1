// Fuzz findings and seeds replayed through the paths the fuzz targets drive
// (fuzz/FuzzTargets.h), with the same invariant checks.
//
// inputs/<target>/<name>: inputs that once crashed or broke an invariant;
// each is listed below with the fault it found, so that the file is never
// mistaken for noise.
#include "fuzz/FuzzChecks.h"
#include "fuzz/FuzzTargets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Run = std::string (*)(const std::uint8_t*, std::size_t);

// Input file -> the fault it found (file, what went wrong, how it was fixed).
struct Finding {
    const char* file;
    const char* fault;
};
const std::vector<Finding> kFindings = {
    {"text_line_over_32767",
     "component/uHostFieldExtract.cpp ShowTextRecord: a text line of 40000 characters got Len -25536 "
     "(16-bit wrap); such a line now goes on in further records"},
};

std::vector<fs::path> FilesIn(const fs::path& dir)
{
    std::vector<fs::path> files;
    if (fs::is_directory(dir))
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.is_regular_file())
                files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::uint8_t> ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string FaultOf(const fs::path& path)
{
    for (const auto& f : kFindings)
        if (path.filename() == f.file)
            return f.fault;
    return "seed";
}

// Replays every saved input of the target; returns how many there were.
std::size_t Replay(const std::string& target, Run run)
{
    const fs::path root = TN_SOURCE_DIR;
    std::size_t count = 0;
    for (const auto& dir : {root / "tests" / "fuzz_regress" / "inputs" / target, root / "fuzz" / "corpus" / target}) {
        for (const auto& file : FilesIn(dir)) {
            SCOPED_TRACE(file.string() + " (" + FaultOf(file) + ")");
            const auto data = ReadFile(file);
            EXPECT_EQ(run(data.data(), data.size()), "");
            ++count;
        }
    }
    return count;
}

TEST(FuzzRegress, ProfileReaderKeepsItsInvariants) { EXPECT_GT(Replay("profile", tnfuzz::RunProfile), 0u); }

TEST(FuzzRegress, TranslationTableLoaderKeepsItsInvariants) { EXPECT_GT(Replay("table", tnfuzz::RunTable), 0u); }

TEST(FuzzRegress, DataStreamKeepsItsInvariants) { EXPECT_GT(Replay("stream", tnfuzz::RunStream), 0u); }

#if TN_FUZZ_RECEIVE
TEST(FuzzRegress, ReceivePathKeepsItsInvariants) { EXPECT_GT(Replay("receive", tnfuzz::RunReceive), 0u); }
#endif

// The checks must see a fault when there is one: a harness that accepts
// everything would make every fuzz run look clean.
TEST(FuzzRegress, ChecksSeeBrokenScreensAndOutput)
{
    struct Case {
        const char* name;
        void (*spoil)(TOrvTn3270display&);
    };
    const Case cases[] = {
        {"write beyond the screen",  // in the planes of a larger alternate size, past the size in use
         [](TOrvTn3270display& d) {
             d.SetScreenSizes(kDefaultScreenSize, {32, 80});
             d.Chars[1920] = 'A';
         }},
        {"marker without Formatted", [](TOrvTn3270display& d) { d.Chars[10] = TOrvTndisplay::kFieldMarker; }},
        {"position outside its field's attribute",
         [](TOrvTn3270display& d) {
             d.insertFA(10, 0x20);
             d.Attrs[500] &= static_cast<std::uint8_t>(~TOrvTndisplay::kAttrProtected);
         }},
        {"cursor outside the screen", [](TOrvTn3270display& d) { d.CursorPosition = 1920; }},
    };
    for (const auto& c : cases) {
        TOrvTn3270display d(0, 24, 80);
        EXPECT_EQ(tnfuzz::CheckScreen(d), "");
        c.spoil(d);
        EXPECT_NE(tnfuzz::CheckScreen(d), "") << c.name;
    }
    EXPECT_EQ(tnfuzz::CheckTelnetOutput({0xC1, 0xFF, 0xFF, 0xFF, 0xEF, 0xFF, 0xFB, 0x18}), "");
    EXPECT_NE(tnfuzz::CheckTelnetOutput({0xC1, 0xFF, 0xC1, 0xFF, 0xEF}), "");            // undoubled data 0xFF
    EXPECT_NE(tnfuzz::CheckTelnetOutput({0xFF, 0xFA, 0x18, 0x00, 0x41, 0xFF}), "");      // no IAC SE
}

}  // namespace

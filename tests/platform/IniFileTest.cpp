// The profile-file reader behind "Telnet.ini" and the translation tables:
// names match in any case, what is missing gives the caller's default, and
// CR LF and LF read alike.
#include "platform/uIniFile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kProfile =
    "; comment\r\n"
    "orphan=ignored before any section\r\n"
    "[TN3270]\r\n"
    "LogLevel=3\r\n"
    "  LogDir = /var/log/tn  \r\n"
    "Empty=\r\n"
    "NotNumber=12a\r\n"
    "Hex=$1F\r\n"
    "Negative=-7\r\n"
    "Huge=99999999999\r\n"
    "Doubled=--6\r\n"
    "SignPair=+-6\r\n"
    "HexSign=$-6\r\n"
    "Quoted=\"C:/log dir\"\r\n"
    "QuotedNumber=\"4\"\r\n"
    "HalfQuoted=\"open\r\n"
    "InnerQuotes=a \"b\" c\r\n"
    "TwoPairs=\"\"x\"\"\r\n"
    "LogLevel=9\r\n"  // a repeated key: the first one counts
    "[Ascii-To-Ebcdic]\n"
    "41=C1\n"
    "# another comment\n"
    "no equals sign here\n";

TEST(IniFile, LooksUpSectionsAndKeysWithoutRegardToCase)
{
    const TIniFile ini = TIniFile::FromText(kProfile);
    struct Row {
        const char* section;
        const char* key;
        const char* expected;
    } rows[] = {
        {"TN3270", "LogDir", "/var/log/tn"},
        {"tn3270", "LOGDIR", "/var/log/tn"},
        {"ascii-to-ebcdic", "41", "C1"},
        {"TN3270", "Empty", ""},              // present but empty: empty, not the default
        {"TN3270", "Missing", "default"},
        {"Nowhere", "LogDir", "default"},
        {"", "orphan", "default"},            // a key before any section belongs to none
        {"TN3270", "Quoted", "C:/log dir"},   // one pair of enclosing quotes is removed
        {"TN3270", "HalfQuoted", "\"open"},
        {"TN3270", "InnerQuotes", "a \"b\" c"},
        {"TN3270", "TwoPairs", "\"x\""},
    };
    for (const Row& r : rows)
        EXPECT_EQ(ini.ReadString(r.section, r.key, "default"), r.expected) << r.section << "/" << r.key;
    EXPECT_TRUE(ini.SectionExists("TN3270"));
    EXPECT_FALSE(ini.SectionExists("TN5250"));
    EXPECT_TRUE(ini.ValueExists("tn3270", "empty"));
}

TEST(IniFile, IntegersFallBackToTheDefaultWhenNotANumber)
{
    const TIniFile ini = TIniFile::FromText(kProfile);
    struct Row {
        const char* key;
        std::int32_t expected;
    } rows[] = {
        {"LogLevel", 3}, {"Empty", -1},    {"NotNumber", -1}, {"Hex", 31},
        {"Negative", -7}, {"Huge", -1},    {"LogDir", -1},    {"Missing", -1},
        // One sign at most: "--6" once read as 6 (and a level of 6 dumps everything).
        {"Doubled", -1},  {"SignPair", -1}, {"HexSign", -1},  {"QuotedNumber", 4},
    };
    for (const Row& r : rows)
        EXPECT_EQ(ini.ReadInteger("TN3270", r.key, -1), r.expected) << r.key;
}

TEST(IniFile, ReadsRealFilesAndTreatsAMissingOneAsEmpty)
{
    const std::string path = std::filesystem::temp_directory_path() / ("tn_ini_" + std::to_string(::getpid()) + ".ini");
    {
        std::ofstream out(path, std::ios::binary);
        out << kProfile;
        // Longer than one read piece: the key at the end must still be found.
        out << "[Padding]\n";
        for (int i = 0; i < 2000; ++i)
            out << "k" << i << "=value number " << i << "\n";
        out << "[Last]\nKey=found\n";
    }
    EXPECT_TRUE(FileExists(path));
    const TIniFile ini(path);
    EXPECT_EQ(ini.ReadInteger("TN3270", "LogLevel", 0), 3);
    EXPECT_EQ(ini.ReadString("Padding", "k1999", ""), "value number 1999");
    EXPECT_EQ(ini.ReadString("LAST", "key", ""), "found");
    std::remove(path.c_str());

    EXPECT_FALSE(FileExists(path));
    EXPECT_FALSE(FileExists(std::filesystem::temp_directory_path()));  // a directory is no file
    const TIniFile missing(path);
    EXPECT_EQ(missing.ReadString("TN3270", "LogDir", "d"), "d");
    EXPECT_EQ(missing.ReadInteger("TN3270", "LogLevel", 5), 5);
}

// A FIFO named like the profile (or any file that is not a regular one)
// would block a plain open until a writer appears: the load must go on.
TEST(IniFile, AFifoIsNoProfileAndDoesNotHangTheRead)
{
    const std::string path = std::filesystem::temp_directory_path() / ("tn_fifo_" + std::to_string(::getpid()) + ".ini");
    std::remove(path.c_str());
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    const TIniFile ini(path);  // returns: no writer needed
    EXPECT_EQ(ini.ReadInteger("TN3270", "LogLevel", 7), 7);
    EXPECT_FALSE(FileExists(path));
    std::remove(path.c_str());
}

} // namespace

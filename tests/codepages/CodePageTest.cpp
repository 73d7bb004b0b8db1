// The built-in code pages. Expected values come from outside the tables:
// the generator run again, iconv asked at test time (through UTF-32, not
// the generator's direct conversion), and letters taken from the code page
// charts as constants.
#include "component/uTn3270E.h"
#include "config/uOrvTnGlbl.h"
#include "log/uOrvIntfLogg.h"
#include "stream/uCodePages.h"
#include "stream/uOrvTn3270stream.h"
#include "stream/uOrvTnConsts.h"
#include "gen/uCodePageGen.h"

#include <gtest/gtest.h>

#include <iconv.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Table = std::array<std::uint8_t, 256>;

// One byte of `from` as a Unicode code point, through iconv; nothing when
// iconv has no character for it.
std::optional<std::uint32_t> ToUnicode(const char* from, std::uint8_t byte)
{
    iconv_t cd = iconv_open("UTF-32LE", from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    char in = static_cast<char>(byte);
    unsigned char out[8] = {};
    char* ip = &in;
    char* op = reinterpret_cast<char*>(out);
    std::size_t il = 1, ol = sizeof out;
    const bool ok = iconv(cd, &ip, &il, &op, &ol) != static_cast<std::size_t>(-1) && ol == sizeof out - 4;
    iconv_close(cd);
    if (!ok)
        return std::nullopt;
    return out[0] | (out[1] << 8) | (out[2] << 16) | (static_cast<std::uint32_t>(out[3]) << 24);
}

// code point -> byte of one single-byte set, built from ToUnicode.
std::map<std::uint32_t, std::uint8_t> Inverse(const char* set)
{
    std::map<std::uint32_t, std::uint8_t> m;
    for (int b = 0; b < 256; ++b)
        if (const auto u = ToUnicode(set, static_cast<std::uint8_t>(b)))
            m.emplace(*u, static_cast<std::uint8_t>(b));
    return m;
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct TempDir {
    fs::path path;
    TempDir()
    {
        char tmpl[] = "/tmp/tn_codepages_XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string Logs(const char* extension) const
    {
        std::string all;
        for (const auto& e : fs::directory_iterator(path))
            if (e.path().extension() == extension)
                all += ReadFile(e.path());
        return all;
    }
};

// ---- The tables themselves ----------------------------------------------------

TEST(CodePageTables, CheckedInFileIsWhatTheGeneratorWrites)
{
    std::string error;
    const auto generated = CodePageTablesSource(error);
    ASSERT_TRUE(generated) << error;
    const std::string checkedIn = ReadFile(fs::path(TN_SOURCE_DIR) / "stream" / "uCodePageTables.cpp");
    EXPECT_TRUE(*generated == checkedIn) << "stream/uCodePageTables.cpp differs from what iconv gives today: "
                                            "run scripts/gen-codepages";
}

TEST(CodePageTables, EveryCommonPageIsThereByName)
{
    for (const int n : {37, 273, 277, 278, 280, 284, 285, 297, 500, 871, 1047, 1140, 1141, 1142, 1143, 1144, 1145,
                        1146, 1147, 1148, 1149}) {
        char name[16];
        std::snprintf(name, sizeof name, "cp%03d", n);
        const TCodePage* page = FindCodePage(name);
        ASSERT_NE(page, nullptr) << name;
        EXPECT_EQ(page->name, name);
        EXPECT_EQ(page->number, n);
    }
    EXPECT_EQ(FindCodePage("cp37"), FindCodePage("CP0037"));
    for (const char* notPages : {"cp", "cp9999", "cp1150", "cp037x", "037", "cp-37", "cp99999999999999999999", ""})
        EXPECT_EQ(FindCodePage(notPages), nullptr) << notPages;
    EXPECT_TRUE(IsCodePageName("cp9999"));
    EXPECT_FALSE(IsCodePageName("cp1141.tbl"));
    EXPECT_FALSE(IsCodePageName("table"));
}

// Every character the code page and Windows-1252 share goes both ways
// unchanged; what one side lacks becomes SUB; nothing becomes 0x00 or 0x01.
TEST(CodePageTables, SharedCharactersRoundTripAsIconvSays)
{
    const auto cp1252 = Inverse("CP1252");
    for (const TCodePage& page : BuiltInCodePages()) {
        SCOPED_TRACE(std::string(page.name));
        const std::string iconvName(page.iconvName);
        auto host = Inverse(iconvName.c_str());
        ASSERT_EQ(host.size(), 256u) << "every code of an EBCDIC page is a Unicode character";
        // The bracket page is code page 37 with the square brackets at AD
        // and BD and the two characters there at BA and BB.
        if (page.name == "bracket")
            for (auto& [u, e] : host)
                e = e == 0xAD ? 0xBA : e == 0xBA ? 0xAD : e == 0xBD ? 0xBB : e == 0xBB ? 0xBD : e;
        const Table& e2a = *page.ebcToAsc;
        const Table& a2e = *page.ascToEbc;
        int shared = 0;
        for (const auto& [u, e] : host) {
            const auto it = cp1252.find(u);
            if (it == cp1252.end()) {
                EXPECT_EQ(e2a[e], kLocalSub) << "host code " << int(e);
                continue;
            }
            const std::uint8_t a = it->second;
            if (a <= 0x01) {  // the screen's null and field attribute marker
                EXPECT_EQ(e2a[e], 0x20);
                continue;
            }
            ++shared;
            EXPECT_EQ(e2a[e], a) << "host code " << int(e);
            EXPECT_EQ(a2e[a], e) << "local code " << int(a);
        }
        for (const auto& [u, a] : cp1252) {
            if (!host.count(u)) {
                EXPECT_EQ(a2e[a], kEbcdicSub) << "local code " << int(a);
            }
        }
        EXPECT_GE(shared, 190);
        for (int e = 0; e < 256; ++e)
            EXPECT_GT(e2a[static_cast<std::size_t>(e)], 0x01) << "host code " << e;
    }
}

TEST(CodePageTables, NationalLettersAndTheEuroWhereTheChartsPutThem)
{
    struct Letter {
        const char* page;
        std::uint8_t local;  // Windows-1252
        std::uint8_t host;
    };
    const Letter letters[] = {
        {"cp273", 0xC4, 0x4A}, {"cp273", 0xD6, 0xE0}, {"cp273", 0xDC, 0x5A}, {"cp273", 0xDF, 0xA1},   // Ä Ö Ü ß
        {"cp273", 0xE4, 0xC0}, {"cp273", 0xF6, 0x6A}, {"cp273", 0xFC, 0xD0}, {"cp273", 0xA4, 0x9F},   // ä ö ü ¤
        {"cp1141", 0xC4, 0x4A}, {"cp1141", 0xDF, 0xA1}, {"cp1141", 0x80, 0x9F},                       // Ä ß €
        {"cp297", 0xE9, 0xC0}, {"cp297", 0xE8, 0xD0}, {"cp297", 0xE7, 0xE0}, {"cp297", 0xE0, 0x7C},   // é è ç à
        {"cp1147", 0xE9, 0xC0}, {"cp1147", 0x80, 0x9F},                                              // é €
        {"cp277", 0xC6, 0x7B}, {"cp277", 0xD8, 0x7C}, {"cp277", 0xC5, 0x5B},                         // Æ Ø Å
        {"cp1142", 0xC6, 0x7B}, {"cp1142", 0x80, 0x5A},                                              // Æ €
        {"cp037", 0xC4, 0x63}, {"cp037", 0x5B, 0xBA}, {"cp037", 0x5D, 0xBB}, {"cp1140", 0x80, 0x9F},  // Ä [ ] €
    };
    for (const auto& l : letters) {
        const TCodePage* page = FindCodePage(l.page);
        ASSERT_NE(page, nullptr);
        EXPECT_EQ((*page->ascToEbc)[l.local], l.host) << l.page << " local " << int(l.local);
        EXPECT_EQ((*page->ebcToAsc)[l.host], l.local) << l.page << " host " << int(l.host);
    }
    // No euro in the pages before it came; no ¤ in the pages that put it there.
    EXPECT_EQ((*FindCodePage("cp037")->ascToEbc)[0x80], kEbcdicSub);
    EXPECT_EQ((*FindCodePage("cp1141")->ascToEbc)[0xA4], kEbcdicSub);
}

// ---- Choosing a table by name ---------------------------------------------------

struct ChosenByName : ::testing::Test {
    TempDir dir;
    std::string savedTable = gAETableFile;
    std::string savedLogDir = gLogDir;
    std::string savedModulePath = gModulePath;
    void SetUp() override
    {
        gLogDir = dir.path.string();
        gModulePath = dir.path.string() + "/";
        SetLogging(1);
    }
    void TearDown() override
    {
        SetLogging(0);
        gAETableFile = savedTable;
        gLogDir = savedLogDir;
        gModulePath = savedModulePath;
    }
};

TEST_F(ChosenByName, StreamTakesCodePagesAndKeepsItsTableOnAnUnknownName)
{
    TOrvTn3270stream s(0, 24, 80);
    EXPECT_EQ(s.Asc2Ebc('['), 0xAD);  // the built-in default table
    s.SetTableName("CP01141");
    EXPECT_EQ(s.TableName, "CP01141");  // read back as set
    EXPECT_EQ(s.AscToEbc, *FindCodePage("cp1141")->ascToEbc);
    EXPECT_EQ(s.EbcToAsc, *FindCodePage("cp1141")->ebcToAsc);

    EXPECT_THROW(s.SetTableName("cp1150"), ECodePageError);
    EXPECT_EQ(s.TableName, "CP01141");
    EXPECT_EQ(s.AscToEbc, *FindCodePage("cp1141")->ascToEbc);
    try {
        s.SetTableName("cp42");
    } catch (const ECodePageError& e) {
        EXPECT_NE(std::string(e.what()).find("unknown code page cp42 (known: cp037 cp273"), std::string::npos) << e.what();
    }
    SetLogging(0);
    EXPECT_NE(dir.Logs(".SYS").find("Conversion table not changed: unknown code page cp1150"), std::string::npos)
        << dir.Logs(".SYS");

    // Any other name is still a table file; an empty one the default table.
    std::ofstream(dir.path / "cp1141.tbl") << "[Ebcdic-To-Ascii]\nC1=5A\n";
    s.SetTableName("cp1141.tbl");
    EXPECT_EQ(s.Ebc2Asc(0xC1), 'Z');
    s.SetTableName("");
    EXPECT_EQ(s.AscToEbc, asc2ebc);
}

TEST_F(ChosenByName, TelnetIniKeyNamesTheCodePageOfEveryNewSession)
{
    gAETableFile = "cp297";
    TOrvTn3270stream s(0, 24, 80);
    EXPECT_EQ(s.TableName, "cp297");
    EXPECT_EQ(s.Ebc2Asc(0xC0), 0xE9);  // é

    gAETableFile = "cp2970";  // a typo: the session comes up on the default table, and the log says why
    TOrvTn3270stream typo(0, 24, 80);
    EXPECT_EQ(typo.TableName, "");
    EXPECT_EQ(typo.EbcToAsc, ebc2asc);
    SetLogging(0);
    EXPECT_NE(dir.Logs(".SYS").find("unknown code page cp2970"), std::string::npos);
}

TEST_F(ChosenByName, ComponentPropertyReadsBackAndRefusesUnknownPages)
{
    TTn3270E tn;
    EXPECT_EQ(tn.GetConversionTable(), "");
    tn.SetConversionTable("cp1142");
    EXPECT_EQ(tn.GetConversionTable(), "cp1142");
    EXPECT_THROW(tn.SetConversionTable("cp1"), ECodePageError);
    EXPECT_EQ(tn.GetConversionTable(), "cp1142");
    auto guard = tn.Lock();
    EXPECT_EQ(tn.Tn3270Stream().Asc2Ebc(0x80), 0x5A);  // € of 1142
}

// The table-file form of every code page loads back to the same tables.
TEST_F(ChosenByName, TableFileTextLoadsBackToTheSameTables)
{
    TOrvTn3270stream s(0, 24, 80);
    for (const TCodePage& page : BuiltInCodePages()) {
        const fs::path file = dir.path / (std::string(page.name) + ".ini");
        std::ofstream(file, std::ios::binary) << TableFileText(*page.ascToEbc, *page.ebcToAsc, "test");
        s.SetTableName(file.string());
        EXPECT_EQ(s.AscToEbc, *page.ascToEbc) << page.name;
        EXPECT_EQ(s.EbcToAsc, *page.ebcToAsc) << page.name;
    }
}

// National letters a host writes come back in a Read Buffer as the same bytes.
TEST_F(ChosenByName, HostBytesComeBackUnchangedThroughTheScreen)
{
    for (const char* name : {"cp273", "cp1141", "cp297", "cp1147", "cp277", "cp1142", "cp037", "cp500"}) {
        SCOPED_TRACE(name);
        TOrvTn3270stream s(0, 24, 80);
        s.SetTableName(name);
        std::vector<std::uint8_t> sent;
        s.OnWriteData = [&](const void* data, std::int32_t len) {
            const auto* p = static_cast<const std::uint8_t*>(data);
            sent.assign(p, p + len);
        };
        // Every host code that is a character in both sets, written at 0.
        std::vector<std::uint8_t> record = {0xF5, 0xC3};
        std::vector<std::uint8_t> written;
        for (int e = 0x40; e < 0x100; ++e) {
            const auto u = ToUnicode(FindCodePage(name)->iconvName.data(), static_cast<std::uint8_t>(e));
            if (u && (*u >= 0xA0 || (*u >= 0x20 && *u < 0x7F)))
                written.push_back(static_cast<std::uint8_t>(e));
        }
        record.insert(record.end(), written.begin(), written.end());
        s.AddBuffer(record.data(), static_cast<std::int32_t>(record.size()));
        s.ProcessData();
        s.readBufferCommand();
        ASSERT_GE(sent.size(), 3 + written.size());
        EXPECT_EQ(std::vector<std::uint8_t>(sent.begin() + 3, sent.begin() + 3 + static_cast<long>(written.size())),
                  written);
    }
}

// ---- Graphic escape ---------------------------------------------------------------

// A modified field holding line drawing is read back with its GE bytes; an
// edit that leaves those positions alone keeps them, one that overwrites
// them sends the new characters.
TEST(GraphicEscapeRead, ReadModifiedSendsGeBytesUntilOverwritten)
{
    TOrvTn3270stream s(0, 24, 80);
    std::vector<std::uint8_t> sent;
    s.OnWriteData = [&](const void* data, std::int32_t len) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        sent.assign(p, p + len);
    };
    // EW; SF unprotected + MDT at 0; GE A2, GE 85, 'A'; SF protected at 10.
    const std::uint8_t record[] = {0xF5, 0xC3, 0x1D, 0xC1, 0x08, 0xA2, 0x08, 0x85, 0xC1, 0x11, 0x40, 0x4A, 0x1D, 0x60};
    s.AddBuffer(record, sizeof record);
    s.ProcessData();
    EXPECT_EQ(s.Screen().Chars[1], '-');
    EXPECT_EQ(s.Screen().Chars[2], '|');
    s.Aid = 0x7D;
    s.Screen().SetCursorPosition(0);
    s.readModifiedCommand();
    const std::vector<std::uint8_t> modified = {0x7D, 0x40, 0x40, 0x11, 0x40, 0xC1, 0x08, 0xA2, 0x08, 0x85, 0xC1};
    EXPECT_EQ(sent, modified);

    s.Screen().putField(1, 9, "-|AB");  // the line drawing as the records show it, and a new letter
    s.readModifiedCommand();
    const std::vector<std::uint8_t> edited = {0x7D, 0x40, 0x40, 0x11, 0x40, 0xC1, 0x08, 0xA2, 0x08, 0x85, 0xC1, 0xC2};
    EXPECT_EQ(sent, edited);

    s.Screen().putField(1, 9, "x|AB");  // an ordinary character over the horizontal line
    s.readModifiedCommand();
    const std::vector<std::uint8_t> overwritten = {0x7D, 0x40, 0x40, 0x11, 0x40, 0xC1, 0xA7, 0x08, 0x85, 0xC1, 0xC2};
    EXPECT_EQ(sent, overwritten);

    // Erasing and clearing forget the graphic escapes too.
    const std::uint8_t eau[] = {0x6F};
    s.AddBuffer(eau, sizeof eau);
    s.ProcessData();
    EXPECT_EQ(s.Screen().GeCodes[2], 0);
}

}  // namespace

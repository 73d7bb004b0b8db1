// Data stream behaviour that scripts do not express well: translation table
// files, address coding, the input bound, the worst-case reply, records
// re-fed split at every position, and hostile input under the sanitizers.
#include "StreamScript.h"

#include "config/uOrvTnGlbl.h"
#include "log/uOrvIntfLogg.h"
#include "stream/uOrvTn3270Consts.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace {

namespace fs = std::filesystem;

Bytes Record(const std::string& hex) { return Hex(hex); }

// ---- Translation tables ---------------------------------------------------

struct TableFiles : ::testing::Test {
    fs::path dir;
    std::string savedModulePath = gModulePath;
    std::string savedTable = gAETableFile;

    void SetUp() override
    {
        char tmpl[] = "/tmp/tn_stream_tables_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        gModulePath = dir.string() + "/";
    }
    void TearDown() override
    {
        gModulePath = savedModulePath;
        gAETableFile = savedTable;
        fs::remove_all(dir);
    }
    void Write(const std::string& name, const std::string& text)
    {
        std::ofstream(dir / name, std::ios::binary) << text;
    }
};

TEST(Translation, DefaultTables)
{
    StreamHarness h;
    auto& s = h.stream;
    EXPECT_EQ(s.Asc2Ebc('A'), 0xC1);
    EXPECT_EQ(s.Asc2Ebc('['), 0xAD);
    EXPECT_EQ(s.Asc2Ebc('^'), 0x60);
    EXPECT_EQ(s.Ebc2Asc(0xC1), 'A');
    EXPECT_EQ(s.Ebc2Asc(0x00), 0x20);
    EXPECT_EQ(s.Ebc2Asc(0x1C), '*');
    EXPECT_EQ(s.Ebc2Asc(0x1E), ';');
    EXPECT_EQ(s.Ebc2Asc(0xFF), '-');
    for (int c = 0; c < 256; ++c)
        ASSERT_GT(s.Ebc2Asc(static_cast<std::uint8_t>(c)), 0x01) << c;
}

TEST_F(TableFiles, FileRules)
{
    Write("tab.txt",
          "[ascii-to-EBCDIC]\r\n"
          "41=C2\r\n"
          "42=C\r\n"      // one character: identity
          "43=C3C\r\n"    // three characters: identity
          "44=ZZ\r\n"     // not hexadecimal: identity
          "4a=d1\r\n"     // keys and digits in either case
          "[Ebcdic-To-Ascii]\n"
          "C1=01\n"       // would be the field attribute marker
          "C2=00\n"       // would be a null
          "C3=61\n");
    StreamHarness h;
    auto& s = h.stream;
    s.SetTableName("tab.txt");
    EXPECT_EQ(s.TableName, "tab.txt");
    EXPECT_EQ(s.Asc2Ebc(0x41), 0xC2);
    EXPECT_EQ(s.Asc2Ebc(0x42), 0x42);
    EXPECT_EQ(s.Asc2Ebc(0x43), 0x43);
    EXPECT_EQ(s.Asc2Ebc(0x44), 0x44);
    EXPECT_EQ(s.Asc2Ebc(0x4A), 0xD1);
    EXPECT_EQ(s.Asc2Ebc(0x5B), 0x5B);  // not listed: identity, not the default
    EXPECT_EQ(s.Ebc2Asc(0xC1), 0x20);
    EXPECT_EQ(s.Ebc2Asc(0xC2), 0x20);
    EXPECT_EQ(s.Ebc2Asc(0xC3), 'a');
    EXPECT_EQ(s.Ebc2Asc(0x00), 0x20);  // identity would give the reserved values
    EXPECT_EQ(s.Ebc2Asc(0x01), 0x20);
    EXPECT_EQ(s.Ebc2Asc(0x7F), 0x7F);
    // What a host sends through such a table never looks like a field attribute.
    h.Run("push F5 C2 C1 C2 00 01 C3\nat 0 \"    a\"\n");
    EXPECT_FALSE(h.stream.Screen().Formatted);
}

TEST_F(TableFiles, WhereTheFileIsLookedFor)
{
    Write("only41.tab", "[Ascii-To-Ebcdic]\n41=C2\n");
    StreamHarness h;
    auto& s = h.stream;
    s.SetTableName("only41.tab");  // a bare name: beside the module
    EXPECT_EQ(s.Asc2Ebc('A'), 0xC2);
    EXPECT_EQ(s.Ebc2Asc(0xC1), 0xC1);  // no section: every host code maps to itself

    s.SetTableName("missing.tab");
    EXPECT_EQ(s.TableName, "missing.tab");
    EXPECT_EQ(s.Asc2Ebc('A'), 0xC1);  // defaults again

    gModulePath = "/nonexistent/";
    s.SetTableName((dir / "only41.tab").string());  // a path is used unchanged
    EXPECT_EQ(s.Asc2Ebc('A'), 0xC2);
    s.SetTableName("");
    EXPECT_EQ(s.Asc2Ebc('A'), 0xC1);

    gAETableFile = (dir / "only41.tab").string();
    TOrvTn3270stream configured(0, 24, 80);  // the configured table from the start
    EXPECT_EQ(configured.TableName, gAETableFile);
    EXPECT_EQ(configured.Asc2Ebc('A'), 0xC2);
}

// ---- Log lines -------------------------------------------------------------------

TEST(StreamLog, RecordKindsDumpsAndIgnoredInputAreLogged)
{
    char tmpl[] = "/tmp/tn_stream_log_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const fs::path dir = tmpl;
    const std::string savedDir = gLogDir;
    auto logs = [&dir](const char* extension) {
        std::string all;
        for (const auto& e : fs::directory_iterator(dir))
            if (e.path().extension() == extension) {
                std::ifstream in(e.path(), std::ios::binary);
                all.append(std::istreambuf_iterator<char>(in), {});
            }
        return all;
    };
    gLogDir = dir.string();
    for (const int level : {1, 6}) {
        SetLogging(level);
        StreamHarness h;
        h.Run(R"(
mode e
push 00 00 02 00 07 F5 C3 11 3F FF C1
sent 02 00 00 00 07 00
push 07 00 00 00 08 C1
push 00 00 02
)");
        SetLogging(0);
        const std::string sys = logs(".SYS"), dmp = logs(".DMP");
        SCOPED_TRACE(sys);
        EXPECT_NE(sys.find("SBA address 16383 is outside the screen of 1920 positions, rest of the write dropped\r\n"),
                  std::string::npos);
        EXPECT_NE(sys.find("TN3270E record of 3 bytes shorter than its header, dropped\r\n"), std::string::npos);
        EXPECT_EQ(sys.find("Processing 3270 Data\r\n") != std::string::npos, level == 6);
        EXPECT_EQ(sys.find("Processing SSCP LU Data\r\n") != std::string::npos, level == 6);
        EXPECT_EQ(dmp.find("DATA STREAM RECEIVED (EBCDIC): 11 BYTES") != std::string::npos, level == 6);
        EXPECT_EQ(dmp.find("DATA STREAM SENT (EBCDIC): 6 BYTES") != std::string::npos, level == 6);
        for (const auto& e : fs::directory_iterator(dir))
            fs::remove(e.path());
    }
    gLogDir = savedDir;
    fs::remove_all(dir);
}

// ---- Small pieces ------------------------------------------------------------

TEST(Coding, BufferAddresses)
{
    struct { std::uint8_t b1, b2; int position; } decode[] = {
        {0x40, 0x40, 0}, {0xC1, 0x50, 80}, {0x00, 0x50, 80}, {0x5D, 0x7F, 1919},
        {0x3F, 0xFF, 16383}, {0x7F, 0x7F, 4095}, {0x07, 0x80, 1920},
    };
    for (auto c : decode)
        EXPECT_EQ(DecodeBufferAddress(c.b1, c.b2), c.position) << c.position;
    for (int p = 0; p < 4096; ++p) {
        std::uint8_t a[2];
        EncodeBufferAddress(p, a);
        ASSERT_NE(a[0] & 0xC0, 0) << p;  // always the coded 12-bit form
        ASSERT_EQ(DecodeBufferAddress(a[0], a[1]), p);
    }
    std::uint8_t a[2];
    EncodeBufferAddress(1919, a);
    EXPECT_EQ(a[0], 0x5D);
    EXPECT_EQ(a[1], 0x7F);
}

TEST(Coding, ExtendedAttributeValue)
{
    struct { std::uint8_t h, c, v, want; } cases[] = {
        {0xF2, 0xF6, 0x01, 0xB2}, {0xF0, 0xF0, 0x00, 0x00}, {0xF1, 0x00, 0x00, 0x40},
        {0xF4, 0xF7, 0x00, 0x3C}, {0xF8, 0xF3, 0x00, 0x18}, {0x00, 0xF8, 0xFF, 0x02},
    };
    for (auto c : cases)
        EXPECT_EQ(TOrvTn3270stream::GetEABValue(c.h, c.c, c.v), c.want);
}

TEST(Stream, ConstructionAndSessionState)
{
    StreamHarness h;
    auto& s = h.stream;
    EXPECT_EQ(s.Status, "WAITING");
    EXPECT_EQ(s.Screen().Status, "");
    EXPECT_EQ(s.Aid, 0);
    EXPECT_FALSE(s.TN3270EMode);
    EXPECT_EQ(s.ReplyCapacity(), 3u + 3u * 1920u);
    EXPECT_TRUE(s.InBuffer.empty());  // no input buffer while no record is collected
    s.SetSessionState(TSessionState::ssNone);
    EXPECT_EQ(h.stateNotes, 0);
    s.SetSessionState(TSessionState::ssSscpLu);
    s.SetSessionState(TSessionState::ssSscpLu);
    EXPECT_EQ(h.stateNotes, 1);
    s.ProcessUnBind();  // SysReq: screen cleared, state already SSCP-LU
    EXPECT_EQ(h.stateNotes, 1);

    s.OnWriteData = nullptr;  // no owner: replies are dropped silently
    s.Aid = AID_ENTER;
    s.readModifiedCommand();
}

TEST(Stream, OneRecordFromSeveralPieces)
{
    StreamHarness h;
    h.stream.TN3270EMode = true;
    const Bytes a = Hex("00 00 02"), b = Hex("12 34 F1 C2");
    h.stream.AddBuffer(a.data(), 3);
    h.stream.AddBuffer(b.data(), 4);
    EXPECT_EQ(h.stream.InCount, 7);
    h.stream.ProcessData();
    EXPECT_EQ(h.stream.InCount, 0);
    h.Run("sent 02 00 00 12 34 00\n");
    // Between records the header of the last one still gives the sequence
    // number (Clear: the AID alone).
    h.Run("key 6D\nsent 00 00 00 12 34 6D\n");
}

TEST(Stream, RecordsUpToTheBoundAndBeyond)
{
    StreamHarness h;
    // A record of exactly the bound is applied whole.
    Bytes big = Hex("F5 C2");
    big.resize(TOrvTnStream::kMaxRecord, 0xC1);
    EXPECT_EQ(h.Feed(big, 8192), "");
    h.Run("count A 1920\ncursor 254\n");  // 65534 characters from 0
    EXPECT_EQ(h.stream.InBuffer.capacity(), 0u);  // released with the record

    // One byte more is dropped whole and reported with its length.
    h.Run("push F5 C2 C2");
    big.push_back(0xC1);
    big.resize(70000, 0xC1);
    EXPECT_EQ(h.Feed(big, 8192), "Record of 70000 bytes exceeds the limit of 65536 bytes, dropped");
    h.Run("count A 0\nat 0 \"B\"\npush F1 C2 C3\nat 0 \"BC\"\n");
}

TEST(Stream, WorstReadModifiedReplyIsNeverCut)
{
    // 1920 empty modified fields: AID, cursor, then SBA and an address per field.
    for (const bool extended : {false, true}) {
        StreamHarness h;
        h.stream.TN3270EMode = extended;
        Bytes record = Hex(extended ? "00 00 00 00 05 F5 C2" : "F5 C2");
        for (int i = 0; i < 1920; ++i)
            record.insert(record.end(), {0x1D, 0x01});
        ASSERT_EQ(h.Feed(record), "");
        h.stream.Aid = AID_ENTER;
        h.stream.readModifiedCommand();
        ASSERT_EQ(h.sent.size(), 1u);
        Bytes want = extended ? Hex("00 00 00 00 05") : Bytes{};
        want.push_back(AID_ENTER);
        std::uint8_t a[2];
        EncodeBufferAddress(h.stream.Screen().CursorPosition, a);
        want.insert(want.end(), a, a + 2);
        for (int i = 1; i <= 1920; ++i) {
            EncodeBufferAddress(i % 1920, a);
            want.insert(want.end(), {0x11, a[0], a[1]});
        }
        EXPECT_EQ(h.sent.front().size(), (extended ? 5u : 0u) + 3u + 3u * 1920u);
        EXPECT_EQ(h.sent.front(), want);
    }
}

TEST(Stream, SendFromInsideTheWriteCallback)
{
    // A handler reached from OnWriteData may send again (a key pressed while
    // the response goes out); each block keeps its own bytes.
    StreamHarness h;
    auto& s = h.stream;
    h.Run("mode e\npush 00 00 00 00 02 F5 C2 1D 40\n");
    bool inner = false;
    s.OnWriteData = [&](const void* buf, std::int32_t len) {
        const auto* p = static_cast<const std::uint8_t*>(buf);
        if (!inner) {
            inner = true;
            s.Aid = AID_PA[0];
            s.readModifiedCommand();
        }
        h.sent.emplace_back(p, p + len);
    };
    h.Run("push 00 00 00 00 03 F2\n"
          "sent 00 00 00 00 03 6C\n"                        // the inner send, delivered first
          "sent 00 00 00 00 03 60 40 C1 1D 00 00*1919\n");  // the Read Buffer reply, intact
}

// ---- Split and re-feed ----------------------------------------------------------

struct Snapshot {
    TOrvTndisplay::Plane chars, attrs, ext;
    std::int32_t cursor;
    std::string status;
    std::uint8_t aid;
    std::deque<Bytes> sent;
    std::vector<std::string> errors;
    bool operator==(const Snapshot&) const = default;
};

// Feeds a session, each record split in two at the position split(i) gives.
template <typename Split>
Snapshot Session(const std::vector<std::pair<bool, Bytes>>& records, Split split)
{
    StreamHarness h;
    Snapshot s;
    for (const auto& [extended, r] : records) {
        h.stream.TN3270EMode = extended;
        const std::size_t k = std::min(split(r.size()), r.size());
        h.stream.AddBuffer(r.data(), static_cast<std::int32_t>(k));
        h.stream.AddBuffer(r.data() + k, static_cast<std::int32_t>(r.size() - k));
        try {
            h.stream.ProcessData();
        } catch (const EStreamError& e) {
            s.errors.push_back(e.what());
        }
    }
    const auto& d = h.stream.Screen();
    s.chars = d.Chars, s.attrs = d.Attrs, s.ext = d.ExtAttrs;
    s.cursor = d.CursorPosition, s.status = h.stream.Status, s.aid = h.stream.Aid;
    s.sent = std::move(h.sent);
    return s;
}

TEST(Stream, RecordsSplitAtEveryPositionGiveTheSameResult)
{
    const std::vector<std::pair<bool, Bytes>> session = {
        {true, Record("00 00 02 00 01 F5 C3 11 40 40 1D 60 C8 C5 D3 D3 D6 1D 40 13 11 C1 50 29 02 C0 41 42 F2 "
                      "C1 C2 05 C3 3C C3 C8 08 C4 12 C4 40 28 41 F4 C5 15 C6 2C 01 41 F1")},
        {true, Record("00 00 00 00 02 F3 00 05 01 FF 02 00 0A 40 00 F1 C2 11 40 4A C7")},
        {true, Record("00 00 02 00 03 F6")},
        {true, Record("07 00 00 00 04 C8 C9")},
        {true, Record("00 00 00 00 05 F3 00 05 01 FF")},  // an error mid-session
        {true, Record("00 00")},
        {false, Record("F1 C3 11 5D 7F 1D 41 C1 C2 11 3F FF C3")},
        {false, Record("F2")},
    };
    const Snapshot whole = Session(session, [](std::size_t n) { return n; });
    EXPECT_EQ(whole.errors, std::vector<std::string>{"WSF-RP length exceeds record"});
    EXPECT_GE(whole.sent.size(), 4u);
    for (std::size_t k = 0; k <= 60; ++k)
        ASSERT_TRUE(Session(session, [k](std::size_t) { return k; }) == whole) << "split at " << k;
}

// ---- Hostile input ----------------------------------------------------------------

TEST(Hostile, AnAddressBeyondTheScreenEndsTheWrite)
{
    // As a terminal does: what came before stays, nothing after the order
    // is applied (not at the old address either), the keyboard is restored.
    StreamHarness h;
    h.Run(R"(
push F5 C2 C1 11 3F FF C2 11 40 4A C3    # SBA 16383: the B and C are dropped
at 0 "A"
count B 0
count C 0
status ""
push F5 C2 C1 3C 07 80 C2 C3             # RA to 1920 (14-bit): nothing filled, nothing after
count B 0
count C 0
at 0 "A"
push F5 C2 C1 C2 12 7F FF C3             # EUA to 4095: nothing erased, the C dropped
at 0 "AB"
count C 0
push F5 C2 C1 3C 3F FF 08 C1 C2          # RA with GE to 16383
at 0 "A"
count B 0
)");
}

TEST(Hostile, TruncatedOrdersAreDroppedAndNothingAfterTheDataIsRead)
{
    // Each write ends inside an order. The record is read where it lies, at
    // the front of a larger buffer whose tail is filled with 'A' (0xC1):
    // reading past the record would paint it. The direct calls use buffers
    // of exactly the record's length, which the address sanitizer guards.
    const char* cut[] = {"08", "11", "11 40", "12 40", "1D", "28", "28 42", "29", "29 02 C0 60 41",
                         "2C 01 41", "3C", "3C 40", "3C 40 4A", "3C 40 4A 08"};
    for (const char* tail : cut) {
        SCOPED_TRACE(tail);
        StreamHarness h;
        const Bytes record = Hex(std::string("F5 C2 C2 ") + tail);
        Bytes lying(record.size() + 64, 0xC1);
        std::copy(record.begin(), record.end(), lying.begin());
        h.stream.ProcessRecord(std::span<const std::uint8_t>(lying).first(record.size()));
        h.Run("at 0 \"B\"\ncount A 0\ncursor 1\n");
        EXPECT_FALSE(h.stream.Screen().Formatted);

        const Bytes exact = Hex(std::string("F5 C2 C2 ") + tail);
        h.stream.writeOperation(exact.data(), static_cast<std::int32_t>(exact.size()));
        const Bytes orders = Hex(tail);
        h.stream.writeCommand(orders.data(), static_cast<std::int32_t>(orders.size()));
    }
    StreamHarness h;
    for (const char* wsf : {"00", "00 05", "00 05 01", "00 05 01 FF", "00 06 40 00", "00 06 40 00 F5"}) {
        const Bytes exact = Hex(wsf);
        EXPECT_THROW(h.stream.writeStructuredField(exact.data(), static_cast<std::int32_t>(exact.size())),
                     EStreamError)
            << wsf;
    }
}

TEST(Hostile, RandomRecordsKeepTheScreenConsistent)
{
    // Records built from order codes, addresses (coded, 14-bit, out of
    // range) and characters, on a small screen so that walks wrap often.
    // Every plane byte past Size must stay zero and the invariants hold.
    std::mt19937 rng(20240611);
    const std::uint8_t alphabet[] = {0x05, 0x08, 0x11, 0x12, 0x13, 0x15, 0x1D, 0x28, 0x29, 0x2C, 0x3C,
                                     0x40, 0xC1, 0x00, 0x01, 0x02, 0x3F, 0xFF, 0x7F, 0x20, 0x60, 0xF1,
                                     0xF5, 0x6F, 0xF3, 0x41, 0x42, 0xC0, 0xF2, 0xF6};
    auto byte = [&]() {
        return (rng() % 3 == 0) ? static_cast<std::uint8_t>(rng())
                                : alphabet[rng() % sizeof alphabet];
    };
    for (const auto& [rows, cols] : {std::pair{2, 10}, std::pair{24, 80}}) {
        StreamHarness h(rows, cols);
        auto& s = h.stream;
        auto& d = s.Screen();
        for (int n = 0; n < 4000; ++n) {
            Bytes r(rng() % 64);
            for (auto& b : r)
                b = byte();
            s.TN3270EMode = rng() % 4 == 0;
            switch (rng() % 4) {
            case 0: s.writeCommand(r.data(), static_cast<std::int32_t>(r.size())); break;
            case 1: s.writeOperation(r.data(), static_cast<std::int32_t>(r.size())); break;
            case 2:
                try {
                    s.writeStructuredField(r.data(), static_cast<std::int32_t>(r.size()));
                } catch (const EStreamError&) {
                }
                break;
            default: h.Feed(r); break;
            }
            s.Aid = rng() % 2 ? AID_ENTER : static_cast<std::uint8_t>(rng());
            s.readModifiedCommand();
            s.readBufferCommand();
            for (const auto& b : h.sent)
                ASSERT_LE(b.size(), s.ReplyCapacity() + 5);
            h.sent.clear();

            ASSERT_TRUE(d.CursorPosition >= 0 && d.CursorPosition < 1920);
            ASSERT_EQ(d.Formatted,
                      std::find(d.Chars.begin(), d.Chars.begin() + d.Size, TOrvTndisplay::kFieldMarker) !=
                          d.Chars.begin() + d.Size);
            for (std::size_t i = static_cast<std::size_t>(d.Size); i < d.Chars.size(); ++i)
                ASSERT_EQ(d.Chars[i] | d.Attrs[i] | d.ExtAttrs[i], 0) << "position " << i;
            // Every position carries the attribute byte of its field.
            const std::int32_t f = d.findNextFA(0);
            if (f >= 0)
                for (std::int32_t p = 0, fa = d.findPrevFA(d.Size - 1); p < d.Size; ++p) {
                    if (d.Chars[static_cast<std::size_t>(p)] == TOrvTndisplay::kFieldMarker)
                        fa = p;
                    ASSERT_EQ(d.getFA(p), d.getFA(fa)) << "position " << p;
                }
        }
    }
}

} // namespace

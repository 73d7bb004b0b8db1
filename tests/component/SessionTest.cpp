// Whole sessions over loopback sockets: the component against the host
// simulator (its own telnet engine, 3270 encoder and decoder) and, for the
// exact negotiation bytes, against the raw test host.
#include "ComponentTestSupport.h"

#include "platform/uDispatcher.h"
#include "platform/uWinControl.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

namespace {

using namespace tnsim;

const std::vector<std::uint8_t> kAgreed = {fn::BindImage, fn::Responses, fn::SysReq};

class Session : public ::testing::Test {
protected:
    void Start(TSimHostOptions options = {}, TComponent* owner = nullptr)
    {
        host = std::make_unique<THostSimulator>(std::move(options));
        tn = std::make_unique<TTn3270E>(owner);
        tn->Host = "127.0.0.1";
        tn->Port = host->Port();
        tn->Timings = FastTimings();
        events.Attach(*tn);
    }
    // Connects and waits for the host's side of the negotiation.
    // pump: the dispatcher to run while the connect's OnConnect waits for it.
    std::shared_ptr<TSimSession> Open(TDispatcher* pump = nullptr)
    {
        tn->Connect();
        for (int i = 0; pump && events.Count("Connect") == 0 && i < 1000; ++i)
            pump->ProcessMessages(std::chrono::milliseconds(5));
        auto s = host->WaitSession();
        if (!s || !s->WaitNegotiated()) {
            ADD_FAILURE() << "no negotiated session: " << (s ? s->FailureReason() : "none accepted");
            return nullptr;
        }
        return s;
    }
    // Sends a screen and waits until the component has published it.
    bool Show(TSimSession& s, const Bytes& screen)
    {
        const int n = events.Count("ScreenChange");
        s.Send3270(screen);
        return events.WaitFor("ScreenChange", n + 1);
    }
    void TearDown() override
    {
        tn.reset();  // before the host and the event log it reports to
        host.reset();
    }

    TEvents events;
    std::unique_ptr<THostSimulator> host;
    std::unique_ptr<TTn3270E> tn;
};

// A form: a protected label, three unprotected fields (the second
// prefilled), the cursor in the first. Field data starts at 90, 170, 250.
Bytes Form()
{
    return TSim3270Encoder()
        .EraseWrite(wcc::Restore | wcc::ResetMdt)
        .Field(2, 1, fa::Protected, "NAME")
        .Field(2, 10, fa::Unprotected)
        .IC()
        .Field(2, 20, fa::Protected)
        .Field(3, 10, fa::Unprotected, "KEEP")
        .Field(3, 20, fa::Protected)
        .Field(4, 10, fa::Unprotected)
        .Field(4, 20, fa::Protected)
        .Take();
}

// ---- negotiation

TEST_F(Session, Tn3270ENegotiationAgreesLuAndFunctionsAndTheNextConnectionAsksForThem)
{
    Start();
    auto s = Open();
    ASSERT_TRUE(s);
    const TSimNegotiated n = s->Negotiated();
    EXPECT_TRUE(n.tn3270e);
    EXPECT_EQ(n.terminalType, "IBM-3278-2-E");
    EXPECT_EQ(n.luName, "SIM00001");
    EXPECT_EQ(n.functions, kAgreed);

    s->SendBind();
    ASSERT_TRUE(Show(*s, Form()));  // after the FUNCTIONS IS, on the same stream
    EXPECT_EQ(tn->GetSessionState(), TSessionState::ssLuLu);
    EXPECT_EQ(tn->GetDeviceName(), "SIM00001");
    EXPECT_EQ(tn->GetFunctions(), (TTn3270ExtendedFunctions{TTn3270ExtendedFunction::efBindImage,
                                                            TTn3270ExtendedFunction::efResponses,
                                                            TTn3270ExtendedFunction::efSysReq}));
    tn->Disconnect();
    ASSERT_TRUE(s->WaitDisconnect());

    auto s2 = Open();
    ASSERT_TRUE(s2);
    EXPECT_EQ(s2->Negotiated().luName, "SIM00001");  // asked for by name this time
    EXPECT_EQ(s2->Negotiated().functions, kAgreed);
    EXPECT_EQ(tn->GetSessionState(), TSessionState::ssNone);  // no record yet on the new connection
}

TEST_F(Session, RejectedDeviceNameIsDroppedAndTheRequestRepeated)
{
    TSimHostOptions options;
    options.telnet.rejectDeviceTypeTimes = 1;
    options.telnet.rejectReason = reason::InvName;
    Start(options);
    tn->SetDeviceName("BADLU");
    auto s = Open();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->Negotiated().luName, "SIM00001");
    ASSERT_TRUE(Show(*s, Form()));
    EXPECT_EQ(tn->GetDeviceName(), "SIM00001");
}

TEST_F(Session, WithoutExtendedTn3270EIsRefusedAndAPlainSessionFollows)
{
    Start();
    tn->SetExtended(false);
    auto s = Open();
    ASSERT_TRUE(s);
    const TSimNegotiated n = s->Negotiated();
    EXPECT_FALSE(n.tn3270e);
    EXPECT_EQ(n.terminalType, "IBM-3278-2-E");
    EXPECT_TRUE(n.binary && n.eor);

    ASSERT_TRUE(Show(*s, Form()));
    EXPECT_EQ(tn->GetSessionState(), TSessionState::ssLuLu);  // the first plain record
    {
        auto guard = tn->Lock();
        Unprotected(*tn, 0).SetData("PLAIN");
        tn->SetAidKey(TTn3270AidKey::akEnter);
    }
    auto record = s->WaitRecord();
    ASSERT_TRUE(record);
    EXPECT_FALSE(record->tn3270e);
    const TSimInbound in = TSimSession::Decode(*record);
    EXPECT_EQ(in.aid, aid::Enter);
    ASSERT_EQ(in.fields.size(), 1u);
    EXPECT_EQ(in.fields[0].text, "PLAIN");
}

// The exact bytes, against a raw peer: reject with its logged reason, the
// LU stored from CONNECT, FUNCTIONS IS taken, and the next connection
// asking for that LU and only the agreed functions.
TEST_F(Session, NegotiationBytesAcrossTwoConnections)
{
    namespace fs = std::filesystem;
    const fs::path logDir = fs::temp_directory_path() / ("tn_component_" + std::to_string(::getpid()));
    fs::create_directories(logDir);

    TTestHost raw;
    TTn3270E t;
    t.Host = "127.0.0.1";
    t.Port = raw.Port();
    t.Timings = FastTimings();
    const std::uint16_t level = t.GetDebugLevel();
    t.SetDebugDir(logDir.string());
    t.SetDebugLevel(2);

    const std::string type = "49 42 4D 2D 33 32 37 38 2D 32 2D 45";
    const std::string lu02 = "4C 55 30 32";
    auto step = [](TTestConnection& peer, const std::string& send, const std::string& expect) {
        peer.Send(Hex(send));
        EXPECT_TRUE(peer.ExpectBytes(Hex(expect))) << "after " << send << " got " << ToHex(peer.Pending());
    };

    t.SetDeviceName("LU01");
    t.Connect();
    auto peer = raw.Accept();
    ASSERT_TRUE(peer);
    step(*peer, "FF FD 28", "FF FB 28");
    step(*peer, "FF FA 28 08 02 FF F0", "FF FA 28 02 07 " + type + " 01 4C 55 30 31 FF F0");
    // DEVICE-IN-USE: asked again once, without the name.
    step(*peer, "FF FA 28 02 06 05 01 FF F0", "FF FA 28 02 07 " + type + " FF F0");
    step(*peer, "FF FA 28 02 04 " + type + " 01 " + lu02 + " FF F0", "FF FA 28 03 07 00 02 03 04 FF F0");
    step(*peer, "FF FA 28 03 04 02 FF F0 FF FD 1E", "FF FC 1E");  // IS 02, then a probe answered after it
    EXPECT_EQ(t.GetDeviceName(), "LU02");
    t.Disconnect();
    ASSERT_TRUE(peer->WaitPeerClosed());

    t.Connect();
    auto peer2 = raw.Accept();
    ASSERT_TRUE(peer2);
    step(*peer2, "FF FD 28", "FF FB 28");
    step(*peer2, "FF FA 28 08 02 FF F0", "FF FA 28 02 07 " + type + " 01 " + lu02 + " FF F0");
    step(*peer2, "FF FA 28 02 04 " + type + " 01 " + lu02 + " FF F0", "FF FA 28 03 07 02 FF F0");
    t.Disconnect();

    t.SetDebugLevel(level);
    std::string logs;
    for (const auto& entry : fs::directory_iterator(logDir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        logs += text.str();
    }
    EXPECT_NE(logs.find("TN3270E device type rejected: Device in use\r\n"), std::string::npos) << logs;
    std::error_code ec;
    fs::remove_all(logDir, ec);
}

// A host that rejects the device type twice: one retry without the name,
// then TN3270E is given up with its reason in the log at level 1, no
// connection failure is reported, and plain TN3270 shows the screens.
TEST_F(Session, DeviceTypeRejectedTwiceGoesOnAsPlainTn3270)
{
    namespace fs = std::filesystem;
    const fs::path logDir = fs::temp_directory_path() / ("tn_reject_" + std::to_string(::getpid()));
    fs::create_directories(logDir);
    TSimHostOptions options;
    options.telnet.rejectDeviceTypeTimes = 2;
    options.telnet.rejectReason = reason::DeviceInUse;
    Start(std::move(options));
    const std::uint16_t level = tn->GetDebugLevel();
    tn->SetDebugDir(logDir.string());
    tn->SetDebugLevel(1);
    tn->SetDeviceName("SIM00002");

    auto s = Open();
    ASSERT_TRUE(s);
    EXPECT_FALSE(s->Negotiated().tn3270e);
    ASSERT_TRUE(Show(*s, Form()));
    {
        auto guard = tn->Lock();
        EXPECT_FALSE(tn->Tn3270Stream().TN3270EMode);
        EXPECT_EQ(tn->GetSessionState(), TSessionState::ssLuLu);
    }
    EXPECT_TRUE(tn->IsConnected());
    EXPECT_EQ(events.Count("ConnectionFail"), 0);
    tn->Disconnect();

    tn->SetDebugLevel(level);
    std::string logs;
    for (const auto& entry : fs::directory_iterator(logDir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        logs += text.str();
    }
    EXPECT_NE(logs.find("TN_ERROR: TN3270E device type rejected: Device in use; going on as TN3270.\r\n"),
              std::string::npos)
        << logs;
    std::error_code ec;
    fs::remove_all(logDir, ec);
}

// ---- records of an LU-LU and an SSCP-LU session

TEST_F(Session, BindScreensResponsesUnbindSscpLuDataAndText)
{
    Start();
    auto s = Open();
    ASSERT_TRUE(s);
    s->SendBind();
    ASSERT_TRUE(events.WaitFor("SessionState"));
    EXPECT_EQ(tn->GetSessionState(), TSessionState::ssLuLu);

    // A screen that asks for a response: answered positively.
    const auto seq = s->Send3270(Form(), true);
    const auto response = s->WaitResponse(seq);
    ASSERT_TRUE(response);
    EXPECT_TRUE(response->positive);
    ASSERT_TRUE(events.WaitFor("ScreenChange"));
    ASSERT_TRUE(Show(*s, TSim3270Encoder().EraseWrite(wcc::Restore).Field(1, 1, fa::Protected, "SECOND").Take()));
    {
        auto guard = tn->Lock();
        EXPECT_EQ(tn->HostFields.Items(0)->Data.substr(0, 6), "SECOND");
        EXPECT_EQ(tn->UnprotectedFields.Count(), 0);
    }

    const int beforeUnbind = events.Count("ScreenChange");
    s->SendUnbind();
    ASSERT_TRUE(events.WaitFor("SessionState", 2));
    EXPECT_EQ(tn->GetSessionState(), TSessionState::ssSscpLu);
    // UNBIND publishes the cleared screen: 24 empty rows.
    ASSERT_TRUE(events.WaitFor("ScreenChange", beforeUnbind + 1));
    {
        auto guard = tn->Lock();
        ASSERT_EQ(tn->HostFields.Count(), 24);
        EXPECT_EQ(tn->HostFields.Items(0)->Data, "");
    }

    // The SSCP writes text; the answer goes back as SSCP-LU data.
    const int screens = events.Count("ScreenChange");
    s->SendSscpLu(ToEbcdic("READY"));
    ASSERT_TRUE(events.WaitFor("ScreenChange", screens + 1));
    {
        auto guard = tn->Lock();
        ASSERT_EQ(tn->HostFields.Count(), 24);
        EXPECT_EQ(tn->HostFields.Items(0)->Data, "READY");
        // The operator types after the SSCP's output; only that is input.
        EXPECT_EQ(tn->UnprotectedFields.CursorPos, 6);
        const TTypeResult typed = tn->Type("LOGON APPLID");
        EXPECT_TRUE(typed.Ok()) << typed.Message();
        EXPECT_EQ(tn->HostFields.Items(0)->Data, "READYLOGON APPLID");
        EXPECT_EQ(tn->UnprotectedFields.CursorPos, 18);
        tn->SetAidKey(TTn3270AidKey::akEnter);
    }
    auto record = s->WaitRecord();
    ASSERT_TRUE(record);
    EXPECT_EQ(record->header.dataType, dt::SscpLuData);
    const TSimInbound in = TSimSession::Decode(*record);
    EXPECT_EQ(in.kind, TSimInbound::Kind::Unformatted);
    EXPECT_EQ(in.text, "LOGON APPLID");
    EXPECT_EQ(HexString(record->data), "D3 D6 C7 D6 D5 40 C1 D7 D7 D3 C9 C4");

    // A text record becomes protected field lines.
    const int before = events.Count("ScreenChange");
    s->SendNvt("LINE1\r\nLINE2\r\n");
    ASSERT_TRUE(events.WaitFor("ScreenChange", before + 1));
    const TTn3270Snapshot snap = tn->Snapshot();
    ASSERT_EQ(snap.HostFields.size(), 2u);
    EXPECT_EQ(snap.HostFields[0].GetPos(), 1);
    EXPECT_EQ(snap.HostFields[0].Data, "LINE1");
    EXPECT_EQ(snap.HostFields[1].GetPos(), 81);
    EXPECT_EQ(snap.HostFields[1].Data, "LINE2");
    EXPECT_EQ(snap.HostFields[1].Len, 5);
    EXPECT_FALSE(snap.HostFields[1].GetEditable());
    EXPECT_TRUE(snap.UnprotectedFields.empty());
    EXPECT_EQ(snap.CursorPos, 240);
    EXPECT_TRUE(snap.Connected);
}

// ---- screens published as fields

struct Rec {
    int pos, len, attr, eab;
    std::string data;
};

struct ScreenRow {
    const char* name;
    Bytes screen;
    int hostCount;
    std::vector<Rec> unprotected;                // the whole list
    std::vector<std::pair<int, Rec>> hostAt;     // selected records of HostFields
    int cursorPos;                               // 1-based
};

void ExpectRec(const TDSField* f, const Rec& want)
{
    ASSERT_NE(As3270Field(f), nullptr);
    EXPECT_EQ(f->GetPos(), want.pos);
    EXPECT_EQ(f->Len, want.len);
    EXPECT_EQ(f->Attr, want.attr);
    EXPECT_EQ(f->Eab, want.eab);
    EXPECT_EQ(f->Data, want.data);
}

std::vector<ScreenRow> ScreenRows()
{
    using E = TSim3270Encoder;
    const std::string blanks60(60, ' ');
    return {
        {"unformatted: one editable record per row", E().EraseWrite().At(1, 1, "HELLO").At(24, 75, "END").Take(), 24,
         {}, {{0, {1, 80, 0, 0, "HELLO"}}, {23, {1841, 80, 0, 0, std::string(74, ' ') + "END"}}},
         1918},  // no IC: the cursor follows the last address written
        {"protected and unprotected, cursor in both lists",
         E().EraseWrite().Field(1, 1, fa::Protected | fa::Intensified, "USER").Field(1, 10, fa::Unprotected, "ab").IC()
             .Field(1, 20, fa::Protected).Take(),
         26, {{11, 9, 0x00, 0, "ab"}}, {{0, {2, 8, 0x28, 0, "USER    "}}, {2, {21, 60, 0x20, 0, blanks60}}}, 13},
        {"a field across rows gives a record per row",
         E().EraseWrite().Field(1, 1, fa::Protected).Field(3, 70, fa::Unprotected, "ABCDEFGHIJKLMNOP")
             .Field(5, 10, fa::Protected).Take(),
         26, {{231, 10, 0, 0, "ABCDEFGHIJ"}, {241, 80, 0, 0, "KLMNOP"}, {321, 9, 0, 0, ""}}, {}, 231},
        {"an extended attribute splits a field",
         E().EraseWrite().Field(1, 1, fa::Unprotected, "AB").SAColour(Colour::Red).Text("CD").SAColour(Colour::Default).Text("EF")
             .Field(1, 20, fa::Protected).Take(),
         27, {{2, 2, 0, 0, "AB"}, {4, 2, 0, 0x10, "CD"}, {6, 14, 0, 0, "EF"}}, {}, 2},
        {"a field attribute in the last column",
         E().EraseWrite().Field(1, 1, fa::Protected).Field(1, 80, fa::Unprotected, "XYZ").Field(2, 10, fa::Protected)
             .Take(),
         25, {{81, 9, 0, 0, "XYZ"}}, {{0, {2, 78, 0x20, 0, std::string(78, ' ')}}}, 81},
        {"a field attribute at the last position",
         E().EraseWrite().Field(1, 1, fa::Unprotected, "TOP").Field(24, 80, fa::Protected).SBA(1, 1).IC().Take(), 24,
         {},
         {{0, {2, 79, 0, 0, "TOP"}}, {23, {1841, 79, 0, 0, ""}}}, 1},
    };
}

TEST_F(Session, ScreensArePublishedAsFieldRecords)
{
    Start();
    auto s = Open();
    ASSERT_TRUE(s);
    for (const ScreenRow& row : ScreenRows()) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(Show(*s, row.screen));
        auto guard = tn->Lock();
        EXPECT_EQ(tn->HostFields.Count(), row.hostCount);
        if (!row.unprotected.empty()) {
            ASSERT_EQ(tn->UnprotectedFields.Count(), static_cast<int>(row.unprotected.size()));
            for (std::size_t k = 0; k < row.unprotected.size(); ++k)
                ExpectRec(tn->UnprotectedFields.Items(static_cast<int>(k)), row.unprotected[k]);
        }
        for (const auto& [index, rec] : row.hostAt)
            ExpectRec(tn->HostFields.Items(index), rec);
        EXPECT_EQ(tn->HostFields.CursorPos, row.cursorPos);
        EXPECT_EQ(tn->UnprotectedFields.CursorPos, row.cursorPos);
    }
}

// ---- screen models

TEST_F(Session, EveryModelNamesItselfPaintsEwaAndSendsItsAddresses)
{
    // Per model: the name the host sees, a field beyond 24x80 after
    // Erase/Write Alternate, the Enter that reports it (14-bit addresses on
    // a screen of more than 4,096 positions), and Erase/Write back to 24x80.
    struct Row {
        int model;
        std::optional<TScreenSize> oversize;
        const char* name;
        TScreenSize alternate;
        int field;  // the field's first position (its attribute before it)
    };
    const Row rows[] = {
        {2, {}, "IBM-3278-2-E", {24, 80}, 1900},   {3, {}, "IBM-3278-3-E", {32, 80}, 2500},
        {4, {}, "IBM-3278-4-E", {43, 80}, 3400},   {5, {}, "IBM-3278-5-E", {27, 132}, 3500},
        {4, TScreenSize{62, 160}, "IBM-DYNAMIC", {62, 160}, 9000},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Start();
        tn->SetModel(r.model);
        tn->SetOversize(r.oversize);
        auto s = Open();
        ASSERT_TRUE(s);
        EXPECT_EQ(s->Negotiated().terminalType, r.name);
        const bool wide = r.alternate.Positions() > 4096;
        TSim3270Encoder e(wide ? TSim3270Encoder::AddressMode::Bits14 : TSim3270Encoder::AddressMode::Bits12);
        ASSERT_TRUE(Show(*s, e.EraseWriteAlternate(wcc::Restore | wcc::ResetMdt)
                                 .SBAAddress(r.field - 1)
                                 .SF(fa::Unprotected)
                                 .Take()));
        {
            auto guard = tn->Lock();
            EXPECT_EQ(tn->Tn3270Stream().Screen().CurrentSize(), r.alternate);
            // The field runs past the last position on to the top: the
            // records of rows 1 to its own first, then its own.
            T3270Field* f = nullptr;
            for (int k = 0; k < tn->UnprotectedFields.Count(); ++k)
                if (Unprotected(*tn, k).GetPos() == r.field + 1)
                    f = &Unprotected(*tn, k);
            ASSERT_NE(f, nullptr);
            EXPECT_EQ(f->Row, r.field / r.alternate.Cols + 1);
            EXPECT_EQ(f->Col, (r.field + 1) % r.alternate.Cols);  // 1-based, SetPos's convention
            EXPECT_EQ(f->Columns, r.alternate.Cols);
            f->SetData("HI");
            tn->SetAidKey(TTn3270AidKey::akEnter);
        }
        auto in = s->WaitData();
        ASSERT_TRUE(in);
        std::array<std::uint8_t, 2> a{};
        if (wide)
            a = {static_cast<std::uint8_t>(r.field >> 8), static_cast<std::uint8_t>(r.field & 0xFF)};
        else
            a = EncodeAddress12(r.field);
        const Bytes want = {aid::Enter, a[0], a[1], order::SBA, a[0], a[1], 0xC8, 0xC9};
        EXPECT_EQ(ToHex(in->data), ToHex(want));
        ASSERT_TRUE(Show(*s, TSim3270Encoder().EraseWrite(wcc::Restore).Text("A").Take()));
        {
            auto guard = tn->Lock();
            EXPECT_EQ(tn->Tn3270Stream().Screen().CurrentSize(), (TScreenSize{24, 80}));
        }
        tn->Disconnect();
        TearDown();
    }
}

TEST_F(Session, TheSimulatorsBindImagesSizeAModel4AsATerminalReadsThem)
{
    // The PS usage bytes 20-24 of each image (default rows and columns,
    // alternate rows and columns, their use), and the size Erase/Write
    // Alternate then gives a model 4 (s3270 -model 3279-4-E shows the same).
    struct Row {
        Bytes image;
        const char* usage;
        TScreenSize alternate;
    };
    const Row rows[] = {
        {DefaultBindImage(), "18 50 18 50 7E", {24, 80}},
        {BindImage(24, 80, 32, 80), "18 50 20 50 7F", {32, 80}},
        {BindImage(24, 80, 27, 132), "18 50 1B 84 7F", {43, 80}},  // beyond the model: ignored
    };
    Start();
    tn->SetModel(4);
    auto s = Open();
    ASSERT_TRUE(s);
    for (const Row& r : rows) {
        SCOPED_TRACE(r.usage);
        ASSERT_GE(r.image.size(), 25u);
        EXPECT_EQ(HexString(ByteView(r.image).subspan(20, 5)), r.usage);
        s->SendBind(r.image);
        ASSERT_TRUE(Show(*s, TSim3270Encoder().EraseWriteAlternate(wcc::Restore).Text("A").Take()));
        auto guard = tn->Lock();
        EXPECT_EQ(tn->Tn3270Stream().Screen().CurrentSize(), r.alternate);
    }
}

// ---- round trips

TEST_F(Session, EditedFieldsGoBackWithEnterPfPaAndClear)
{
    Start();
    auto s = Open();
    ASSERT_TRUE(s);
    ASSERT_TRUE(Show(*s, Form()));
    {
        auto guard = tn->Lock();
        ASSERT_EQ(tn->UnprotectedFields.Count(), 3);
        EXPECT_EQ(Unprotected(*tn, 1).Data, "KEEP");
        Unprotected(*tn, 0).SetData("ONE");
        Unprotected(*tn, 2).SetData("THREE");
        tn->SetAidKey(TTn3270AidKey::akEnter);
    }
    auto in = s->WaitInbound();
    ASSERT_TRUE(in);
    EXPECT_EQ(in->aid, aid::Enter);
    EXPECT_EQ(in->cursor, 90);
    ASSERT_EQ(in->fields.size(), 2u);  // the untouched field is not sent
    EXPECT_EQ(in->fields[0].address, 90);
    EXPECT_EQ(in->fields[0].text, "ONE");
    EXPECT_EQ(in->fields[1].address, 250);
    EXPECT_EQ(in->fields[1].text, "THREE");

    // A new screen (modified tags reset); a shorter text over a prefilled
    // field, the cursor moved by the application, PF5.
    ASSERT_TRUE(Show(*s, Form()));
    {
        auto guard = tn->Lock();
        Unprotected(*tn, 1).SetData("NEW");
        tn->UnprotectedFields.CursorPos = 174;
        tn->SetAidKey(TTn3270AidKey::akPF5);
    }
    in = s->WaitInbound();
    ASSERT_TRUE(in);
    EXPECT_EQ(in->aid, aid::PF[4]);
    EXPECT_EQ(in->cursor, 173);
    ASSERT_EQ(in->fields.size(), 1u);
    EXPECT_EQ(in->fields[0].address, 170);
    EXPECT_EQ(in->fields[0].text, "NEW");

    for (auto [key, want] : {std::pair{TTn3270AidKey::akPA1, aid::PA1}, std::pair{TTn3270AidKey::akClear, aid::Clear}}) {
        tn->SetAidKey(key);
        in = s->WaitInbound();
        ASSERT_TRUE(in);
        EXPECT_EQ(in->kind, TSimInbound::Kind::ShortRead);
        EXPECT_EQ(in->aid, want);
    }
}

TEST_F(Session, AttnAndSysReqSendIpAndAoWithTheirNotifications)
{
    Start();
    auto s = Open();
    ASSERT_TRUE(s);
    s->SendBind();
    ASSERT_TRUE(Show(*s, Form()));
    ASSERT_TRUE(events.WaitFor("SystemUnLock"));  // the first screen restores the keyboard

    tn->SetAidKey(TTn3270AidKey::akATTN);
    EXPECT_EQ(s->WaitTelnetCommand(), std::optional<std::uint8_t>(tel::IP));
    EXPECT_EQ(events.Names().back(), "SystemLock");
    ASSERT_TRUE(Show(*s, TSim3270Encoder().Write(wcc::Restore).Take()));
    ASSERT_TRUE(events.WaitFor("SystemUnLock", 2));
    auto names = events.Names();
    EXPECT_EQ(names[names.size() - 2], "ScreenChange");
    EXPECT_EQ(names.back(), "SystemUnLock");

    const int states = events.Count("SessionState");
    tn->SetAidKey(TTn3270AidKey::akSysReq);
    EXPECT_EQ(s->WaitTelnetCommand(), std::optional<std::uint8_t>(tel::AO));
    EXPECT_GT(events.Count("SessionState"), states);
    EXPECT_EQ(tn->GetSessionState(), TSessionState::ssSscpLu);
    const TTn3270Snapshot snap = tn->Snapshot();
    ASSERT_EQ(snap.HostFields.size(), 24u);  // the cleared screen
    EXPECT_EQ(snap.HostFields[1].Data, "");
}

// ---- life cycle

TEST_F(Session, ConnectAndDisconnectEmptyBothListsBeforeTheirEvents)
{
    Start();
    {
        auto guard = tn->Lock();  // leftovers that a connect must drop
        tn->HostFields.Add(std::make_unique<T3270Field>());
        tn->UnprotectedFields.Add(tn->HostFields.Items(0));
    }
    auto s = Open();
    ASSERT_TRUE(s);
    ASSERT_TRUE(events.WaitFor("Connect"));
    EXPECT_EQ(events.Last("Connect").hostCount, 0);
    EXPECT_EQ(events.Last("Connect").unprotectedCount, 0);

    ASSERT_TRUE(Show(*s, Form()));
    EXPECT_GT(events.Last("ScreenChange").unprotectedCount, 0);
    s->Close();  // the host ends it
    ASSERT_TRUE(events.WaitFor("Disconnect"));
    EXPECT_EQ(events.Last("Disconnect").hostCount, 0);
    EXPECT_EQ(events.Last("Disconnect").unprotectedCount, 0);

    s = Open();
    ASSERT_TRUE(s);
    ASSERT_TRUE(Show(*s, Form()));
    tn->Disconnect();  // the application ends it (later, if a handler runs)
    ASSERT_TRUE(events.WaitFor("Disconnect", 2));
    EXPECT_EQ(events.Last("Disconnect").hostCount, 0);
    EXPECT_EQ(events.Last("Disconnect").unprotectedCount, 0);
    EXPECT_EQ(tn->Snapshot().HostFields.size(), 0u);
}

TEST_F(Session, DestroyingAConnectedComponentRaisesNoDisconnect)
{
    Start();
    auto s = Open();
    ASSERT_TRUE(s);
    ASSERT_TRUE(Show(*s, Form()));
    tn.reset();
    EXPECT_TRUE(s->WaitDisconnect());
    EXPECT_EQ(events.Count("Disconnect"), 0);
}

// ---- what a handler sees does not change under it

// Everything a handler can read of the screen, as text: both lists'
// records and cursors, the screen's characters and cursor, the last key.
std::string Look(TTn3270E& tn)
{
    std::ostringstream v;
    for (const TDSFields* list : {&tn.HostFields, &tn.UnprotectedFields}) {
        v << list->Count() << " records, cursor " << list->CursorPos << ":";
        for (int i = 0; i < list->Count(); ++i)
            v << " [" << list->Items(i)->GetPos() << " " << list->Items(i)->Len << " "
              << static_cast<int>(list->Items(i)->Attr) << " " << list->Items(i)->Data << "]";
        v << "\n";
    }
    const TOrvTn3270display& screen = tn.Tn3270Stream().Screen();
    v << "screen cursor " << screen.CursorPosition << ", key " << static_cast<int>(tn.GetLastAidKey()) << "\n"
      << std::string(screen.Chars.begin(), screen.Chars.begin() + screen.Size);
    return v.str();
}

// A session whose next OnScreenChange (the Form) holds on a latch: it looks
// at the session when it starts and again once let go. Its state outlives
// the test body (the hook may run until the component is gone); TearDown
// lets a held handler go.
class HeldHandler : public Session {
protected:
    struct TState {
        std::mutex mutex;
        std::condition_variable changed;
        bool armed = false, held = false;
        std::string before, after;
    };
    std::shared_ptr<TState> s_ = std::make_shared<TState>();

    std::shared_ptr<TSimSession> OpenAndHold()
    {
        Start();
        events.On("ScreenChange", [s = s_, raw = tn.get()] {
            std::unique_lock lock(s->mutex);
            if (!std::exchange(s->armed, false))
                return;
            s->before = Look(*raw);
            s->held = true;
            s->changed.notify_all();
            s->changed.wait(lock, [&] { return !s->held; });
            s->after = Look(*raw);
        });
        auto s = Open();
        if (s) {
            std::unique_lock lock(s_->mutex);
            s_->armed = true;
            lock.unlock();
            s->Send3270(Form());
            lock.lock();
            EXPECT_TRUE(s_->changed.wait_for(lock, kWait, [this] { return s_->held; }));
        }
        return s;
    }
    // Lets the handler go once count threads wait for the session behind it.
    void ReleaseAfterWaiters(std::size_t count)
    {
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (tn->SessionWaiters() < count && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        EXPECT_GE(tn->SessionWaiters(), count);
        Release();
    }
    void Release()
    {
        std::lock_guard lock(s_->mutex);
        s_->held = false;
        s_->changed.notify_all();
    }
    void TearDown() override
    {
        Release();
        Session::TearDown();
    }
};

TEST_F(HeldHandler, AKeyWithEditsFromAnotherThreadWaitsForItAndThenGoes)
{
    auto s = OpenAndHold();
    ASSERT_TRUE(s);
    std::thread key([&] {
        auto guard = tn->Lock();
        Unprotected(*tn, 0).SetData("KEY");
        tn->UnprotectedFields.CursorPos = 174;
        tn->SetAidKey(TTn3270AidKey::akEnter);
    });
    ReleaseAfterWaiters(1);
    key.join();
    EXPECT_EQ(s_->after, s_->before);
    EXPECT_EQ(s_->before.find("KEY"), std::string::npos) << s_->before;
    EXPECT_NE(s_->before.find("screen cursor 90,"), std::string::npos) << s_->before;
    auto in = s->WaitInbound();
    ASSERT_TRUE(in);
    EXPECT_EQ(in->aid, aid::Enter);
    EXPECT_EQ(in->cursor, 173);
    ASSERT_EQ(in->fields.size(), 1u);
    EXPECT_EQ(in->fields[0].text, "KEY");
}

TEST_F(HeldHandler, DisconnectFromAnotherThreadCutsAtOnceAndClosesWhenItReturnsBeforeAConnect)
{
    auto s = OpenAndHold();
    ASSERT_TRUE(s);
    tn->Disconnect();                  // returns at once
    EXPECT_TRUE(s->WaitDisconnect());  // the host sees the end while the handler still runs
    EXPECT_FALSE(tn->IsConnected());
    EXPECT_EQ(events.Count("Disconnect"), 0);  // the close waits for the handler
    std::thread connect([&] { tn->Connect(); });
    ReleaseAfterWaiters(1);
    connect.join();
    EXPECT_EQ(s_->after, s_->before);
    EXPECT_EQ(s_->before.find("3 records"), s_->before.find('\n') + 1) << s_->before;
    // Then the close (lists empty), then the new connection.
    ASSERT_TRUE(events.WaitFor("Connect", 2));
    auto names = events.Names();
    names.erase(names.begin(), std::find(names.begin(), names.end(), "ScreenChange"));
    EXPECT_LT(std::find(names.begin(), names.end(), "Disconnect"), std::find(names.begin(), names.end(), "Connect"));
    EXPECT_EQ(events.Last("Disconnect").hostCount, 0);
    EXPECT_EQ(events.Last("Disconnect").unprotectedCount, 0);
}

// A handler answers the screen it is told about, on the reader thread or,
// with a windowed owner, on the dispatcher's (this) thread.
class KeyFromHandler : public Session, public ::testing::WithParamInterface<bool> {};

TEST_P(KeyFromHandler, EnterSentFromOnScreenChange)
{
    const bool withDispatcher = GetParam();
    std::shared_ptr<TDispatcher> dispatcher;
    std::unique_ptr<TWinControl> form;
    if (withDispatcher) {
        dispatcher = std::make_shared<TDispatcher>();
        form = std::make_unique<TWinControl>(nullptr, dispatcher);
    }
    Start({}, form.get());
    std::atomic<int> answered{0};
    events.On("ScreenChange", [&] {
        if (answered++ > 0)
            return;
        Unprotected(*tn, 0).SetData("HANDLER");  // the lists are stable in here
        tn->SetAidKey(TTn3270AidKey::akEnter);
    });
    auto s = Open(dispatcher.get());
    ASSERT_TRUE(s);
    s->Send3270(Form());

    std::optional<TSimInbound> in;
    if (withDispatcher) {
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (!in && std::chrono::steady_clock::now() < deadline) {
            dispatcher->ProcessMessages(5ms);
            in = s->WaitInbound(0ms);
        }
    } else {
        in = s->WaitInbound();
    }
    ASSERT_TRUE(in);
    EXPECT_EQ(in->aid, aid::Enter);
    ASSERT_EQ(in->fields.size(), 1u);
    EXPECT_EQ(in->fields[0].text, "HANDLER");
    const bool onThisThread = events.Last("ScreenChange").thread == std::this_thread::get_id();
    EXPECT_EQ(onThisThread, withDispatcher);
    tn.reset();
}

INSTANTIATE_TEST_SUITE_P(Component, KeyFromHandler, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "WithDispatcher" : "OnReaderThread"; });

} // namespace

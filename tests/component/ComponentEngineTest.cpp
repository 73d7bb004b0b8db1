// The component without a network: properties and registration, the TN3270E
// subnegotiation as byte scripts (every script also re-fed split at every
// byte), and every attention key checked against the simulator's decoder.
#include "ComponentTestSupport.h"

#include "component/PellanTN3270.h"
#include "config/uOrvTnGlbl.h"
#include "platform/uComponent.h"
#include "sim/uSim3270Decoder.h"

#include <gtest/gtest.h>

namespace {

using namespace tnsim;
using F = TTn3270ExtendedFunction;

TEST(Tn3270EProperties, DefaultsSettersAndRegistration)
{
    TTn3270E tn;
    EXPECT_EQ(tn.Port, 23);
    EXPECT_EQ(tn.GetTermType(), "IBM-3278-2-E");
    EXPECT_TRUE(tn.GetExtended());
    EXPECT_TRUE(tn.AllowTn3270E);
    EXPECT_EQ(tn.GetFunctions(), (TTn3270ExtendedFunctions{F::efBindImage, F::efResponses, F::efScsCtlCodes, F::efSysReq}));
    EXPECT_EQ(tn.GetLastAidKey(), TTn3270AidKey::akNoOp);
    EXPECT_EQ(tn.GetSessionState(), TSessionState::ssNone);
    EXPECT_EQ(tn.HostFields.Count() + tn.UnprotectedFields.Count(), 0);

    // Extended decides the option, never the terminal type.
    tn.SetExtended(false);
    EXPECT_FALSE(tn.AllowTn3270E);
    EXPECT_EQ(tn.GetTermType(), "IBM-3278-2-E");
    tn.SetTerminalType(TTn3270TerminalType::tt3278m2);
    EXPECT_EQ(tn.GetTermType(), "IBM-3278-2");

    const std::uint16_t level = tn.GetDebugLevel();
    tn.SetDesigning(true);  // the level is stored, logging is not started
    tn.SetDebug(true);
    EXPECT_EQ(tn.GetDebugLevel(), 9);
    tn.SetDebugLevel(3);
    EXPECT_TRUE(tn.GetDebug());
    tn.SetDebug(false);
    EXPECT_FALSE(tn.GetDebug());
    tn.SetDebugLevel(level);
    tn.SetDesigning(false);

    Register();
    auto info = TComponentRegistry::Instance().Find("TTn3270E");
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->Page, "Internet");
    EXPECT_EQ(info->Description, "TN3270 Component");
    auto made = TComponentRegistry::Instance().Create("TTn3270E", &tn);
    auto* created = dynamic_cast<TTn3270E*>(made.get());
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(created->Owner(), &tn);
    EXPECT_EQ(created->GetTermType(), "IBM-3278-2-E");
}

// ---- TN3270E subnegotiation scripts

const std::string kType = "49 42 4D 2D 33 32 37 38 2D 32 2D 45";  // IBM-3278-2-E
const TTn3270ExtendedFunctions kDefault = TTn3270E::kDefaultFunctions;

struct SubnegRow {
    const char* name;
    std::string deviceBefore;
    // Wire bytes fed to the engine ("FF FA ..."), or the bytes of one
    // subnegotiation handed straight to NegociateSubOption with nothing
    // after them (the scan must stop at their end).
    std::string input;
    std::string reply;  // hex of everything sent, "" for nothing
    std::string deviceAfter;
    TTn3270ExtendedFunctions functionsAfter;
    bool tn3270eMode;
};

const SubnegRow kSubnegRows[] = {
    {"SEND DEVICE-TYPE without a name", "", "FF FA 28 08 02 FF F0", "FF FA 28 02 07 " + kType + " FF F0", "",
     kDefault, true},
    {"SEND DEVICE-TYPE with a name", "LU01", "FF FA 28 08 02 FF F0",
     "FF FA 28 02 07 " + kType + " 01 4C 55 30 31 FF F0", "LU01", kDefault, true},
    {"a name byte 0xFF is doubled", std::string("A\xFF", 2), "FF FA 28 08 02 FF F0",
     "FF FA 28 02 07 " + kType + " 01 41 FF FF FF F0", std::string("A\xFF", 2), kDefault, true},
    {"SEND of something else skipped", "", "FF FA 28 08 03 08 02 FF F0", "FF FA 28 02 07 " + kType + " FF F0", "",
     kDefault, true},
    {"IS then CONNECT stores the LU and asks for the functions", "", "FF FA 28 02 04 " + kType + " 01 4C 55 30 32 FF F0",
     "FF FA 28 03 07 00 02 03 04 FF F0", "LU02", kDefault, true},
    {"DEVICE-TYPE then CONNECT directly", "", "FF FA 28 02 01 4C 55 30 33 FF F0", "FF FA 28 03 07 00 02 03 04 FF F0",
     "LU03", kDefault, true},
    {"REJECT REASON INV-NAME asks again without the name", "LU01", "FF FA 28 02 06 05 03 FF F0",
     "FF FA 28 02 07 " + kType + " FF F0", "", kDefault, true},
    {"REJECT with an unknown reason asks all the same", "LU01", "FF FA 28 02 06 05 09 FF F0",
     "FF FA 28 02 07 " + kType + " FF F0", "", kDefault, true},
    {"host FUNCTIONS REQUEST answered with our subset in its order", "", "FF FA 28 03 07 04 01 02 00 FF F0",
     "FF FA 28 03 07 04 02 00 FF F0", "", kDefault, true},
    {"host FUNCTIONS REQUEST of a subset of ours agreed with IS", "", "FF FA 28 03 07 02 00 FF F0",
     "FF FA 28 03 04 02 00 FF F0", "", {F::efBindImage, F::efResponses}, true},
    {"FUNCTIONS IS replaces the set", "", "FF FA 28 03 04 02 FF F0", "", "", {F::efResponses}, true},
    {"FUNCTIONS IS stops at a byte that is no function", "", "FF FA 28 03 04 00 04 09 02 FF F0", "", "",
     {F::efBindImage, F::efSysReq}, true},
    {"an unknown command only switches to headers", "", "FF FA 28 00 05 FF F0", "", "", kDefault, true},
    {"TERMINAL-TYPE SEND is the telnet layer's", "", "FF FA 18 01 FF F0", "FF FA 18 00 " + kType + " FF F0", "",
     kDefault, false},
    // Cut short: nothing past the last byte may be read.
    {"cut after DEVICE-TYPE", "LU01", "28 02", "", "LU01", kDefault, true},
    {"cut after REJECT", "LU01", "28 02 06", "FF FA 28 02 07 " + kType + " FF F0", "", kDefault, true},
    {"cut after REASON", "LU01", "28 02 06 05", "FF FA 28 02 07 " + kType + " FF F0", "", kDefault, true},
    {"cut inside the LU name", "", "28 01 4C 55", "FF FA 28 03 07 00 02 03 04 FF F0", "LU", kDefault, true},
    {"cut inside the host's FUNCTIONS REQUEST", "", "28 03 07 00 01", "FF FA 28 03 07 00 FF F0", "", kDefault, true},
    {"cut inside FUNCTIONS IS", "", "28 03 04 00 02", "", "", {F::efBindImage, F::efResponses}, true},
    {"cut after SEND", "", "28 08", "", "", kDefault, true},
};

class Subneg : public ::testing::TestWithParam<SubnegRow> {};

TEST_P(Subneg, RepliesAndState)
{
    const SubnegRow& row = GetParam();
    const Bytes in = Hex(row.input);
    const bool wire = in.size() >= 2 && in[0] == 0xFF;
    // Wire scripts are re-fed split at every position; one run for direct calls.
    const std::size_t splits = wire ? in.size() : 1;
    for (std::size_t cut = 0; cut < splits; ++cut) {
        SCOPED_TRACE("split at " + std::to_string(cut));
        TCaptureTn3270E tn;
        tn.SetDeviceName(row.deviceBefore);
        if (wire) {
            tn.Feed(Bytes(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(cut)));
            tn.Feed(Bytes(in.begin() + static_cast<std::ptrdiff_t>(cut), in.end()));
        } else {
            const auto exact = std::make_unique<std::uint8_t[]>(in.size());  // ASan sees any read past it
            std::copy(in.begin(), in.end(), exact.get());
            tn.NegociateSubOption(exact.get(), static_cast<std::uint16_t>(in.size()));
        }
        EXPECT_EQ(ToHex(tn.Sent), ToHex(Hex(row.reply)));
        EXPECT_EQ(tn.GetDeviceName(), row.deviceAfter);
        EXPECT_EQ(tn.GetFunctions(), row.functionsAfter);
        auto guard = tn.Lock();
        EXPECT_EQ(tn.Tn3270Stream().TN3270EMode, row.tn3270eMode);
    }
}

INSTANTIATE_TEST_SUITE_P(Tn3270E, Subneg, ::testing::ValuesIn(kSubnegRows),
                         [](const auto& info) {
                             std::string n;
                             for (const char* p = info.param.name; *p; ++p)
                                 n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return n;
                         });

// ---- attention keys on a captured plain TN3270 session

struct KeyRow {
    TTn3270AidKey key;
    std::uint8_t aid;  // from the simulator's own table
    bool shortRead;
};

std::vector<KeyRow> AllAidKeys()
{
    std::vector<KeyRow> rows = {{TTn3270AidKey::akEnter, aid::Enter, false},
                                {TTn3270AidKey::akClear, aid::Clear, true},
                                {TTn3270AidKey::akPA1, aid::PA1, true},
                                {TTn3270AidKey::akPA2, aid::PA2, true},
                                {TTn3270AidKey::akPA3, aid::PA3, true}};
    for (int i = 0; i < 24; ++i)
        rows.push_back({static_cast<TTn3270AidKey>(static_cast<int>(TTn3270AidKey::akPF1) + i),
                        aid::PF[static_cast<std::size_t>(i)], false});
    return rows;
}

// A plain session (binary, no TN3270E) showing a form: NAME (protected),
// an empty unprotected field at row 2 column 11, a prefilled one at row 3
// column 2, the cursor at row 2 column 11.
void ShowForm(TCaptureTn3270E& tn)
{
    tn.Feed(Hex("FF FD 00"));  // DO BINARY
    tn.Feed(Framed(TSim3270Encoder()
                       .EraseWrite(wcc::Restore)
                       .Field(2, 1, fa::Protected, "NAME")
                       .Field(2, 10, fa::Unprotected)
                       .IC()
                       .Field(2, 40, fa::Protected)
                       .Field(3, 1, fa::Unprotected, "OLD")
                       .Field(3, 20, fa::Protected)
                       .Take()));
    tn.TakeSent();
}

TEST(Tn3270EKeys, EveryAidKeySendsWhatA3270Sends)
{
    for (const KeyRow& row : AllAidKeys()) {
        SCOPED_TRACE(AidName(row.aid));
        TCaptureTn3270E tn;
        ShowForm(tn);
        {
            auto guard = tn.Lock();
            ASSERT_EQ(tn.UnprotectedFields.Count(), 2);
            Unprotected(tn, 0).SetData("ABC");  // edited
            Unprotected(tn, 1).SetData("OLD");  // same text: not modified, not sent
            tn.SetAidKey(row.key);
            EXPECT_EQ(tn.Tn3270Stream().Aid, row.aid);
        }
        EXPECT_EQ(tn.GetLastAidKey(), row.key);
        const TSimInbound in = DecodeInbound(Unframe(tn.TakeSent()));
        EXPECT_FALSE(in.malformed) << in.reason;
        EXPECT_EQ(in.aid, row.aid);
        if (row.shortRead) {
            EXPECT_EQ(in.kind, TSimInbound::Kind::ShortRead);
            continue;
        }
        EXPECT_EQ(in.kind, TSimInbound::Kind::Aid);
        EXPECT_EQ(in.cursor, 90);
        ASSERT_EQ(in.fields.size(), 1u);
        EXPECT_EQ(in.fields[0].address, 90);
        EXPECT_EQ(in.fields[0].text, "ABC");
    }
}

TEST(Tn3270EKeys, NoOpAttnAndSysReq)
{
    TCaptureTn3270E tn;
    TEvents events;
    events.Attach(tn);
    ShowForm(tn);
    const int screens = events.Count("ScreenChange");

    tn.SetAidKey(TTn3270AidKey::akNoOp);
    EXPECT_TRUE(tn.Sent.empty());
    EXPECT_EQ(tn.GetLastAidKey(), TTn3270AidKey::akNoOp);

    tn.SetAidKey(TTn3270AidKey::akATTN);
    EXPECT_EQ(ToHex(tn.TakeSent()), "FF F4");
    EXPECT_EQ(events.Names().back(), "SystemLock");
    // From now on a new screen unlocks the keyboard.
    tn.Feed(Framed(TSim3270Encoder().Write(wcc::Restore).Take()));
    auto names = events.Names();
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(names[names.size() - 2], "ScreenChange");
    EXPECT_EQ(names.back(), "SystemUnLock");

    tn.SetAidKey(TTn3270AidKey::akSysReq);
    EXPECT_EQ(ToHex(tn.TakeSent()), "FF F5");
    EXPECT_EQ(tn.GetSessionState(), TSessionState::ssSscpLu);
    EXPECT_EQ(events.Count("ScreenChange"), screens + 1);  // SysReq announces the state, not a screen
    const TSeen last = events.Last("SessionState");
    EXPECT_EQ(events.Names().back(), "SessionState");
    // The lists already show the cleared screen: 24 empty editable rows.
    EXPECT_EQ(last.hostCount, 24);
    EXPECT_EQ(last.unprotectedCount, 24);
    auto guard = tn.Lock();
    EXPECT_EQ(tn.HostFields.Items(23)->GetPos(), 1841);
    EXPECT_EQ(tn.HostFields.Items(23)->Data, "");
}

TEST(Tn3270EKeys, KeysOnAClosedConnectionSendNothingAndRaiseNoDisconnect)
{
    TTn3270E tn;
    TEvents events;
    events.Attach(tn);
    for (auto key : {TTn3270AidKey::akEnter, TTn3270AidKey::akPA2, TTn3270AidKey::akATTN, TTn3270AidKey::akSysReq,
                     TTn3270AidKey::akPF24})
        tn.SetAidKey(key);
    EXPECT_EQ(events.Count("Disconnect"), 0);
    EXPECT_FALSE(tn.IsConnected());
    EXPECT_EQ(tn.GetLastAidKey(), TTn3270AidKey::akPF24);
}

// ReadPause: the default comes from Telnet.ini (gReadPause) when the
// component is made; a value the application sets wins; out of range is refused.
TEST(ComponentReadPause, DefaultFromTheModuleSettingAndTheApplicationWins)
{
    const std::int32_t saved = gReadPause;
    {
        TTn3270E fresh;
        EXPECT_EQ(fresh.GetReadPause(), saved);
    }
    gReadPause = 12;
    TTn3270E tn;
    gReadPause = saved;
    EXPECT_EQ(tn.GetReadPause(), 12);
    EXPECT_EQ(tn.Timings.ReadPause, std::chrono::milliseconds(12));
    tn.SetReadPause(0);
    EXPECT_EQ(tn.GetReadPause(), 0);
    EXPECT_THROW(tn.SetReadPause(-1), std::out_of_range);
    EXPECT_THROW(tn.SetReadPause(kMaxReadPauseMs + 1), std::out_of_range);
    EXPECT_EQ(tn.GetReadPause(), 0);
    tn.SetReadPause(kMaxReadPauseMs);
    EXPECT_EQ(tn.GetReadPause(), kMaxReadPauseMs);
}

TEST(ComponentModel, NamesSizesAndTheModuleSetting)
{
    // As Debian's s3270 names them: TERMINAL-TYPE keeps a 3279 name, the
    // DEVICE-TYPE request always names a 3278 (the simulator session test
    // covers the other models on the wire).
    TCaptureTn3270E tn;
    tn.SetModelName("3279-5-E");
    EXPECT_EQ(tn.GetTermType(), "IBM-3279-5-E");
    tn.Feed(Hex("FF FA 28 08 02 FF F0"));
    EXPECT_NE(std::string(tn.Sent.begin(), tn.Sent.end()).find("IBM-3278-5-E"), std::string::npos);
    tn.SetOversize(TScreenSize{24, 160});  // fewer rows than a model 5: ignored
    EXPECT_EQ(tn.AlternateSize(), (TScreenSize{27, 132}));
    tn.SetTerminalType(TTn3270TerminalType::tt3278m2);
    tn.SetModelName("4");
    EXPECT_EQ(tn.GetTermType(), "IBM-3279-4");
    for (const char* bad : {"1", "6", "3277-2", "3278-", "44", "", "4-X"})
        EXPECT_THROW(tn.SetModelName(bad), std::invalid_argument) << bad;
    EXPECT_THROW(tn.SetModel(6), std::invalid_argument);
    EXPECT_THROW(tn.SetOversize(TScreenSize{100, 200}), std::invalid_argument);  // 20,000 positions
    EXPECT_EQ(tn.GetModel(), 4);

    const std::string saved = gModel;
    gModel = "3278-3-E";
    TTn3270E fromIni;
    gModel = saved;
    EXPECT_EQ(fromIni.GetTermType(), "IBM-3278-3-E");
}

} // namespace

// The keyboard-lock text the application reads (GetStatus) must follow the
// records: a write that leaves the keyboard unlocked must not leave it
// reading "SYSTEM", and the lock events come only from a real change.
TEST(Tn3270EStatus, StatusTextFollowsEveryRecord)
{
    TCaptureTn3270E tn;
    TEvents events;
    events.Attach(tn);
    ShowForm(tn);  // restore: unlocked
    EXPECT_EQ(tn.GetStatus(), "");
    const int unlocks = events.Count("SystemUnLock");

    // A second write while unlocked, restoring again: still unlocked, no event.
    tn.Feed(Framed(TSim3270Encoder().Write(wcc::Restore).Text("X").Take()));
    EXPECT_EQ(tn.GetStatus(), "");
    // Plain text with no command (as the SSCP sends it) unlocks as well.
    tn.Feed(Framed(Hex("C8 C5 D3 D3 D6")));
    EXPECT_EQ(tn.GetStatus(), "");
    EXPECT_EQ(events.Count("SystemLock"), 0);
    EXPECT_EQ(events.Count("SystemUnLock"), unlocks);

    // A write without the restore bit locks, with one event.
    tn.Feed(Framed(TSim3270Encoder().Write(0).Text("Y").Take()));
    EXPECT_EQ(tn.GetStatus(), "SYSTEM");
    EXPECT_EQ(events.Count("SystemLock"), 1);
}

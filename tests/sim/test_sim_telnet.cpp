// The host-side telnet/TN3270E engine, as scripts: lines that feed the
// client's bytes, lines that expect the exact bytes the host sends back,
// and lines that expect what the engine reports. Every script is also run
// with the client's bytes fed one at a time and split at every position,
// and must produce the same bytes and reports.
//
//   > hex...      the client sends these bytes
//   < hex...      the host has sent exactly these bytes since the last '<'
//   = text        the next report starts with this text
//   "TEXT" inside a hex line stands for its ASCII bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "sim/uSimTelnet.h"

namespace tnsim {
namespace {

Bytes ParseBytes(std::string_view line) {
    Bytes out;
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ') {
            ++i;
        } else if (line[i] == '"') {
            const auto end = line.find('"', i + 1);
            if (end == std::string_view::npos) throw std::invalid_argument("open quote in script");
            out.insert(out.end(), line.begin() + static_cast<std::ptrdiff_t>(i + 1),
                       line.begin() + static_cast<std::ptrdiff_t>(end));
            i = end + 1;
        } else {
            out.push_back(static_cast<std::uint8_t>(std::stoul(std::string(line.substr(i, 2)), nullptr, 16)));
            i += 2;
        }
    }
    return out;
}

// Records everything the engine says; hands out LUs from a two-name pool.
class RecordingSink : public ISimTelnetSink {
public:
    Bytes sent;
    std::vector<std::string> reports;
    std::vector<std::string> inUse;
    std::vector<std::string> pool = {"LU000001", "LU000002"};

    void OnSend(ByteView bytes) override { sent.insert(sent.end(), bytes.begin(), bytes.end()); }
    TSimLuGrant AssignLu(std::string_view, std::string_view requested) override {
        TSimLuGrant g;
        auto used = [&](const std::string& n) { return std::find(inUse.begin(), inUse.end(), n) != inUse.end(); };
        if (requested.empty()) {
            for (const auto& n : pool)
                if (!used(n)) {
                    g.granted = true;
                    g.luName = n;
                    break;
                }
        } else if (std::find(pool.begin(), pool.end(), requested) == pool.end()) {
            g.rejectReason = reason::InvName;
        } else if (!used(std::string(requested))) {
            g.granted = true;
            g.luName = requested;
        }
        if (g.granted) inUse.push_back(g.luName);
        return g;
    }
    void ReleaseLu(std::string_view lu) override {
        reports.push_back("release " + std::string(lu));
        inUse.erase(std::remove(inUse.begin(), inUse.end(), lu), inUse.end());
    }
    void OnNegotiated(const TSimNegotiated& s) override {
        std::string r = std::string("negotiated ") + (s.tn3270e ? "tn3270e " : "plain ") + s.terminalType + " " +
                        s.luName;
        if (!s.functions.empty()) r += " " + HexString(s.functions);
        reports.push_back(r);
    }
    void OnRecord(const TSimRecord& rec) override {
        std::string r = "record ";
        if (rec.tn3270e) r += HexString(EncodeTnHeader(rec.header)) + " | ";
        r += HexString(rec.data);
        reports.push_back(r);
    }
    void OnTelnetCommand(std::uint8_t c) override { reports.push_back("command " + HexString(ByteView(&c, 1))); }
    void OnFailure(std::string_view why) override { reports.push_back("failure " + std::string(why)); }
    void OnProtocolError(std::string_view what) override { reports.push_back("error " + std::string(what)); }
};

struct Script {
    const char* name;
    TSimTelnetOptions options;
    const char* text;
};

void PrintTo(const Script& s, std::ostream* os) { *os << s.name; }

struct Step {
    char kind;
    std::string body;
};

std::vector<Step> Steps(const char* text) {
    std::vector<Step> steps;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const auto first = line.find_first_not_of(' ');
        if (first == std::string::npos || line[first] == '#') continue;
        steps.push_back({line[first], line.substr(std::min(line.size(), first + 2))});
    }
    return steps;
}

// Runs the script step by step, checking each '<' and '=' where it stands.
void RunStepwise(const Script& s) {
    RecordingSink sink;
    TSimTelnet engine(s.options, sink);
    engine.Start();
    std::size_t reportAt = 0;
    for (const auto& step : Steps(s.text)) {
        switch (step.kind) {
        case '>': engine.Feed(ParseBytes(step.body)); break;
        case '<':
            EXPECT_EQ(HexString(sink.sent), HexString(ParseBytes(step.body))) << "at: " << step.body;
            sink.sent.clear();
            break;
        case '=':
            ASSERT_LT(reportAt, sink.reports.size()) << "missing report: " << step.body;
            EXPECT_EQ(sink.reports[reportAt].rfind(step.body, 0), 0u)
                << "report '" << sink.reports[reportAt] << "' expected '" << step.body << "'";
            ++reportAt;
            break;
        default: FAIL() << "bad script line kind " << step.kind;
        }
    }
    EXPECT_TRUE(sink.sent.empty()) << "unexpected bytes sent: " << HexString(sink.sent);
    EXPECT_EQ(reportAt, sink.reports.size()) << "unexpected report: "
                                             << (reportAt < sink.reports.size() ? sink.reports[reportAt] : "");
}

// Feeds all the client's bytes in the given pieces; returns what came out.
std::pair<Bytes, std::vector<std::string>> RunPieces(const Script& s, const Bytes& input,
                                                     const std::vector<std::size_t>& cuts) {
    RecordingSink sink;
    TSimTelnet engine(s.options, sink);
    engine.Start();
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        engine.Feed(ByteView(input).subspan(from, cut - from));
        from = cut;
    }
    engine.Feed(ByteView(input).subspan(from));
    return {sink.sent, sink.reports};
}

void RunSplit(const Script& s) {
    Bytes input;
    for (const auto& step : Steps(s.text))
        if (step.kind == '>') {
            const Bytes b = ParseBytes(step.body);
            input.insert(input.end(), b.begin(), b.end());
        }
    const auto whole = RunPieces(s, input, {});
    for (std::size_t cut = 1; cut < input.size(); ++cut) {
        const auto split = RunPieces(s, input, {cut});
        ASSERT_EQ(HexString(split.first), HexString(whole.first)) << "split at " << cut;
        ASSERT_EQ(split.second, whole.second) << "split at " << cut;
    }
    std::vector<std::size_t> every;
    for (std::size_t i = 1; i < input.size(); ++i) every.push_back(i);
    const auto bytewise = RunPieces(s, input, every);
    EXPECT_EQ(HexString(bytewise.first), HexString(whole.first));
    EXPECT_EQ(bytewise.second, whole.second);
}

TSimTelnetOptions Tn3270E() { return {}; }
TSimTelnetOptions Plain() {
    TSimTelnetOptions o;
    o.mode = TSimMode::Plain;
    return o;
}
template <typename F>
TSimTelnetOptions With(F change) {
    TSimTelnetOptions o;
    change(o);
    return o;
}

const Script kScripts[] = {
    {"Tn3270EWithSubsetRequestedBack", Tn3270E(), R"(
        < FF FD 28
        > FF FB 28
        < FF FA 28 08 02 FF F0
        > FF FA 28 02 07 "IBM-3278-2-E" FF F0
        < FF FA 28 02 04 "IBM-3278-2-E" 01 "LU000001" FF F0
        # the client wants SCS-CTL-CODES too; the host proposes its subset
        > FF FA 28 03 07 00 02 03 04 FF F0
        < FF FA 28 03 07 00 02 04 FF F0
        > FF FA 28 03 07 00 02 04 FF F0
        < FF FA 28 03 04 00 02 04 FF F0
        = negotiated tn3270e IBM-3278-2-E LU000001 00 02 04
        # records after negotiation: header kept apart, IAC undoubled
        > 00 00 00 00 01 7D FF FF 40 FF EF
        = record 00 00 00 00 01 | 7D FF 40
        > 02 00 00 00 07 00 FF EF
        = record 02 00 00 00 07 | 00
        > 00 00 00 FF EF
        = error TN3270E record shorter than its header
    )"},
    {"Tn3270EIsAtOnce", With([](auto& o) { o.functionsIsAtOnce = true; }), R"(
        < FF FD 28
        > FF FB 28
        < FF FA 28 08 02 FF F0
        > FF FA 28 02 07 "IBM-3279-2" 01 "LU000002" FF F0
        < FF FA 28 02 04 "IBM-3279-2" 01 "LU000002" FF F0
        > FF FA 28 03 07 00 01 02 03 04 FF F0
        < FF FA 28 03 04 00 02 04 FF F0
        = negotiated tn3270e IBM-3279-2 LU000002 00 02 04
    )"},
    {"Tn3270EClientAgreesWithIs", Tn3270E(), R"(
        < FF FD 28
        > FF FB 28
        < FF FA 28 08 02 FF F0
        > FF FA 28 02 07 "IBM-3278-2" FF F0
        < FF FA 28 02 04 "IBM-3278-2" 01 "LU000001" FF F0
        > FF FA 28 03 07 02 01 FF F0
        < FF FA 28 03 07 02 FF F0
        > FF FA 28 03 04 02 FF F0
        = negotiated tn3270e IBM-3278-2 LU000001 02
    )"},
    {"UnknownLuRejectedThenPoolLu", Tn3270E(), R"(
        < FF FD 28
        > FF FB 28
        < FF FA 28 08 02 FF F0
        > FF FA 28 02 07 "IBM-3278-2-E" 01 "NOSUCH" FF F0
        < FF FA 28 02 06 05 03 FF F0
        > FF FA 28 02 07 "IBM-3278-2-E" FF F0
        < FF FA 28 02 04 "IBM-3278-2-E" 01 "LU000001" FF F0
        > FF FA 28 03 07 FF F0
        < FF FA 28 03 04 FF F0
        = negotiated tn3270e IBM-3278-2-E LU000001
    )"},
    {"ForcedRejectWithChosenReason",
     With([](auto& o) {
         o.rejectDeviceTypeTimes = 1;
         o.rejectReason = reason::DeviceInUse;
     }),
     R"(
        < FF FD 28
        > FF FB 28
        < FF FA 28 08 02 FF F0
        > FF FA 28 02 07 "IBM-3278-2-E" 01 "LU000002" FF F0
        < FF FA 28 02 06 05 01 FF F0
        > FF FA 28 02 07 "IBM-3278-2-E" FF F0
        < FF FA 28 02 04 "IBM-3278-2-E" 01 "LU000001" FF F0
    )"},
    {"RequestAgainReleasesTheFirstLu", Tn3270E(), R"(
        < FF FD 28
        > FF FB 28
        < FF FA 28 08 02 FF F0
        > FF FA 28 02 07 "IBM-3278-2-E" FF F0
        < FF FA 28 02 04 "IBM-3278-2-E" 01 "LU000001" FF F0
        > FF FA 28 02 07 "IBM-3278-2-E" 01 "LU000002" FF F0
        = release LU000001
        < FF FA 28 02 04 "IBM-3278-2-E" 01 "LU000002" FF F0
    )"},
    {"NonDisplayTerminalTypeAndAssociateRejected", Tn3270E(), R"(
        < FF FD 28
        > FF FB 28
        < FF FA 28 08 02 FF F0
        > FF FA 28 02 07 "VT100" FF F0
        < FF FA 28 02 06 05 04 FF F0
        > FF FA 28 02 07 "IBM-3287-1" 00 "LU000001" FF F0
        < FF FA 28 02 06 05 02 FF F0
        > FF FA 28 02 07 "ibm-3278-2-e" FF F0
        < FF FA 28 02 04 "ibm-3278-2-e" 01 "LU000001" FF F0
    )"},
    {"FallbackToPlainWhenTn3270ERefused", Tn3270E(), R"(
        < FF FD 28
        > FF FC 28
        < FF FD 18
        > FF FB 18
        < FF FA 18 01 FF F0
        > FF FA 18 00 "IBM-3278-2-E" FF F0
        < FF FD 19 FF FB 19 FF FD 00 FF FB 00
        # the client answers each request once; nothing is answered back
        > FF FB 19 FF FD 19 FF FB 00
        < 
        > FF FD 00
        = negotiated plain IBM-3278-2-E LU000001
        > F1 C2 FF FF FF EF
        = record F1 C2 FF
    )"},
    {"WithdrawAfterWill", With([](auto& o) { o.withdrawTn3270E = TSimWithdraw::AfterWill; }), R"(
        < FF FD 28
        > FF FB 28
        < FF FE 28 FF FD 18
        # the client's acknowledgement is not answered
        > FF FC 28 FF FB 18
        < FF FA 18 01 FF F0
        > FF FA 18 00 "IBM-3278-2-E" FF F0
        < FF FD 19 FF FB 19 FF FD 00 FF FB 00
        > FF FB 19 FF FD 19 FF FB 00 FF FD 00
        = negotiated plain IBM-3278-2-E LU000001
    )"},
    {"WithdrawAfterDeviceType", With([](auto& o) { o.withdrawTn3270E = TSimWithdraw::AfterDeviceType; }), R"(
        < FF FD 28
        > FF FB 28
        < FF FA 28 08 02 FF F0
        > FF FA 28 02 07 "IBM-3278-2-E" FF F0
        < FF FE 28 FF FD 18
        > FF FC 28 FF FB 18
        < FF FA 18 01 FF F0
    )"},
    {"WithdrawAfterFunctionsReleasesTheLu", With([](auto& o) { o.withdrawTn3270E = TSimWithdraw::AfterFunctions; }),
     R"(
        < FF FD 28
        > FF FB 28
        < FF FA 28 08 02 FF F0
        > FF FA 28 02 07 "IBM-3278-2-E" FF F0
        < FF FA 28 02 04 "IBM-3278-2-E" 01 "LU000001" FF F0
        > FF FA 28 03 07 00 02 FF F0
        = release LU000001
        < FF FE 28 FF FD 18
        > FF FC 28 FF FB 18
        < FF FA 18 01 FF F0
        > FF FA 18 00 "IBM-3278-2-E" FF F0
        < FF FD 19 FF FB 19 FF FD 00 FF FB 00
        > FF FB 19 FF FD 19 FF FB 00 FF FD 00
        = negotiated plain IBM-3278-2-E LU000001
    )"},
    {"ClientGivesUpAfterRejectFallsBackToPlain",
     With([](auto& o) { o.rejectDeviceTypeTimes = 2; }), R"(
        < FF FD 28
        > FF FB 28
        < FF FA 28 08 02 FF F0
        > FF FA 28 02 07 "IBM-3278-2-E" 01 "LU000002" FF F0
        < FF FA 28 02 06 05 03 FF F0
        > FF FA 28 02 07 "IBM-3278-2-E" FF F0
        < FF FA 28 02 06 05 03 FF F0
        > FF FC 28
        < FF FE 28 FF FD 18
        > FF FB 18
        < FF FA 18 01 FF F0
    )"},
    {"PlainWithLuNamedInTerminalType", Plain(), R"(
        < FF FD 18
        > FF FB 18
        < FF FA 18 01 FF F0
        > FF FA 18 00 "IBM-3278-2@LU000002" FF F0
        < FF FD 19 FF FB 19 FF FD 00 FF FB 00
        > FF FB 19 FF FD 19 FF FB 00 FF FD 00
        = negotiated plain IBM-3278-2 LU000002
        > F1 C2 FF EF
        = record F1 C2
    )"},
    {"PlainTerminalTypeAskedTwice", With([](auto& o) {
         o.mode = TSimMode::Plain;
         o.terminalTypeSends = 2;
     }),
     R"(
        < FF FD 18
        > FF FB 18
        < FF FA 18 01 FF F0
        > FF FA 18 00 "IBM-3278-2-E" FF F0
        < FF FA 18 01 FF F0
        > FF FA 18 00 "IBM-3278-2" FF F0
        < FF FD 19 FF FB 19 FF FD 00 FF FB 00
    )"},
    {"PlainRefusedTerminalType", Plain(), R"(
        < FF FD 18
        > FF FC 18
        = failure client refused TERMINAL-TYPE
        # nothing more is read once the negotiation failed
        > FF FD 03
    )"},
    {"PlainRefusedBinary", Plain(), R"(
        < FF FD 18
        > FF FB 18
        < FF FA 18 01 FF F0
        > FF FA 18 00 "IBM-3278-2" FF F0
        < FF FD 19 FF FB 19 FF FD 00 FF FB 00
        > FF FB 19 FF FD 19 FF FC 00
        = failure client refused BINARY or END-OF-RECORD
    )"},
    {"PlainVt100IsNo3270", Plain(), R"(
        < FF FD 18
        > FF FB 18
        < FF FA 18 01 FF F0
        > FF FA 18 00 "VT100" FF F0
        = failure terminal type VT100
    )"},
    {"NoFallbackWhenTold", With([](auto& o) { o.fallbackToPlain = false; }), R"(
        < FF FD 28
        > FF FC 28
        = failure client refused TN3270E
    )"},
    {"OptionsCommandsAndOddBytes", Tn3270E(), R"(
        < FF FD 28
        # unknown options are refused once; supported ones agreed; answers not answered
        > FF FD 1F FF FB 1F FF FD 03 FF FB 03
        < FF FC 1F FF FE 1F FF FB 03 FF FD 03
        > FF FD 03 FF FC 1F
        > FF F5 FF F4 FF F3 FF F1 FF F0
        = command F5
        = command F4
        = command F3
        = command F1
        > FF FA 18 00 FF F0
        = error TERMINAL-TYPE out of turn
        > FF FA 28 03 07 00 FF F0
        = error FUNCTIONS out of turn
        > FF FA 28 02 FF F0
        = error TN3270E subnegotiation too short
        > FF FA 28 05 01 FF F0
        = error unexpected TN3270E subnegotiation
        > FF FA 28 02 07 FF F5
        = error subnegotiation not ended by IAC SE
        = command F5
        > C1 C2 FF EF
        = error record before the negotiation finished
        > FF FA 28 08 FF FF 02 FF F0
        = error unexpected TN3270E subnegotiation
        > FF FB 28
        < FF FA 28 08 02 FF F0
    )"},
};

class SimTelnetScript : public ::testing::TestWithParam<Script> {};

TEST_P(SimTelnetScript, Stepwise) { RunStepwise(GetParam()); }
TEST_P(SimTelnetScript, SplitAtEveryByte) { RunSplit(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Scripts, SimTelnetScript, ::testing::ValuesIn(kScripts),
                         [](const auto& info) { return std::string(info.param.name); });

// Negotiates TN3270E with the default options; returns the engine ready.
void Negotiate(TSimTelnet& e, RecordingSink& sink, const char* functions = "00 02 04") {
    e.Start();
    e.Feed(ParseBytes(std::string("FF FB 28 FF FA 28 02 07 \"IBM-3278-2-E\" FF F0 FF FA 28 03 07 ") + functions +
                      " FF F0"));
    ASSERT_TRUE(e.IsNegotiated());
    sink.sent.clear();
    sink.reports.clear();
}

TEST(SimTelnetSend, RecordsCarryHeaderSequenceAndDoubledIac) {
    RecordingSink sink;
    TSimTelnet e({}, sink);
    EXPECT_THROW(e.SendRecord(dt::Data3270, Bytes{0xF5}), std::logic_error);
    Negotiate(e, sink);
    const Bytes data{0xF5, 0xC3, 0xFF};
    EXPECT_EQ(e.SendRecord(dt::Data3270, data), 0);
    EXPECT_EQ(e.SendRecord(dt::BindImage, Bytes{0x31, 0x01}), 1);
    EXPECT_EQ(e.SendRecord(dt::Data3270, data, rf::AlwaysResponse), 2);
    e.SendResponse(7, true, 0x00);
    e.SendResponse(8, false, 0x01);
    EXPECT_EQ(HexString(sink.sent),
              "00 00 00 00 00 F5 C3 FF FF FF EF "
              "03 00 00 00 01 31 01 FF EF "
              "00 00 02 00 02 F5 C3 FF FF FF EF "
              "02 00 00 00 07 00 FF EF "
              "02 00 01 00 08 01 FF EF");
    EXPECT_EQ(e.Negotiated().luName, "LU000001");
    EXPECT_TRUE(e.Negotiated().HasFunction(fn::Responses));
    EXPECT_FALSE(e.Negotiated().HasFunction(fn::ScsCtlCodes));
}

TEST(SimTelnetSend, SequenceNumberWrapsAfter32767) {
    RecordingSink sink;
    TSimTelnet e({}, sink);
    Negotiate(e, sink);
    for (int i = 0; i <= kMaxSeqNumber; ++i) e.SendRecord(dt::Data3270, Bytes{0xF1});
    EXPECT_EQ(e.SendRecord(dt::Data3270, Bytes{0xF1}), 0);
}

TEST(SimTelnetSend, PlainModeCarriesOnly3270Data) {
    RecordingSink sink;
    TSimTelnetOptions o;
    o.mode = TSimMode::Plain;
    TSimTelnet e(o, sink);
    e.Start();
    e.Feed(ParseBytes("FF FB 18 FF FA 18 00 \"IBM-3278-2\" FF F0 FF FB 19 FF FD 19 FF FB 00 FF FD 00"));
    ASSERT_TRUE(e.IsNegotiated());
    EXPECT_FALSE(e.Negotiated().tn3270e);
    sink.sent.clear();
    EXPECT_EQ(e.SendRecord(dt::Data3270, Bytes{0xF5, 0xC2}), 0);
    EXPECT_EQ(HexString(sink.sent), "F5 C2 FF EF");
    EXPECT_THROW(e.SendRecord(dt::Unbind, Bytes{0x01}), std::logic_error);
    EXPECT_THROW(e.SendResponse(0, true, 0), std::logic_error);
}

TEST(SimTelnetLimits, OverlongRecordAndSubnegotiationAreDroppedWhole) {
    RecordingSink sink;
    TSimTelnet e({}, sink);
    Negotiate(e, sink);
    Bytes big(kMaxRecordBytes + 1, 0x40);
    big.push_back(tel::IAC);
    big.push_back(tel::EOR);
    e.Feed(big);
    const Bytes ok = ParseBytes("00 00 00 00 00 7D 40 40 FF EF");
    e.Feed(ok);
    ASSERT_EQ(sink.reports.size(), 2u);
    EXPECT_EQ(sink.reports[0], "error record longer than the host accepts, dropped");
    EXPECT_EQ(sink.reports[1], "record 00 00 00 00 00 | 7D 40 40");

    sink.reports.clear();
    Bytes sub = {tel::IAC, tel::SB, opt::Tn3270E, tne::Functions, tne::Request};
    sub.resize(sub.size() + kMaxSubnegBytes, 0x02);
    sub.push_back(tel::IAC);
    sub.push_back(tel::SE);
    e.Feed(sub);
    ASSERT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(sink.reports[0], "error subnegotiation longer than the host accepts");
    EXPECT_TRUE(sink.sent.empty());
}

TEST(SimTelnetLimits, EndlessRejectionsEndTheNegotiation) {
    RecordingSink sink;
    TSimTelnetOptions o;
    o.rejectDeviceTypeTimes = 1000;
    TSimTelnet e(o, sink);
    e.Start();
    e.Feed(ParseBytes("FF FB 28"));
    for (int i = 0; i <= kMaxDeviceTypeRounds; ++i) e.Feed(ParseBytes("FF FA 28 02 07 \"IBM-3278-2\" FF F0"));
    EXPECT_TRUE(e.IsFailed());
    EXPECT_EQ(sink.reports.back(), "failure too many DEVICE-TYPE requests");
}

TEST(SimTelnetLimits, FunctionsHaggleIsBounded) {
    // A client that keeps asking for a function the host lacks gets IS of
    // the subset after a bounded number of rounds.
    RecordingSink sink;
    TSimTelnet e({}, sink);
    e.Start();
    e.Feed(ParseBytes("FF FB 28 FF FA 28 02 07 \"IBM-3278-2\" FF F0"));
    for (int i = 0; i < kMaxFunctionsRounds && !e.IsNegotiated(); ++i) {
        sink.sent.clear();
        e.Feed(ParseBytes("FF FA 28 03 07 02 03 FF F0"));
    }
    ASSERT_TRUE(e.IsNegotiated());
    EXPECT_EQ(HexString(sink.sent), "FF FA 28 03 04 02 FF F0");
}

}  // namespace
}  // namespace tnsim

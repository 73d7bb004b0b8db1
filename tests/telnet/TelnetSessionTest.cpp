// The I/O-free telnet session (telnet/uTelnetSession) alone, with no
// component, socket or thread: the option table and the negotiation
// transcripts (transcripts/session), each played as written and split at
// every byte.
#include "sim/uTestHost.h"
#include "telnet/uTelnetSession.h"
#include "tests/support/TelnetHelpers.h"
#include "tests/support/Transcript.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

using namespace tntest;

// Events: "Tn3270EDropped". Actions: SET tn3270e 0|1 (AllowTn3270E) |
// WRITE bytes (a record). Checks (each takes the oldest not yet checked):
// ?record bytes (3270 data) | ?text bytes | ?sub bytes; and ?ttype N
// (TermTypeRequests), ?disconnects N (failures reported).
class TSessionTarget final : public TTranscriptTarget, private TTelnetSession::TEvents {
public:
    void Push(const std::vector<std::span<const std::uint8_t>>& pieces) override
    {
        for (const auto& p : pieces) {
            session_.Feed(p);
            session_.EndBlock();
        }
    }
    Bytes TakeSent() override { return std::exchange(sent_, {}); }
    std::vector<std::string> TakeEvents() override { return std::exchange(events_, {}); }
    bool Act(const std::string& word, std::string_view args) override
    {
        if (word == "SET") {
            const auto w = Words(args);
            if (w.size() != 2 || w[0] != "tn3270e")
                return false;
            session_.AllowTn3270E = w[1] == "1";
        } else if (word == "WRITE") {
            session_.SendRecord(ParseBytes(args));
        } else {
            return false;
        }
        return true;
    }
    std::optional<std::string> Check(const std::string& key, std::string_view args) override
    {
        if (key == "record")
            return CheckNext(records_, recordsChecked_, ParseBytes(args), "record");
        if (key == "text")
            return CheckNext(texts_, textsChecked_, ParseBytes(args), "text");
        if (key == "sub")
            return CheckNext(subs_, subsChecked_, ParseBytes(args), "subnegotiation");
        long got = 0;
        if (key == "ttype")
            got = session_.TermTypeRequests;
        else if (key == "disconnects")
            got = failures_;
        else
            return std::nullopt;
        return std::to_string(got) == std::string(args) ? "" : key + " " + std::to_string(got);
    }
    std::string Leftovers() override
    {
        std::string out;
        if (recordsChecked_ != records_.size() || textsChecked_ != texts_.size() || subsChecked_ != subs_.size())
            out += "records, texts or subnegotiations not checked";
        return out;
    }

    TTelnetSession& Session() { return session_; }

private:
    void OnRecordData(std::span<const std::uint8_t> run) override { record_.insert(record_.end(), run.begin(), run.end()); }
    void OnEndOfRecord(TTelnetSession::TRecord kind, std::span<const std::uint8_t> last) override
    {
        record_.insert(record_.end(), last.begin(), last.end());
        (kind == TTelnetSession::TRecord::Data3270 ? records_ : texts_).push_back(std::exchange(record_, {}));
    }
    void OnSubnegotiation(std::span<const std::uint8_t> data) override
    {
        subs_.emplace_back(data.begin(), data.end());
        session_.AnswerTerminalType(data);
    }
    std::string TerminalType() override { return "VT100"; }
    void OnTn3270EDropped(bool /*byUs*/) override { events_.push_back("Tn3270EDropped"); }
    void OnFailed(const std::string& /*reason*/) override { ++failures_; }
    void OnSend(std::span<const std::uint8_t> bytes, TTelnetEngine::TOutput) override
    {
        sent_.insert(sent_.end(), bytes.begin(), bytes.end());
    }

    TTelnetSession session_{*this};
    Bytes record_, sent_;
    std::vector<Bytes> records_, texts_, subs_;
    std::size_t recordsChecked_ = 0, textsChecked_ = 0, subsChecked_ = 0;
    std::vector<std::string> events_;
    int failures_ = 0;
};

class SessionTranscript : public ::testing::TestWithParam<TTranscriptFile> {};

TEST_P(SessionTranscript, HoldsSplitAtEveryByte)
{
    RunTranscriptFile(GetParam().path, [] { return std::make_unique<TSessionTarget>(); });
}

INSTANTIATE_TEST_SUITE_P(Files, SessionTranscript, ::testing::ValuesIn(ListTranscripts(TN_TRANSCRIPTS "/session")),
                         TTranscriptName());

// ---- the option table

struct NegotiationRow {
    const char* name;
    std::uint8_t verb, option;
    bool allowTn3270E;
    bool binaryBefore;
    const char* reply;   // hex, "" for no reply
    const char* repeat;  // the reply to the same command sent again at once
    bool binaryAfter;
    bool tn3270EAfter;
};

constexpr std::uint8_t DO = 0xFD, DONT = 0xFE, WILL = 0xFB, WONT = 0xFC;

// In order, in one session: each row starts in the option state the rows
// before it left. RFC 1143: a request for the state an option is in is not
// answered; a refused DO is answered WONT, a refused WILL DONT, every time.
const NegotiationRow kRows[] = {
    {"DO BINARY", DO, 0, false, false, "FF FB 00", "", true, false},
    {"WILL BINARY", WILL, 0, false, false, "FF FD 00", "", true, false},
    {"WONT BINARY", WONT, 0, false, true, "FF FE 00", "", false, false},
    {"DONT BINARY", DONT, 0, false, true, "FF FC 00", "", true, false},
    {"WILL SGA", WILL, 3, false, false, "FF FD 03", "", false, false},
    {"DO SGA", DO, 3, false, false, "FF FB 03", "", false, false},
    {"WONT SGA", WONT, 3, false, false, "FF FE 03", "", false, false},
    {"DONT SGA", DONT, 3, false, false, "FF FC 03", "", false, false},
    {"DO SEND-LOCATION", DO, 23, false, false,
     "FF FB 17 FF FA 17 54 4F 72 76 54 65 6C 6E 65 74 FF F0", "", false, false},
    {"WILL SEND-LOCATION", WILL, 23, false, false, "FF FE 17", "FF FE 17", false, false},
    {"WONT SEND-LOCATION", WONT, 23, false, false, "", "", false, false},
    {"DONT SEND-LOCATION", DONT, 23, false, false, "FF FC 17", "", false, false},
    {"DO TERMINAL-TYPE", DO, 24, false, false, "FF FB 18", "", false, false},
    {"WILL TERMINAL-TYPE", WILL, 24, false, false, "FF FE 18", "FF FE 18", false, false},
    {"WONT TERMINAL-TYPE", WONT, 24, false, false, "", "", false, false},
    {"DONT TERMINAL-TYPE", DONT, 24, false, false, "FF FC 18", "", false, false},
    {"WILL EOR", WILL, 25, false, false, "FF FD 19", "", false, false},
    {"DO EOR", DO, 25, false, false, "FF FB 19", "", false, false},
    {"WONT EOR", WONT, 25, false, false, "FF FE 19", "", false, false},
    {"DONT EOR", DONT, 25, false, false, "FF FC 19", "", false, false},
    {"DO TN3270E allowed", DO, 40, true, false, "FF FB 28", "", true, true},
    {"WILL TN3270E allowed", WILL, 40, true, false, "FF FE 28", "FF FE 28", false, false},
    {"WONT TN3270E allowed", WONT, 40, true, false, "", "", false, false},
    {"DONT TN3270E allowed", DONT, 40, true, true, "FF FC 28", "", false, false},
    {"DO TN3270E refused", DO, 40, false, false, "FF FC 28", "FF FC 28", false, false},
    {"WILL TN3270E refused", WILL, 40, false, false, "FF FE 28", "FF FE 28", false, false},
    {"WONT TN3270E refused", WONT, 40, false, false, "", "", false, false},
    {"DONT TN3270E refused", DONT, 40, false, false, "", "", false, false},
    {"DO 31", DO, 31, false, false, "FF FC 1F", "FF FC 1F", false, false},
    {"WILL 31", WILL, 31, false, false, "FF FE 1F", "FF FE 1F", false, false},
    {"WONT 31", WONT, 31, false, false, "", "", false, false},
    {"DONT 31", DONT, 31, false, false, "", "", false, false},
    {"DO 255", DO, 255, false, false, "FF FC FF", "FF FC FF", false, false},
};

TEST(TelnetSession, EveryRowOfTheOptionTableIsAnsweredOnce)
{
    TSessionTarget target;
    TTelnetSession& session = target.Session();
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.name);
        session.AllowTn3270E = row.allowTn3270E;
        session.BinaryMode = row.binaryBefore;
        session.Tn3270EAccepted = false;
        const Bytes command{0xFF, row.verb, row.option};
        target.Push({command});
        target.Push({command});
        EXPECT_EQ(ToHex(target.TakeSent()), ToHex(Concat({HexBytes(row.reply), HexBytes(row.repeat)})));
        EXPECT_EQ(session.BinaryMode, row.binaryAfter);
        EXPECT_EQ(session.Tn3270EAccepted, row.tn3270EAfter);
    }
    // DONT TN3270E withdrew it.
    EXPECT_EQ(target.TakeEvents(), std::vector<std::string>{"Tn3270EDropped"});
}

} // namespace

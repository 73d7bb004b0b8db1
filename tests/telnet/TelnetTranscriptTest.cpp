// Telnet transcripts (tests/telnet/transcripts), each played as written and
// split at every byte. Two targets, neither with a socket or a thread:
//   engine/   the bare TTelnetEngine: what it reports and what it frames
//   telnet/   TOrvTelnet over the script stream (TelnetTestSupport.h): its
//             records, text records, replies and events
// (session/, the I/O-free session alone, is played by TelnetSessionTest.cpp.)
#include "TelnetTestSupport.h"
#include "tests/support/Transcript.h"

#include "telnet/uTelnetEngine.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <map>
#include <utility>

namespace {

using namespace tntest;

std::string VerbName(std::uint8_t verb)
{
    switch (verb) {
    case TTelnetEngine::WILL: return "WILL";
    case TTelnetEngine::WONT: return "WONT";
    case TTelnetEngine::DO: return "DO";
    case TTelnetEngine::DONT: return "DONT";
    default: return HexText(std::span(&verb, 1));
    }
}

const std::map<std::string, TTelnetEngine::TState> kStates = {
    {"Data", TTelnetEngine::TState::Data},   {"Iac", TTelnetEngine::TState::Iac},
    {"Verb", TTelnetEngine::TState::Verb},   {"Subneg", TTelnetEngine::TState::Subneg},
    {"SubnegIac", TTelnetEngine::TState::SubnegIac},
};

std::string StateName(TTelnetEngine::TState state)
{
    for (const auto& [name, s] : kStates)
        if (s == state)
            return name;
    return "?";
}

// ---- the bare engine
// Events: "data HEX" (the data since the previous event, as one run however
// it arrived), "record HEX" (IAC EOR with the data since the previous
// event; "record" when there was none), "DO 28",
// "sub HEX", "discarded", "command F1".
// Actions: OPTION verb option | SUB option bytes | COMMAND byte | RECORD bytes
// Checks: ?state Data|Iac|Verb|Subneg|SubnegIac
class TEngineTarget final : public TTranscriptTarget, private TTelnetEngine::TEvents {
public:
    void Push(const std::vector<std::span<const std::uint8_t>>& pieces) override
    {
        for (const auto& p : pieces)
            engine_.Feed(p);
    }
    Bytes TakeSent() override { return std::exchange(sent_, {}); }
    std::vector<std::string> TakeEvents() override
    {
        FlushData("data ");
        return std::exchange(events_, {});
    }
    bool Act(const std::string& word, std::string_view args) override
    {
        const Bytes b = ParseBytes(args);
        if (word == "RECORD") {
            engine_.SendRecord(b);
        } else if (word == "COMMAND" && b.size() == 1) {
            engine_.SendCommand(b[0]);
        } else if (word == "OPTION" && b.size() == 2) {
            engine_.SendOption(b[0], b[1]);
        } else if (word == "SUB" && !b.empty()) {
            engine_.SendSubnegotiation(b[0], std::span(b).subspan(1));
        } else {
            return false;
        }
        return true;
    }
    std::optional<std::string> Check(const std::string& key, std::string_view args) override
    {
        if (key != "state")
            return std::nullopt;
        const std::string got = StateName(engine_.State());
        return got == std::string(args) ? "" : "state " + got;
    }

private:
    void FlushData(const char* kind)
    {
        if (data_.empty())
            return;
        events_.push_back(kind + HexText(data_));
        data_.clear();
    }
    void OnData(std::span<const std::uint8_t> run) override { data_.insert(data_.end(), run.begin(), run.end()); }
    void OnEndOfRecord() override
    {
        events_.push_back(data_.empty() ? "record" : "record " + HexText(data_));
        data_.clear();
    }
    void OnOption(std::uint8_t verb, std::uint8_t option) override
    {
        FlushData("data ");
        events_.push_back(VerbName(verb) + " " + HexText(std::span(&option, 1)));
    }
    void OnSubnegotiation(std::span<const std::uint8_t> data) override
    {
        FlushData("data ");
        events_.push_back("sub " + HexText(data));
    }
    void OnSubnegotiationDiscarded() override
    {
        FlushData("data ");
        events_.push_back("discarded");
    }
    void OnCommand(std::uint8_t command) override
    {
        FlushData("data ");
        events_.push_back("command " + HexText(std::span(&command, 1)));
    }
    void OnSend(std::span<const std::uint8_t> bytes, TTelnetEngine::TOutput) override
    {
        sent_.insert(sent_.end(), bytes.begin(), bytes.end());
    }

    TTelnetEngine engine_{*this};
    Bytes data_;
    Bytes sent_;
    std::vector<std::string> events_;
};

// ---- the telnet component over the script stream
// Events: the handlers' names (ScreenChange, SystemLock ...).
// Actions: SET tn3270e 0|1 (AllowTn3270E) | WRITE bytes (tcpWrite) |
//          AO | BREAK | IP
// Checks (each takes the oldest not yet checked): ?record bytes |
//   ?text "..." | ?sub bytes; and ?fields N (GenHostFields calls so far),
//   ?disconnects N (Disconnect calls), ?ttype N (TermTypeRequests),
//   ?unlock 0|1 (UnlockPending), ?incount N (stream input not yet
//   processed), ?state (the parser's state).
class TTelnetTarget final : public TTranscriptTarget {
public:
    TTelnetTarget()
    {
        t_.Capture();
        events_.Attach(t_);
    }
    void Push(const std::vector<std::span<const std::uint8_t>>& pieces) override
    {
        for (const auto& p : pieces)
            t_.NewData(p.data(), static_cast<std::int32_t>(p.size()));
    }
    Bytes TakeSent() override { return t_.TakeSent(); }
    std::vector<std::string> TakeEvents() override { return events_.TakeNames(); }
    bool Act(const std::string& word, std::string_view args) override
    {
        if (word == "SET") {
            const auto w = Words(args);
            if (w.size() != 2 || w[0] != "tn3270e")
                return false;
            t_.AllowTn3270E = w[1] == "1";
        } else if (word == "WRITE") {
            const Bytes b = ParseBytes(args);
            t_.tcpWrite(b.empty() ? nullptr : b.data(), static_cast<std::int32_t>(b.size()));
        } else if (word == "AO") {
            t_.SendAO();
        } else if (word == "BREAK") {
            t_.SendBreak();
        } else if (word == "IP") {
            t_.SendInterruptProcess();
        } else {
            return false;
        }
        return true;
    }
    std::optional<std::string> Check(const std::string& key, std::string_view args) override
    {
        if (key == "record")
            return CheckNext(t_.Script().Records, recordsChecked_, ParseBytes(args), "record");
        if (key == "sub")
            return CheckNext(t_.SubOptions, subsChecked_, ParseBytes(args), "subnegotiation");
        if (key == "text") {
            const auto& texts = t_.Texts;
            if (textsChecked_ >= texts.size())
                return std::string("no text record");
            const Bytes got(texts[textsChecked_].begin(), texts[textsChecked_].end());
            ++textsChecked_;
            const Bytes want = ParseBytes(args);
            return got == want ? "" : "text " + HexText(got);
        }
        if (key == "state") {
            const std::string got = StateName(t_.Engine().State());
            return got == std::string(args) ? "" : "state " + got;
        }
        long got = 0;
        if (key == "fields")
            got = t_.FieldGenerations;
        else if (key == "disconnects")
            got = t_.DisconnectCalls;
        else if (key == "ttype")
            got = t_.TermTypeRequests;
        else if (key == "unlock")
            got = t_.UnlockPending ? 1 : 0;
        else if (key == "incount")
            got = t_.Stream->InCount;
        else
            return std::nullopt;
        return std::to_string(got) == std::string(args) ? "" : key + " " + std::to_string(got);
    }
    std::string Leftovers() override
    {
        std::string out;
        if (recordsChecked_ != t_.Script().Records.size())
            out += "records not checked; ";
        if (subsChecked_ != t_.SubOptions.size())
            out += "subnegotiations not checked; ";
        if (textsChecked_ != t_.Texts.size())
            out += "text records not checked; ";
        return out;
    }

private:
    TTestTelnet t_;
    TEventLog events_;
    std::size_t recordsChecked_ = 0;
    std::size_t subsChecked_ = 0;
    std::size_t textsChecked_ = 0;
};

class EngineTranscript : public ::testing::TestWithParam<TTranscriptFile> {};
class TelnetTranscript : public ::testing::TestWithParam<TTranscriptFile> {};

TEST_P(EngineTranscript, HoldsSplitAtEveryByte)
{
    RunTranscriptFile(GetParam().path, [] { return std::make_unique<TEngineTarget>(); });
}

TEST_P(TelnetTranscript, HoldsSplitAtEveryByte)
{
    RunTranscriptFile(GetParam().path, [] { return std::make_unique<TTelnetTarget>(); });
}

INSTANTIATE_TEST_SUITE_P(Files, EngineTranscript, ::testing::ValuesIn(ListTranscripts(TN_TRANSCRIPTS "/engine")),
                         TTranscriptName());
INSTANTIATE_TEST_SUITE_P(Files, TelnetTranscript, ::testing::ValuesIn(ListTranscripts(TN_TRANSCRIPTS "/telnet")),
                         TTranscriptName());

// The runner itself must catch a wrong expectation, also one that only a
// split feed gets wrong.
TEST(TranscriptRunner, AWrongReplyOrEventFails)
{
    const auto make = [] { return std::make_unique<TTelnetTarget>(); };
    EXPECT_NONFATAL_FAILURE(RunTranscript("PUSH FF FD 00\nsend FF FB 01\n", make), "bytes sent");
    EXPECT_NONFATAL_FAILURE(RunTranscript("PUSH FF FD 00\n", make), "no \"send\" line");
    EXPECT_NONFATAL_FAILURE(RunTranscript("PUSH FF FD 00 \"S\" FF EF\nsend FF FB 00\n?record \"S\"\n?event\n", make),
                            "events raised");
    // Two screen records in one block raise one screen change; split, two.
    EXPECT_NONFATAL_FAILURE(
        RunTranscript("PUSH FF FD 00 \"S\" FF EF \"S\" FF EF\nsend FF FB 00\n?record \"S\"\n?record \"S\"\n"
                      "?event ScreenChange\n",
                      make),
        "played one byte at a time");
}

} // namespace

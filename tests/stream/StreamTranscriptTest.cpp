// Data stream transcripts (tests/stream/transcripts): each PUSH line is one
// record, handed to the stream's input in one or two pieces (split at every
// byte) before ProcessData. Expectations are the stream scripts' own
// (StreamScript.h: ?row, ?cursor, ?status, ?state ...).
// Events: SessionState for each ceSessionState, "error TEXT" for a record
// the stream rejects. Actions: mode e|p, key XX (as in the stream scripts).
#include "StreamScript.h"
#include "tests/support/Transcript.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

using namespace tntest;

class TStreamTarget final : public TTranscriptTarget {
public:
    TStreamTarget()
    {
        h_.stream.OnNotify = [this](TCallBackEvent e) {
            if (e == TCallBackEvent::ceSessionState) {
                ++h_.stateNotes;
                events_.push_back("SessionState");
            }
        };
    }
    void Push(const std::vector<std::span<const std::uint8_t>>& pieces) override
    {
        for (const auto& p : pieces)
            h_.stream.AddBuffer(p.data(), static_cast<std::int32_t>(p.size()));
        try {
            h_.stream.ProcessData();
        } catch (const EStreamError& e) {
            events_.push_back(std::string("error ") + e.what());
        }
        if (h_.stream.InCount != 0)
            events_.push_back("input not emptied");
    }
    Bytes TakeSent() override
    {
        Bytes out;
        for (const auto& b : h_.sent)
            out.insert(out.end(), b.begin(), b.end());
        h_.sent.clear();
        return out;
    }
    std::vector<std::string> TakeEvents() override { return std::exchange(events_, {}); }
    bool Act(const std::string& word, std::string_view args) override
    {
        const auto w = Words(args);
        if (w.size() != 1)
            return false;
        if (word == "mode") {
            h_.stream.TN3270EMode = w[0] == "e";
            return true;
        }
        if (word == "key") {
            h_.stream.Aid = static_cast<std::uint8_t>(std::stoul(w[0], nullptr, 16));
            h_.stream.readModifiedCommand();
            return true;
        }
        return false;
    }
    std::optional<std::string> Check(const std::string& key, std::string_view args) override
    {
        return h_.Expect(key, args);
    }

private:
    StreamHarness h_;
    std::vector<std::string> events_;
};

class StreamTranscript : public ::testing::TestWithParam<TTranscriptFile> {};

TEST_P(StreamTranscript, HoldsSplitAtEveryByte)
{
    RunTranscriptFile(GetParam().path, [] { return std::make_unique<TStreamTarget>(); });
}

INSTANTIATE_TEST_SUITE_P(Files, StreamTranscript, ::testing::ValuesIn(ListTranscripts(TN_TRANSCRIPTS)),
                         TTranscriptName());

} // namespace

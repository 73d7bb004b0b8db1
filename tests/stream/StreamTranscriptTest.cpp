// Data stream transcripts (tests/stream/transcripts): each PUSH line is one
// record, handed to the stream whole (ProcessRecord reads it where it lies)
// or in two pieces (split at every byte: the first through AddBuffer). Expectations are the stream scripts' own
// (StreamScript.h: ?row, ?cursor, ?status, ?state ...).
// Events: SessionState for each ceSessionState, "error TEXT" for a record
// the stream rejects. Actions: mode e|p, key XX (as in the stream scripts),
// model N and oversize COLS ROWS (the screen model from there on).
// Every file runs at each display model and at an oversize screen: a
// transcript that holds at one only shows a size assumption.
#include "StreamScript.h"
#include "tests/support/Transcript.h"

#include <gtest/gtest.h>

#include <optional>
#include <tuple>
#include <utility>

namespace {

using namespace tntest;

// The alternate sizes every transcript runs with: models 2 to 5, and an
// oversize screen of more than 4,096 positions.
const TScreenSize kRunSizes[] = {{24, 80}, {32, 80}, {43, 80}, {27, 132}, {62, 160}};

class TStreamTarget final : public TTranscriptTarget {
public:
    explicit TStreamTarget(TScreenSize alternate)
    {
        h_.stream.SetScreenModel(kDefaultScreenSize, alternate);
        h_.stream.OnNotify = [this](TCallBackEvent e) {
            if (e == TCallBackEvent::ceSessionState) {
                ++h_.stateNotes;
                events_.push_back("SessionState");
            }
        };
    }
    void Push(const std::vector<std::span<const std::uint8_t>>& pieces) override
    {
        for (std::size_t i = 0; i + 1 < pieces.size(); ++i)
            h_.stream.AddBuffer(pieces[i].data(), static_cast<std::int32_t>(pieces[i].size()));
        try {
            h_.stream.ProcessRecord(pieces.empty() ? std::span<const std::uint8_t>() : pieces.back());
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
        if (w.empty() || (w.size() != 1 && word != "oversize"))
            return false;
        if (word == "mode") {
            h_.stream.TN3270EMode = w[0] == "e";
            return true;
        }
        if (word == "model" || word == "oversize") {
            const auto n = [&](std::size_t i) { return static_cast<std::int32_t>(std::stol(w.at(i))); };
            const auto alt = word == "model" ? ModelAlternateSize(n(0)) : std::optional<TScreenSize>({n(1), n(0)});
            if (!alt)
                return false;
            h_.stream.SetScreenModel(kDefaultScreenSize, *alt);
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

class StreamTranscript : public ::testing::TestWithParam<std::tuple<TTranscriptFile, TScreenSize>> {};

TEST_P(StreamTranscript, HoldsSplitAtEveryByte)
{
    const TScreenSize alt = std::get<1>(GetParam());
    RunTranscriptFile(std::get<0>(GetParam()).path, [alt] { return std::make_unique<TStreamTarget>(alt); });
}

INSTANTIATE_TEST_SUITE_P(Files, StreamTranscript,
                         ::testing::Combine(::testing::ValuesIn(ListTranscripts(TN_TRANSCRIPTS)),
                                            ::testing::ValuesIn(kRunSizes)),
                         [](const auto& info) {
                             const TScreenSize s = std::get<1>(info.param);
                             return std::get<0>(info.param).name + "_" + std::to_string(s.Rows) + "x" +
                                    std::to_string(s.Cols);
                         });

} // namespace

// 3270 component transcripts (tests/component/transcripts): TTn3270E's
// receive path fed as the reader would feed it, with no socket and no
// thread; its sends captured. Each transcript is played as written and split
// at every byte.
// Events: the handlers' names (ScreenChange, SessionState ...).
// Actions: SET device NAME | SET extended 0|1 | KEY Enter|Clear|PA1|PF1..PF24
// Checks: ?row N "TEXT" (row N, 1-based, nulls and attribute positions as
//   blanks, trailing blanks dropped) | ?device "NAME" | ?tn3270e 0|1 |
//   ?state None|SscpLu|LuLu | ?fields N (host fields) | ?unprotected N |
//   ?functions HEX... (the codes of Functions, ascending)
#include "ComponentTestSupport.h"
#include "tests/support/Transcript.h"

#include <gtest/gtest.h>

namespace {

using namespace tntest;

std::optional<TTn3270AidKey> KeyNamed(const std::string& name)
{
    if (name == "Enter")
        return TTn3270AidKey::akEnter;
    if (name == "Clear")
        return TTn3270AidKey::akClear;
    if (name == "PA1")
        return TTn3270AidKey::akPA1;
    if (name.size() > 2 && name.compare(0, 2, "PF") == 0) {
        const int n = std::atoi(name.c_str() + 2);
        if (n >= 1 && n <= 24)
            return static_cast<TTn3270AidKey>(static_cast<int>(TTn3270AidKey::akPF1) + n - 1);
    }
    return std::nullopt;
}

class TComponentTarget final : public TTranscriptTarget {
public:
    TComponentTarget() { events_.Attach(tn_); }
    void Push(const std::vector<std::span<const std::uint8_t>>& pieces) override
    {
        for (const auto& p : pieces)
            tn_.NewData(p.data(), static_cast<std::int32_t>(p.size()));
    }
    Bytes TakeSent() override { return tn_.TakeSent(); }
    std::vector<std::string> TakeEvents() override { return events_.TakeNames(); }
    bool Act(const std::string& word, std::string_view args) override
    {
        const auto w = Words(args);
        if (word == "SET" && w.size() == 2 && w[0] == "device") {
            tn_.SetDeviceName(w[1]);
        } else if (word == "SET" && w.size() == 2 && w[0] == "extended") {
            tn_.SetExtended(w[1] == "1");
        } else if (word == "KEY" && w.size() == 1 && KeyNamed(w[0])) {
            tn_.SetAidKey(*KeyNamed(w[0]));
        } else {
            return false;
        }
        return true;
    }
    std::optional<std::string> Check(const std::string& key, std::string_view args) override
    {
        auto guard = tn_.Lock();
        const auto w = Words(args);
        const auto same = [&key](const std::string& got, const std::string& want) {
            return got == want ? std::string() : key + " " + got;
        };
        if (key == "row" && w.size() == 2) {
            const auto& screen = tn_.Tn3270Stream().Screen();
            const int row = std::atoi(w[0].c_str());
            std::string text;
            for (int c = 0; c < screen.Cols && row >= 1 && row <= screen.Rows; ++c) {
                const std::uint8_t ch = screen.Chars[static_cast<std::size_t>((row - 1) * screen.Cols + c)];
                text.push_back(ch < 0x20 ? ' ' : static_cast<char>(ch));
            }
            text.erase(text.find_last_not_of(' ') + 1);
            return same(text, w[1]);
        }
        if (key == "device" && w.size() == 1)
            return same(tn_.GetDeviceName(), w[0]);
        if (key == "functions") {
            std::string codes;
            for (std::uint8_t f = 0; f <= TTn3270E::kMaxFunctionCode; ++f)
                if (tn_.GetFunctions().Contains(static_cast<TTn3270ExtendedFunction>(f))) {
                    // Appended in two steps: GCC 12 at -O3 reports a false
                    // -Wrestrict on "literal" + std::string&&.
                    if (!codes.empty())
                        codes += ' ';
                    codes += HexText(std::span(&f, 1));
                }
            return same(codes, std::string(args.substr(args.find_first_not_of(' ') == std::string_view::npos ? args.size() : args.find_first_not_of(' '))));
        }
        if (key == "tn3270e" && w.size() == 1)
            return same(tn_.Tn3270Stream().TN3270EMode ? "1" : "0", w[0]);
        if (key == "state" && w.size() == 1) {
            const TSessionState s = tn_.GetSessionState();
            return same(s == TSessionState::ssLuLu ? "LuLu" : s == TSessionState::ssSscpLu ? "SscpLu" : "None", w[0]);
        }
        if (key == "field" && w.size() == 2) {
            const auto* f = tn_.HostFields.Items(std::atoi(w[0].c_str()));
            return same(f ? f->Data : std::string("(none)"), w[1]);
        }
        if (key == "fields" && w.size() == 1)
            return same(std::to_string(tn_.HostFields.Count()), w[0]);
        if (key == "unprotected" && w.size() == 1)
            return same(std::to_string(tn_.UnprotectedFields.Count()), w[0]);
        return std::nullopt;
    }

private:
    TCaptureTn3270E tn_;
    TEvents events_;
};

class ComponentTranscript : public ::testing::TestWithParam<TTranscriptFile> {};

TEST_P(ComponentTranscript, HoldsSplitAtEveryByte)
{
    RunTranscriptFile(GetParam().path, [] { return std::make_unique<TComponentTarget>(); });
}

INSTANTIATE_TEST_SUITE_P(Files, ComponentTranscript, ::testing::ValuesIn(ListTranscripts(TN_TRANSCRIPTS)),
                         TTranscriptName());

} // namespace

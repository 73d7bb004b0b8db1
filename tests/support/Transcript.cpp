#include "tests/support/Transcript.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace tntest {

namespace {

struct TLine {
    int number = 0;
    std::string text;  // as written, for the failure trace
    std::string word;  // PUSH, send, ?event, ?KEY or an action
    std::string args;
    Bytes bytes;  // PUSH and send
};

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

std::vector<TLine> Parse(std::string_view text)
{
    std::vector<TLine> lines;
    int number = 0;
    while (!text.empty()) {
        const auto eol = text.find('\n');
        const std::string_view raw = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        ++number;
        const std::string_view line = Trim(raw);
        if (line.empty() || line.front() == '!')
            continue;
        TLine l;
        l.number = number;
        l.text = std::string(line);
        const auto space = line.find_first_of(" \t");
        l.word = std::string(line.substr(0, space));
        l.args = space == std::string_view::npos ? std::string() : std::string(Trim(line.substr(space)));
        if (l.word == "PUSH" || l.word == "send")
            l.bytes = ParseBytes(l.args);
        lines.push_back(std::move(l));
    }
    return lines;
}

std::string Joined(const std::vector<std::string>& names)
{
    std::string out;
    for (const auto& n : names)
        out += (out.empty() ? "" : " ") + (n.find(' ') != std::string::npos ? '"' + n + '"' : n);
    return out;
}

// Plays with splitLine == kEveryByte feed every PUSH line one byte at a time.
constexpr std::size_t kAsWritten = SIZE_MAX;
constexpr std::size_t kEveryByte = SIZE_MAX - 1;

// One play of the transcript; PUSH line `splitLine` (an index) is handed
// over in two pieces cut at `splitAt`. Returns what did not hold, one line
// each ("" when everything did).
std::string Play(const std::vector<TLine>& lines, const TTargetFactory& make, std::size_t splitLine,
                 std::size_t splitAt)
{
    std::ostringstream errors;
    auto target = make();
    const auto expect = [&errors](const TLine* l, const std::string& got, const std::string& want,
                                  const char* what) {
        if (got == want)
            return;
        if (l != nullptr)
            errors << "line " << l->number << " (" << l->text << "): ";
        else
            errors << "at the end: ";
        errors << what << ": got [" << got << "], expected [" << want << "]\n";
    };
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const TLine& l = lines[i];
        if (l.word == "PUSH") {
            const std::span<const std::uint8_t> all(l.bytes);
            if (i == splitLine) {
                target->Push({all.first(splitAt), all.subspan(splitAt)});
            } else if (splitLine == kEveryByte) {
                std::vector<std::span<const std::uint8_t>> pieces;
                for (std::size_t k = 0; k < all.size(); ++k)
                    pieces.push_back(all.subspan(k, 1));
                target->Push(pieces);
            } else
                target->Push({all});
        } else if (l.word == "send") {
            expect(&l, HexText(target->TakeSent()), HexText(l.bytes), "bytes sent");
        } else if (l.word == "?event") {
            expect(&l, Joined(target->TakeEvents()), Joined(Words(l.args)), "events raised");
        } else if (l.word.size() > 1 && l.word.front() == '?') {
            const auto result = target->Check(l.word.substr(1), l.args);
            if (!result)
                expect(&l, l.word, "", "unknown expectation");
            else
                expect(&l, *result, "", "found instead");
        } else if (!target->Act(l.word, l.args)) {
            expect(&l, l.word, "", "unknown transcript word");
        }
    }
    expect(nullptr, HexText(target->TakeSent()), "", "bytes sent that no \"send\" line expects");
    expect(nullptr, Joined(target->TakeEvents()), "", "events that no \"?event\" line expects");
    expect(nullptr, target->Leftovers(), "", "not checked");
    return errors.str();
}

} // namespace

Bytes ParseBytes(std::string_view text)
{
    Bytes out;
    for (;;) {
        text = Trim(text);
        if (text.empty())
            break;
        if (text.front() == '"') {
            const auto close = text.find('"', 1);
            if (close == std::string_view::npos) {
                ADD_FAILURE() << "unterminated text: " << text;
                break;
            }
            out.insert(out.end(), text.begin() + 1, text.begin() + static_cast<std::ptrdiff_t>(close));
            text.remove_prefix(close + 1);
            continue;
        }
        const auto end = std::min(text.find_first_of(" \t"), text.size());
        const std::string_view w = text.substr(0, end);
        text.remove_prefix(end);
        const auto star = w.find('*');
        unsigned v = 0;
        const auto hexEnd = std::min(star, w.size());
        auto [p, ec] = std::from_chars(w.data(), w.data() + hexEnd, v, 16);
        long times = 1;
        bool ok = ec == std::errc{} && p == w.data() + hexEnd && v <= 0xFF && hexEnd == 2;
        if (ok && star != std::string_view::npos) {
            auto [q, ec2] = std::from_chars(w.data() + star + 1, w.data() + w.size(), times);
            ok = ec2 == std::errc{} && q == w.data() + w.size() && times >= 0;
        }
        if (!ok) {
            ADD_FAILURE() << "bad byte: '" << w << "'";
            continue;
        }
        out.insert(out.end(), static_cast<std::size_t>(times), static_cast<std::uint8_t>(v));
    }
    return out;
}

std::string HexText(std::span<const std::uint8_t> bytes)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (const std::uint8_t b : bytes) {
        if (!out.empty())
            out += ' ';
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

std::vector<std::string> Words(std::string_view text)
{
    std::vector<std::string> out;
    for (;;) {
        text = Trim(text);
        if (text.empty())
            break;
        if (text.front() == '"') {
            const auto close = text.find('"', 1);
            out.emplace_back(text.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
            text.remove_prefix(close == std::string_view::npos ? text.size() : close + 1);
            continue;
        }
        const auto end = std::min(text.find_first_of(" \t"), text.size());
        out.emplace_back(text.substr(0, end));
        text.remove_prefix(end);
    }
    return out;
}

std::string CheckNext(const std::vector<Bytes>& all, std::size_t& checked, const Bytes& want, const char* what)
{
    if (checked >= all.size())
        return std::string("no ") + what;
    const Bytes& got = all[checked++];
    return got == want ? "" : std::string(what) + " " + HexText(got);
}

std::vector<TTranscriptFile> ListTranscripts(const std::string& dir)
{
    std::vector<TTranscriptFile> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().extension() == ".tr")
            files.push_back({entry.path().stem().string(), entry.path().string()});
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return files;
}

void RunTranscript(std::string_view text, const TTargetFactory& make)
{
    const std::vector<TLine> lines = Parse(text);
    if (testing::Test::HasFailure())
        return;
    if (const std::string errors = Play(lines, make, kAsWritten, 0); !errors.empty()) {
        ADD_FAILURE() << "played as written:\n" << errors;
        return;
    }
    if (const std::string errors = Play(lines, make, kEveryByte, 0); !errors.empty()) {
        ADD_FAILURE() << "played one byte at a time:\n" << errors;
        return;
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].word != "PUSH")
            continue;
        for (std::size_t cut = 1; cut < lines[i].bytes.size(); ++cut) {
            // One failing split says enough; thousands would hide it.
            if (const std::string errors = Play(lines, make, i, cut); !errors.empty()) {
                ADD_FAILURE() << "played with line " << lines[i].number << " split after byte " << cut << ":\n"
                              << errors;
                return;
            }
        }
    }
}

void RunTranscriptFile(const std::string& path, const TTargetFactory& make)
{
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in) << "cannot read " << path;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    RunTranscript(text, make);
}

} // namespace tntest

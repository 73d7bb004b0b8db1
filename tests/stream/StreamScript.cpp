#include "StreamScript.h"

#include "display/uTypingEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <sstream>

namespace {

struct Tokens {
    std::string_view rest;

    bool Empty()
    {
        Skip();
        return rest.empty();
    }
    void Skip()
    {
        while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.front())))
            rest.remove_prefix(1);
    }
    std::string Word()
    {
        Skip();
        std::size_t n = 0;
        while (n < rest.size() && !std::isspace(static_cast<unsigned char>(rest[n])))
            ++n;
        std::string w(rest.substr(0, n));
        rest.remove_prefix(n);
        return w;
    }
    std::string Quoted()
    {
        Skip();
        if (rest.empty() || rest.front() != '"') {
            ADD_FAILURE() << "expected a quoted text at: " << rest;
            return {};
        }
        const auto close = rest.find('"', 1);
        std::string s(rest.substr(1, close - 1));
        rest.remove_prefix(close == std::string_view::npos ? rest.size() : close + 1);
        return s;
    }
    long Number(int base = 10)
    {
        const std::string w = Word();
        long v = 0;
        auto [p, ec] = std::from_chars(w.data(), w.data() + w.size(), v, base);
        if (ec != std::errc{} || p != w.data() + w.size())
            ADD_FAILURE() << "bad number: '" << w << "'";
        return v;
    }
};

std::string Dump(const Bytes& b)
{
    std::ostringstream o;
    for (std::size_t i = 0; i < b.size(); ++i)
        o << (i ? " " : "") << std::hex << std::uppercase << (b[i] < 16 ? "0" : "") << int(b[i]);
    return o.str();
}

} // namespace

Bytes Hex(std::string_view text)
{
    Bytes out;
    Tokens t{text};
    while (!t.Empty()) {
        const std::string w = t.Word();
        const auto star = w.find('*');
        unsigned v = 0;
        auto [p, ec] = std::from_chars(w.data(), w.data() + std::min(star, w.size()), v, 16);
        long times = 1;
        if (star != std::string::npos)
            std::from_chars(w.data() + star + 1, w.data() + w.size(), times);
        if (ec != std::errc{} || v > 0xFF || (star == std::string::npos && p != w.data() + w.size())) {
            ADD_FAILURE() << "bad hex byte: '" << w << "'";
            continue;
        }
        out.insert(out.end(), static_cast<std::size_t>(times), static_cast<std::uint8_t>(v));
    }
    return out;
}

std::string ScreenText(const TOrvTn3270display& d, int from, int count)
{
    std::string s;
    for (int i = from; i < from + count && i < d.Size; ++i) {
        const auto c = d.Chars[static_cast<std::size_t>(i)];
        s += c == 0 ? '.' : c == 1 ? '|' : static_cast<char>(c);
    }
    return s;
}

StreamHarness::StreamHarness(std::int32_t rows, std::int32_t cols) : stream(0, rows, cols)
{
    stream.OnWriteData = [this](const void* buf, std::int32_t len) {
        const auto* p = static_cast<const std::uint8_t*>(buf);
        sent.emplace_back(p, p + len);
    };
    stream.OnNotify = [this](TCallBackEvent e) {
        if (e == TCallBackEvent::ceSessionState)
            ++stateNotes;
    };
}

std::string StreamHarness::Feed(const Bytes& record, std::size_t chunk)
{
    if (chunk != SIZE_MAX)
        for (std::size_t i = 0; i < record.size(); i += chunk) {
            const std::size_t n = std::min(chunk, record.size() - i);
            stream.AddBuffer(record.data() + i, static_cast<std::int32_t>(n));
        }
    std::string error;
    try {
        if (chunk == SIZE_MAX)
            stream.ProcessRecord(record);
        else
            stream.ProcessData();
    } catch (const EStreamError& e) {
        error = e.what();
    }
    EXPECT_EQ(stream.InCount, 0) << "the input must be empty after every record";
    return error;
}

void StreamHarness::ExpectNothingPending()
{
    for (const auto& b : sent)
        ADD_FAILURE() << "unexpected block sent: " << Dump(b);
    sent.clear();
}

std::optional<std::string> StreamHarness::Expect(const std::string& cmd, std::string_view args)
{
    auto& d = stream.Screen();
    Tokens t{args};
    const auto same = [&cmd](const auto& got, const auto& want) -> std::string {
        if (got == want)
            return "";
        std::ostringstream o;
        o << cmd << " " << got;
        return o.str();
    };
    if (cmd == "row") {
        const int row = static_cast<int>(t.Number());
        std::string text = ScreenText(d, (row - 1) * d.Cols, d.Cols);
        text.erase(text.find_last_not_of('.') + 1);
        return same(text, t.Quoted());
    }
    if (cmd == "at") {
        const int p = static_cast<int>(t.Number());
        const std::string want = t.Quoted();
        return same(ScreenText(d, p, static_cast<int>(want.size())), want);
    }
    if (cmd == "attr" || cmd == "eab" || cmd == "fa") {
        const int p = static_cast<int>(t.Number());
        const long want = t.Number(16);
        const long got = cmd == "attr" ? d.Attrs[static_cast<std::size_t>(p)]
                         : cmd == "eab" ? d.ExtAttrs[static_cast<std::size_t>(p)]
                                        : d.getFA(p);
        return same(got, want);
    }
    if (cmd == "cursor")
        return same(static_cast<long>(d.CursorPosition), t.Number());
    if (cmd == "aid")
        return same(static_cast<long>(stream.Aid), t.Number(16));
    if (cmd == "reply")
        return same(static_cast<long>(stream.ReplyDataType), t.Number(16));
    if (cmd == "status")
        return same(stream.Status, t.Quoted());
    if (cmd == "dstatus")
        return same(d.Status, t.Quoted());
    if (cmd == "state") {
        const std::string s = t.Word();
        const auto want = s == "LuLu"     ? TSessionState::ssLuLu
                          : s == "SscpLu" ? TSessionState::ssSscpLu
                                          : TSessionState::ssNone;
        return same(static_cast<long>(stream.SessionState), static_cast<long>(want));
    }
    if (cmd == "notes")
        return same(static_cast<long>(stateNotes), t.Number());
    if (cmd == "count") {
        const std::string w = t.Word();
        const char c = w == "." ? '\0' : w == "|" ? '\1' : w[0];
        const long want = t.Number();
        return same(static_cast<long>(std::count(d.Chars.begin(), d.Chars.begin() + d.Size, static_cast<std::uint8_t>(c))),
                    want);
    }
    if (cmd == "size") {  // size ROWS COLS: the size in use
        const long rows = t.Number(), cols = t.Number();
        return same(std::to_string(d.Rows) + "x" + std::to_string(d.Cols),
                    std::to_string(rows) + "x" + std::to_string(cols));
    }
    if (cmd == "updated") {
        const bool want = t.Number() != 0;
        const bool got = d.Updated;
        d.Updated = false;
        return same(got, want);
    }
    return std::nullopt;
}

void StreamHarness::Run(std::string_view script)
{
    int lineNo = 0;
    while (!script.empty()) {
        const auto eol = script.find('\n');
        std::string_view line = script.substr(0, eol);
        script.remove_prefix(eol == std::string_view::npos ? script.size() : eol + 1);
        ++lineNo;
        bool quoted = false;
        for (std::size_t k = 0; k < line.size(); ++k) {
            if (line[k] == '"')
                quoted = !quoted;
            else if (line[k] == '#' && !quoted) {
                line = line.substr(0, k);
                break;
            }
        }
        Tokens t{line};
        if (t.Empty())
            continue;
        SCOPED_TRACE(testing::Message() << "script line " << lineNo << ": " << line);
        const std::string cmd = t.Word();
        auto& d = stream.Screen();
        if (cmd == "mode") {
            stream.TN3270EMode = t.Word() == "e";
        } else if (cmd == "push") {
            const std::string error = Feed(Hex(t.rest));
            EXPECT_EQ(error, "") << "unexpected error";
        } else if (cmd == "fail") {
            const std::string text = t.Quoted();
            EXPECT_EQ(Feed(Hex(t.rest)), text);
        } else if (cmd == "key") {
            stream.Aid = static_cast<std::uint8_t>(t.Number(16));
            stream.readModifiedCommand();
        } else if (cmd == "put") {
            const auto p = static_cast<std::int32_t>(t.Number());
            const auto n = static_cast<std::int32_t>(t.Number());
            d.putField(p, n, t.Quoted());
        } else if (cmd == "type") {
            const std::string text = t.Quoted();
            const std::string want = t.Empty() ? std::string() : t.Quoted();
            TTypingEngine engine(d, [this](std::uint8_t c) { return stream.CanCarry(c); });
            EXPECT_EQ(engine.Type(text).Message(), want);
        } else if (cmd == "move") {
            d.SetCursorPosition(static_cast<std::int32_t>(t.Number()));
        } else if (cmd == "bindimage") {
            stream.BindImageAgreed = t.Number() != 0;
        } else if (cmd == "sent") {
            const Bytes want = Hex(t.rest);
            if (sent.empty()) {
                ADD_FAILURE() << "nothing was sent, expected " << Dump(want);
                continue;
            }
            EXPECT_EQ(Dump(sent.front()), Dump(want));
            sent.pop_front();
        } else if (cmd == "none") {
            ExpectNothingPending();
        } else if (auto result = Expect(cmd, t.rest)) {
            EXPECT_EQ(*result, "") << cmd;
        } else {
            ADD_FAILURE() << "unknown script command '" << cmd << "'";
        }
    }
    ExpectNothingPending();
}

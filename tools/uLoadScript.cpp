// The load script: lines split by the script lexer, checked against one
// table of the session commands a load step may hold.
#include "tools/uLoadScript.h"

#include "tools/uScriptLexer.h"
#include "tools/uTn3270Cli.h"

#include <charconv>
#include <cmath>
#include <optional>
#include <vector>

namespace {

using TWords = std::vector<TScriptWord>;
using K = TLoadAction::TKind;

std::optional<std::int32_t> Number(const TScriptWord& w)
{
    std::int32_t n = 0;
    const auto* end = w.text.data() + w.text.size();
    const auto [p, ec] = std::from_chars(w.text.data(), end, n);
    if (w.quoted || w.text.empty() || ec != std::errc() || p != end)
        return std::nullopt;
    return n;
}

// The wait's SECONDS at words[at], when given; false on a bad one.
bool Seconds(const TWords& w, std::size_t at, TLoadAction& a, std::string& error)
{
    if (w.size() <= at)
        return true;
    const auto s = w[at].quoted ? std::nullopt : ParseSeconds(w[at].text);
    if (!s) {
        error = "SECONDS must be a number above 0: " + w[at].text;
        return false;
    }
    a.Timeout = std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(*s * 1000.0)));
    return true;
}

// A command's reader: words[0] is the command; fills the action or says
// why not (an empty error with a false result: the usage).
using TReader = bool (*)(const TWords&, TLoadAction&, std::string&);

struct TCommand {
    std::string_view name;
    std::string_view usage;
    TReader read;
};

bool ReadConnect(const TWords& w, TLoadAction& a, std::string& error)
{
    a.Kind = K::Connect;
    if (w.size() == 1)
        return true;
    if (w.size() != 2)
        return false;
    const auto target = ParseHostPort(w[1].text, error);
    if (!target)
        return false;
    a.Host = target->host;
    a.Port = target->port.value_or(kDefaultTelnetPort);
    return true;
}

bool ReadWait(const TWords& w, TLoadAction& a, std::string& error)
{
    a.Kind = K::Wait;
    if (w.size() < 2 || w[1].quoted)
        return false;
    const std::string& what = w[1].text;
    if (what == "text") {
        if (w.size() < 3 || w.size() > 4 || !w[2].quoted || w[2].text.empty())
            return false;
        a.Condition = TWaitCondition::ForText(w[2].text);
        return Seconds(w, 3, a, error);
    }
    if (what == "cursor") {
        if (w.size() < 4 || w.size() > 5 || !Number(w[2]) || !Number(w[3]))
            return false;
        a.Condition = TWaitCondition::ForCursor(*Number(w[2]) - 1, *Number(w[3]) - 1);
        return Seconds(w, 4, a, error);
    }
    static constexpr std::pair<std::string_view, TWaitKind> kEvents[] = {
        {"screen", TWaitKind::Screen}, {"unlock", TWaitKind::Unlock}, {"connect", TWaitKind::Connect},
        {"disconnect", TWaitKind::Disconnect}, {"field", TWaitKind::InputField}};
    for (const auto& [name, kind] : kEvents) {
        if (name == what && w.size() <= 3) {
            a.Condition = TWaitCondition::Of(kind);
            return Seconds(w, 2, a, error);
        }
    }
    return false;
}

bool ReadSet(const TWords& w, TLoadAction& a, std::string&)
{
    a.Kind = K::Set;
    if (w.size() != 3 || w[1].quoted || !w[2].quoted)
        return false;
    a.Field = TFieldRef::Parse(w[1].text);
    a.Text = w[2].text;
    return true;
}

bool ReadType(const TWords& w, TLoadAction& a, std::string&)
{
    a.Kind = K::Type;
    if (w.size() != 2 || !w[1].quoted)
        return false;
    a.Text = w[1].text;
    return true;
}

bool ReadCursor(const TWords& w, TLoadAction& a, std::string&)
{
    a.Kind = K::Cursor;
    if (w.size() != 3 || !Number(w[1]) || !Number(w[2]))
        return false;
    a.Row = *Number(w[1]) - 1;
    a.Col = *Number(w[2]) - 1;
    return true;
}

bool ReadKey(const TWords& w, TLoadAction& a, std::string& error)
{
    a.Kind = K::Key;
    if (w.size() != 2)
        return false;
    const auto key = w[1].quoted ? std::nullopt : TOperator::ParseKeyName(w[1].text);
    if (!key) {
        error = "unknown key " + w[1].text;
        return false;
    }
    a.Key = *key;
    return true;
}

template <K kind>
bool ReadBare(const TWords& w, TLoadAction& a, std::string&)
{
    a.Kind = kind;
    return w.size() == 1;
}

const std::vector<TCommand>& Commands()
{
    static const std::vector<TCommand> table = {
        {"connect", "connect [HOST[:PORT]]", ReadConnect},
        {"disconnect", "disconnect", ReadBare<K::Disconnect>},
        {"wait", "wait screen|unlock|connect|disconnect|field [SECONDS] | wait text \"TEXT\" [SECONDS] | "
                 "wait cursor ROW COL [SECONDS]",
         ReadWait},
        {"set", "set FIELD \"TEXT\"", ReadSet},
        {"type", "type \"TEXT\"", ReadType},
        {"cursor", "cursor ROW COL", ReadCursor},
        {"tab", "tab", ReadBare<K::Tab>},
        {"backtab", "backtab", ReadBare<K::BackTab>},
        {"home", "home", ReadBare<K::Home>},
        {"erase-eof", "erase-eof", ReadBare<K::EraseEof>},
        {"key", "key enter|clear|pf1..pf24|pa1..pa3|sysreq|attn", ReadKey},
    };
    return table;
}

// The line as the messages show it: its words, texts in quotes.
std::string Shown(const TWords& w)
{
    std::string s;
    for (const TScriptWord& word : w) {
        if (!s.empty())
            s += ' ';
        if (word.quoted)
            s += '"';
        s += TScreenExport::ToUtf8(word.text);
        if (word.quoted)
            s += '"';
    }
    return s;
}

}  // namespace

TLoadScript ParseLoadScript(std::string_view text)
{
    TLoadScript out;
    std::vector<TLoadStep>* part = &out.plan.Iteration;
    std::string partName = "iteration";
    bool sawSetup = false, sawIteration = false;
    std::size_t number = 0;
    auto fail = [&](const std::string& message) {
        out.error = "line " + std::to_string(number) + ": " + message;
        out.plan = {};
        return out;
    };
    while (!text.empty()) {
        ++number;
        const auto end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.size() > kMaxScriptLineBytes)
            return fail("longer than " + std::to_string(kMaxScriptLineBytes) + " bytes");
        const TScriptLine lexed = LexScriptLine(line);
        if (!lexed.error.empty())
            return fail(lexed.error);
        const TWords& w = lexed.words;
        if (w.empty() || (!w[0].quoted && w[0].text.front() == '#'))
            continue;
        const std::string& command = w[0].text;
        if (!w[0].quoted && (command == "setup" || command == "iteration") && w.size() == 1) {
            // Each part once; the setup before the iteration.
            const bool setup = command == "setup";
            if (setup ? sawSetup || sawIteration || !out.plan.Iteration.empty() : sawIteration)
                return fail(setup ? "setup comes once, before the iteration" : "iteration comes once");
            (setup ? sawSetup : sawIteration) = true;
            part = command == "setup" ? &out.plan.Setup : &out.plan.Iteration;
            partName = command;
            continue;
        }
        if (!w[0].quoted && command == "step") {
            if (w.size() != 2 || w[1].text.empty())
                return fail("usage: step NAME");
            part->push_back({TScreenExport::ToUtf8(w[1].text), {}});
            continue;
        }
        const TCommand* found = nullptr;
        for (const TCommand& c : Commands())
            if (!w[0].quoted && c.name == command)
                found = &c;
        if (found == nullptr)
            return fail("unknown load command " + Shown({w[0]}) + " (see tn3270 --help)");
        TLoadAction action;
        action.Shown = Shown(w);
        std::string error;
        if (!found->read(w, action, error))
            return fail(error.empty() ? "usage: " + std::string(found->usage) : error);
        if (part->empty())
            part->push_back({partName, {}});
        part->back().Actions.push_back(std::move(action));
    }
    for (const auto* steps : {&out.plan.Setup, &out.plan.Iteration})
        for (const TLoadStep& s : *steps)
            if (s.Actions.empty()) {
                out.error = "step " + s.Name + " has no command";
                out.plan = {};
                return out;
            }
    if (out.plan.Iteration.empty()) {
        out.error = "the script has no iteration step";
        out.plan = {};
    }
    return out;
}

std::string LoadScriptHelp()
{
    // The commands as above, wrapped.
    constexpr std::size_t kWidth = 78;
    std::string out = "  setup | iteration             begins the part run once per session | repeated\n"
                      "  step NAME                     begins a step (timed and reported)\n";
    std::string line = "  and the commands";
    for (const TCommand& c : Commands()) {
        if (line.size() + c.name.size() + 2 > kWidth) {
            out += line + "\n";
            line = "   ";
        }
        line += ' ';
        line += c.name;
        line += &c == &Commands().back() ? " (as above)" : ",";
    }
    return out + line + "\n";
}

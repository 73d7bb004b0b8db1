// The profile-file reader under arbitrary text: the keys the package reads
// ("Telnet.ini" and the translation table sections) and the keys the text
// itself names, read back and compared across case and line-end variants.
#include "fuzz/FuzzTargets.h"

#include "platform/uIniFile.h"

#include <cctype>
#include <cstdio>
#include <string_view>
#include <utility>
#include <vector>

namespace tnfuzz {

namespace {

// Keys examined per input beyond the fixed ones: enough to reach the text's
// own keys, bounded so that a huge profile does not slow the run down.
constexpr std::size_t kMaxTextKeys = 32;

const std::pair<const char*, const char*> kPackageKeys[] = {
    {"TN3270", "LogLevel"},         {"TN3270", "LogDir"},        {"TN3270", "EbcdicTable"},
    {"TN3270", "TermType"},         {"TN3270", "BindImage"},     {"TN3270", "DataStreamCtl"},
    {"TN3270", "Responses"},        {"TN3270", "ScsCtlCodes"},   {"TN3270", "SysReq"},
    {"Ascii-To-Ebcdic", "41"},      {"Ascii-To-Ebcdic", "00"},   {"Ebcdic-To-Ascii", "C1"},
    {"Ebcdic-To-Ascii", "FF"},      {"TN5250", "TermType"},
};

std::string_view Trim(std::string_view s)
{
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && space(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && space(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string Recase(std::string_view s, bool upper)
{
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(upper ? std::toupper(static_cast<unsigned char>(c))
                                    : std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Section/key pairs the text writes, as a reader of the format sees them:
// "[name]" opens a section, "key=value" lines inside one define keys.
std::vector<std::pair<std::string, std::string>> KeysOf(std::string_view text)
{
    std::vector<std::pair<std::string, std::string>> keys;
    std::string section;
    bool inSection = false;
    while (!text.empty() && keys.size() < kMaxTextKeys) {
        const auto eol = text.find('\n');
        std::string_view line = Trim(text.substr(0, eol));
        text = eol == std::string_view::npos ? std::string_view{} : text.substr(eol + 1);
        if (line.empty() || line.front() == ';' || line.front() == '#')
            continue;
        if (line.front() == '[') {
            const auto close = line.find(']');
            if (close != std::string_view::npos) {
                section = std::string(line.substr(1, close - 1));
                inSection = true;
            }
            continue;
        }
        const auto eq = line.find('=');
        if (inSection && eq != std::string_view::npos)
            keys.emplace_back(section, std::string(line.substr(0, eq)));
    }
    return keys;
}

// Everything a caller can learn about one key.
struct Answer {
    bool exists = false;
    bool sectionExists = false;
    std::string value;
    std::int32_t intA = 0;
    std::int32_t intB = 0;
    bool operator==(const Answer&) const = default;
};

Answer Ask(const TIniFile& ini, std::string_view section, std::string_view key)
{
    Answer a;
    a.exists = ini.ValueExists(section, key);
    a.sectionExists = ini.SectionExists(section);
    a.value = ini.ReadString(section, key, "\x01" "default");
    a.intA = ini.ReadInteger(section, key, -7);
    a.intB = ini.ReadInteger(section, key, 913);
    return a;
}

std::string Describe(const char* what, std::string_view section, std::string_view key)
{
    std::string text(what);
    text += " [";
    text += section;
    text += "] ";
    text += key;
    return text;
}

std::string CheckKey(const TIniFile& ini, const TIniFile* crlf, std::string_view section, std::string_view key)
{
    const Answer a = Ask(ini, section, key);
    if (a.exists != (ini.ReadString(section, key, "x") == ini.ReadString(section, key, "y")))
        return Describe("ValueExists disagrees with ReadString for", section, key);
    if (a.exists && !a.sectionExists)
        return Describe("key present in a missing section:", section, key);
    if (!a.exists && (a.intA != -7 || a.intB != 913))
        return Describe("ReadInteger of a missing key is not the default:", section, key);
    if (a.exists) {
        const bool number = a.intA != -7 || a.intB != 913;
        if (number && a.intA != a.intB)
            return Describe("ReadInteger depends on the default for", section, key);
        if (a.value.empty() && number)
            return Describe("ReadInteger of an empty value is not the default:", section, key);
        // A plain decimal number is read as written.
        const std::string& v = a.value;
        if (!v.empty() && v.size() <= 9 && v.find_first_not_of("0123456789") == std::string::npos &&
            a.intA != std::stoi(v))
            return Describe("ReadInteger misreads a decimal value of", section, key);
    }
    // Names match without regard to case.
    for (bool upper : {false, true}) {
        const Answer b = Ask(ini, Recase(section, upper), Recase(key, upper));
        if (!(b == a))
            return Describe(upper ? "upper-case lookup differs for" : "lower-case lookup differs for", section, key);
    }
    // CR LF line ends read as LF ones.
    if (crlf != nullptr && !(Ask(*crlf, section, key) == a))
        return Describe("CR LF text reads differently for", section, key);
    return "";
}

}  // namespace

std::string RunProfile(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const TIniFile ini = TIniFile::FromText(text);
    std::string withCrLf;
    withCrLf.reserve(size + size / 8);
    for (char c : text.substr(0, TIniFile::kMaxFileBytes)) {
        if (c == '\n')
            withCrLf += '\r';
        withCrLf += c;
    }
    // The CR LF variant is longer; past the reader's bound it would be cut
    // elsewhere than the original, so it is compared only below the bound.
    const TIniFile crlfIni = TIniFile::FromText(withCrLf);
    const TIniFile* crlf = withCrLf.size() <= TIniFile::kMaxFileBytes ? &crlfIni : nullptr;

    for (const auto& [section, key] : kPackageKeys)
        if (auto r = CheckKey(ini, crlf, section, key); !r.empty())
            return r;
    // Keys past the reader's size bound are not in the profile at all.
    if (size > TIniFile::kMaxFileBytes)
        return "";
    for (const auto& [section, key] : KeysOf(text)) {
        if (!ini.ValueExists(section, key))
            return Describe("key written in the text is missing:", section, key);
        if (auto r = CheckKey(ini, crlf, section, key); !r.empty())
            return r;
    }
    return "";
}

}  // namespace tnfuzz

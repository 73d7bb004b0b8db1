#include "platform/uIniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cerrno>

namespace {

std::string Upper(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string_view Trim(std::string_view s)
{
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && isSpace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string MakeKey(std::string_view section, std::string_view key)
{
    std::string k = Upper(Trim(section));
    k += '\n';
    k += Upper(Trim(key));
    return k;
}

} // namespace

TIniFile::TIniFile(const std::string& path) : fileName_(path)
{
    // O_NONBLOCK: a FIFO named like the profile must not hang the load; only
    // a regular file is a profile.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return;
    }
    // Read in small pieces up to the bound: a profile is a few KiB, and a
    // buffer of the bound's size for every file would cost more than the parse.
    std::string text;
    char chunk[4096];
    while (text.size() < kMaxFileBytes) {
        const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, kMaxFileBytes - text.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    Parse(text);
}

TIniFile TIniFile::FromText(std::string_view text)
{
    TIniFile ini;
    ini.Parse(text.substr(0, kMaxFileBytes));
    return ini;
}

void TIniFile::Parse(std::string_view text)
{
    std::string section;
    bool inSection = false;
    while (!text.empty()) {
        auto eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view{} : text.substr(eol + 1);
        line = Trim(line);
        if (line.empty() || line.front() == ';' || line.front() == '#')
            continue;
        if (line.front() == '[') {
            auto close = line.find(']');
            if (close == std::string_view::npos)
                continue;
            section = Upper(Trim(line.substr(1, close - 1)));
            sections_.emplace(section, true);
            inSection = true;
            continue;
        }
        if (!inSection)
            continue;
        auto eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        std::string_view value = Trim(line.substr(eq + 1));
        // One pair of enclosing double quotes is not part of the value.
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        values_.emplace(MakeKey(section, line.substr(0, eq)), std::string(value));
    }
}

const std::string* TIniFile::Find(std::string_view section, std::string_view key) const
{
    auto it = values_.find(MakeKey(section, key));
    return it == values_.end() ? nullptr : &it->second;
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 const std::string& defaultValue) const
{
    const std::string* v = Find(section, key);
    return v ? *v : defaultValue;
}

std::int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key,
                                   std::int32_t defaultValue) const
{
    const std::string* v = Find(section, key);
    if (!v || v->empty())
        return defaultValue;
    std::string_view s = *v;
    int base = 10;
    bool negative = false;
    if (s.front() == '-' || s.front() == '+') {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    // A leading '$' or "0x" marks a hexadecimal value, as profile files often write it.
    if (!s.empty() && s.front() == '$') {
        base = 16;
        s.remove_prefix(1);
    } else if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    // from_chars takes a sign of its own: "--6" or "-+6" is not a number.
    if (s.empty() || s.front() == '-' || s.front() == '+')
        return defaultValue;
    std::int64_t value = 0;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
    if (ec != std::errc{} || ptr != s.data() + s.size())
        return defaultValue;
    if (negative)
        value = -value;
    if (value < INT32_MIN || value > INT32_MAX)
        return defaultValue;
    return static_cast<std::int32_t>(value);
}

bool TIniFile::SectionExists(std::string_view section) const
{
    return sections_.count(Upper(Trim(section))) != 0;
}

bool TIniFile::ValueExists(std::string_view section, std::string_view key) const
{
    return Find(section, key) != nullptr;
}

bool FileExists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

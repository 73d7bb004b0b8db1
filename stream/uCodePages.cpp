// Code pages chosen by name, and the translation table file text.
#include "stream/uCodePages.h"

#include <cstdio>

namespace {

// The built-in page of a name that is not "cp" and digits ("bracket").
const TCodePage* NamedPage(std::string_view name)
{
    for (const TCodePage& page : BuiltInCodePages()) {
        if (page.name.size() != name.size() || page.name.substr(0, 2) == "cp")
            continue;
        bool same = true;
        for (std::size_t i = 0; i < name.size() && same; ++i)
            same = (name[i] | 0x20) == page.name[i];
        if (same)
            return &page;
    }
    return nullptr;
}

}  // namespace

bool IsCodePageName(std::string_view name)
{
    if (NamedPage(name) != nullptr)
        return true;
    if (name.size() < 3 || (name[0] != 'c' && name[0] != 'C') || (name[1] != 'p' && name[1] != 'P'))
        return false;
    for (const char c : name.substr(2))
        if (c < '0' || c > '9')
            return false;
    return true;
}

const TCodePage* FindCodePage(std::string_view name)
{
    if (const TCodePage* page = NamedPage(name))
        return page;
    if (!IsCodePageName(name))
        return nullptr;
    // Leading zeros are not significant; more than five digits name no page.
    std::string_view digits = name.substr(2);
    while (digits.size() > 1 && digits.front() == '0')
        digits.remove_prefix(1);
    if (digits.size() > 5)
        return nullptr;
    unsigned number = 0;
    for (const char c : digits)
        number = number * 10 + static_cast<unsigned>(c - '0');
    for (const TCodePage& page : BuiltInCodePages())
        if (page.number == number)
            return &page;
    return nullptr;
}

std::string KnownCodePageNames()
{
    std::string names;
    for (const TCodePage& page : BuiltInCodePages()) {
        if (!names.empty())
            names += ' ';
        names += page.name;
    }
    return names;
}

std::string UnknownCodePageMessage(std::string_view name)
{
    return "unknown code page " + std::string(name) + " (known: " + KnownCodePageNames() + ")";
}

std::string TableFileText(const std::array<std::uint8_t, 256>& ascToEbc, const std::array<std::uint8_t, 256>& ebcToAsc,
                          std::string_view title)
{
    std::string text = "; " + std::string(title) + "\n";
    char line[16];
    auto section = [&](const char* name, const std::array<std::uint8_t, 256>& table) {
        text += "[";
        text += name;
        text += "]\n";
        for (std::size_t i = 0; i < table.size(); ++i) {
            std::snprintf(line, sizeof line, "%02X=%02X\n", static_cast<unsigned>(i), table[i]);
            text += line;
        }
    };
    section("Ascii-To-Ebcdic", ascToEbc);
    section("Ebcdic-To-Ascii", ebcToAsc);
    return text;
}

// The built-in code pages by name.
#include "component/uCodePageNames.h"

#include "stream/uCodePages.h"

std::vector<std::string> BuiltInCodePageNames()
{
    std::vector<std::string> names;
    for (const TCodePage& page : BuiltInCodePages())
        names.emplace_back(page.name);
    return names;
}

bool IsBuiltInCodePage(std::string_view name)
{
    return FindCodePage(name) != nullptr;
}

int BuiltInCodePageNumber(std::string_view name)
{
    const TCodePage* page = FindCodePage(name);
    return page != nullptr ? page->number : 0;
}

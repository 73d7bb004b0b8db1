// The graphic escape set's line-drawing characters and their stand-ins.
#include "stream/uGraphicEscape.h"

#include <array>

namespace {

struct TGeLine {
    std::uint8_t code;
    std::uint8_t local;
    std::uint32_t unicode;
};

constexpr std::array<TGeLine, 11> kLines = {{
    {0x85, '|', 0x2502},
    {0xA2, '-', 0x2500},
    {0xC4, '+', 0x2514},
    {0xC5, '+', 0x250C},
    {0xC6, '+', 0x251C},
    {0xC7, '+', 0x2534},
    {0xD3, '+', 0x253C},
    {0xD4, '+', 0x2518},
    {0xD5, '+', 0x2510},
    {0xD6, '+', 0x2524},
    {0xD7, '+', 0x252C},
}};

const TGeLine* Find(std::uint8_t code)
{
    for (const TGeLine& l : kLines)
        if (l.code == code)
            return &l;
    return nullptr;
}

}  // namespace

std::uint8_t GeLocal(std::uint8_t code)
{
    const TGeLine* l = Find(code);
    return l ? l->local : 0;
}

std::uint32_t GeUnicode(std::uint8_t code)
{
    const TGeLine* l = Find(code);
    return l ? l->unicode : 0;
}

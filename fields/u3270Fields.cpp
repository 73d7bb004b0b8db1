// The 3270 host field record.
#include "fields/u3270Fields.h"

#include <array>

void T3270Field::SetData(std::string_view text)
{
    if (std::string_view(Data) != text)
        SetModified(true);
    TDSField::SetData(text);
}

std::unique_ptr<TDSField> T3270Field::NewInstance() const
{
    return std::make_unique<T3270Field>();
}

void T3270Field::SetModified(bool value)
{
    // Clearing is not offered: the host learns of a change through the tag,
    // and an application that resets it must not lose an edit it made.
    if (value)
        Attr = static_cast<std::uint8_t>(Attr | kAttrModified);
}

TColor T3270Field::GetColor() const
{
    if (Eab == 0) {
        if (GetEditable())
            return GetHigh() ? kRed : kGreen;
        return GetHigh() ? kWhite : kBlue;
    }
    // 3270 colour codes 0 (default) to 7 (white), in bits 3 to 5.
    static constexpr std::array<TColor, 8> kByCode = {kBlack, kBlue, kRed, kFuchsia, kGreen, kAqua, kYellow, kWhite};
    return kByCode[(Eab & kEabColorMask) >> 3];
}

// The generic screen image: geometry, planes, cursor and status text.
#include "display/uOrvTndisplay.h"

#include <algorithm>

TOrvTndisplay::TOrvTndisplay(std::int32_t ident, std::int32_t rows, std::int32_t cols)
    : Ident(ident), Rows(rows), Cols(cols)
{
    // Computed wide so that absurd geometries neither overflow nor reach
    // past the planes.
    const std::int64_t size = static_cast<std::int64_t>(rows) * static_cast<std::int64_t>(cols);
    Size = static_cast<std::int32_t>(std::clamp<std::int64_t>(rows > 0 && cols > 0 ? size : 0, 0, kMaxScreenPositions));
    defaultSize_ = alternateSize_ = {Rows, Cols};
    // One position at least: position 0 stays inside the planes whatever the geometry.
    const auto room = static_cast<std::size_t>(std::max(Size, 1));
    Chars.assign(room, 0);
    Attrs.assign(room, 0);
    ExtAttrs.assign(room, 0);
    GeCodes.assign(room, 0);
    Updated = false;
    Formatted = false;
    Locked = true;
    SetCursorPosition(0);
}

void TOrvTndisplay::SetScreenSizes(TScreenSize defaultSize, TScreenSize alternateSize)
{
    if (defaultSize.Rows <= 0 || defaultSize.Cols <= 0 || defaultSize.Positions() > kMaxScreenPositions)
        defaultSize = kDefaultScreenSize;
    if (!defaultSize.FitsIn(alternateSize) || alternateSize.Positions() > kMaxScreenPositions)
        alternateSize = defaultSize;
    defaultSize_ = defaultSize;
    alternateSize_ = alternateSize;
    const auto room = static_cast<std::size_t>(alternateSize.Positions());
    if (Chars.size() < room)
        for (Plane* plane : {&Chars, &Attrs, &ExtAttrs, &GeCodes})
            plane->resize(room, 0);
    if (!CurrentSize().FitsIn(alternateSize))
        SelectSize(alternateSize);
}

bool TOrvTndisplay::SelectSize(TScreenSize size)
{
    if (size.Rows <= 0 || size.Cols <= 0 || !size.FitsIn(alternateSize_))
        return false;
    if (size == CurrentSize())
        return true;
    // Positions beyond the new size must not keep the old screen's content.
    for (Plane* plane : {&Chars, &Attrs, &ExtAttrs, &GeCodes})
        std::fill(plane->begin(), plane->end(), std::uint8_t{0});
    Rows = size.Rows;
    Cols = size.Cols;
    Size = size.Positions();
    Formatted = false;
    SetCursorPosition(0);
    return true;
}

void TOrvTndisplay::SetCursorPosition(std::int32_t position)
{
    CursorPosition = (position < 0 || position >= Size) ? 0 : position;
    CursorRow = static_cast<std::uint8_t>(RowOf(CursorPosition) + 1);
    CursorColumn = static_cast<std::uint8_t>(ColOf(CursorPosition) + 1);
}

void TOrvTndisplay::SetStatus(const std::string& text)
{
    if (Status == text)
        return;
    Status = text;
    if (OnStatusChange)
        OnStatusChange(this);
}

void TOrvTndisplay::clear()
{
    SetCursorPosition(0);
    Formatted = false;
    const auto n = static_cast<std::size_t>(Size);
    std::fill_n(Chars.begin(), n, kNull);
    std::fill_n(Attrs.begin(), n, kAttrChanged);
    std::fill_n(ExtAttrs.begin(), n, std::uint8_t{0});
    std::fill_n(GeCodes.begin(), n, std::uint8_t{0});
}

void TOrvTndisplay::unlock()
{
    Locked = false;
    SetStatus(std::string());
}

void TOrvTndisplay::update()
{
    MaskBytes(Attrs.data(), Size, static_cast<std::uint8_t>(~kAttrChanged), 0);
    Updated = true;
}

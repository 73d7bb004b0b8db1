// The generic screen image: geometry, planes, cursor and status text.
#include "display/uOrvTndisplay.h"

#include <algorithm>

namespace {

// The cursor lives on the 24 x 80 screen of a 3270 Model 2, whatever the
// geometry the buffer was built with.
constexpr std::int32_t kCursorLast = 1919;
constexpr std::int32_t kCursorCols = 80;

} // namespace

TOrvTndisplay::TOrvTndisplay(std::int32_t ident, std::int32_t rows, std::int32_t cols)
    : Ident(ident), Rows(rows), Cols(cols)
{
    // Computed wide so that absurd geometries neither overflow nor reach
    // past the planes.
    const std::int64_t size = static_cast<std::int64_t>(rows) * static_cast<std::int64_t>(cols);
    Size = static_cast<std::int32_t>(std::clamp<std::int64_t>(rows > 0 && cols > 0 ? size : 0, 0, kMaxPositions));
    Updated = false;
    Formatted = false;
    Locked = true;
    SetCursorPosition(0);
}

void TOrvTndisplay::SetCursorPosition(std::int32_t position)
{
    CursorPosition = (position < 0 || position > kCursorLast) ? 0 : position;
    CursorRow = static_cast<std::uint8_t>(CursorPosition / kCursorCols + 1);
    CursorColumn = static_cast<std::uint8_t>(CursorPosition % kCursorCols + 1);
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

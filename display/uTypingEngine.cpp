// The typing engine (3270 display keyboard: data entry, autoskip).
#include "display/uTypingEngine.h"

#include <cstdio>

namespace {

constexpr std::uint8_t kFirstGraphic = 0x20;  // below: control characters, never typed

} // namespace

std::string TTypeResult::Message() const
{
    char text[96];
    const int row = Row, col = Column;
    switch (Refusal) {
    case TTypeRefusal::trNone: return {};
    case TTypeRefusal::trProtected:
        std::snprintf(text, sizeof text, "position %d,%d is protected", row, col);
        break;
    case TTypeRefusal::trNumeric:
        std::snprintf(text, sizeof text, "numeric field at %d,%d takes only 0-9 . -", row, col);
        break;
    case TTypeRefusal::trNotCarried:
        std::snprintf(text, sizeof text, "character 0x%02X cannot be sent to the host", Character);
        break;
    }
    return text;
}

TTypingEngine::TTypingEngine(TOrvTn3270display& screen, TCanCarry canCarry)
    : screen_(screen), canCarry_(std::move(canCarry))
{
}

TTypeResult TTypingEngine::Type(std::string_view text)
{
    TTypeResult result;
    screen_.propagateFields();  // protection is read at every position
    for (const char ch : text)
        if (!TypeChar(static_cast<std::uint8_t>(ch), result))
            break;
    return result;
}

bool TTypingEngine::TypeChar(std::uint8_t c, TTypeResult& result)
{
    auto& d = screen_;
    if (d.Size <= 0)
        return false;
    const std::int32_t p = d.inRange(d.CursorPosition) ? d.CursorPosition : 0;
    const auto i = static_cast<std::size_t>(p);
    auto refuse = [&](TTypeRefusal why) {
        result.Refusal = why;
        result.Position = p;
        result.Row = d.Cols > 0 ? p / d.Cols + 1 : 1;
        result.Column = d.Cols > 0 ? p % d.Cols + 1 : p + 1;
        result.Character = c;
        return false;
    };
    if (c < kFirstGraphic || (canCarry_ && !canCarry_(c)))
        return refuse(TTypeRefusal::trNotCarried);
    d.propagateFields();
    if (d.Formatted) {
        if (d.Chars[i] == TOrvTndisplay::kFieldMarker || (d.Attrs[i] & TOrvTndisplay::kAttrProtected))
            return refuse(TTypeRefusal::trProtected);
        if ((d.Attrs[i] & TOrvTndisplay::kAttrNumeric) && !IsNumericInput(c))
            return refuse(TTypeRefusal::trNumeric);
    }
    d.Chars[i] = c;
    d.GeCodes[i] = 0;  // a typed character replaces a graphic escape
    d.Attrs[i] |= TOrvTndisplay::kAttrChanged;
    d.setFieldModified(p);
    std::int32_t next = d.next(p);
    // At the end of the field: an autoskip field is passed over to the next
    // unprotected one (searching on from the top of the screen).
    if (d.Formatted && d.Chars[static_cast<std::size_t>(next)] == TOrvTndisplay::kFieldMarker) {
        constexpr std::uint8_t kAutoskip = TOrvTndisplay::kAttrProtected | TOrvTndisplay::kAttrNumeric;
        if ((d.Attrs[static_cast<std::size_t>(next)] & kAutoskip) == kAutoskip) {
            std::int32_t u = d.findNextUnprotectedAfterFA(next);
            if (u == -1)
                u = d.findNextUnprotectedAfterFA(0);
            if (u != -1)
                next = u;
        }
    }
    d.SetCursorPosition(next);
    ++result.Typed;
    return true;
}

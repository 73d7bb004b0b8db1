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
    case TTypeRefusal::trNoRoom:
        std::snprintf(text, sizeof text, "no room to insert at %d,%d: the field ends in a character", row, col);
        break;
    case TTypeRefusal::trFieldStart:
        std::snprintf(text, sizeof text, "position %d,%d is the start of the field", row, col);
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

std::int32_t TTypingEngine::cursor() const
{
    return screen_.inRange(screen_.CursorPosition) ? screen_.CursorPosition : 0;
}

bool TTypingEngine::refuse(TTypeRefusal why, std::int32_t p, std::uint8_t c, TTypeResult& result) const
{
    const auto& d = screen_;
    result.Refusal = why;
    result.Position = p;
    result.Row = d.Cols > 0 ? p / d.Cols + 1 : 1;
    result.Column = d.Cols > 0 ? p % d.Cols + 1 : p + 1;
    result.Character = c;
    return false;
}

bool TTypingEngine::isProtected(std::int32_t p) const
{
    const auto& d = screen_;
    const auto i = static_cast<std::size_t>(p);
    return d.Formatted &&
           (d.Chars[i] == TOrvTndisplay::kFieldMarker || (d.Attrs[i] & TOrvTndisplay::kAttrProtected) != 0);
}

bool TTypingEngine::accepts(std::uint8_t c, std::int32_t p, TTyped what, TTypeResult& result) const
{
    const auto& d = screen_;
    const bool character = what == TTyped::Character;
    if (character && (c < kFirstGraphic || (canCarry_ && !canCarry_(c))))
        return refuse(TTypeRefusal::trNotCarried, p, c, result);
    if (isProtected(p))
        return refuse(TTypeRefusal::trProtected, p, c, result);
    if (character && d.Formatted && (d.Attrs[static_cast<std::size_t>(p)] & TOrvTndisplay::kAttrNumeric) &&
        !IsNumericInput(c))
        return refuse(TTypeRefusal::trNumeric, p, c, result);
    return true;
}

std::vector<std::int32_t> TTypingEngine::restOfField(std::int32_t p) const
{
    const auto& d = screen_;
    std::vector<std::int32_t> out;
    if (!d.Formatted) {
        for (std::int32_t q = p; q < d.Size; ++q)
            out.push_back(q);
        return out;
    }
    for (std::int32_t q = p, n = 0; n < d.Size && d.Chars[static_cast<std::size_t>(q)] != TOrvTndisplay::kFieldMarker;
         q = d.next(q), ++n)
        out.push_back(q);
    return out;
}

void TTypingEngine::shift(const std::vector<std::int32_t>& positions, bool left)
{
    auto& d = screen_;
    if (positions.empty())
        return;
    const std::size_t n = positions.size();
    auto move = [&](std::size_t to, std::size_t from) {
        const auto t = static_cast<std::size_t>(positions[to]), f = static_cast<std::size_t>(positions[from]);
        d.Chars[t] = d.Chars[f];
        d.GeCodes[t] = d.GeCodes[f];
        d.Attrs[t] |= TOrvTndisplay::kAttrChanged;
    };
    const auto freed = static_cast<std::size_t>(left ? positions[n - 1] : positions[0]);
    if (left)
        for (std::size_t k = 0; k + 1 < n; ++k)
            move(k, k + 1);
    else
        for (std::size_t k = n - 1; k > 0; --k)
            move(k, k - 1);
    d.Chars[freed] = TOrvTndisplay::kNull;
    d.GeCodes[freed] = 0;
    d.Attrs[freed] |= TOrvTndisplay::kAttrChanged;
    d.setFieldModified(positions[0]);
}

void TTypingEngine::put(std::uint8_t c, std::int32_t p, TTypeResult& result)
{
    auto& d = screen_;
    const auto i = static_cast<std::size_t>(p);
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
}

bool TTypingEngine::typeAtCursor(std::uint8_t c, TTyped what, TTypeResult& result)
{
    if (screen_.Size <= 0)
        return false;
    screen_.propagateFields();
    const std::int32_t p = cursor();
    if (!accepts(c, p, what, result))
        return false;
    put(c, p, result);
    return true;
}

bool TTypingEngine::TypeChar(std::uint8_t c, TTypeResult& result)
{
    return typeAtCursor(c, TTyped::Character, result);
}

bool TTypingEngine::InsertChar(std::uint8_t c, TTypeResult& result)
{
    if (screen_.Size <= 0)
        return false;
    screen_.propagateFields();
    const std::int32_t p = cursor();
    if (!accepts(c, p, TTyped::Character, result))
        return false;
    const std::vector<std::int32_t> rest = restOfField(p);
    // The shift pushes the field's last character out: only a null may go.
    if (rest.empty() || screen_.Chars[static_cast<std::size_t>(rest.back())] != TOrvTndisplay::kNull)
        return refuse(TTypeRefusal::trNoRoom, p, c, result);
    shift(rest, false);
    put(c, p, result);
    return true;
}

TTypeResult TTypingEngine::FieldMark(std::uint8_t code)
{
    TTypeResult result;
    typeAtCursor(code, TTyped::OrderCode, result);
    return result;
}

TTypeResult TTypingEngine::Dup(std::uint8_t code)
{
    const std::int32_t p = screen_.Size > 0 ? cursor() : 0;
    TTypeResult result = FieldMark(code);
    if (result.Ok() && result.Typed > 0) {
        // From the DUP's own position: put may already have skipped on.
        screen_.SetCursorPosition(p);
        Tab();
    }
    return result;
}

TTypeResult TTypingEngine::DeleteChar()
{
    TTypeResult result;
    if (screen_.Size <= 0)
        return result;
    screen_.propagateFields();
    const std::int32_t p = cursor();
    if (isProtected(p)) {
        refuse(TTypeRefusal::trProtected, p, 0, result);
        return result;
    }
    shift(restOfField(p), true);
    return result;
}

TTypeResult TTypingEngine::Backspace()
{
    TTypeResult result;
    auto& d = screen_;
    if (d.Size <= 0)
        return result;
    d.propagateFields();
    const std::int32_t p = cursor();
    if (isProtected(p)) {
        refuse(TTypeRefusal::trProtected, p, 0, result);
        return result;
    }
    const std::int32_t before = p == 0 ? d.Size - 1 : p - 1;
    if ((!d.Formatted && p == 0) || (d.Formatted && d.Chars[static_cast<std::size_t>(before)] == TOrvTndisplay::kFieldMarker)) {
        refuse(TTypeRefusal::trFieldStart, p, 0, result);
        return result;
    }
    d.SetCursorPosition(before);
    shift(restOfField(before), true);
    return result;
}

TTypeResult TTypingEngine::EraseEof()
{
    TTypeResult result;
    auto& d = screen_;
    if (d.Size <= 0)
        return result;
    d.propagateFields();
    const std::int32_t p = cursor();
    if (isProtected(p)) {
        refuse(TTypeRefusal::trProtected, p, 0, result);
        return result;
    }
    for (const std::int32_t q : restOfField(p)) {
        const auto i = static_cast<std::size_t>(q);
        d.Chars[i] = TOrvTndisplay::kNull;
        d.GeCodes[i] = 0;
        d.Attrs[i] |= TOrvTndisplay::kAttrChanged;
    }
    d.setFieldModified(p);
    return result;
}

TTypeResult TTypingEngine::EraseInput()
{
    TTypeResult result;
    auto& d = screen_;
    if (d.Size <= 0)
        return result;
    d.propagateFields();
    for (std::int32_t q = 0; q < d.Size; ++q) {
        const auto i = static_cast<std::size_t>(q);
        if (d.Formatted && (d.Chars[i] == TOrvTndisplay::kFieldMarker || (d.Attrs[i] & TOrvTndisplay::kAttrProtected) != 0))
            continue;
        if (d.Chars[i] != TOrvTndisplay::kNull || d.GeCodes[i] != 0) {
            d.Chars[i] = TOrvTndisplay::kNull;
            d.GeCodes[i] = 0;
            d.Attrs[i] |= TOrvTndisplay::kAttrChanged;
        }
    }
    // The keyboard's Erase Input resets the modified data tags of the
    // unprotected fields: nothing typed before it is sent.
    if (d.Formatted)
        for (std::int32_t q = 0; q < d.Size; ++q) {
            const auto i = static_cast<std::size_t>(q);
            if (d.Chars[i] == TOrvTndisplay::kFieldMarker && (d.Attrs[i] & TOrvTndisplay::kAttrProtected) == 0)
                d.setBitModifiedInFA(q, false);
        }
    Home();
    return result;
}

TTypeResult TTypingEngine::DeleteField()
{
    TTypeResult result;
    auto& d = screen_;
    if (d.Size <= 0)
        return result;
    d.propagateFields();
    const std::int32_t p = cursor();
    if (isProtected(p)) {
        refuse(TTypeRefusal::trProtected, p, 0, result);
        return result;
    }
    // The field's first position: after its attribute (unformatted: 0).
    std::int32_t first = 0;
    if (d.Formatted) {
        first = p;
        for (std::int32_t n = 0; n < d.Size; ++n) {
            const std::int32_t before = first == 0 ? d.Size - 1 : first - 1;
            if (d.Chars[static_cast<std::size_t>(before)] == TOrvTndisplay::kFieldMarker)
                break;
            first = before;
        }
    }
    for (const std::int32_t q : restOfField(first)) {
        const auto i = static_cast<std::size_t>(q);
        d.Chars[i] = TOrvTndisplay::kNull;
        d.GeCodes[i] = 0;
        d.Attrs[i] |= TOrvTndisplay::kAttrChanged;
    }
    d.setFieldModified(first);
    d.SetCursorPosition(first);
    return result;
}

void TTypingEngine::Newline()
{
    auto& d = screen_;
    if (d.Size <= 0 || d.Cols <= 0)
        return;
    d.propagateFields();
    const std::int32_t start = ((cursor() / d.Cols + 1) * d.Cols) % d.Size;
    if (d.Formatted)
        for (std::int32_t n = 0, q = start; n < d.Size; ++n, q = d.next(q))
            if (!isProtected(q)) {
                d.SetCursorPosition(q);
                return;
            }
    d.SetCursorPosition(start);
}

void TTypingEngine::Tab()
{
    auto& d = screen_;
    if (d.Size <= 0)
        return;
    d.propagateFields();
    std::int32_t u = d.findNextUnprotectedAfterFA(cursor());
    if (u == -1)
        u = d.findNextUnprotectedAfterFA(0);
    d.SetCursorPosition(u == -1 ? 0 : u);
}

void TTypingEngine::BackTab()
{
    auto& d = screen_;
    if (d.Size <= 0)
        return;
    d.propagateFields();
    if (!d.Formatted) {
        d.SetCursorPosition(0);
        return;
    }
    const std::int32_t p = cursor();
    // Backwards from the cursor: the first unprotected field attribute whose
    // field has a position and does not start at the cursor itself.
    for (std::int32_t k = 1; k <= d.Size; ++k) {
        const std::int32_t q = ((p - k) % d.Size + d.Size) % d.Size;
        const auto i = static_cast<std::size_t>(q);
        if (d.Chars[i] != TOrvTndisplay::kFieldMarker || (d.Attrs[i] & TOrvTndisplay::kAttrProtected) != 0)
            continue;
        const std::int32_t first = d.next(q);
        if (first != p && d.Chars[static_cast<std::size_t>(first)] != TOrvTndisplay::kFieldMarker) {
            d.SetCursorPosition(first);
            return;
        }
    }
    d.SetCursorPosition(0);
}

void TTypingEngine::Home()
{
    auto& d = screen_;
    if (d.Size <= 0)
        return;
    d.propagateFields();
    const std::int32_t u = d.findNextUnprotectedAfterFA(0);
    d.SetCursorPosition(u == -1 ? 0 : u);
}

void TTypingEngine::Move(std::int32_t rows, std::int32_t cols)
{
    auto& d = screen_;
    if (d.Size <= 0)
        return;
    const std::int64_t to = static_cast<std::int64_t>(cursor()) + static_cast<std::int64_t>(rows) * d.Cols + cols;
    d.SetCursorPosition(static_cast<std::int32_t>(((to % d.Size) + d.Size) % d.Size));
}

// The 3270 field attribute operations of the screen buffer. Every position
// carries the internal attribute byte of its field, so a field walk writes
// from a field attribute forward, wrapping past the last position, until the
// next field attribute. Each walk is bounded by Size steps, so a plane that
// breaks the marker invariant (host code may write the planes directly) can
// make a result wrong but never makes a walk endless.
#include "display/uOrvTn3270display.h"

#include <algorithm>
#include <cstring>

namespace {

inline std::size_t At(std::int32_t position) { return static_cast<std::size_t>(position); }

// 3270 field attribute byte -> internal attribute byte (change mark included).
constexpr std::uint8_t ToInternal(std::uint8_t fa)
{
    std::uint8_t a = TOrvTndisplay::kAttrChanged;
    if (fa & 0x20)
        a |= TOrvTndisplay::kAttrProtected;
    if (fa & 0x10)
        a |= TOrvTndisplay::kAttrNumeric;
    if (fa & 0x01)
        a |= TOrvTndisplay::kAttrMdt;
    a |= static_cast<std::uint8_t>((fa >> 2) & TOrvTndisplay::kAttrDisplay);
    return a;
}

constexpr std::uint8_t kBlank = 0x20;

// The application's text must not plant a field attribute marker: the byte
// that means "field attribute here" is taken as a blank.
std::uint8_t TypedChar(std::string_view text, std::int32_t k)
{
    const auto c = static_cast<std::uint8_t>(text[static_cast<std::size_t>(k)]);
    return c == TOrvTndisplay::kFieldMarker ? kBlank : c;
}

} // namespace

TOrvTn3270display::TOrvTn3270display(std::int32_t ident, std::int32_t rows, std::int32_t cols)
    : TOrvTndisplay(ident, rows, cols)
{
}

TOrvTn3270display::FieldSpan TOrvTn3270display::spanFrom(std::int32_t position) const
{
    // The positions a walk from position reaches, stepping past the last
    // position to 0, before it meets a field attribute marker; at most Size.
    const std::uint8_t* chars = Chars.data();
    const auto size = Size;
    FieldSpan f{position, size, 0};
    if (position + 1 < size) {
        if (const void* m = std::memchr(chars + position + 1, kFieldMarker, At(size - position - 1))) {
            f.end = static_cast<std::int32_t>(static_cast<const std::uint8_t*>(m) - chars);
            return f;
        }
    }
    const void* m = std::memchr(chars, kFieldMarker, At(position + 1));
    f.wrapEnd = m ? static_cast<std::int32_t>(static_cast<const std::uint8_t*>(m) - chars) : position;
    return f;
}

void TOrvTn3270display::clear()
{
    TOrvTndisplay::clear();
    fieldsPending_ = false;
}

void TOrvTn3270display::SetScreenSizes(TScreenSize defaultSize, TScreenSize alternateSize)
{
    const TScreenSize before = CurrentSize();
    TOrvTndisplay::SetScreenSizes(defaultSize, alternateSize);
    if (CurrentSize() != before)
        fieldsPending_ = false;
}

bool TOrvTn3270display::SelectSize(TScreenSize size)
{
    const TScreenSize before = CurrentSize();
    const bool ok = TOrvTndisplay::SelectSize(size);
    if (CurrentSize() != before)
        fieldsPending_ = false;
    return ok;
}

void TOrvTn3270display::update()
{
    propagateFields();
    TOrvTndisplay::update();
}

std::uint8_t TOrvTn3270display::fieldAttr(std::int32_t position) const
{
    if (!fieldsPending_ || Chars[At(position)] == kFieldMarker)
        return Attrs[At(position)];
    // Deferred inserts: the field attribute position is the one to trust.
    std::int32_t p = position;
    for (std::int32_t n = 0; n < Size; ++n) {
        if (Chars[At(p)] == kFieldMarker)
            return Attrs[At(p)];
        p = p == 0 ? Size - 1 : p - 1;
    }
    return Attrs[At(position)];
}

std::uint8_t TOrvTn3270display::getFA(std::int32_t position) const
{
    if (!inRange(position))
        return 0;
    const std::uint8_t a = fieldAttr(position);
    std::uint8_t fa = 0;
    if (a & kAttrProtected)
        fa |= 0x20;
    if (a & kAttrNumeric)
        fa |= 0x10;
    if (a & kAttrMdt)
        fa |= 0x01;
    fa |= static_cast<std::uint8_t>((a & kAttrDisplay) << 2);
    return fa;
}

std::uint8_t TOrvTn3270display::getEFA(std::int32_t position) const
{
    return inRange(position) ? ExtAttrs[At(position)] : 0;
}

bool TOrvTn3270display::isFieldModified(std::int32_t position) const
{
    return inRange(position) && (fieldAttr(position) & kAttrMdt) != 0;
}

std::int32_t TOrvTn3270display::findNextFA(std::int32_t start) const
{
    if (!Formatted || start > Size - 1)
        return -1;
    const auto first = Chars.begin() + std::max(start, 0);
    const auto last = Chars.begin() + Size;
    const auto it = std::find(first, last, kFieldMarker);
    return it == last ? -1 : static_cast<std::int32_t>(it - Chars.begin());
}

std::int32_t TOrvTn3270display::findPrevFA(std::int32_t start) const
{
    if (!Formatted || start < 0)
        return -1;
    // One memrchr, not a loop: a write's every SA reset looks back to its
    // field's attribute, over whole rows of a table (132 positions a row on
    // a model 5), and the loop made that the biggest cost of such a write.
    const std::int32_t last = std::min(start, Size - 1);
    const void* m = last < 0 ? nullptr : memrchr(Chars.data(), kFieldMarker, At(last + 1));
    return m ? static_cast<std::int32_t>(static_cast<const std::uint8_t*>(m) - Chars.data()) : -1;
}

std::int32_t TOrvTn3270display::findNextUnprotectedAfterFA(std::int32_t start) const
{
    if (!Formatted || start > Size - 1)
        return -1;
    for (std::int32_t i = std::max(start, 0); i < Size; ++i) {
        if (Chars[At(i)] != kFieldMarker || (Attrs[At(i)] & kAttrProtected) != 0)
            continue;
        if (i + 1 == Size)
            return -1;
        if (Chars[At(i + 1)] != kFieldMarker)
            return i + 1;
        // An empty unprotected field has no character position: look further.
    }
    return -1;
}

void TOrvTn3270display::insertFA(std::int32_t position, std::uint8_t attribute)
{
    if (!inRange(position))
        return;
    const std::uint8_t a = ToInternal(attribute);
    Formatted = true;
    Chars[At(position)] = kFieldMarker;
    ExtAttrs[At(position)] = 0;
    GeCodes[At(position)] = 0;
    // Our own marker ends the field at the latest after one full turn.
    const FieldSpan f = spanFrom(position);
    std::memset(Attrs.data() + f.start, a, At(f.end - f.start));
    std::memset(Attrs.data(), a, At(f.wrapEnd));
}

void TOrvTn3270display::insertFADeferred(std::int32_t position, std::uint8_t attribute)
{
    if (!inRange(position))
        return;
    Formatted = true;
    Chars[At(position)] = kFieldMarker;
    ExtAttrs[At(position)] = 0;
    GeCodes[At(position)] = 0;
    Attrs[At(position)] = ToInternal(attribute);
    fieldsPending_ = true;
}

void TOrvTn3270display::propagateFields()
{
    if (!fieldsPending_)
        return;
    fieldsPending_ = false;
    const std::uint8_t* chars = Chars.data();
    auto nextMarker = [&](std::int32_t from) {
        const void* m = std::memchr(chars + from, kFieldMarker, At(Size - from));
        return m ? static_cast<std::int32_t>(static_cast<const std::uint8_t*>(m) - chars) : Size;
    };
    // A position's own change mark survives; everything else comes from its
    // field attribute. For a field that was not touched this rewrites the
    // same byte, since a field attribute's change mark is set only together
    // with its whole field's.
    std::uint8_t* attrs = Attrs.data();
    auto fill = [attrs](std::int32_t from, std::int32_t to, std::uint8_t fa) {
        MaskBytes(attrs + from, to - from, kAttrChanged, fa);
    };
    const std::int32_t size = Size;
    const std::int32_t first = nextMarker(0);
    if (first == size)
        return;
    for (std::int32_t f = first; f < size;) {
        const std::int32_t n = f + 1 < size ? nextMarker(f + 1) : size;
        fill(f + 1, n, attrs[f]);
        if (n == size)
            fill(0, first, attrs[f]);  // the last field runs on at the top
        f = n;
    }
}

void TOrvTn3270display::eraseFA(std::int32_t position)
{
    if (!inRange(position) || Chars[At(position)] != kFieldMarker)
        return;
    std::int32_t q = findPrevFA(position == 0 ? Size - 1 : position - 1);
    if (q == -1)
        q = findPrevFA(Size - 1);
    if (q == position || q == -1) {
        Formatted = false;
        fieldsPending_ = false;
        std::fill_n(Attrs.begin(), At(Size), kAttrChanged);
        return;
    }
    const auto c = static_cast<std::uint8_t>(Attrs[At(q)] | kAttrChanged);
    const FieldSpan f = spanFrom(position);
    std::memset(Attrs.data() + f.start, c, At(f.end - f.start));
    std::memset(Attrs.data(), c, At(f.wrapEnd));
}

void TOrvTn3270display::setEFA(std::int32_t position, std::uint8_t value)
{
    if (inRange(position))
        ExtAttrs[At(position)] |= value;
}

void TOrvTn3270display::setBitModifiedInFA(std::int32_t position, bool on)
{
    if (!inRange(position))
        return;
    propagateFields();
    const FieldSpan f = spanFrom(position);
    const std::uint8_t set = on ? (kAttrChanged | kAttrMdt) : kAttrChanged;
    const auto keep = static_cast<std::uint8_t>(on ? 0xFF : ~kAttrMdt);
    MaskBytes(Attrs.data() + f.start, f.end - f.start, keep, set);
    MaskBytes(Attrs.data(), f.wrapEnd, keep, set);
}

void TOrvTn3270display::setFieldModified(std::int32_t position)
{
    if (!Formatted || !inRange(position))
        return;
    std::int32_t p = position;
    for (std::int32_t n = 0; n < Size; ++n) {
        if (Chars[At(p)] == kFieldMarker) {
            if ((Attrs[At(p)] & kAttrMdt) == 0)
                setBitModifiedInFA(p, true);
            return;
        }
        p = p == 0 ? Size - 1 : p - 1;
    }
}

std::int32_t TOrvTn3270display::writablePositions(std::int32_t start, std::int32_t count) const
{
    if (!inRange(start) || count <= 0)
        return 0;
    // A field that runs past the last position continues at the top of the
    // screen, as the host sees it; it ends at the next field attribute,
    // which a count too large for the field must not overwrite.
    const std::int32_t limit = std::min(count, Size);
    std::int32_t n = 0;
    for (std::int32_t i = start; n < limit && Chars[At(i)] != kFieldMarker; i = next(i))
        ++n;
    return n;
}

std::string_view TOrvTn3270display::typedText(std::string_view text, std::int32_t positions)
{
    const auto zero = text.find('\0');
    if (zero != std::string_view::npos)
        text = text.substr(0, zero);
    return text.substr(0, std::min<std::size_t>(text.size(), static_cast<std::size_t>(positions)));
}

bool TOrvTn3270display::showsText(std::int32_t start, std::int32_t positions, std::string_view text) const
{
    const auto n = static_cast<std::int32_t>(text.size());
    std::int32_t i = start;
    for (std::int32_t k = 0; k < positions; ++k, i = next(i)) {
        // A record leaves out the nulls, blanks and controls (a DUP) that
        // end an input field: they show as the blanks it has there.
        const std::uint8_t ch = Chars[At(i)];
        const std::uint8_t want = k < n ? TypedChar(text, k) : kBlank;
        if (ch != want && !(want == kBlank && ch < kBlank))
            return false;
    }
    return true;
}

bool TOrvTn3270display::typeText(std::int32_t start, std::int32_t positions, std::string_view text)
{
    const auto n = static_cast<std::int32_t>(text.size());
    std::int32_t first = 0;
    while (first < n && TypedChar(text, first) == kBlank)
        ++first;
    std::int32_t last = n - 1;
    while (last >= first && TypedChar(text, last) == kBlank)
        --last;
    // An all-blank text has no words: first == n, last < first.
    bool changed = false;
    std::int32_t i = start;
    for (std::int32_t k = 0; k < positions; ++k, i = next(i)) {
        std::uint8_t& ch = Chars[At(i)];
        std::uint8_t want = kNull;
        if (k >= first && k <= last)
            want = TypedChar(text, k);
        else if (k < first && first < n && ch == kBlank)
            want = kBlank;  // a leading blank over a blank: as it was
        if (want == ch)
            continue;
        ch = want;
        GeCodes[At(i)] = 0;  // a typed character is no graphic escape
        Attrs[At(i)] |= kAttrChanged;
        changed = true;
    }
    return changed;
}

void TOrvTn3270display::putField(std::int32_t start, std::int32_t count, std::string_view text)
{
    const std::int32_t positions = writablePositions(start, count);
    if (positions == 0)
        return;
    text = typedText(text, positions);
    if (showsText(start, positions, text))
        return;
    if (typeText(start, positions, text))
        setFieldModified(start);
}

void TOrvTn3270display::retypeField(std::int32_t start, std::int32_t count, std::string_view text)
{
    const std::int32_t positions = writablePositions(start, count);
    if (positions == 0)
        return;
    typeText(start, positions, typedText(text, positions));
    setFieldModified(start);
}

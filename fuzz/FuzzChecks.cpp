// Invariant checks shared by the fuzz targets and the fuzz regression tests.
#include "fuzz/FuzzChecks.h"

#include "component/uHostFieldExtract.h"
#include "fields/u3270Fields.h"
#include "stream/uOrvTn3270Consts.h"

#include <cstdio>
#include <string_view>

namespace tnfuzz {

namespace {

constexpr std::uint8_t kIac = 0xFF;
constexpr std::uint8_t kSe = 0xF0;
constexpr std::uint8_t kSb = 0xFA;
constexpr std::uint8_t kSba = 0x11;
constexpr std::int32_t kHeader = 5;  // TN3270E header
// Internal attribute bits that describe the field (the change mark does not).
constexpr std::uint8_t kFieldBits = TOrvTndisplay::kAttrDisplay | TOrvTndisplay::kAttrMdt |
                                    TOrvTndisplay::kAttrProtected | TOrvTndisplay::kAttrNumeric;

template <typename... Args>
std::string Fail(const char* format, Args... args)
{
    char text[256];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

std::size_t At(std::int32_t position) { return static_cast<std::size_t>(position); }

}  // namespace

std::string CheckScreen(const TOrvTn3270display& d)
{
    if (d.Size <= 0 || d.Size > kMaxScreenPositions || d.Size != d.Rows * d.Cols ||
        !d.CurrentSize().FitsIn(d.AlternateSize()) || d.Chars.size() < static_cast<std::size_t>(d.Size))
        return Fail("screen size %d (%dx%d)", d.Size, d.Rows, d.Cols);
    if (!d.inRange(d.CursorPosition))
        return Fail("cursor %d outside the screen of %d", d.CursorPosition, d.Size);
    if (d.CursorRow != d.CursorPosition / d.Cols + 1 || d.CursorColumn != d.CursorPosition % d.Cols + 1)
        return Fail("cursor row/column %d/%d do not match position %d", d.CursorRow, d.CursorColumn,
                    d.CursorPosition);
    for (std::int32_t p = d.Size; p < static_cast<std::int32_t>(d.Chars.size()); ++p)
        if (d.Chars[At(p)] != 0 || d.Attrs[At(p)] != 0 || d.ExtAttrs[At(p)] != 0)
            return Fail("position %d beyond the screen of %d written", p, d.Size);

    std::int32_t lastMarker = -1;
    for (std::int32_t p = 0; p < d.Size; ++p)
        if (d.Chars[At(p)] == TOrvTndisplay::kFieldMarker)
            lastMarker = p;
    if (d.Formatted != (lastMarker != -1))
        return Fail("Formatted is %d but the screen %s field attributes", d.Formatted ? 1 : 0,
                    lastMarker != -1 ? "has" : "has no");
    if (lastMarker == -1) {
        for (std::int32_t p = 0; p < d.Size; ++p)
            if ((d.Attrs[At(p)] & kFieldBits) != 0)
                return Fail("unformatted screen: position %d carries field bits %02X", p, d.Attrs[At(p)]);
        return "";
    }
    // Positions before the first marker belong to the last field (wrap).
    std::uint8_t field = d.Attrs[At(lastMarker)] & kFieldBits;
    for (std::int32_t p = 0; p < d.Size; ++p) {
        if (d.Chars[At(p)] == TOrvTndisplay::kFieldMarker)
            field = d.Attrs[At(p)] & kFieldBits;
        else if ((d.Attrs[At(p)] & kFieldBits) != field)
            return Fail("position %d carries attribute %02X, its field %02X", p, d.Attrs[At(p)] & kFieldBits, field);
    }
    return "";
}

std::string CheckStreamState(const TOrvTn3270stream& s)
{
    if (s.InCount != 0)
        return Fail("input buffer holds %d bytes after the record", s.InCount);
    if (s.InBuffer.capacity() != 0)
        return Fail("input buffer of %zu bytes held after the record", s.InBuffer.capacity());
    if (s.Status != "" && s.Status != "SYSTEM" && s.Status != "SENDING" && s.Status != "WAITING")
        return "unexpected status text \"" + s.Status + "\"";
    if (static_cast<int>(s.SessionState) > static_cast<int>(TSessionState::ssLuLu))
        return Fail("session state %d", static_cast<int>(s.SessionState));
    return "";
}

std::string CheckListShape(const TDSFields& host, const TDSFields& unprotected)
{
    std::int32_t h = 0;
    for (std::int32_t u = 0; u < unprotected.Count(); ++u) {
        const TDSField* item = unprotected.Items(u);
        if (item == nullptr)
            return Fail("unprotected record %d is null", u);
        if (item->Attr & T3270Field::kAttrProtected)
            return Fail("unprotected record %d is protected (Attr %02X)", u, item->Attr);
        while (h < host.Count() && host.Items(h) != item)
            ++h;
        if (h == host.Count())
            return Fail("unprotected record %d is not in the host list (or out of order)", u);
        ++h;
    }
    for (std::int32_t i = 0; i < host.Count(); ++i) {
        const TDSField* item = host.Items(i);
        if (item == nullptr)
            return Fail("host record %d is null", i);
        if (!host.Owns(i))
            return Fail("host record %d is not owned by the host list", i);
        if (item->Len < 0 || item->Data.size() > static_cast<std::size_t>(item->Len))
            return Fail("host record %d: %zu characters for a length of %d", i, item->Data.size(), item->Len);
    }
    return "";
}

std::string CheckHostFields(const TOrvTn3270display& d, const TDSFields& host, const TDSFields& unprotected)
{
    if (auto shape = CheckListShape(host, unprotected); !shape.empty())
        return shape;
    std::int32_t editable = 0;
    std::int32_t end = 0;  // 1-based position after the previous record
    for (std::int32_t i = 0; i < host.Count(); ++i) {
        const TDSField& f = *host.Items(i);
        const std::int32_t pos = f.GetPos();
        if (f.Columns != d.Cols)
            return Fail("record %d counted in %d columns on a screen of %d", i, f.Columns, d.Cols);
        if (pos < 1 || f.Len < 1 || pos + f.Len - 1 > d.Size)
            return Fail("record %d at %d of length %d outside the screen", i, pos, f.Len);
        if (pos <= end)
            return Fail("record %d at %d overlaps or precedes the one before (ends at %d)", i, pos, end);
        if ((pos - 1) / d.Cols != (pos + f.Len - 2) / d.Cols)
            return Fail("record %d at %d of length %d crosses a row", i, pos, f.Len);
        end = pos + f.Len - 1;
        const bool isEditable = (f.Attr & T3270Field::kAttrProtected) == 0;
        editable += isEditable ? 1 : 0;
        if (!isEditable && f.Data.size() != static_cast<std::size_t>(f.Len))
            return Fail("protected record %d: %zu characters for a length of %d", i, f.Data.size(), f.Len);
        for (std::int32_t k = 0; k < f.Len; ++k) {
            std::uint8_t c = d.Chars[At(pos - 1 + k)];
            if (c == TOrvTndisplay::kFieldMarker)
                return Fail("record %d at %d covers the field attribute at %d", i, pos, pos + k);
            if (c == TOrvTndisplay::kNull)
                c = 0x20;
            if (static_cast<std::size_t>(k) < f.Data.size()) {
                if (static_cast<std::uint8_t>(f.Data[At(k)]) != c)
                    return Fail("record %d at %d: character %d is %02X, the screen holds %02X", i, pos, k,
                                static_cast<std::uint8_t>(f.Data[At(k)]), c);
            } else if (c > 0x20) {
                return Fail("record %d at %d: character %d (%02X) dropped from the text", i, pos, k, c);
            }
        }
    }
    if (editable != unprotected.Count())
        return Fail("%d editable records but %d in the unprotected list", editable, unprotected.Count());
    if (host.CursorPos != d.CursorPosition + 1 || unprotected.CursorPos != host.CursorPos)
        return Fail("published cursor %d/%d for cursor position %d", host.CursorPos, unprotected.CursorPos,
                    d.CursorPosition);
    return "";
}

std::string CheckReply(const TOrvTn3270stream& s, const Bytes& block, TReplyKind kind)
{
    std::size_t start = 0;
    if (s.TN3270EMode) {
        if (block.size() < static_cast<std::size_t>(kHeader))
            return Fail("extended block of %zu bytes, shorter than its header", block.size());
        if ((block[0] != 0x00 && block[0] != 0x02 && block[0] != 0x07) || block[1] != 0 || block[2] != 0)
            return Fail("header %02X %02X %02X is not one the terminal sends", block[0], block[1], block[2]);
        start = kHeader;
    }
    if (block.size() - start > s.ReplyCapacity())
        return Fail("block of %zu bytes larger than the reply capacity of %zu", block.size(), s.ReplyCapacity());
    const std::uint8_t* p = block.data() + start;
    const std::size_t n = block.size() - start;
    const auto& d = s.Screen();
    std::int32_t markers = 0;
    std::int32_t nonNull = 0;
    // A graphic escape goes back as two bytes, 0x08 and its code.
    std::int32_t graphicEscapes = 0;
    for (std::int32_t i = 0; i < d.Size; ++i) {
        markers += d.Chars[At(i)] == TOrvTndisplay::kFieldMarker ? 1 : 0;
        nonNull += d.Chars[At(i)] != TOrvTndisplay::kNull ? 1 : 0;
        graphicEscapes += d.GeCodes[At(i)] != 0 ? 1 : 0;
    }

    switch (kind) {
    case TReplyKind::Any:
        return "";
    case TReplyKind::ReadBuffer:
        if (n != static_cast<std::size_t>(3 + d.Size + markers + graphicEscapes))
            return Fail("Read Buffer reply of %zu bytes for %d positions and %d fields", n, d.Size, markers);
        if (p[0] != s.Aid || DecodeBufferAddress(p[1], p[2]) != d.CursorPosition)
            return Fail("Read Buffer reply starts %02X %02X %02X", p[0], p[1], p[2]);
        return "";
    case TReplyKind::ReadModified:
        break;
    }

    if (s.SessionState == TSessionState::ssSscpLu) {
        // SSCP-LU input: text after the SSCP's last output, no AID.
        if (n > static_cast<std::size_t>(nonNull + graphicEscapes))
            return Fail("SSCP-LU Read Modified of %zu bytes for %d characters", n, nonNull);
        return "";
    }
    if (n < 1 || p[0] != s.Aid)
        return Fail("Read Modified reply of %zu bytes does not start with the AID %02X", n, s.Aid);
    if (s.Aid == AID_CLEAR || s.Aid == AID_PA[0] || s.Aid == AID_PA[1] || s.Aid == AID_PA[2])
        return n == 1 ? "" : Fail("short read of %zu bytes", n);
    if (n < 3 || DecodeBufferAddress(p[1], p[2]) != d.CursorPosition)
        return Fail("Read Modified reply without the cursor address %d", d.CursorPosition);
    if (markers == 0) {
        if (n != static_cast<std::size_t>(3 + nonNull + graphicEscapes))
            return Fail("unformatted Read Modified of %zu bytes for %d characters", n, nonNull);
        return "";
    }
    if (n > static_cast<std::size_t>(3 + d.Size + 2 * markers + graphicEscapes))
        return Fail("Read Modified reply of %zu bytes for %d positions and %d fields", n, d.Size, markers);

    // One SBA per modified field, at the position after its attribute, in
    // screen order. The default tables put no character on 0x11, and the
    // coded address bytes are never 0x11.
    std::vector<std::int32_t> expected;
    for (std::int32_t i = 0; i < d.Size; ++i)
        if (d.Chars[At(i)] == TOrvTndisplay::kFieldMarker && d.isFieldModified(i))
            expected.push_back(i + 1 == d.Size ? 0 : i + 1);
    std::vector<std::int32_t> found;
    for (std::size_t k = 3; k < n;) {
        if (p[k] != kSba)
            return Fail("Read Modified reply: byte %zu is %02X where an SBA was due", k, p[k]);
        if (k + 2 >= n)
            return Fail("Read Modified reply: SBA at byte %zu cut off", k);
        found.push_back(DecodeBufferAddress(p[k + 1], p[k + 2]));
        k += 3;
        while (k < n && p[k] != kSba)
            ++k;
    }
    if (found != expected) {
        std::string text = Fail("Read Modified reply names %zu fields, the screen has %zu modified:", found.size(),
                                expected.size());
        for (auto a : found)
            text += " " + std::to_string(a);
        text += " /";
        for (auto a : expected)
            text += " " + std::to_string(a);
        return text;
    }
    return "";
}

std::string CheckTelnetOutput(const Bytes& sent)
{
    constexpr std::uint8_t kWill = 0xFB, kDont = 0xFE;
    std::size_t i = 0;
    while (i < sent.size()) {
        if (sent[i] != kIac) {
            ++i;
            continue;
        }
        if (i + 1 >= sent.size())
            return Fail("lone IAC at the end of the output (byte %zu)", i);
        const std::uint8_t c = sent[i + 1];
        if (c >= kWill && c <= kDont) {
            if (i + 2 >= sent.size())
                return Fail("option negotiation cut off at byte %zu", i);
            i += 3;
        } else if (c == kSb) {
            std::size_t k = i + 2;
            for (;;) {
                if (k + 1 >= sent.size())
                    return Fail("subnegotiation at byte %zu without IAC SE", i);
                if (sent[k] == kIac) {
                    if (sent[k + 1] == kSe)
                        break;
                    if (sent[k + 1] != kIac)
                        return Fail("IAC %02X inside the subnegotiation at byte %zu", sent[k + 1], i);
                    k += 2;
                } else {
                    ++k;
                }
            }
            i = k + 2;
        } else if (c == kIac || c == 0xEF /*EOR*/ || c == 0xF5 /*AO*/ || c == 0xF4 /*IP*/ || c == 0xF3 /*BRK*/) {
            i += 2;
        } else {
            return Fail("IAC %02X at byte %zu is no command the client sends", c, i);
        }
    }
    return "";
}

}  // namespace tnfuzz

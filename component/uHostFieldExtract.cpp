// Host field extraction and text-record display.
#include "component/uHostFieldExtract.h"

#include "log/uOrvIntfLogg.h"
#include "log/uTLogg.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

namespace {

constexpr std::uint8_t kFieldMarker = TOrvTndisplay::kFieldMarker;
constexpr std::uint8_t kBlank = 0x20;
// The first position's attribute, when it carries no field attribute of its
// own, is published as 0x02 instead of 0x18 (numeric, intensified).
constexpr std::uint8_t kFirstPositionOddAttr = 0x18;
constexpr std::uint8_t kFirstPositionAttr = 0x02;
constexpr std::uint8_t kTextLineAttr = T3270Field::kAttrProtected;
// Longest text a record of a text line holds (the largest Len).
constexpr std::size_t kMaxTextLineRecord = INT16_MAX;

// The planes as the pass reads them: characters with every null shown as a
// blank, and the extended attributes shifted by one position so that
// ext[i] is the previous position's byte (0 before the first) and ext[i + 1]
// the byte of position i. Local to the call: the walk reads a consistent copy.
struct Snapshots {
    // Room for the largest screen; only the first Size positions are
    // copied (the arrays are left uninitialised on purpose: the walk reads
    // no position beyond Size).
    alignas(8) std::array<std::uint8_t, kMaxScreenPositions> chars;
    alignas(8) std::array<std::uint8_t, kMaxScreenPositions + 1> ext;

    explicit Snapshots(const TOrvTndisplay& screen)
    {
        const std::uint8_t* c = screen.Chars.data();
        const auto size = static_cast<std::size_t>(std::clamp(screen.Size, 0, kMaxScreenPositions));
        for (std::size_t k = 0; k < size; ++k)
            chars[k] = c[k] == TOrvTndisplay::kNull ? kBlank : c[k];
        ext[0] = 0;
        std::memcpy(ext.data() + 1, screen.ExtAttrs.data(), size);
    }

    std::uint8_t ExtAt(std::int32_t index) const { return ext[static_cast<std::size_t>(index) + 1]; }
    bool IsFieldAttribute(std::int32_t index) const { return chars[static_cast<std::size_t>(index)] == kFieldMarker; }
    // A record boundary: a field attribute, or a change of extended attribute.
    bool IsBoundary(std::int32_t index) const
    {
        const auto k = static_cast<std::size_t>(index);
        return chars[k] == kFieldMarker || ext[k + 1] != ext[k];
    }

    // First boundary in [from, end), or end. Most positions are not
    // boundaries, so eight of them are tested at a time.
    std::int32_t NextBoundary(std::int32_t from, std::int32_t end) const
    {
        constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
        constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
        std::int32_t i = from;
        while (i + 8 <= end) {
            std::uint64_t c;
            std::uint64_t own;
            std::uint64_t previous;
            std::memcpy(&c, chars.data() + i, 8);
            std::memcpy(&own, ext.data() + i + 1, 8);
            std::memcpy(&previous, ext.data() + i, 8);
            const std::uint64_t x = c ^ (kOnes * kFieldMarker);  // zero byte where a marker is
            if (((x - kOnes) & ~x & kHighs) != 0 || own != previous)
                break;
            i += 8;
        }
        while (i < end && !IsBoundary(i))
            ++i;
        return i;
    }
};

// Builds records from the snapshots. The open record is kept as a position
// and an attribute byte only, and becomes a T3270Field when it is closed with
// at least one position, so no record is ever allocated just to be dropped.
class FieldBuilder {
public:
    FieldBuilder(const Snapshots& snap, TDSFields& host, TDSFields& unprotected, std::int32_t size,
                 std::int16_t columns)
        : FSnap(snap), FHost(host), FUnprotected(unprotected), FLog(LogEnabled(TLogLevel::llField)), FSize(size),
          FColumns(columns)
    {
    }

    std::uint8_t OpenAttr() const { return FOpen ? FAttr : 0; }

    // Opens a record at the 1-based position pos.
    void Open(std::int32_t pos, std::uint8_t attr)
    {
        FOpen = true;
        FPos = pos;
        FAttr = attr;
    }

    // Ends the open record just before the 1-based position end.
    void Close(std::int32_t end)
    {
        if (!FOpen)
            return;
        FOpen = false;
        const auto len = static_cast<std::int16_t>(end - FPos);
        if (len <= 0)
            return;
        assert(FPos >= 1 && FPos + len - 1 <= FSize);

        auto record = std::make_unique<T3270Field>();
        record->Columns = FColumns;
        record->SetPos(static_cast<std::int16_t>(FPos));
        record->Len = len;
        const std::uint8_t* first = FSnap.chars.data() + (FPos - 1);
        std::size_t size = static_cast<std::size_t>(len);
        record->Attr = FAttr;
        const bool editable = record->GetEditable();
        if (editable)
            while (size > 0 && first[size - 1] <= kBlank)
                --size;
        // The text is the screen's, not an edit: the modified tag stays the
        // one the screen field carries.
        record->SetData(std::string_view(reinterpret_cast<const char*>(first), size));
        record->Attr = FAttr;
        record->Eab = FSnap.ExtAt(FPos - 1);

        T3270Field* raw = record.get();
        FHost.Add(std::move(record));
        if (FLog)
            MsgLog(TLogLevel::llField, FormatHostFieldLog(*raw));
        if (editable)
            FUnprotected.Add(raw);
    }

private:
    const Snapshots& FSnap;
    TDSFields& FHost;
    TDSFields& FUnprotected;
    const bool FLog;
    [[maybe_unused]] const std::int32_t FSize;  // read by the debug check only
    const std::int16_t FColumns;
    bool FOpen = false;
    std::int32_t FPos = 0;
    std::uint8_t FAttr = 0;
};

std::uint8_t AttrAt(const TOrvTn3270display& screen, std::int32_t index)
{
    // A screen smaller than the walk answers 0 (no field) beyond its end.
    return screen.inRange(index) ? screen.getFA(index) : 0;
}

}  // namespace

void GenHostFields(const TOrvTn3270display& screen, TDSFields& hostFields, TDSFields& unprotectedFields)
{
    // Borrowing list first: it must never refer to a freed record.
    unprotectedFields.Clear();
    hostFields.FreeFields();

    // The size in use: whole rows of Cols positions.
    const std::int32_t columns = std::clamp(screen.Cols, 1, static_cast<std::int32_t>(kMaxScreenCols));
    const std::int32_t size = std::clamp(screen.Size, 0, kMaxScreenPositions) / columns * columns;
    if (size == 0) {
        hostFields.CursorPos = static_cast<std::int16_t>(screen.CursorPosition + 1);
        unprotectedFields.CursorPos = hostFields.CursorPos;
        return;
    }
    // Room for the largest screen on the stack; only the pages of the
    // positions in use are touched.
    const Snapshots snap(screen);
    FieldBuilder builder(snap, hostFields, unprotectedFields, size, static_cast<std::int16_t>(columns));

    // A field attribute ends the open record and starts one after it; a
    // change of extended attribute ends it and starts one at the change.
    const auto atBoundary = [&](std::int32_t i) {
        const bool fieldAttribute = snap.IsFieldAttribute(i);
        // A field attribute in the last position starts nothing (see the
        // end); a change of extended attribute there still splits.
        if (fieldAttribute && i == size - 1)
            return;
        const std::int32_t p = i + 1;
        builder.Close(p);
        // The attribute of position i itself: every position of a field, its
        // field attribute included, carries the field's byte. (The position
        // after i belongs to the next field when it is a field attribute.)
        builder.Open(fieldAttribute ? p + 1 : p, AttrAt(screen, i));
    };

    for (std::int32_t start = 0; start < size; start += columns) {
        const std::int32_t end = start + columns;
        if (snap.IsBoundary(start)) {
            atBoundary(start);
        } else if (start == 0) {
            std::uint8_t attr = AttrAt(screen, 0);
            if (attr == kFirstPositionOddAttr)
                attr = kFirstPositionAttr;
            builder.Open(1, attr);
        } else {
            // A field running over the end of a row goes on as a new record.
            const std::uint8_t attr = builder.OpenAttr();
            builder.Close(start + 1);
            builder.Open(start + 1, attr);
        }
        for (std::int32_t i = snap.NextBoundary(start + 1, end); i < end; i = snap.NextBoundary(i + 1, end))
            atBoundary(i);
    }
    // A field attribute in the last position ends the open record before it.
    builder.Close(snap.IsFieldAttribute(size - 1) ? size : size + 1);

    hostFields.CursorPos = static_cast<std::int16_t>(screen.CursorPosition + 1);
    unprotectedFields.CursorPos = hostFields.CursorPos;
}

std::string FormatHostFieldLog(const TDSField& field)
{
    char head[128];
    const int n = std::snprintf(head, sizeof head, "Col:%.2d - Row:%.2d - Len:%.2d - Pos:%.4d - Attr:$%.2X - Eab:$%.2X - Data:",
                                field.Col, field.Row, field.Len, field.GetPos(), field.Attr, field.Eab);
    std::string line;
    line.reserve(static_cast<std::size_t>(n) + field.Data.size());
    line.append(head, static_cast<std::size_t>(n));
    // What the operator typed into a non-display field (a password) is
    // never logged unless the profile asks for it (UnmaskedDumps=1).
    if ((field.Attr & 0x0C) == 0x0C && LogMasksSecrets())
        line.append(field.Data.size(), uTLogg::kMaskChar);
    else
        line += field.Data;
    return line;
}

namespace {

// Work with offsets: a record shorter than the header or the two final
// bytes simply has no text.
std::int64_t TextLength(std::int32_t len, bool extended)
{
    return static_cast<std::int64_t>(len) - (extended ? kTextRecordHeaderSize : 0) - 2;
}

}  // namespace

bool TextRecordHasText(const std::uint8_t* data, std::int32_t len, bool extended)
{
    return data != nullptr && TextLength(len, extended) > 0;
}

bool ShowTextRecord(const std::uint8_t* data, std::int32_t len, bool extended, TDSFields& hostFields,
                    TDSFields& unprotectedFields)
{
    if (len == 0)
        return false;
    if (!TextRecordHasText(data, len, extended))
        return true;
    const std::int64_t start = extended ? kTextRecordHeaderSize : 0;
    const std::int64_t textLen = TextLength(len, extended);

    unprotectedFields.Clear();
    hostFields.FreeFields();
    const std::string_view text(reinterpret_cast<const char*>(data) + start, static_cast<std::size_t>(textLen));
    std::int32_t lines = 0;
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t cut = text.find("\r\n", from);
        const bool last = cut == std::string_view::npos;
        if (last)
            cut = text.size();
        // Len counts in 16 bits: a longer line (only a broken or hostile host
        // sends one) goes on in the next records, so that no length wraps
        // negative and no text is lost.
        std::size_t piece = from;
        do {
            const std::size_t n = std::min(cut - piece, kMaxTextLineRecord);
            ++lines;
            auto record = std::make_unique<T3270Field>();
            record->Attr = kTextLineAttr;
            record->Row = static_cast<std::int16_t>(lines);
            record->Col = 1;
            record->Data.assign(text.substr(piece, n));
            record->Len = static_cast<std::int16_t>(n);
            hostFields.Add(std::move(record));
            piece += n;
        } while (piece < cut);
        from = last ? text.size() : cut + 2;
    }
    hostFields.CursorPos = static_cast<std::int16_t>(kHostFieldColumns * (lines + 1));
    return true;
}

// The generic screen image: geometry, the character, attribute and
// extended-attribute planes, the cursor, the status text that stands for
// the keyboard-lock indicator, and the change/update flags.
//
// The screen has a default size and an alternate size (display models 2
// to 5 and oversize screens, see uScreenGeometry.h); Rows, Cols and Size are
// the size in use, which the host selects with Erase/Write (default) and
// Erase/Write Alternate. Every conversion between a position and its row
// and column goes through RowOf/ColOf/PositionOf and the size in use.
//
// The planes hold the positions of the alternate size (the largest the
// screen can take; at least one position): a 24x80 session holds 1,920 per
// plane, not more. They are allocated when the sizes are set (construction,
// SetScreenSizes; they grow, never shrink), never while records are
// applied. Only positions 0 to Size - 1 are used; Size never exceeds
// kMaxScreenPositions.
// Positions handed to the operations outside 0 to Size - 1 never read or
// write outside the planes.
#pragma once

#include "display/uScreenGeometry.h"
#include "platform/uOrvObject.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

class TOrvTndisplay : public TObject {
public:
    // A screen of Rows x Cols larger than kMaxScreenPositions is cut to it.
    using Plane = std::vector<std::uint8_t>;

    // Character plane values with a meaning of their own.
    static constexpr std::uint8_t kNull = 0x00;
    static constexpr std::uint8_t kFieldMarker = 0x01;

    // Internal attribute byte (Attrs).
    static constexpr std::uint8_t kAttrDisplay = 0x03;
    static constexpr std::uint8_t kAttrMdt = 0x04;
    static constexpr std::uint8_t kAttrChanged = 0x08;
    static constexpr std::uint8_t kAttrProtected = 0x10;
    static constexpr std::uint8_t kAttrNumeric = 0x20;

    // bytes[i] := (bytes[i] AND keep) OR set for count bytes, eight at a
    // time: the plane-wide attribute updates run on every record.
    static void MaskBytes(std::uint8_t* bytes, std::int32_t count, std::uint8_t keep, std::uint8_t set)
    {
        constexpr std::uint64_t kOnes = 0x0101010101010101ull;
        const std::uint64_t k = kOnes * keep, s = kOnes * set;
        auto word = [&](std::int32_t i) {
            std::uint64_t w;
            std::memcpy(&w, bytes + i, 8);
            w = (w & k) | s;
            std::memcpy(bytes + i, &w, 8);
        };
        if (count < 8) {
            for (std::int32_t i = 0; i < count; ++i)
                bytes[i] = static_cast<std::uint8_t>((bytes[i] & keep) | set);
            return;
        }
        for (std::int32_t i = 0; i + 8 <= count; i += 8)
            word(i);
        word(count - 8);  // the tail, overlapping: applying the mask twice changes nothing
    }

    // rows x cols is both the default and the alternate size.
    TOrvTndisplay(std::int32_t ident, std::int32_t rows, std::int32_t cols);
    ~TOrvTndisplay() override = default;

    // Sets the default and alternate sizes (the alternate at least the
    // default in both dimensions, at most kMaxScreenPositions; otherwise the
    // default is used for both) and grows the planes to the alternate size
    // when they are smaller (the only allocation after construction; a
    // BIND's smaller sizes leave them as they are). The size in use stays
    // unless it no longer fits: then the alternate size is selected
    // (SelectSize).
    virtual void SetScreenSizes(TScreenSize defaultSize, TScreenSize alternateSize);
    // Makes size (which must fit the alternate size; otherwise nothing
    // happens and false is returned) the size in use. A change of size
    // clears every plane and homes the cursor; the same size changes nothing.
    virtual bool SelectSize(TScreenSize size);
    TScreenSize CurrentSize() const { return {Rows, Cols}; }
    TScreenSize DefaultSize() const { return defaultSize_; }
    TScreenSize AlternateSize() const { return alternateSize_; }

    // 0-based row and column of a position, and the position of a 0-based
    // row and column, on the size in use.
    std::int32_t RowOf(std::int32_t position) const { return Cols > 0 ? position / Cols : 0; }
    std::int32_t ColOf(std::int32_t position) const { return Cols > 0 ? position % Cols : 0; }
    std::int32_t PositionOf(std::int32_t row, std::int32_t col) const { return row * Cols + col; }

    // Outside 0 to Size - 1 the cursor goes to 0.
    void SetCursorPosition(std::int32_t position);
    // Stores the text; fires OnStatusChange once, after storing, when it differs.
    void SetStatus(const std::string& text);

    virtual void clear();
    virtual void unlock();
    virtual void update();

    bool Formatted = false;
    bool Locked = true;
    std::string Status;
    TNotifyEvent OnStatusChange;
    std::int32_t Ident = 0;
    std::int32_t CursorPosition = 0;
    bool Updated = false;
    std::int32_t Rows = 0;
    std::int32_t Cols = 0;
    std::int32_t Size = 0;
    Plane Chars{};
    Plane Attrs{};
    Plane ExtAttrs{};
    // Graphic escape: the GE code the host wrote at the position (0x40 to
    // 0xFE), whose stand-in Chars shows; 0 for an ordinary character. The
    // read replies send 0x08 and this code. Writing an ordinary character,
    // a null or a field attribute at the position clears it.
    Plane GeCodes{};
    std::uint8_t CursorRow = 1;     // 1-based
    std::uint8_t CursorColumn = 1;  // 1-based

private:
    TScreenSize defaultSize_;
    TScreenSize alternateSize_;
};

// The generic screen image: geometry, the character, attribute and
// extended-attribute planes, the cursor, the status text that stands for
// the keyboard-lock indicator, and the change/update flags.
//
// The planes are fixed arrays inside the object (no allocation after
// construction). Only positions 0 to Size - 1 are used; Size never exceeds
// kMaxPositions. Positions handed to the operations outside 0 to Size - 1
// never read or write outside the planes.
#pragma once

#include "platform/uOrvObject.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

class TOrvTndisplay : public TObject {
public:
    // Room in each plane; a screen of Rows x Cols larger than this is cut to it.
    static constexpr std::int32_t kMaxPositions = 4096;
    using Plane = std::array<std::uint8_t, kMaxPositions>;

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

    TOrvTndisplay(std::int32_t ident, std::int32_t rows, std::int32_t cols);
    ~TOrvTndisplay() override = default;

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
};

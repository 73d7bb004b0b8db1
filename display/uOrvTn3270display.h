// The 3270 screen buffer: field attributes kept in the attribute plane
// (every position carries the byte of the field it belongs to), field
// searches, modified data tags and the write-back of edited fields.
//
// Search results of -1 mean "no such position". Operations given a
// position outside 0 to Size - 1 do nothing (or answer -1 / 0).
#pragma once

#include "display/uOrvTndisplay.h"

#include <cstdint>
#include <string_view>

class TOrvTn3270display : public TOrvTndisplay {
public:
    TOrvTn3270display(std::int32_t ident, std::int32_t rows, std::int32_t cols);

    // 3270 field attribute byte (0x20 protected, 0x10 numeric, 0x0C display,
    // 0x01 MDT) of the field the position belongs to.
    std::uint8_t getFA(std::int32_t position) const;
    std::uint8_t getEFA(std::int32_t position) const;
    bool isFieldModified(std::int32_t position) const;

    std::int32_t findNextFA(std::int32_t start) const;
    std::int32_t findNextUnprotectedAfterFA(std::int32_t start) const;
    std::int32_t findPrevFA(std::int32_t start) const;

    void insertFA(std::int32_t position, std::uint8_t attribute);
    // Starts a field like insertFA but leaves the attribute bytes of the
    // field's other positions to propagateFields(): a writer that starts many
    // fields in a row (a host's Erase/Write) pays one pass over the screen
    // instead of one per field. Until then Attrs is correct at field
    // attribute positions only. Every operation of this class that reads the
    // other positions, and update(), propagates first; code that reads the
    // Attrs plane directly calls propagateFields() after deferred inserts.
    void insertFADeferred(std::int32_t position, std::uint8_t attribute);
    // Gives every position the attribute byte of its field (its own change
    // mark kept). One pass over the screen; nothing to do when no insert is
    // pending.
    void propagateFields();
    bool FieldsPending() const { return fieldsPending_; }
    void eraseFA(std::int32_t position);
    void setEFA(std::int32_t position, std::uint8_t value);
    void setBitModifiedInFA(std::int32_t position, bool on);
    void setFieldModified(std::int32_t position);

    // Writes an edited field back: count positions from start with text
    // (local character set; ends at its first zero byte or its end).
    void putField(std::int32_t start, std::int32_t count, std::string_view text);

    // Next position, wrapping from Size - 1 to 0.
    std::int32_t next(std::int32_t position) const { return position + 1 >= Size ? 0 : position + 1; }
    bool inRange(std::int32_t position) const { return position >= 0 && position < Size; }

    void clear() override;
    void update() override;

private:
    // Positions [start, end) and then [0, wrapEnd) of a walk over one field.
    struct FieldSpan {
        std::int32_t start, end, wrapEnd;
    };
    FieldSpan spanFrom(std::int32_t position) const;
    // Attribute byte of the position's field, also while inserts are deferred.
    std::uint8_t fieldAttr(std::int32_t position) const;

    bool fieldsPending_ = false;
};

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

    // Writing a text into a field is what an operator does with Erase EOF
    // and then typing it. The positions written are count positions from
    // start (wrapping past the last position), ending early at the next
    // field attribute. text is in the local character set and ends at its
    // first zero byte or its end; characters beyond the positions are
    // dropped, and the marker byte 0x01 is taken as a blank.
    //   - the characters from the text's first non-blank to its last
    //     non-blank are stored as they are, blanks between words included;
    //   - blanks before the first non-blank become nulls (a blank already
    //     on the screen there stays);
    //   - blanks after the last non-blank and every position after the
    //     text become nulls, so the host is never sent a padding blank;
    //     an all-blank text nulls every position.
    // Changed positions get the change mark.

    // Writes an edited record back. When the positions already show the
    // text (a null shown as a blank, the text padded with blanks to the
    // positions, as a published record shows them) nothing is written and
    // the modified data tag is left alone: a record written back
    // unchanged keeps the host's own blanks. Otherwise the text is retyped
    // as above and the field's modified data tag is set.
    void putField(std::int32_t start, std::int32_t count, std::string_view text);
    // Retypes the text as above whatever the positions show, and sets the
    // field's modified data tag, as a keyboard does on Erase EOF.
    void retypeField(std::int32_t start, std::int32_t count, std::string_view text);

    // Next position, wrapping from Size - 1 to 0.
    std::int32_t next(std::int32_t position) const { return position + 1 >= Size ? 0 : position + 1; }
    bool inRange(std::int32_t position) const { return position >= 0 && position < Size; }

    void clear() override;
    void update() override;
    void SetScreenSizes(TScreenSize defaultSize, TScreenSize alternateSize) override;
    bool SelectSize(TScreenSize size) override;

private:
    // The positions putField and retypeField write: at most count from
    // start, up to the next field attribute. 0 for a start off the screen.
    std::int32_t writablePositions(std::int32_t start, std::int32_t count) const;
    // The text as written: up to its zero byte, the marker byte as a blank.
    static std::string_view typedText(std::string_view text, std::int32_t positions);
    bool showsText(std::int32_t start, std::int32_t positions, std::string_view text) const;
    // Returns whether any position changed.
    bool typeText(std::int32_t start, std::int32_t positions, std::string_view text);

    // Positions [start, end) and then [0, wrapEnd) of a walk over one field.
    struct FieldSpan {
        std::int32_t start, end, wrapEnd;
    };
    FieldSpan spanFrom(std::int32_t position) const;
    // Attribute byte of the position's field, also while inserts are deferred.
    std::uint8_t fieldAttr(std::int32_t position) const;

    bool fieldsPending_ = false;
};

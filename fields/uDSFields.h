// Host field records and ordered lists of them: what the application reads
// instead of the screen buffer.
//
// TDSField is the generic record (position, length, text and the two
// attribute bytes of one run of screen positions); TDSFields is an ordered
// list of records with the cursor position published with it.
//
// Ownership. Every list belongs to a record set: the records it was handed
// as std::unique_ptr. A new list has a set of its own; ShareRecords makes
// two lists one set (the component's HostFields and UnprotectedFields).
//   1. Handing a record over (Add, Insert or SetItems with a unique_ptr)
//      gives it to the set; the pointer forms only refer to a record that
//      somebody else keeps alive (another list's, or the application's).
//   2. List operations change the list only: Delete, Remove, Clear,
//      SetItems and Assign never free a record, so a record stays valid for
//      every list of its set that still refers to it.
//   3. FreeFields frees the whole set, first to last, after it has emptied
//      every list of the set; so no list of the set ever refers to a freed
//      record. The last list of a set to be destroyed frees it too.
//   4. Extract takes a record out of the set for good: it leaves every list
//      of the set and the caller owns it.
// A list that refers to records of ANOTHER set (pointer form) must be
// emptied before that set frees them; destroying it while it still refers
// to them is harmless.
//
// Thread: none of these classes locks; a list and its records belong to one
// thread at a time (the component serialises its own use).
#pragma once

#include "platform/uOrvObject.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TDSField : public TObject {
public:
    // Columns of a row on the default (24x80) screen.
    static constexpr std::int16_t kColumns = 80;

    TDSField() = default;
    ~TDSField() override = default;

    // 1-based row of the first character position.
    std::int16_t Row = 0;
    // Column of the first character position, in SetPos's convention: 1 to
    // 79 within a row, 0 for the last column (which also shows the next row).
    std::int16_t Col = 0;
    // Number of screen positions the record covers.
    std::int16_t Len = 0;
    // Text in the local character set. Read it freely; write it through
    // SetData so that derived records can track changes (T3270Field marks
    // itself modified).
    std::string Data;
    // Extended attribute byte: 0x80 reverse, 0x40 blink, 0x38 colour code,
    // 0x04 underscore, 0x02 field validation.
    std::uint8_t Eab = 0;
    // 3270 field attribute byte: 0x20 protected, 0x10 numeric, 0x0C display
    // bits, 0x01 modified data tag.
    std::uint8_t Attr = 0;
    // Columns of the screen the record comes from (80, or the width of a
    // larger screen); Row, Col and Pos are counted in it. Copied by Assign.
    // Values below 1 count as 80.
    std::int16_t Columns = kColumns;

    // (Row - 1) * Columns + Col in 16-bit arithmetic (wraps, never traps).
    std::int16_t GetPos() const;
    // Row := p / Columns + 1, Col := p % Columns (truncating division);
    // nothing else changes. GetPos() gives p back for every p.
    void SetPos(std::int16_t p);

    // Stores the text (copied; the view need only live for the call).
    virtual void SetData(std::string_view text);
    // "R<Row>C<Col>", e.g. "R3C12".
    virtual std::string GetName() const;
    // Copies Row, Col, Attr, Eab, Data and Columns from a TDSField (or
    // derived) source; Len is kept. Any other source, or none, changes nothing.
    virtual void Assign(const TObject* source);

    // Columns, or 80 when it is below 1.
    std::int32_t RowLength() const { return Columns > 0 ? Columns : kColumns; }

    // A new zeroed record of this record's own class (used by
    // TDSFields::Assign to copy a list). Every derived class overrides it.
    virtual std::unique_ptr<TDSField> NewInstance() const;
};

class TDSFields : public TObject {
public:
    // Cursor position published with the list; the component stores it
    // 1-based, like a record's position.
    std::int16_t CursorPos = 0;

    // An empty list with a record set of its own.
    TDSFields();
    // Leaves its set; the last list of a set frees the set's records.
    ~TDSFields() override;
    TDSFields(const TDSFields&) = delete;
    TDSFields& operator=(const TDSFields&) = delete;

    // Makes this list's set and other's one set (the records of both are
    // kept; nothing is freed). From then on FreeFields on either frees the
    // records of both and empties both.
    void ShareRecords(TDSFields& other);
    // True when other belongs to this list's set (a list shares with itself).
    bool SharesRecordsWith(const TDSFields& other) const;

    // Appends an entry; returns its index. The unique_ptr form gives the
    // record to the set; the pointer form only refers to it (null allowed).
    std::int32_t Add(std::unique_ptr<TDSField> item);
    std::int32_t Add(TDSField* item);
    // Inserts before index (index == Count appends).
    // Throws std::out_of_range when index < 0 or index > Count.
    void Insert(std::int32_t index, std::unique_ptr<TDSField> item);
    void Insert(std::int32_t index, TDSField* item);
    // Removes the entry at index; the record is not freed.
    // Throws std::out_of_range when index < 0 or index >= Count.
    void Delete(std::int32_t index);
    // Removes the first entry referring to item and returns the index it had,
    // or -1; the record is not freed.
    std::int32_t Remove(const TDSField* item);
    // Index of the first entry referring to item, or -1.
    std::int32_t IndexOf(const TDSField* item) const;
    // Removes every entry; no record is freed.
    void Clear();
    // Empties every list of the set, then frees the set's records from the
    // first to the last. Records of other sets are only forgotten.
    void FreeFields();
    // Removes the entry at index. A record of the set is taken out of the
    // set and out of every list of it, and handed to the caller; for a
    // record of another set only the entry goes and null is returned.
    // Throws std::out_of_range like Delete.
    std::unique_ptr<TDSField> Extract(std::int32_t index);

    std::int32_t GetCount() const { return static_cast<std::int32_t>(FItems.size()); }
    std::int32_t Count() const { return GetCount(); }
    // The record at index, or null when index < 0 or index >= Count. Never
    // throws. A record of the set stays valid until the set is freed
    // (FreeFields, or the last list of the set destroyed) or it is
    // extracted, whatever is removed from the lists meanwhile.
    TDSField* GetItems(std::int32_t index) const;
    TDSField* Items(std::int32_t index) const { return GetItems(index); }
    // Replaces the entry at index; the record it referred to is not freed.
    // Throws std::out_of_range when index < 0 or index >= Count.
    void SetItems(std::int32_t index, TDSField* item);
    void SetItems(std::int32_t index, std::unique_ptr<TDSField> item);
    // True when the entry at index refers to a record of this list's set
    // (false out of range or for a null entry).
    bool Owns(std::int32_t index) const;

    // Capacity hint; emptying the list keeps the capacity, so a list that is
    // rebuilt again and again stops allocating for its entries.
    void Reserve(std::int32_t count);

    // Replaces the content with copies of the source's records (same
    // classes, made by NewInstance and Assign, so their Len is 0), given to
    // this list's set, and takes the source's CursorPos. A list alone in its
    // set frees its old records first (FreeFields); a list that shares its
    // set only drops its entries, the other lists of the set keep theirs.
    // A null source empties the list the same way and keeps CursorPos.
    // Assigning a list to itself changes nothing. The copies are made
    // before anything is freed, so a source that refers to this list's
    // records is copied safely.
    virtual void Assign(const TDSFields* source);

private:
    struct Records;  // a set's records and the lists that belong to it

    void CheckIndex(std::int32_t index, std::int32_t limit, const char* operation) const;
    // Entries a list makes room for at its first growth.
    static constexpr std::size_t kFirstCapacity = 16;
    // Room for one more entry, growing geometrically.
    void RoomForOne();
    // Gives the record to the set; returns it (null stays null).
    TDSField* Keep(std::unique_ptr<TDSField> item);
    bool SharesSet() const;

    std::vector<TDSField*> FItems;
    std::shared_ptr<Records> FRecords;
};

// Host field records and ordered lists of them: what the application reads
// instead of the screen buffer.
//
// TDSField is the generic record (position, length, text and the two
// attribute bytes of one run of screen positions); TDSFields is an ordered
// list of records with the cursor position published with it.
//
// Ownership rules of TDSFields (the reason the list takes two kinds of entry):
//   1. An entry is either OWNED (added as std::unique_ptr: the list is the
//      record's only owner) or BORROWED (added as a plain pointer: somebody
//      else owns the record, typically another TDSFields).
//   2. The list destroys an owned record when its entry goes away: FreeFields,
//      Clear, Delete, Remove, SetItems over it, Assign and the destructor.
//      Extract removes an owned entry and hands the record back instead.
//   3. The list never destroys a borrowed record. The owner must keep it alive
//      while any list borrows it: empty the borrowing list (Clear) before or
//      when the owning list is emptied (FreeFields) or destroyed. Destroying
//      a borrowing list that still holds entries is harmless.
// The component's HostFields owns its records; UnprotectedFields borrows a
// subset of the same records, so the two always rebuild together.
//
// Thread: none of these classes locks; a list and its records belong to one
// thread at a time (the component serialises its own use).
#pragma once

#include "platform/uOrvObject.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TDSField : public TObject {
public:
    // Screen geometry the positions are counted in (fixed 80 columns).
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

    // (Row - 1) * 80 + Col in 16-bit arithmetic (wraps, never traps).
    std::int16_t GetPos() const;
    // Row := p / 80 + 1, Col := p % 80 (truncating division); nothing else
    // changes. GetPos() gives p back for every p.
    void SetPos(std::int16_t p);

    // Stores the text (copied; the view need only live for the call).
    virtual void SetData(std::string_view text);
    // "R<Row>C<Col>", e.g. "R3C12".
    virtual std::string GetName() const;
    // Copies Row, Col, Attr, Eab and Data from a TDSField (or derived)
    // source; Len is kept. Any other source, or none, changes nothing.
    virtual void Assign(const TObject* source);

    // A new zeroed record of this record's own class (used by
    // TDSFields::Assign to copy a list). Every derived class overrides it.
    virtual std::unique_ptr<TDSField> NewInstance() const;
};

class TDSFields : public TObject {
public:
    // Cursor position published with the list; the component stores it
    // 1-based, like a record's position.
    std::int16_t CursorPos = 0;

    TDSFields() = default;
    // Destroys the owned records (FreeFields).
    ~TDSFields() override;
    TDSFields(const TDSFields&) = delete;
    TDSFields& operator=(const TDSFields&) = delete;

    // Appends an entry; returns its index. The unique_ptr form makes the
    // list the record's owner; the pointer form borrows it (null allowed).
    std::int32_t Add(std::unique_ptr<TDSField> item);
    std::int32_t Add(TDSField* item);
    // Inserts before index (index == Count appends).
    // Throws std::out_of_range when index < 0 or index > Count.
    void Insert(std::int32_t index, std::unique_ptr<TDSField> item);
    void Insert(std::int32_t index, TDSField* item);
    // Removes the entry at index (an owned record is destroyed).
    // Throws std::out_of_range when index < 0 or index >= Count.
    void Delete(std::int32_t index);
    // Removes the first entry referring to item and returns the index it had,
    // or -1 (an owned record is destroyed).
    std::int32_t Remove(const TDSField* item);
    // Index of the first entry referring to item, or -1.
    std::int32_t IndexOf(const TDSField* item) const;
    // Removes every entry; owned records are destroyed, borrowed ones not.
    void Clear();
    // Destroys the owned records from the first to the last, then Clear.
    void FreeFields();
    // Removes the entry at index and hands an owned record to the caller
    // (null for a borrowed entry). Throws std::out_of_range like Delete.
    std::unique_ptr<TDSField> Extract(std::int32_t index);

    std::int32_t GetCount() const { return static_cast<std::int32_t>(FEntries.size()); }
    std::int32_t Count() const { return GetCount(); }
    // The record at index, or null when index < 0 or index >= Count. Never
    // throws. The pointer stays valid until the entry leaves an owning list
    // (or, for a borrowed entry, until its owner frees it).
    TDSField* GetItems(std::int32_t index) const;
    TDSField* Items(std::int32_t index) const { return GetItems(index); }
    // Replaces the entry at index (a replaced owned record is destroyed,
    // unless it is the very record being put back).
    // Throws std::out_of_range when index < 0 or index >= Count.
    void SetItems(std::int32_t index, TDSField* item);
    void SetItems(std::int32_t index, std::unique_ptr<TDSField> item);
    // True when the entry at index is owned by this list (false out of range).
    bool Owns(std::int32_t index) const;

    // Capacity hint; emptying the list keeps the capacity, so a list that is
    // rebuilt again and again stops allocating for its entries.
    void Reserve(std::int32_t count) { FEntries.reserve(count > 0 ? static_cast<std::size_t>(count) : 0U); }

    // Replaces the content with owned copies of the source's records (same
    // classes, made by NewInstance and Assign, so their Len is 0) and takes
    // the source's CursorPos. A null source empties the list and keeps
    // CursorPos. Assigning a list to itself changes nothing. The copies are
    // made before the old records are destroyed, so a source that borrows
    // this list's records is copied safely.
    virtual void Assign(const TDSFields* source);

private:
    struct Entry {
        std::unique_ptr<TDSField> owned;  // null for a borrowed entry
        TDSField* item = nullptr;
    };
    void CheckIndex(std::int32_t index, std::int32_t limit, const char* operation) const;

    std::vector<Entry> FEntries;
};

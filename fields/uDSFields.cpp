// Generic host field record and the field list.
#include "fields/uDSFields.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

std::int16_t TDSField::GetPos() const
{
    // The record's fields are 16-bit; the product is taken modulo 2^16 on
    // purpose so that any Row/Col an application stores reads back defined.
    return static_cast<std::int16_t>((Row - 1) * RowLength() + Col);
}

void TDSField::SetPos(std::int16_t p)
{
    const std::int32_t columns = RowLength();
    Row = static_cast<std::int16_t>(p / columns + 1);
    Col = static_cast<std::int16_t>(p % columns);
}

void TDSField::SetData(std::string_view text)
{
    Data.assign(text.data(), text.size());
}

std::string TDSField::GetName() const
{
    char name[24];
    std::snprintf(name, sizeof name, "R%dC%d", Row, Col);
    return name;
}

void TDSField::Assign(const TObject* source)
{
    const auto* field = dynamic_cast<const TDSField*>(source);
    if (field == nullptr || field == this)
        return;
    Row = field->Row;
    Col = field->Col;
    Attr = field->Attr;
    Eab = field->Eab;
    Data = field->Data;
    Columns = field->Columns;
}

std::unique_ptr<TDSField> TDSField::NewInstance() const
{
    return std::make_unique<TDSField>();
}

// The records of one set, and the lists that belong to it. Records are
// freed first to last, whether by FreeFields or by the last list leaving.
struct TDSFields::Records {
    std::vector<std::unique_ptr<TDSField>> owned;
    std::vector<TDSFields*> lists;

    ~Records() { FreeAll(); }

    void FreeAll()
    {
        for (auto& record : owned)
            record.reset();
        owned.clear();  // keeps the capacity for the next screen
    }
    // Index in owned, or -1. A list built in one go holds its records in
    // the set's order, so the hint (the entry's index) is usually right.
    std::ptrdiff_t Find(const TDSField* item, std::size_t hint) const
    {
        if (item == nullptr)
            return -1;
        if (hint < owned.size() && owned[hint].get() == item)
            return static_cast<std::ptrdiff_t>(hint);
        for (std::size_t i = 0; i < owned.size(); ++i)
            if (owned[i].get() == item)
                return static_cast<std::ptrdiff_t>(i);
        return -1;
    }
};

TDSFields::TDSFields() : FRecords(std::make_shared<Records>())
{
    FRecords->lists.push_back(this);
}

TDSFields::~TDSFields()
{
    // The set outlives this list while other lists belong to it: they may
    // still refer to its records.
    std::erase(FRecords->lists, this);
}

void TDSFields::ShareRecords(TDSFields& other)
{
    if (FRecords == other.FRecords)
        return;
    const std::shared_ptr<Records> mine = FRecords;
    const std::shared_ptr<Records>& theirs = other.FRecords;
    theirs->owned.reserve(theirs->owned.size() + mine->owned.size());
    for (auto& record : mine->owned)
        theirs->owned.push_back(std::move(record));
    mine->owned.clear();
    for (TDSFields* list : mine->lists) {
        list->FRecords = theirs;
        theirs->lists.push_back(list);
    }
    mine->lists.clear();
}

bool TDSFields::SharesRecordsWith(const TDSFields& other) const
{
    return FRecords == other.FRecords;
}

bool TDSFields::SharesSet() const
{
    return FRecords->lists.size() > 1;
}

void TDSFields::CheckIndex(std::int32_t index, std::int32_t limit, const char* operation) const
{
    if (index < 0 || index >= limit)
        throw std::out_of_range(std::string("TDSFields::") + operation + ": list index out of bounds (" +
                                std::to_string(index) + ")");
}

TDSField* TDSFields::Keep(std::unique_ptr<TDSField> item)
{
    if (!item)
        return nullptr;
    TDSField* raw = item.get();
    FRecords->owned.push_back(std::move(item));
    return raw;
}

void TDSFields::RoomForOne()
{
    // Made before the record is given to the set, so that a failed
    // allocation leaves no record behind that no entry refers to.
    if (FItems.size() == FItems.capacity())
        FItems.reserve(std::max<std::size_t>(kFirstCapacity, 2 * FItems.capacity()));
}

std::int32_t TDSFields::Add(std::unique_ptr<TDSField> item)
{
    RoomForOne();
    FItems.push_back(Keep(std::move(item)));
    return GetCount() - 1;
}

std::int32_t TDSFields::Add(TDSField* item)
{
    FItems.push_back(item);
    return GetCount() - 1;
}

void TDSFields::Insert(std::int32_t index, std::unique_ptr<TDSField> item)
{
    CheckIndex(index, GetCount() + 1, "Insert");
    RoomForOne();
    FItems.insert(FItems.begin() + index, Keep(std::move(item)));
}

void TDSFields::Insert(std::int32_t index, TDSField* item)
{
    CheckIndex(index, GetCount() + 1, "Insert");
    FItems.insert(FItems.begin() + index, item);
}

void TDSFields::Delete(std::int32_t index)
{
    CheckIndex(index, GetCount(), "Delete");
    FItems.erase(FItems.begin() + index);
}

std::int32_t TDSFields::Remove(const TDSField* item)
{
    const std::int32_t index = IndexOf(item);
    if (index >= 0)
        Delete(index);
    return index;
}

std::int32_t TDSFields::IndexOf(const TDSField* item) const
{
    for (std::size_t i = 0; i < FItems.size(); ++i)
        if (FItems[i] == item)
            return static_cast<std::int32_t>(i);
    return -1;
}

void TDSFields::Clear()
{
    // clear() keeps the capacity, so rebuilding the list does not allocate.
    FItems.clear();
}

void TDSFields::FreeFields()
{
    // Every list of the set forgets the records before the first is freed.
    for (TDSFields* list : FRecords->lists)
        list->FItems.clear();
    FRecords->FreeAll();
}

std::unique_ptr<TDSField> TDSFields::Extract(std::int32_t index)
{
    CheckIndex(index, GetCount(), "Extract");
    TDSField* item = FItems[static_cast<std::size_t>(index)];
    const std::ptrdiff_t at = FRecords->Find(item, static_cast<std::size_t>(index));
    FItems.erase(FItems.begin() + index);
    if (at < 0)
        return nullptr;
    std::unique_ptr<TDSField> record = std::move(FRecords->owned[static_cast<std::size_t>(at)]);
    FRecords->owned.erase(FRecords->owned.begin() + at);
    // The caller may free it at once: no list of the set may keep it.
    for (TDSFields* list : FRecords->lists)
        std::erase(list->FItems, item);
    return record;
}

TDSField* TDSFields::GetItems(std::int32_t index) const
{
    if (index < 0 || index >= GetCount())
        return nullptr;
    return FItems[static_cast<std::size_t>(index)];
}

void TDSFields::SetItems(std::int32_t index, TDSField* item)
{
    CheckIndex(index, GetCount(), "SetItems");
    FItems[static_cast<std::size_t>(index)] = item;
}

void TDSFields::SetItems(std::int32_t index, std::unique_ptr<TDSField> item)
{
    CheckIndex(index, GetCount(), "SetItems");
    FItems[static_cast<std::size_t>(index)] = Keep(std::move(item));
}

bool TDSFields::Owns(std::int32_t index) const
{
    if (index < 0 || index >= GetCount())
        return false;
    return FRecords->Find(FItems[static_cast<std::size_t>(index)], static_cast<std::size_t>(index)) >= 0;
}

void TDSFields::Reserve(std::int32_t count)
{
    const std::size_t n = count > 0 ? static_cast<std::size_t>(count) : 0U;
    FItems.reserve(n);
    FRecords->owned.reserve(n);
}

void TDSFields::Assign(const TDSFields* source)
{
    if (source == this)
        return;
    std::vector<std::unique_ptr<TDSField>> copies;
    if (source != nullptr) {
        copies.reserve(source->FItems.size());
        for (const TDSField* item : source->FItems) {
            std::unique_ptr<TDSField> copy;  // a null entry stays a null entry
            if (item != nullptr) {
                copy = item->NewInstance();
                copy->Assign(item);
            }
            copies.push_back(std::move(copy));
        }
    }
    // Other lists of a shared set keep their records; a list alone in its
    // set has no one to keep them for.
    if (SharesSet())
        Clear();
    else
        FreeFields();
    if (source == nullptr)
        return;
    CursorPos = source->CursorPos;
    FItems.reserve(copies.size());
    FRecords->owned.reserve(FRecords->owned.size() + copies.size());
    for (auto& copy : copies)
        FItems.push_back(Keep(std::move(copy)));
}

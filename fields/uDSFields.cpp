// Generic host field record and the field list.
#include "fields/uDSFields.h"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>

std::int16_t TDSField::GetPos() const
{
    // The record's fields are 16-bit; the product is taken modulo 2^16 on
    // purpose so that any Row/Col an application stores reads back defined.
    return static_cast<std::int16_t>((Row - 1) * kColumns + Col);
}

void TDSField::SetPos(std::int16_t p)
{
    Row = static_cast<std::int16_t>(p / kColumns + 1);
    Col = static_cast<std::int16_t>(p % kColumns);
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
}

std::unique_ptr<TDSField> TDSField::NewInstance() const
{
    return std::make_unique<TDSField>();
}

TDSFields::~TDSFields()
{
    FreeFields();
}

void TDSFields::CheckIndex(std::int32_t index, std::int32_t limit, const char* operation) const
{
    if (index < 0 || index >= limit)
        throw std::out_of_range(std::string("TDSFields::") + operation + ": list index out of bounds (" +
                                std::to_string(index) + ")");
}

std::int32_t TDSFields::Add(std::unique_ptr<TDSField> item)
{
    TDSField* raw = item.get();
    FEntries.push_back(Entry{std::move(item), raw});
    return GetCount() - 1;
}

std::int32_t TDSFields::Add(TDSField* item)
{
    FEntries.push_back(Entry{nullptr, item});
    return GetCount() - 1;
}

void TDSFields::Insert(std::int32_t index, std::unique_ptr<TDSField> item)
{
    CheckIndex(index, GetCount() + 1, "Insert");
    TDSField* raw = item.get();
    FEntries.insert(FEntries.begin() + index, Entry{std::move(item), raw});
}

void TDSFields::Insert(std::int32_t index, TDSField* item)
{
    CheckIndex(index, GetCount() + 1, "Insert");
    FEntries.insert(FEntries.begin() + index, Entry{nullptr, item});
}

void TDSFields::Delete(std::int32_t index)
{
    CheckIndex(index, GetCount(), "Delete");
    // Take the entry out first: the record's destructor then runs on a list
    // that no longer refers to it.
    Entry gone = std::move(FEntries[static_cast<std::size_t>(index)]);
    FEntries.erase(FEntries.begin() + index);
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
    for (std::size_t i = 0; i < FEntries.size(); ++i)
        if (FEntries[i].item == item)
            return static_cast<std::int32_t>(i);
    return -1;
}

void TDSFields::Clear()
{
    FreeFields();
}

void TDSFields::FreeFields()
{
    // Owned records go first to last; borrowed ones are only forgotten.
    // clear() keeps the capacity, so rebuilding the list does not allocate.
    for (Entry& e : FEntries)
        e.owned.reset();
    FEntries.clear();
}

std::unique_ptr<TDSField> TDSFields::Extract(std::int32_t index)
{
    CheckIndex(index, GetCount(), "Extract");
    std::unique_ptr<TDSField> owned = std::move(FEntries[static_cast<std::size_t>(index)].owned);
    FEntries.erase(FEntries.begin() + index);
    return owned;
}

TDSField* TDSFields::GetItems(std::int32_t index) const
{
    if (index < 0 || index >= GetCount())
        return nullptr;
    return FEntries[static_cast<std::size_t>(index)].item;
}

void TDSFields::SetItems(std::int32_t index, TDSField* item)
{
    CheckIndex(index, GetCount(), "SetItems");
    Entry& e = FEntries[static_cast<std::size_t>(index)];
    if (e.owned && e.owned.get() == item)
        return;  // putting back the record the entry already owns
    std::unique_ptr<TDSField> old = std::move(e.owned);
    e.item = item;
}

void TDSFields::SetItems(std::int32_t index, std::unique_ptr<TDSField> item)
{
    CheckIndex(index, GetCount(), "SetItems");
    Entry& e = FEntries[static_cast<std::size_t>(index)];
    std::unique_ptr<TDSField> old = std::move(e.owned);
    e.item = item.get();
    e.owned = std::move(item);
}

bool TDSFields::Owns(std::int32_t index) const
{
    return index >= 0 && index < GetCount() && FEntries[static_cast<std::size_t>(index)].owned != nullptr;
}

void TDSFields::Assign(const TDSFields* source)
{
    if (source == this)
        return;
    if (source == nullptr) {
        FreeFields();
        return;
    }
    std::vector<Entry> copies;
    copies.reserve(source->FEntries.size());
    for (const Entry& e : source->FEntries) {
        if (e.item == nullptr) {
            copies.push_back(Entry{});  // a null entry stays a null entry
            continue;
        }
        std::unique_ptr<TDSField> copy = e.item->NewInstance();
        copy->Assign(e.item);
        TDSField* raw = copy.get();
        copies.push_back(Entry{std::move(copy), raw});
    }
    CursorPos = source->CursorPos;
    FreeFields();
    FEntries = std::move(copies);
}

// Field lists: index rules, owned and borrowed entries (run under ASan to
// catch a record freed twice or used after its owner freed it), Assign.
#include "fields/u3270Fields.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

namespace {

// A record that counts its own destruction.
class CountedField : public T3270Field {
public:
    explicit CountedField(int* destroyed) : FDestroyed(destroyed) {}
    ~CountedField() override { ++*FDestroyed; }

private:
    int* FDestroyed;
};

std::unique_ptr<T3270Field> Field(const char* text, std::int16_t pos)
{
    auto f = std::make_unique<T3270Field>();
    f->SetPos(pos);
    f->Data = text;
    return f;
}

TEST(FieldListTest, IndexesOutsideTheListGiveNullOrAnIndexError)
{
    TDSFields list;
    EXPECT_EQ(list.GetItems(0), nullptr);
    list.Add(Field("A", 1));
    list.Add(Field("B", 2));
    EXPECT_EQ(list.Items(-1), nullptr);
    EXPECT_EQ(list.Items(2), nullptr);
    EXPECT_NE(list.Items(1), nullptr);

    EXPECT_THROW(list.Insert(3, Field("X", 3)), std::out_of_range);
    EXPECT_THROW(list.Insert(-1, nullptr), std::out_of_range);
    EXPECT_THROW(list.Delete(2), std::out_of_range);
    EXPECT_THROW(list.Delete(-1), std::out_of_range);
    EXPECT_THROW(list.SetItems(2, nullptr), std::out_of_range);
    EXPECT_THROW(list.SetItems(-1, Field("X", 3)), std::out_of_range);
    EXPECT_THROW(list.Extract(2), std::out_of_range);
    EXPECT_EQ(list.Count(), 2);

    // Insert at Count appends; Insert at 0 goes first.
    list.Insert(2, Field("C", 3));
    list.Insert(0, Field("Z", 0));
    ASSERT_EQ(list.Count(), 4);
    EXPECT_EQ(list.Items(0)->Data, "Z");
    EXPECT_EQ(list.Items(3)->Data, "C");
}

TEST(FieldListTest, IndexOfAndRemoveFindTheFirstEntry)
{
    TDSFields list;
    TDSField other;
    auto owned = Field("A", 1);
    T3270Field* a = owned.get();
    list.Add(&other);
    list.Add(std::move(owned));
    list.Add(&other);
    EXPECT_EQ(list.IndexOf(&other), 0);
    EXPECT_EQ(list.IndexOf(a), 1);
    EXPECT_EQ(list.Remove(&other), 0);
    EXPECT_EQ(list.IndexOf(&other), 1);
    EXPECT_EQ(list.Remove(nullptr), -1);
    EXPECT_EQ(list.Count(), 2);
}

TEST(FieldListTest, OwningAndBorrowingListsShareRecordsSafely)
{
    int destroyed = 0;
    auto host = std::make_unique<TDSFields>();
    auto unprotected = std::make_unique<TDSFields>();
    for (int i = 0; i < 4; ++i) {
        auto f = std::make_unique<CountedField>(&destroyed);
        f->Attr = (i % 2) ? 0x20 : 0x00;
        TDSField* raw = f.get();
        host->Add(std::move(f));
        if (As3270Field(raw)->GetEditable())
            unprotected->Add(raw);
    }
    EXPECT_TRUE(host->Owns(0));
    EXPECT_FALSE(unprotected->Owns(0));
    EXPECT_EQ(unprotected->Count(), 2);

    // The borrowing list forgets; nothing is freed.
    unprotected->FreeFields();
    unprotected->Add(host->Items(0));
    unprotected->Clear();
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(host->Count(), 4);

    // Deleting or replacing an owned entry frees exactly that record;
    // putting the same record back keeps it.
    host->SetItems(0, host->Items(0));
    EXPECT_EQ(destroyed, 0);
    host->Delete(3);
    EXPECT_EQ(destroyed, 1);
    host->SetItems(0, std::make_unique<CountedField>(&destroyed));
    EXPECT_EQ(destroyed, 2);
    EXPECT_TRUE(host->Owns(0));

    // Extract hands the record over instead of freeing it.
    std::unique_ptr<TDSField> taken = host->Extract(1);
    EXPECT_EQ(destroyed, 2);
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(host->Count(), 2);

    unprotected->Add(host->Items(0));
    unprotected->Add(host->Items(1));
    // The component's order on destruction: the borrowing list first.
    unprotected->Clear();
    host.reset();
    EXPECT_EQ(destroyed, 4);
    unprotected.reset();
    taken.reset();
    EXPECT_EQ(destroyed, 5);
}

TEST(FieldListTest, RebuildingKeepsCapacityAndCursor)
{
    TDSFields list;
    list.CursorPos = 81;
    for (int round = 0; round < 3; ++round) {
        list.FreeFields();
        for (int i = 0; i < 30; ++i)
            list.Add(Field("R", static_cast<std::int16_t>(i * 80 + 1)));
    }
    EXPECT_EQ(list.Count(), 30);
    EXPECT_EQ(list.CursorPos, 81);
}

TEST(FieldListTest, AssignMakesIndependentCopiesOfTheSameClass)
{
    TDSFields src;
    src.CursorPos = 240;
    auto a = Field("LINE1", 1);
    a->Len = 5;
    a->Attr = 0x21;
    a->Eab = 0x10;
    src.Add(std::move(a));
    src.Add(std::make_unique<TDSField>());

    TDSFields dst;
    dst.Add(Field("OLD", 5));
    dst.CursorPos = 3;
    dst.Assign(&src);
    ASSERT_EQ(dst.Count(), 2);
    EXPECT_EQ(dst.CursorPos, 240);
    EXPECT_TRUE(dst.Owns(0));
    const T3270Field* copy = As3270Field(dst.Items(0));
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, src.Items(0));
    EXPECT_EQ(copy->Data, "LINE1");
    EXPECT_EQ(copy->Attr, 0x21);
    EXPECT_EQ(copy->Eab, 0x10);
    EXPECT_EQ(copy->Row, 1);
    EXPECT_EQ(copy->Col, 1);
    EXPECT_EQ(copy->Len, 0);
    EXPECT_EQ(As3270Field(dst.Items(1)), nullptr);  // a plain record stays plain

    src.Items(0)->SetData("CHANGED");
    EXPECT_EQ(dst.Items(0)->Data, "LINE1");

    // None empties the target and keeps its cursor.
    dst.Assign(nullptr);
    EXPECT_EQ(dst.Count(), 0);
    EXPECT_EQ(dst.CursorPos, 240);
}

TEST(FieldListTest, AssignFromAListBorrowingTheTargetsRecords)
{
    TDSFields host;
    TDSFields unprotected;
    host.Add(Field("KEEP", 81));
    unprotected.Add(host.Items(0));
    unprotected.CursorPos = 7;

    // The source's records belong to the target: they must be copied before
    // the target frees its own.
    host.Assign(&unprotected);
    unprotected.Clear();
    ASSERT_EQ(host.Count(), 1);
    EXPECT_EQ(host.Items(0)->Data, "KEEP");
    EXPECT_EQ(host.CursorPos, 7);

    // A list assigned to itself keeps its records.
    host.Assign(&host);
    ASSERT_EQ(host.Count(), 1);
    EXPECT_EQ(host.Items(0)->Data, "KEEP");
}

}  // namespace

// Field lists: index rules, record sets (run under ASan to catch a record
// freed twice or used after its set freed it), Assign.
#include "fields/u3270Fields.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

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

// One list alone in its set: removing entries never frees a record (a
// pointer taken earlier stays good); FreeFields and the list's end free
// the set's records, never a record it only refers to.
TEST(FieldListTest, ListOperationsNeverFreeTheSetFreesItsRecordsTogether)
{
    int destroyed = 0;
    TDSField outside;
    auto list = std::make_unique<TDSFields>();
    std::vector<TDSField*> records;
    for (int i = 0; i < 4; ++i) {
        auto f = std::make_unique<CountedField>(&destroyed);
        f->Data = "R" + std::to_string(i);
        records.push_back(f.get());
        list->Add(std::move(f));
    }
    list->Add(&outside);
    EXPECT_TRUE(list->Owns(0));
    EXPECT_FALSE(list->Owns(4));

    list->Delete(3);
    EXPECT_EQ(list->Remove(records[0]), 0);
    list->SetItems(0, std::make_unique<CountedField>(&destroyed));  // replaces R1
    list->SetItems(1, records[3]);                                   // the deleted one, back again
    list->Clear();
    EXPECT_EQ(destroyed, 0);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(records[static_cast<std::size_t>(i)]->Data, "R" + std::to_string(i));

    // Extract hands a record of the set over; an outside one is not the list's to give.
    list->Add(records[2]);
    list->Add(&outside);
    std::unique_ptr<TDSField> taken = list->Extract(0);
    EXPECT_EQ(taken.get(), records[2]);
    EXPECT_EQ(list->Extract(0), nullptr);
    EXPECT_EQ(list->Count(), 0);

    list->Add(records[1]);
    list->FreeFields();  // R0, R1, R3 and the replacement
    EXPECT_EQ(destroyed, 4);
    EXPECT_EQ(list->Count(), 0);
    list->Add(std::make_unique<CountedField>(&destroyed));
    list->Add(&outside);
    list.reset();
    EXPECT_EQ(destroyed, 5);
    taken.reset();
    EXPECT_EQ(destroyed, 6);
    EXPECT_EQ(outside.Data, "");
}

// Two lists of one set, as the component keeps them: whatever one list
// drops stays valid for the other; a record handed to either belongs to
// the set; FreeFields on either empties both before it frees; Extract takes
// a record out of both.
TEST(FieldListTest, ListsSharingASetNeverLeaveTheOtherAFreedRecord)
{
    int destroyed = 0;
    auto host = std::make_unique<TDSFields>();
    auto unprotected = std::make_unique<TDSFields>();
    host->Add(std::make_unique<CountedField>(&destroyed));  // before sharing: kept
    unprotected->ShareRecords(*host);
    EXPECT_TRUE(unprotected->SharesRecordsWith(*host));
    for (int i = 0; i < 4; ++i) {
        auto f = std::make_unique<CountedField>(&destroyed);
        TDSField* raw = f.get();
        host->Add(std::move(f));
        unprotected->Add(raw);
    }
    EXPECT_TRUE(unprotected->Owns(0));
    TDSField* kept = unprotected->Items(0);

    host->Clear();
    host->Add(unprotected->Items(1));
    host->Delete(0);
    EXPECT_EQ(destroyed, 0);
    kept->SetData("STILL HERE");
    EXPECT_EQ(unprotected->Count(), 4);

    unprotected->Add(std::make_unique<CountedField>(&destroyed));  // the application's own record
    TDSField* third = unprotected->Items(2);
    host->Add(third);
    host->Add(unprotected->Items(3));
    std::unique_ptr<TDSField> taken = host->Extract(0);
    EXPECT_EQ(taken.get(), third);
    EXPECT_EQ(unprotected->IndexOf(third), -1);
    EXPECT_EQ(host->Count(), 1);
    EXPECT_EQ(unprotected->Count(), 4);

    host->FreeFields();  // 1 + 4 + 1, less the extracted one
    EXPECT_EQ(destroyed, 5);
    EXPECT_EQ(host->Count(), 0);
    EXPECT_EQ(unprotected->Count(), 0);
    taken.reset();
    EXPECT_EQ(destroyed, 6);

    // The first list of the set to go leaves the records to the other.
    auto f = std::make_unique<CountedField>(&destroyed);
    f->Data = "LAST";
    host->Add(std::move(f));
    unprotected->Add(host->Items(0));
    host.reset();
    EXPECT_EQ(destroyed, 6);
    EXPECT_EQ(unprotected->Items(0)->Data, "LAST");
    unprotected.reset();
    EXPECT_EQ(destroyed, 7);
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

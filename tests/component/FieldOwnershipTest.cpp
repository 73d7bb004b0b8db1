// The component's field lists in an application's hands: every list
// operation an application may call between two screens, followed by what
// the component does next (SetAidKey, the next screen, destruction). Run
// under AddressSanitizer a record freed too early is a failure here; the
// counted records show that none is freed too late or twice.
#include "ComponentTestSupport.h"

#include "sim/uSim3270Decoder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using namespace tnsim;

// A record that counts its own destruction.
class CountedField : public T3270Field {
public:
    explicit CountedField(int* destroyed) : FDestroyed(destroyed) {}
    ~CountedField() override { ++*FDestroyed; }

private:
    int* FDestroyed;
};

// NAME (protected), an empty input field at row 2 column 11 (index 90) and a
// prefilled one, "OLD", at row 3 column 2 (index 161); the two are the only
// editable records.
void ShowForm(TCaptureTn3270E& tn)
{
    tn.Feed(Hex("FF FD 00"));  // DO BINARY
    tn.Feed(Framed(TSim3270Encoder()
                       .EraseWrite(wcc::Restore)
                       .Field(2, 1, fa::Protected, "NAME")
                       .Field(2, 10, fa::Unprotected)
                       .IC()
                       .Field(2, 40, fa::Protected)
                       .Field(3, 1, fa::Unprotected, "OLD")
                       .Field(3, 20, fa::Protected)
                       .Take()));
    tn.TakeSent();
}

// What Enter sends now, decoded: "address=text" per field.
std::string EnterSends(TCaptureTn3270E& tn)
{
    tn.SetAidKey(TTn3270AidKey::akEnter);
    const TSimInbound in = DecodeInbound(Unframe(tn.TakeSent()));
    EXPECT_FALSE(in.malformed) << in.reason;
    std::string out;
    // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict on
    // "literal" + std::string&& here.
    for (const auto& f : in.fields) {
        if (!out.empty())
            out += ' ';
        out += std::to_string(f.address);
        out += '=';
        out += f.text;
    }
    return out;
}

TEST(FieldOwnership, RemovingFromHostFieldsKeepsTheRecordsUnprotectedFieldsHolds)
{
    TCaptureTn3270E tn;
    ShowForm(tn);
    auto guard = tn.Lock();
    ASSERT_EQ(tn.UnprotectedFields.Count(), 2);
    const std::int32_t count = tn.HostFields.Count();
    T3270Field* first = &Unprotected(tn, 0);
    T3270Field* second = &Unprotected(tn, 1);

    // Delete, Remove, then read what was removed.
    tn.HostFields.Delete(tn.HostFields.IndexOf(first));
    const std::int32_t at = tn.HostFields.IndexOf(second);
    EXPECT_EQ(tn.HostFields.Remove(second), at);
    EXPECT_EQ(tn.HostFields.Count(), count - 2);
    EXPECT_EQ(second->Data, "OLD");
    first->SetData("ABC");
    second->SetData("NEW");
    // Clear, then the key writes back both records of UnprotectedFields.
    tn.HostFields.Clear();
    EXPECT_EQ(EnterSends(tn), "90=ABC 161=NEW");

    // SetItems over an entry and FreeFields' sibling Clear on the other list.
    tn.UnprotectedFields.SetItems(0, second);
    EXPECT_EQ(first->GetPos(), 91);
    tn.UnprotectedFields.Clear();
    EXPECT_EQ(first->Data, "ABC");
}

TEST(FieldOwnership, ExtractedRecordsBelongToTheApplication)
{
    TCaptureTn3270E tn;
    ShowForm(tn);
    std::unique_ptr<TDSField> taken;
    {
        auto guard = tn.Lock();
        const std::int32_t count = tn.HostFields.Count();
        T3270Field* second = &Unprotected(tn, 1);
        taken = tn.HostFields.Extract(tn.HostFields.IndexOf(second));
        ASSERT_EQ(taken.get(), second);
        // It has left both lists: the key does not write it back.
        EXPECT_EQ(tn.HostFields.Count(), count - 1);
        EXPECT_EQ(tn.UnprotectedFields.Count(), 1);
        second->SetData("GONE");
        Unprotected(tn, 0).SetData("ABC");
        EXPECT_EQ(EnterSends(tn), "90=ABC");
    }
    // The next screen frees the component's records, not this one.
    ShowForm(tn);
    EXPECT_EQ(taken->Data, "GONE");
    EXPECT_EQ(taken->GetPos(), 162);
}

TEST(FieldOwnership, AssignBetweenTheTwoListsLeavesBothUsable)
{
    TCaptureTn3270E tn;
    ShowForm(tn);
    auto guard = tn.Lock();
    const std::int32_t count = tn.HostFields.Count();
    T3270Field* input = &Unprotected(tn, 1);
    const std::int32_t at = tn.HostFields.IndexOf(input);

    // UnprotectedFields becomes copies of every record; the originals stay
    // in HostFields.
    tn.UnprotectedFields.Assign(&tn.HostFields);
    ASSERT_EQ(tn.UnprotectedFields.Count(), count);
    EXPECT_EQ(tn.HostFields.Items(at), input);
    EXPECT_EQ(input->Data, "OLD");
    T3270Field* copy = As3270Field(tn.UnprotectedFields.Items(at));
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, input);
    EXPECT_EQ(copy->Data, "OLD");

    // And back: HostFields becomes copies; UnprotectedFields' records live on.
    tn.HostFields.Assign(&tn.UnprotectedFields);
    ASSERT_EQ(tn.HostFields.Count(), count);
    EXPECT_EQ(input->Data, "OLD");
    EXPECT_EQ(copy->Data, "OLD");
    copy->Len = 3;  // Assign does not copy Len
    copy->SetData("NEW");
    EXPECT_EQ(EnterSends(tn), "161=NEW");

    // Everything goes with the next screen; the lists show the new one.
    ShowForm(tn);
    EXPECT_EQ(tn.HostFields.Count(), count);
    EXPECT_EQ(tn.UnprotectedFields.Count(), 2);
}

TEST(FieldOwnership, RecordsTheApplicationAddsAreFreedWithTheScreen)
{
    int destroyed = 0;
    {
        TCaptureTn3270E tn;
        ShowForm(tn);
        {
            auto guard = tn.Lock();
            auto own = std::make_unique<CountedField>(&destroyed);
            own->SetPos(91);
            own->Len = 3;
            own->SetData("XYZ");
            T3270Field* raw = own.get();
            tn.UnprotectedFields.Add(std::move(own));
            EXPECT_EQ(EnterSends(tn), "90=XYZ");

            // Removed from every list, it still lives until the screen goes.
            tn.HostFields.Add(std::make_unique<CountedField>(&destroyed));
            tn.HostFields.Delete(tn.HostFields.Count() - 1);
            EXPECT_EQ(tn.UnprotectedFields.Remove(raw), 2);
            EXPECT_EQ(raw->Data, "XYZ");
            EXPECT_EQ(destroyed, 0);
        }
        ShowForm(tn);
        EXPECT_EQ(destroyed, 2);

        // The connect (and disconnect) notification frees them too.
        tn.HostFields.Add(std::make_unique<CountedField>(&destroyed));
        tn.NotifyEvent(TCallBackEvent::ceSessionConnected);
        EXPECT_EQ(destroyed, 3);
        EXPECT_EQ(tn.HostFields.Count(), 0);
        // And so does the component's end.
        tn.UnprotectedFields.Add(std::make_unique<CountedField>(&destroyed));
        EXPECT_EQ(destroyed, 3);
    }
    EXPECT_EQ(destroyed, 4);
}

TEST(FieldOwnership, DestroyingTheComponentWhileTheApplicationHoldsLists)
{
    int destroyed = 0;
    TDSFields refers;  // the application's list, referring to the component's records
    TDSFields copies;  // the application's list of copies
    TDSFields joined;  // an application list in the component's own set
    std::unique_ptr<TDSField> taken;
    std::int32_t count = 0;
    {
        TCaptureTn3270E tn;
        ShowForm(tn);
        auto guard = tn.Lock();
        for (std::int32_t i = 0; i < tn.HostFields.Count(); ++i)
            refers.Add(tn.HostFields.Items(i));
        count = tn.HostFields.Count();
        copies.Assign(&tn.HostFields);
        joined.ShareRecords(tn.HostFields);
        joined.Add(std::make_unique<CountedField>(&destroyed));
        joined.Add(tn.HostFields.Items(0));
        taken = tn.HostFields.Extract(tn.HostFields.IndexOf(&Unprotected(tn, 0)));
    }
    // The set went with the component and emptied every list of it.
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(joined.Count(), 0);
    ASSERT_EQ(copies.Count(), count);
    EXPECT_TRUE(copies.Items(1)->Data.starts_with("NAME"));
    EXPECT_EQ(taken->GetPos(), 91);
    // The application's referring list is only forgotten, never read.
    EXPECT_EQ(refers.Count(), count);
    refers.Clear();
    joined.Add(std::make_unique<CountedField>(&destroyed));
    joined.FreeFields();
    EXPECT_EQ(destroyed, 2);
}

}  // namespace

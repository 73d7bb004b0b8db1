// Shared by the extraction tests: a screen to paint and the expected shape
// of a published record.
#pragma once

#include "component/uHostFieldExtract.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

struct Rec {
    int pos;  // 1-based
    int len;
    int attr;
    int eab;
    std::string data;
};

inline std::string Describe(const TDSField* f)
{
    if (f == nullptr)
        return "<null>";
    return "Pos " + std::to_string(f->GetPos()) + " Len " + std::to_string(f->Len) + " Attr " +
           std::to_string(f->Attr) + " Eab " + std::to_string(f->Eab) + " Data '" + f->Data + "'";
}

// Checks want against the records from index first on.
inline void ExpectRecordsFrom(const TDSFields& list, int first, const std::vector<Rec>& want)
{
    ASSERT_GE(list.Count(), first + static_cast<std::int32_t>(want.size()));
    for (std::size_t k = 0; k < want.size(); ++k) {
        const TDSField* f = list.Items(first + static_cast<std::int32_t>(k));
        SCOPED_TRACE("record " + std::to_string(first + k) + ": " + Describe(f));
        ASSERT_NE(As3270Field(f), nullptr);
        EXPECT_EQ(f->GetPos(), want[k].pos);
        EXPECT_EQ(f->Len, want[k].len);
        EXPECT_EQ(f->Attr, want[k].attr);
        EXPECT_EQ(f->Eab, want[k].eab);
        EXPECT_EQ(f->Data, want[k].data);
    }
}

// Checks that the list holds exactly want.
inline void ExpectRecords(const TDSFields& list, const std::vector<Rec>& want)
{
    ASSERT_EQ(list.Count(), static_cast<std::int32_t>(want.size()));
    ExpectRecordsFrom(list, 0, want);
}

// A 24x80 screen painted the way the data stream paints it: characters into
// the character plane, fields with insertFA, extended attributes per position.
class PaintedScreen {
public:
    TOrvTn3270display screen{0, 24, 80};

    void Text(int index, const std::string& text)
    {
        for (std::size_t k = 0; k < text.size(); ++k)
            screen.Chars[static_cast<std::size_t>(index) + k] = static_cast<std::uint8_t>(text[k]);
    }
    void Field(int index, std::uint8_t fa) { screen.insertFA(index, fa); }
    void Ext(int index, int count, std::uint8_t eab)
    {
        for (int k = 0; k < count; ++k)
            screen.ExtAttrs[static_cast<std::size_t>(index + k)] = eab;
    }
};

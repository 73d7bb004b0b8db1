// Screen buffer: field attribute propagation and wrap-around, field removal,
// the searches' -1 answers, MDT handling, putField and hostile positions.
#include "display/uOrvTn3270display.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

// Characters as a string: '.' for a null, '|' for a field attribute marker.
std::string Text(const TOrvTn3270display& d, int from, int n)
{
    std::string s;
    for (int i = from; i < from + n; ++i) {
        const auto c = d.Chars[static_cast<std::size_t>(i)];
        s += c == 0 ? '.' : c == 1 ? '|' : static_cast<char>(c);
    }
    return s;
}

void Put(TOrvTn3270display& d, int at, const std::string& s)
{
    for (std::size_t k = 0; k < s.size(); ++k)
        d.Chars[static_cast<std::size_t>(at) + k] = static_cast<std::uint8_t>(s[k] == '.' ? 0 : s[k]);
}

struct Screen : ::testing::Test {
    TOrvTn3270display d{0, 24, 80};
};

TEST(DisplayGeometry, ConstructionAndCursorBounds)
{
    TOrvTn3270display d(7, 24, 80);
    EXPECT_EQ(d.Size, 1920);
    EXPECT_FALSE(d.Formatted);
    EXPECT_TRUE(d.Locked);
    EXPECT_FALSE(d.Updated);
    EXPECT_EQ(d.CursorPosition, 0);
    for (std::size_t i = 0; i < d.Chars.size(); ++i)
        ASSERT_EQ(d.Chars[i] | d.Attrs[i] | d.ExtAttrs[i], 0) << i;

    struct { int set, pos, row, col; } cases[] = {
        {-1, 0, 1, 1}, {1920, 0, 1, 1}, {INT_MIN, 0, 1, 1}, {1919, 1919, 24, 80}, {85, 85, 2, 6},
    };
    for (auto c : cases) {
        d.SetCursorPosition(c.set);
        EXPECT_EQ(d.CursorPosition, c.pos) << c.set;
        EXPECT_EQ(d.CursorRow, c.row) << c.set;
        EXPECT_EQ(d.CursorColumn, c.col) << c.set;
    }
    // The planes grow with the screen up to the 14-bit address limit; larger
    // geometries are cut to it, never overflow.
    EXPECT_EQ(TOrvTn3270display(0, 100, 100).Size, 10000);
    EXPECT_GE(TOrvTn3270display(0, 100, 100).Chars.size(), 10000u);
    EXPECT_EQ(TOrvTn3270display(0, -24, 80).Size, 0);
    EXPECT_EQ(TOrvTn3270display(0, INT_MAX, INT_MAX).Size, kMaxScreenPositions);
    EXPECT_EQ(TOrvTn3270display(0, 24, 80).Chars.size(), 1920u);  // sized to the screen, no more
}

TEST_F(Screen, StatusChangeFiresOncePerChange)
{
    int fired = 0;
    TObject* sender = nullptr;
    d.OnStatusChange = [&](TObject* s) { ++fired; sender = s; EXPECT_EQ(d.Status, "SYSTEM"); };
    d.SetStatus("SYSTEM");
    d.SetStatus("SYSTEM");
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(sender, &d);
    d.OnStatusChange = [&](TObject*) { ++fired; };
    d.unlock();
    EXPECT_EQ(fired, 2);
    EXPECT_FALSE(d.Locked);
    EXPECT_EQ(d.Status, "");
}

TEST_F(Screen, ClearAndUpdate)
{
    d.insertFA(5, 0x60);
    Put(d, 6, "AB");
    d.ExtAttrs[7] = 0x80;
    d.SetStatus("SYSTEM");
    d.SetCursorPosition(300);
    d.clear();
    EXPECT_FALSE(d.Formatted);
    EXPECT_EQ(d.CursorPosition, 0);
    EXPECT_EQ(d.Status, "SYSTEM");
    for (int i = 0; i < d.Size; ++i) {
        ASSERT_EQ(d.Chars[i], 0);
        ASSERT_EQ(d.Attrs[i], 0x08);
        ASSERT_EQ(d.ExtAttrs[i], 0);
    }
    d.insertFA(10, 0x01);  // protected bit off, MDT on
    d.update();
    EXPECT_TRUE(d.Updated);
    for (int i = 0; i < d.Size; ++i)
        ASSERT_EQ(d.Attrs[i], 0x04) << i;
}

TEST_F(Screen, InsertFAPropagatesAndWraps)
{
    d.insertFA(100, 0x60);
    EXPECT_TRUE(d.Formatted);
    EXPECT_EQ(d.Chars[100], 0x01);
    for (int i = 0; i < d.Size; ++i) {
        ASSERT_EQ(d.Attrs[i], 0x18) << i;
        ASSERT_EQ(d.getFA(i), 0x20) << i;
    }
    d.insertFA(100, 0xF1);
    EXPECT_EQ(d.getFA(1500), 0x31);  // graphic-conversion bits dropped
    d.insertFA(100, 0x0C);
    EXPECT_EQ(d.getFA(3), 0x0C);

    TOrvTn3270display t(0, 24, 80);
    t.insertFA(10, 0x20);
    t.insertFA(20, 0x10);
    for (int i = 0; i < t.Size; ++i)
        ASSERT_EQ(t.getFA(i), (i >= 10 && i < 20) ? 0x20 : 0x10) << i;
}

TEST_F(Screen, EraseFAMergesIntoPreviousField)
{
    d.insertFA(10, 0x20);
    d.insertFA(20, 0x10);
    const auto before = d.Attrs;
    d.eraseFA(15);  // not a field attribute
    EXPECT_EQ(d.Attrs, before);

    // The field before position 10 is the one at 20, reached by wrapping.
    d.eraseFA(10);
    for (int i = 10; i < 20; ++i)
        ASSERT_EQ(d.getFA(i), 0x10) << i;
    EXPECT_TRUE(d.Formatted);

    d.Chars[10] = 'x';
    d.eraseFA(20);  // the only field attribute left
    EXPECT_FALSE(d.Formatted);
    for (int i = 0; i < d.Size; ++i)
        ASSERT_EQ(d.Attrs[i], 0x08) << i;
}

TEST_F(Screen, SearchesAnswerMinusOne)
{
    for (int s : {-1, 0, 500, 1919, 1920}) {
        EXPECT_EQ(d.findNextFA(s), -1);
        EXPECT_EQ(d.findPrevFA(s), -1);
        EXPECT_EQ(d.findNextUnprotectedAfterFA(s), -1);
    }
    d.insertFA(100, 0x20);  // protected
    d.insertFA(200, 0x00);  // unprotected, empty: followed by another attribute
    d.insertFA(201, 0x00);
    d.insertFA(1919, 0x00);  // unprotected in the last position
    EXPECT_EQ(d.findNextFA(-5), 100);
    EXPECT_EQ(d.findNextFA(101), 200);
    EXPECT_EQ(d.findNextFA(1920), -1);
    EXPECT_EQ(d.findPrevFA(99), -1);
    EXPECT_EQ(d.findPrevFA(5000), 1919);
    EXPECT_EQ(d.findPrevFA(-1), -1);
    EXPECT_EQ(d.findNextUnprotectedAfterFA(0), 202);
    EXPECT_EQ(d.findNextUnprotectedAfterFA(202), -1);  // only the one at 1919: no position after it
}

TEST_F(Screen, ExtendedAttributesAndModifiedTags)
{
    d.setEFA(50, 0x08);
    d.setEFA(50, 0x80);
    EXPECT_EQ(d.getEFA(50), 0x88);
    d.insertFA(50, 0x00);
    EXPECT_EQ(d.getEFA(50), 0x00);

    d.insertFA(60, 0x20);
    d.update();
    d.setFieldModified(55);
    EXPECT_TRUE(d.isFieldModified(50));
    EXPECT_TRUE(d.isFieldModified(59));
    EXPECT_FALSE(d.isFieldModified(60));
    EXPECT_EQ(d.Attrs[55] & 0x08, 0x08);
    // The search goes backwards past the top: position 10 belongs to the field at 60.
    d.setFieldModified(10);
    EXPECT_TRUE(d.isFieldModified(60));
    EXPECT_TRUE(d.isFieldModified(1919));
    EXPECT_TRUE(d.isFieldModified(49));
    d.setBitModifiedInFA(60, false);
    EXPECT_FALSE(d.isFieldModified(0));
    EXPECT_TRUE(d.isFieldModified(50));
}

// Writing a text is Erase EOF then typing: the words as typed, nulls before
// and after them. putField leaves a field that already shows the text
// alone; retypeField (the tool's set) always types and marks the field.
TEST_F(Screen, PutFieldAndRetypeField)
{
    d.insertFA(99, 0x00);
    d.insertFA(110, 0x20);
    d.update();
    struct Case {
        const char* before;
        std::string text;
        const char* after;
        bool modified;
        bool retype;
    } cases[] = {
        {"XYZVWXYZVW", "AB", "AB........", true, false},
        {"..........", "  C", "..C.......", true, false},            // leading blanks become nulls
        {"OLD.......", "  NEW", "..NEW.....", true, false},
        {"  OLD     ", "  NEW", "  NEW.....", true, false},          // ... a blank already there stays
        {"..........", "ABC       ", "ABC.......", true, false},     // trailing blanks become nulls
        {"..........", "testpsw ", "testpsw...", true, false},
        {"          ", "ABC", "ABC.......", true, false},            // so do blanks after the text
        {"OLD       ", "          ", "..........", true, false},     // an all-blank text nulls the field
        {"JOHN......", "JOHN SMITH", "JOHN SMITH", true, false},     // blanks between words stay
        {"AB.  .....", "AB", "AB.  .....", false, false},            // already shown: nothing written
        {"  C    ...", "  C", "  C    ...", false, false},
        {"AB........", std::string("A\0Z", 3), "A.........", true, false},  // text ends at its zero byte
        {"..........", "A\x01" "B", "A B.......", true, false},      // the marker byte never comes from the application
        {"..........", "ABCDEFGHIJKL", "ABCDEFGHIJ", true, true},    // the field ends at its field attribute
        {"AB.  .....", "AB", "AB........", true, true},              // retyped: the host's blanks go
        {"ABC.......", "ABC  ", "ABC.......", true, true},           // unchanged, but typed: modified
    };
    for (const auto& c : cases) {
        Put(d, 100, c.before);
        d.setBitModifiedInFA(99, false);
        d.update();
        if (c.retype)
            d.retypeField(100, 1000, c.text);
        else
            d.putField(100, 10, c.text);
        EXPECT_EQ(Text(d, 100, 10), c.after) << c.before << " <- " << c.text;
        EXPECT_EQ(d.isFieldModified(99), c.modified) << c.before << " <- " << c.text;
        EXPECT_EQ(d.Chars[110], 0x01);
        EXPECT_EQ(d.Chars[99], 0x01);
    }
}

TEST(DisplayBounds, HostilePositionsStayInsideTheScreen)
{
    // A small screen: every plane byte past Size must stay untouched.
    TOrvTn3270display d(0, 2, 10);
    d.insertFA(15, 0x00);
    d.putField(16, 8, "ABCDEFGH");  // a field running past the end continues at the top
    EXPECT_EQ(Text(d, 16, 4) + Text(d, 0, 5), "ABCDEFGH.");
    d.putField(10, 1000, "abcdefghij");  // a count too large stops at the field attribute
    EXPECT_EQ(Text(d, 10, 7), "abcde|A");
    for (int p : {-1, 20, 4096, 5000, INT_MAX, INT_MIN}) {
        d.insertFA(p, 0x20);
        d.eraseFA(p);
        d.setEFA(p, 0xFF);
        d.setBitModifiedInFA(p, true);
        d.setFieldModified(p);
        d.putField(p, 10, "XYZ");
        EXPECT_EQ(d.getFA(p), 0);
        EXPECT_EQ(d.getEFA(p), 0);
        EXPECT_FALSE(d.isFieldModified(p));
    }
    for (std::size_t i = 20; i < d.Chars.size(); ++i)
        ASSERT_EQ(d.Chars[i] | d.Attrs[i] | d.ExtAttrs[i], 0) << i;
    EXPECT_EQ(Text(d, 0, 20), "EFGH......abcde|ABCD");

    TOrvTn3270display empty(0, 0, 80);
    empty.insertFA(0, 0x20);
    empty.clear();
    empty.update();
    EXPECT_FALSE(empty.Formatted);
    EXPECT_EQ(empty.findNextFA(0), -1);
}

} // namespace

namespace {

TEST(DisplayDeferred, SameAttributesAsImmediateInserts)
{
    // Two screens take the same random edits; one starts its fields with
    // deferred propagation. After propagateFields the planes are identical,
    // and while inserts are pending the field queries already agree.
    std::uint32_t seed = 12345;
    auto rnd = [&seed](std::uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % n;
    };
    TOrvTn3270display now(0, 4, 20), later(0, 4, 20);
    for (int round = 0; round < 3000; ++round) {
        const auto p = static_cast<std::int32_t>(rnd(80));
        const auto fa = static_cast<std::uint8_t>(rnd(256));
        switch (rnd(8)) {
        case 0: case 1: case 2:
            now.insertFA(p, fa);
            later.insertFADeferred(p, fa);
            break;
        case 3:  // a character over whatever is there, as the data stream writes it
            for (auto* d : {&now, &later}) {
                d->eraseFA(p);
                d->Chars[static_cast<std::size_t>(p)] = 'x';
                d->Attrs[static_cast<std::size_t>(p)] |= TOrvTndisplay::kAttrChanged;
            }
            break;
        case 4:  // on a field attribute, as every caller does
            if (const std::int32_t f = now.findNextFA(p); f != -1) {
                now.setBitModifiedInFA(f, fa & 1);
                later.setBitModifiedInFA(f, fa & 1);
            }
            break;
        case 5:
            now.update();
            later.update();
            break;
        case 6:
            if (rnd(10) == 0) {
                now.clear();
                later.clear();
            }
            break;
        default:
            now.putField(p, 5, "ab c");
            later.putField(p, 5, "ab c");
            break;
        }
        for (std::int32_t q = 0; q < now.Size; ++q) {
            ASSERT_EQ(later.getFA(q), now.getFA(q)) << "round " << round << " position " << q;
            ASSERT_EQ(later.isFieldModified(q), now.isFieldModified(q)) << round;
        }
        if (rnd(4) == 0) {
            later.propagateFields();
            ASSERT_EQ(later.Attrs, now.Attrs) << "round " << round;
            ASSERT_EQ(later.Chars, now.Chars) << "round " << round;
            ASSERT_EQ(later.ExtAttrs, now.ExtAttrs) << "round " << round;
            ASSERT_EQ(later.Formatted, now.Formatted);
        }
    }
}

} // namespace

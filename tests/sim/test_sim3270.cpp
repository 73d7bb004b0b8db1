// The simulator's own 3270 encoder and decoder: the bytes of known screens
// and the reading of hand-written terminal replies. These tables are the
// reference the client is measured against, so they are checked against
// values from the 3270 data stream reference, not against the client.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "sim/uSim3270Decoder.h"
#include "sim/uSim3270Encoder.h"

namespace tnsim {
namespace {

Bytes Hex(std::string_view text) {
    Bytes out;
    unsigned value = 0;
    int digits = 0;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            value = value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::toupper(c) - 'A' + 10));
            if (++digits == 2) {
                out.push_back(static_cast<std::uint8_t>(value));
                value = 0;
                digits = 0;
            }
        }
    }
    return out;
}

TEST(SimCodes, Ebcdic037KnownCharactersAndRoundTrip) {
    const std::pair<char, std::uint8_t> known[] = {
        {' ', 0x40}, {'A', 0xC1}, {'Z', 0xE9}, {'a', 0x81}, {'z', 0xA9}, {'0', 0xF0}, {'9', 0xF9},
        {'.', 0x4B}, {'-', 0x60}, {'/', 0x61}, {'!', 0x5A}, {'[', 0xBA}, {']', 0xBB}, {'@', 0x7C},
        {'$', 0x5B}, {'#', 0x7B}, {'\'', 0x7D}, {'=', 0x7E}, {':', 0x7A}, {'_', 0x6D}, {'\0', 0x00}};
    for (auto [c, e] : known) {
        EXPECT_EQ(ToEbcdic(static_cast<std::uint8_t>(c)), e) << c;
        EXPECT_EQ(FromEbcdic(e), static_cast<std::uint8_t>(c)) << c;
    }
    for (int b = 0; b < 256; ++b) EXPECT_EQ(FromEbcdic(ToEbcdic(static_cast<std::uint8_t>(b))), b);
    EXPECT_EQ(FromEbcdic(Hex("C8 C5 D3 D3 D6")), "HELLO");
}

TEST(SimCodes, BufferAddressesBothForms) {
    struct Case {
        int position;
        const char* twelve;
        const char* fourteen;
    };
    const Case cases[] = {{0, "40 40", "00 00"},     {10, "40 4A", "00 0A"},     {81, "C1 D1", "00 51"},
                          {85, "C1 D5", "00 55"},    {1919, "5D 7F", "07 7F"},   {4095, "7F 7F", "0F FF"}};
    for (const auto& c : cases) {
        auto a12 = EncodeAddress12(c.position);
        auto a14 = EncodeAddress14(c.position);
        EXPECT_EQ(Bytes(a12.begin(), a12.end()), Hex(c.twelve)) << c.position;
        EXPECT_EQ(Bytes(a14.begin(), a14.end()), Hex(c.fourteen)) << c.position;
        EXPECT_EQ(DecodeAddress(a12[0], a12[1]), c.position);
        EXPECT_EQ(DecodeAddress(a14[0], a14[1]), c.position);
    }
    EXPECT_EQ(DecodeAddress(0x3F, 0xFF), 16383);
    EXPECT_THROW(EncodeAddress12(4096), std::out_of_range);
    EXPECT_THROW(EncodeAddress14(-1), std::out_of_range);
}

TEST(SimCodes, AidAndDataTypeNames) {
    EXPECT_EQ(AidName(0x7D), "ENTER");
    EXPECT_EQ(AidName(0xF3), "PF3");
    EXPECT_EQ(AidName(0x7C), "PF12");
    EXPECT_EQ(AidName(0xC1), "PF13");
    EXPECT_EQ(AidName(0x4C), "PF24");
    EXPECT_EQ(AidName(0x6B), "PA3");
    EXPECT_EQ(AidName(0x01), "AID-01");
    EXPECT_EQ(DataTypeName(0x07), "SSCP-LU-DATA");
    EXPECT_EQ(DataTypeName(0x09), "DATA-TYPE-09");
}

TEST(SimEncoder, LogonLikeScreen) {
    TSim3270Encoder e;
    e.EraseWrite(wcc::Restore | wcc::ResetMdt)
        .Field(1, 1, fa::Protected | fa::Intensified, "HI")
        .Field(2, 10, fa::Unprotected)
        .IC()
        .FieldX(24, 1, fa::Protected, Colour::Red, Highlight::Reverse, "ERR")
        .At(3, 1)
        .RA(4, 1, '-')
        .EUA(24, 80);
    EXPECT_EQ(HexString(e.Data()),
              "F5 C3 "
              "11 40 40 1D E8 C8 C9 "
              "11 C1 D9 1D 40 13 "
              "11 5C F0 29 03 C0 60 41 F2 42 F2 C5 D9 D9 "
              "11 C2 60 3C C3 F0 60 "
              "12 5D 7F");
}

TEST(SimEncoder, AttributeBytesGoThroughTheCodeTable) {
    const std::pair<std::uint8_t, std::uint8_t> cases[] = {
        {fa::Unprotected, 0x40},
        {fa::Unprotected | fa::Intensified, 0xC8},
        {fa::Unprotected | fa::NonDisplay, 0x4C},
        {fa::Unprotected | fa::Numeric, 0x50},
        {fa::Unprotected | fa::Mdt, 0xC1},
        {fa::Protected, 0x60},
        {fa::Protected | fa::Intensified, 0xE8},
        {fa::Skip, 0xF0},
        {fa::Protected | fa::NonDisplay, 0x6C},
    };
    for (auto [bits, wire] : cases) {
        TSim3270Encoder e;
        e.SF(bits);
        EXPECT_EQ(e.Data(), (Bytes{0x1D, wire})) << int(bits);
    }
    EXPECT_EQ(TSim3270Encoder::WccByte(0), 0x40);
    EXPECT_EQ(TSim3270Encoder::WccByte(wcc::Restore), 0xC2);
    EXPECT_EQ(TSim3270Encoder::WccByte(wcc::Restore | wcc::ResetMdt), 0xC3);
    EXPECT_EQ(TSim3270Encoder::WccByte(wcc::Restore | wcc::Alarm), 0xC6);
}

TEST(SimEncoder, CommandsOrdersAndStructuredFields) {
    EXPECT_EQ(HexString(TSim3270Encoder().Write(wcc::Restore).SAColour(Colour::Green).Text("A").SAReset().Data()),
              "F1 C2 28 42 F4 C1 28 00 00");
    EXPECT_EQ(HexString(TSim3270Encoder().EraseWriteAlternate().PT().NL().GE(0xAD).Data()), "7E 40 05 15 08 AD");
    EXPECT_EQ(HexString(TSim3270Encoder().SFE(fa::Unprotected).Data()), "29 01 C0 40");
    EXPECT_EQ(HexString(TSim3270Encoder().EraseAllUnprotected().Data()), "6F");
    EXPECT_EQ(HexString(TSim3270Encoder().ReadBuffer().Data()), "F2");
    EXPECT_EQ(HexString(TSim3270Encoder().ReadModified().Data()), "F6");
    EXPECT_EQ(HexString(TSim3270Encoder().ReadModifiedAll().Data()), "6E");
    EXPECT_EQ(HexString(TSim3270Encoder::QueryRecord()), "F3 00 05 01 FF 02");
    const Bytes inner = TSim3270Encoder().EraseWrite(wcc::Restore).Text("AB").Take();
    EXPECT_EQ(HexString(TSim3270Encoder().WriteStructuredField().Outbound3270DS(inner).Data()),
              "F3 00 08 40 00 F5 C2 C1 C2");
    TSim3270Encoder fourteen(TSim3270Encoder::AddressMode::Bits14);
    EXPECT_EQ(HexString(fourteen.SBA(24, 80).SBAAddress(4000).Data()), "11 07 7F 11 0F A0");
}

TEST(SimEncoder, RejectsWhatNoHostSends) {
    TSim3270Encoder e;
    EXPECT_THROW(e.SBA(0, 1), std::out_of_range);
    EXPECT_THROW(e.SBA(25, 1), std::out_of_range);
    EXPECT_THROW(e.SBA(1, 81), std::out_of_range);
    EXPECT_THROW(e.SBAAddress(4096), std::out_of_range);
    EXPECT_THROW(e.Text("tab\there"), std::invalid_argument);
    EXPECT_THROW(e.RA(2, 1, '\n'), std::invalid_argument);
    EXPECT_NO_THROW(e.Text(std::string_view("a\0b", 3)));
    EXPECT_NO_THROW(e.RA(2, 1, '\0'));
}

TEST(SimDecoder, EnterWithCursorAndModifiedField) {
    // Cursor at 85, one modified field at 81 holding "A" null "B" (the null is not sent).
    const auto in = DecodeInbound(Hex("7D C1 D5 11 C1 D1 C1 C2"));
    EXPECT_EQ(in.kind, TSimInbound::Kind::Aid);
    EXPECT_EQ(in.aid, aid::Enter);
    EXPECT_EQ(in.cursor, 85);
    EXPECT_EQ(in.cursorRow(), 2);
    EXPECT_EQ(in.cursorCol(), 6);
    ASSERT_EQ(in.fields.size(), 1u);
    EXPECT_EQ(in.fields[0].address, 81);
    EXPECT_EQ(in.fields[0].text, "AB");
    ASSERT_NE(in.FieldAt(2, 2), nullptr);
    EXPECT_FALSE(in.malformed);
}

TEST(SimDecoder, SeveralFieldsEmptyFieldAnd14BitAddresses) {
    const auto in = DecodeInbound(Hex("F3 07 7F 11 C1 D9 C4 C5 D4 D6 11 C2 E9 11 00 10 F1 F2"));
    EXPECT_EQ(AidName(in.aid), "PF3");
    EXPECT_EQ(in.cursor, 1919);
    ASSERT_EQ(in.fields.size(), 3u);
    EXPECT_EQ(in.fields[0].text, "DEMO");
    EXPECT_EQ(in.fields[0].row, 2);
    EXPECT_EQ(in.fields[0].col, 10);
    EXPECT_EQ(in.fields[1].text, "");
    EXPECT_EQ(in.fields[1].address, 2 * 64 + 41);
    EXPECT_EQ(in.fields[2].address, 16);
    EXPECT_EQ(in.fields[2].text, "12");
}

TEST(SimDecoder, ShortUnformattedAndEmptyReads) {
    for (std::uint8_t a : {aid::Clear, aid::PA1, aid::PA2, aid::PA3}) {
        const Bytes one{a};
        const auto in = DecodeInbound(one);
        EXPECT_EQ(in.kind, TSimInbound::Kind::ShortRead);
        EXPECT_FALSE(in.malformed);
        EXPECT_EQ(in.cursor, -1);
    }
    const auto text = DecodeInbound(Hex("C8 C5 D3 D3 D6 40 F1"), true);
    EXPECT_EQ(text.kind, TSimInbound::Kind::Unformatted);
    EXPECT_EQ(text.text, "HELLO 1");
    EXPECT_EQ(DecodeInbound({}).kind, TSimInbound::Kind::Empty);
    const auto bare = DecodeInbound(Hex("7D 40 40"));
    EXPECT_EQ(bare.kind, TSimInbound::Kind::Aid);
    EXPECT_TRUE(bare.fields.empty());
    // An unformatted screen read in the LU-LU session: AID, cursor, characters.
    const auto screen = DecodeInbound(Hex("7D 40 C4 C3 C9 C3 E2"));
    EXPECT_EQ(screen.kind, TSimInbound::Kind::Aid);
    EXPECT_FALSE(screen.malformed) << screen.reason;
    EXPECT_EQ(screen.cursor, 4);
    EXPECT_EQ(screen.text, "CICS");
    EXPECT_TRUE(screen.fields.empty());
}

TEST(SimEncoder, QueryListRequests) {
    EXPECT_EQ(HexString(TSim3270Encoder::QueryListRecord(ql::All)), "F3 00 06 01 FF 03 80");
    const Bytes codes{qr::ImplicitPartition, qr::Color};
    EXPECT_EQ(HexString(TSim3270Encoder::QueryListRecord(ql::List, codes)), "F3 00 08 01 FF 03 00 A6 86");
}

TEST(SimDecoder, QueryReplySplitIntoItsParts) {
    const Bytes reply = Hex(
        "88"
        "00 16 81 86 00 08 00 F4 F1 F1 F2 F2 F3 F3 F4 F4 F5 F5 F6 F6 F7 F7"
        "00 0D 81 87 04 00 F0 F1 F1 F2 F2 F4 F4"
        "00 17 81 81 01 00 00 50 00 18 00 00 02 00 89 00 02 00 85 09 10 07 80"
        "00 10 81 85 00 00 09 10 00 00 00 00 03 00 00 00");
    ASSERT_EQ(reply.size(), 75u);
    const auto in = DecodeInbound(reply);
    EXPECT_EQ(in.kind, TSimInbound::Kind::QueryReply);
    EXPECT_FALSE(in.malformed) << in.reason;
    ASSERT_EQ(in.queryReplies.size(), 4u);
    EXPECT_EQ(in.queryReplies[0].code, 0x86);
    EXPECT_EQ(in.queryReplies[0].body.size(), 18u);
    ASSERT_NE(in.Query(0x81), nullptr);
    const auto& usable = in.Query(0x81)->body;
    EXPECT_EQ(usable[3], 80);   // width
    EXPECT_EQ(usable[5], 24);   // height
    EXPECT_EQ(in.Query(0x85)->body.size(), 12u);
    EXPECT_EQ(in.Query(0x99), nullptr);
}

TEST(SimDecoder, MalformedRepliesAreFlaggedAndReadNoFurther) {
    struct Case {
        const char* bytes;
        const char* reason;
    };
    const Case cases[] = {
        {"7D C1", "cursor address cut off"},
        {"7D", "AID without cursor address"},
        {"7D 40 40 11 C1", "SBA address cut off"},
        {"7D 40 40 C1 11 40 C1", "SBA after unformatted screen data"},
        {"7D 7F 7F", "cursor address outside the screen"},
        {"7D 40 40 11 3F FF C1", "field address outside the screen"},
        {"88 00 10 81 86", "structured field longer than the record"},
        {"88 00 02 81 86", "structured field length below 4"},
        {"88 00", "structured field header cut off"},
        {"88 00 05 01 FF 02", "structured field is not a query reply"},
    };
    for (const auto& c : cases) {
        const Bytes bytes = Hex(c.bytes);
        const auto in = DecodeInbound(bytes);
        EXPECT_TRUE(in.malformed) << c.bytes;
        EXPECT_EQ(in.reason, c.reason) << c.bytes;
    }
    // Characters before an SBA are still kept, as screen text.
    const auto stray = DecodeInbound(Hex("7D 40 45 C1 C2 11 40 C1 C3"));
    EXPECT_EQ(stray.text, "AB");
    ASSERT_EQ(stray.fields.size(), 1u);
    EXPECT_EQ(stray.fields[0].text, "C");
}

TEST(SimDecoder, ReadBufferImage) {
    Bytes reply = Hex("60 40 40 1D 20 C8 C9");
    reply.resize(3 + 2 + 1919, 0x00);
    const auto img = DecodeReadBuffer(reply);
    EXPECT_FALSE(img.malformed) << img.reason;
    ASSERT_EQ(img.cells.size(), 1920u);
    EXPECT_TRUE(img.cells[0].isAttr);
    EXPECT_EQ(img.cells[0].attr, fa::Protected);
    EXPECT_EQ(img.RowText(1).substr(0, 4), " HI ");
    EXPECT_EQ(img.RowText(2), std::string(80, ' '));

    EXPECT_EQ(DecodeReadBuffer(Hex("60 40 40 C1")).reason, "fewer positions than the screen holds");
    EXPECT_EQ(DecodeReadBuffer(Hex("60 40")).reason, "AID or cursor address missing");
    Bytes cut = Hex("60 40 40");
    cut.resize(3 + 1919, 0x40);
    cut.push_back(0x1D);
    EXPECT_EQ(DecodeReadBuffer(cut).reason, "field attribute cut off");
    Bytes longer(3 + 1921, 0x40);
    EXPECT_EQ(DecodeReadBuffer(longer).reason, "more positions than the screen holds");
}

TEST(SimDecoder, TnHeaderAndResponses) {
    EXPECT_FALSE(ParseTnHeader(Hex("02 00 00 00")).has_value());
    const auto h = ParseTnHeader(Hex("02 00 00 01 07 00"));
    ASSERT_TRUE(h.has_value());
    EXPECT_EQ(h->dataType, dt::Response);
    EXPECT_EQ(h->seq, 0x0107);
    const auto pos = DecodeResponse(*h, Hex("00"));
    EXPECT_TRUE(pos.positive);
    EXPECT_EQ(pos.seq, 0x0107);
    EXPECT_FALSE(pos.malformed);
    const auto neg = DecodeResponse({dt::Response, 0, rf::NegativeResponse, 9}, Hex("01"));
    EXPECT_FALSE(neg.positive);
    EXPECT_EQ(neg.code, 0x01);
    EXPECT_TRUE(DecodeResponse({dt::Response, 0, 0x05, 9}, Hex("00")).malformed);
    EXPECT_TRUE(DecodeResponse(*h, {}).malformed);
    const auto bytes = EncodeTnHeader({dt::Data3270, 0, rf::AlwaysResponse, 0x7FFF});
    EXPECT_EQ(HexString(bytes), "00 00 02 7F FF");
}

}  // namespace
}  // namespace tnsim

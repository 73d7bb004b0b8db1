// The host simulator's own 3270 code knowledge: the EBCDIC code page its
// applications write in, the six-bit code table of buffer addresses and
// field attributes, the command, order and AID codes of the data stream and
// the TN3270E header layout.
//
// The simulator is the independent peer the client is tested against, so
// none of this is shared with the client's data stream: a fault in the
// client's tables must show up as a difference on the wire, not cancel out.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tnsim {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// Screen geometry of the 3278 model 2 every simulated application paints.
inline constexpr int kRows = 24;
inline constexpr int kCols = 80;
inline constexpr int kScreenSize = kRows * kCols;
// 12-bit addresses reach 4095; 14-bit ones 16383.
inline constexpr int kMax12BitAddress = 4095;
inline constexpr int kMax14BitAddress = 16383;

// Outbound commands in their SNA form, as a host puts them on the wire.
namespace cmd {
inline constexpr std::uint8_t W = 0xF1;    // Write
inline constexpr std::uint8_t EW = 0xF5;   // Erase/Write
inline constexpr std::uint8_t EWA = 0x7E;  // Erase/Write Alternate
inline constexpr std::uint8_t EAU = 0x6F;  // Erase All Unprotected
inline constexpr std::uint8_t RB = 0xF2;   // Read Buffer
inline constexpr std::uint8_t RM = 0xF6;   // Read Modified
inline constexpr std::uint8_t RMA = 0x6E;  // Read Modified All
inline constexpr std::uint8_t WSF = 0xF3;  // Write Structured Field
}  // namespace cmd

// Write control character bits.
namespace wcc {
inline constexpr std::uint8_t ResetMdt = 0x01;
inline constexpr std::uint8_t Restore = 0x02;   // keyboard restore (unlock)
inline constexpr std::uint8_t Alarm = 0x04;
inline constexpr std::uint8_t StartPrinter = 0x08;
inline constexpr std::uint8_t Reset = 0x40;
}  // namespace wcc

// Orders inside write data.
namespace order {
inline constexpr std::uint8_t PT = 0x05;
inline constexpr std::uint8_t GE = 0x08;
inline constexpr std::uint8_t SBA = 0x11;
inline constexpr std::uint8_t EUA = 0x12;
inline constexpr std::uint8_t IC = 0x13;
inline constexpr std::uint8_t NL = 0x15;
inline constexpr std::uint8_t SF = 0x1D;
inline constexpr std::uint8_t SA = 0x28;
inline constexpr std::uint8_t SFE = 0x29;
inline constexpr std::uint8_t MF = 0x2C;
inline constexpr std::uint8_t RA = 0x3C;
}  // namespace order

// Field attribute bits before graphic conversion (the six low bits).
namespace fa {
inline constexpr std::uint8_t Unprotected = 0x00;
inline constexpr std::uint8_t Protected = 0x20;
inline constexpr std::uint8_t Numeric = 0x10;
inline constexpr std::uint8_t Skip = Protected | Numeric;  // protected + numeric: cursor skips it
inline constexpr std::uint8_t Intensified = 0x08;
inline constexpr std::uint8_t NonDisplay = 0x0C;
inline constexpr std::uint8_t Mdt = 0x01;
inline constexpr std::uint8_t Mask = 0x3F;
}  // namespace fa

// Extended attribute types (SFE, SA) and their values.
namespace xa {
inline constexpr std::uint8_t All = 0x00;         // SA: reset all character attributes
inline constexpr std::uint8_t Field = 0xC0;       // SFE: the 3270 field attribute
inline constexpr std::uint8_t Validation = 0xC1;
inline constexpr std::uint8_t Highlight = 0x41;
inline constexpr std::uint8_t Colour = 0x42;
}  // namespace xa

enum class Colour : std::uint8_t {
    Default = 0x00,
    Neutral = 0xF0,
    Blue = 0xF1,
    Red = 0xF2,
    Pink = 0xF3,
    Green = 0xF4,
    Turquoise = 0xF5,
    Yellow = 0xF6,
    White = 0xF7,
};

enum class Highlight : std::uint8_t {
    Default = 0x00,
    Normal = 0xF0,
    Blink = 0xF1,
    Reverse = 0xF2,
    Underscore = 0xF4,
    Intensify = 0xF8,
};

// Read Partition Query List request types, and the query reply codes (the
// byte after 0x81 in a query reply; the same codes name them in a list).
namespace ql {
inline constexpr std::uint8_t List = 0x00;
inline constexpr std::uint8_t EquivalentAndList = 0x40;
inline constexpr std::uint8_t All = 0x80;
}  // namespace ql
namespace qr {
inline constexpr std::uint8_t Summary = 0x80;
inline constexpr std::uint8_t UsableArea = 0x81;
inline constexpr std::uint8_t CharacterSets = 0x85;
inline constexpr std::uint8_t Color = 0x86;
inline constexpr std::uint8_t Highlighting = 0x87;
inline constexpr std::uint8_t ReplyModes = 0x88;
inline constexpr std::uint8_t ImplicitPartition = 0xA6;
inline constexpr std::uint8_t Null = 0xFF;
}  // namespace qr

// Attention identifiers the terminal sends.
namespace aid {
inline constexpr std::uint8_t None = 0x60;
inline constexpr std::uint8_t StructuredField = 0x88;
inline constexpr std::uint8_t Enter = 0x7D;
inline constexpr std::uint8_t Clear = 0x6D;
inline constexpr std::uint8_t PA1 = 0x6C;
inline constexpr std::uint8_t PA2 = 0x6E;
inline constexpr std::uint8_t PA3 = 0x6B;
inline constexpr std::uint8_t SysReq = 0xF0;
// PF1 .. PF24, index 0 = PF1.
inline constexpr std::array<std::uint8_t, 24> PF = {
    0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0x7A, 0x7B, 0x7C,
    0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0x4A, 0x4B, 0x4C};
}  // namespace aid

// "ENTER", "CLEAR", "PF1" .. "PF24", "PA1" .. "PA3", "SYSREQ", "NONE",
// "QUERY-REPLY"; "AID-XX" (hex) for a byte that is no AID.
std::string AidName(std::uint8_t aid);
// True for the AIDs whose read reply is the AID byte alone (Clear, PA1-3).
bool IsShortReadAid(std::uint8_t aid);

// TN3270E header (RFC 2355), the first 5 bytes of every record in TN3270E mode.
inline constexpr std::size_t kTnHeaderSize = 5;
namespace dt {
inline constexpr std::uint8_t Data3270 = 0x00;
inline constexpr std::uint8_t ScsData = 0x01;
inline constexpr std::uint8_t Response = 0x02;
inline constexpr std::uint8_t BindImage = 0x03;
inline constexpr std::uint8_t Unbind = 0x04;
inline constexpr std::uint8_t NvtData = 0x05;
inline constexpr std::uint8_t Request = 0x06;
inline constexpr std::uint8_t SscpLuData = 0x07;
inline constexpr std::uint8_t PrintEoj = 0x08;
}  // namespace dt
// "3270-DATA", "RESPONSE", ...; "DATA-TYPE-XX" for unknown codes.
std::string DataTypeName(std::uint8_t dataType);

// RESPONSE-FLAG values: on a request record, and on a RESPONSE record.
namespace rf {
inline constexpr std::uint8_t NoResponse = 0x00;
inline constexpr std::uint8_t ErrorResponse = 0x01;
inline constexpr std::uint8_t AlwaysResponse = 0x02;
inline constexpr std::uint8_t PositiveResponse = 0x00;
inline constexpr std::uint8_t NegativeResponse = 0x01;
}  // namespace rf
// SEQ-NUMBER wraps after this value.
inline constexpr std::uint16_t kMaxSeqNumber = 32767;

// EBCDIC (code page 037) <-> ISO 8859-1, both bijective. Applications
// write ISO 8859-1 text; the simulator puts it on the wire in EBCDIC.
std::uint8_t ToEbcdic(std::uint8_t latin1);
std::uint8_t FromEbcdic(std::uint8_t ebcdic);
Bytes ToEbcdic(std::string_view text);
std::string FromEbcdic(ByteView ebcdic);

// The six-bit code table: turns the low six bits of an address part or a
// field attribute into the EBCDIC graphic that carries them.
std::uint8_t SixBitGraphic(std::uint8_t sixBits);

// Buffer address of a 0-based screen position, 12-bit coded form (up to
// 4095) or 14-bit binary form (up to 16383). Out-of-range positions are a
// programming error of the caller and throw std::out_of_range.
std::array<std::uint8_t, 2> EncodeAddress12(int position);
std::array<std::uint8_t, 2> EncodeAddress14(int position);
// Decodes either form: the two high bits of the first byte being 00 mark
// the 14-bit form. The result is not checked against any screen size.
int DecodeAddress(std::uint8_t b1, std::uint8_t b2);

// "F5 C3 11" style rendering, for test messages and the simulator's traces.
std::string HexString(ByteView bytes);

}  // namespace tnsim

// A readable builder of outbound 3270 records, the way a host application
// writes its screens:
//
//   TSim3270Encoder e;
//   e.EraseWrite(wcc::Restore | wcc::ResetMdt)
//    .Field(1, 30, fa::Protected | fa::Intensified, "SIGN ON")
//    .Field(5, 10, fa::Unprotected, "").IC()
//    .At(24, 1).SAColour(Colour::Red).Text("ENTER USER ID");
//   Bytes record = e.Take();
//
// The builder produces only the 3270 part of a record (command, WCC, orders,
// text); the TN3270E header and telnet framing are added by the telnet
// engine (uSimTelnet). Rows and columns are 1-based (row 1..24, column
// 1..80), screen positions 0-based. Text is ISO 8859-1 and goes on the wire
// in EBCDIC 037. Arguments a host could never send (a row outside the
// screen, a control character in text) are the caller's mistake and throw
// std::out_of_range or std::invalid_argument; Raw() writes anything.
// One encoder is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string_view>

#include "sim/uSim3270Codes.h"

namespace tnsim {

class TSimCodePage;

class TSim3270Encoder {
public:
    enum class AddressMode { Bits12, Bits14 };

    explicit TSim3270Encoder(AddressMode mode = AddressMode::Bits12) : mMode(mode) {}
    // For a screen of rows x cols (the alternate size of a larger model):
    // rows and columns are checked against it and become positions with
    // its width.
    TSim3270Encoder(AddressMode mode, int rows, int cols) : mMode(mode), mRows(rows), mCols(cols) {}

    // --- commands (SNA codes); the write commands take WCC bits from wcc::,
    // sent through the six-bit code table as hosts do (Restore|ResetMdt
    // goes out as 0xC3).
    TSim3270Encoder& Write(std::uint8_t wccBits = 0);
    TSim3270Encoder& EraseWrite(std::uint8_t wccBits = 0);
    TSim3270Encoder& EraseWriteAlternate(std::uint8_t wccBits = 0);
    TSim3270Encoder& EraseAllUnprotected();
    TSim3270Encoder& ReadBuffer();
    TSim3270Encoder& ReadModified();
    TSim3270Encoder& ReadModifiedAll();
    // Write Structured Field command byte; follow it with structured fields.
    TSim3270Encoder& WriteStructuredField();
    // A write command with its WCC byte exactly as given (no conversion).
    TSim3270Encoder& Command(std::uint8_t command, std::uint8_t rawWcc);
    static std::uint8_t WccByte(std::uint8_t wccBits);

    // --- orders
    // Set Buffer Address to a 1-based row and column.
    TSim3270Encoder& SBA(int row, int col);
    // Set Buffer Address to a 0-based position (up to 4095 in 12-bit mode,
    // 16383 in 14-bit mode; beyond the screen on purpose is allowed).
    TSim3270Encoder& SBAAddress(int position);
    // Start Field; attribute bits from fa::, sent through the code table
    // (protected+intensified goes out as 0xE8).
    TSim3270Encoder& SF(std::uint8_t attrBits);
    // Start Field Extended with the field attribute and, unless Default,
    // highlighting and colour pairs.
    TSim3270Encoder& SFE(std::uint8_t attrBits, Colour colour = Colour::Default,
                         Highlight highlight = Highlight::Default);
    // Set Attribute: raw type/value, or the common forms.
    TSim3270Encoder& SA(std::uint8_t type, std::uint8_t value);
    TSim3270Encoder& SAColour(Colour colour) { return SA(xa::Colour, static_cast<std::uint8_t>(colour)); }
    TSim3270Encoder& SAHighlight(Highlight h) { return SA(xa::Highlight, static_cast<std::uint8_t>(h)); }
    TSim3270Encoder& SAReset() { return SA(xa::All, 0x00); }
    TSim3270Encoder& IC();
    TSim3270Encoder& PT();
    TSim3270Encoder& NL();
    // Repeat `c` up to (not including) the 1-based row/column.
    TSim3270Encoder& RA(int row, int col, char c);
    // Erase Unprotected to (not including) the 1-based row/column.
    TSim3270Encoder& EUA(int row, int col);
    // Graphic Escape followed by one raw byte.
    TSim3270Encoder& GE(std::uint8_t code);

    // --- text
    // ISO 8859-1 text in EBCDIC. NUL is written as a 3270 null; other
    // control characters would be taken for orders and throw.
    TSim3270Encoder& Text(std::string_view text);
    // UTF-8 text in a chosen host code page (uSimCodePage).
    TSim3270Encoder& Text(std::string_view utf8, const TSimCodePage& page);
    // SBA(row, col) then Text(text).
    TSim3270Encoder& At(int row, int col, std::string_view text = {});
    // A field: attribute at (row, col), its text from the next column on.
    TSim3270Encoder& Field(int row, int col, std::uint8_t attrBits, std::string_view text = {});
    // The same with extended colour and highlighting (SFE).
    TSim3270Encoder& FieldX(int row, int col, std::uint8_t attrBits, Colour colour,
                            Highlight highlight = Highlight::Default, std::string_view text = {});

    // --- structured fields (after WriteStructuredField())
    // Length (2 bytes, itself included), id, then `body`.
    TSim3270Encoder& StructuredField(std::uint8_t id, ByteView body);
    // Read Partition Query to partition 0xFF.
    TSim3270Encoder& ReadPartitionQuery();
    // Read Partition Query List: a request type from ql:: and the query
    // codes (qr::) it names.
    TSim3270Encoder& ReadPartitionQueryList(std::uint8_t requestType, ByteView codes = {});
    // Outbound 3270DS to partition 0: `inner` starts with a write command.
    TSim3270Encoder& Outbound3270DS(ByteView inner);

    // Anything, unchanged.
    TSim3270Encoder& Raw(ByteView bytes);

    const Bytes& Data() const { return mOut; }
    // Returns the record built so far and leaves the encoder empty.
    Bytes Take();

    // The whole record Write Structured Field + Read Partition Query.
    static Bytes QueryRecord();
    static Bytes QueryListRecord(std::uint8_t requestType, ByteView codes = {});

    static int Position(int row, int col);  // 1-based -> 0-based on 24x80, checked
    int PositionOn(int row, int col) const;  // the same on this encoder's screen

private:
    TSim3270Encoder& Address(int position);
    AddressMode mMode;
    int mRows = kRows;
    int mCols = kCols;
    Bytes mOut;
};

}  // namespace tnsim

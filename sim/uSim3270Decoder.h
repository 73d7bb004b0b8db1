// Decodes what a terminal sends to the host: the TN3270E header, AID
// records (Read Modified form, short reads, unformatted reads), Read Buffer
// replies, query replies and TN3270E responses. Used by the simulated host
// applications and by the tests that check the client's wire behaviour.
//
// Every decoder takes any bytes: a malformed reply is decoded as far as it
// goes and marked with `malformed` and a reason; nothing is read past the
// input. Pure functions, safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/uSim3270Codes.h"

namespace tnsim {

struct TSimTnHeader {
    std::uint8_t dataType = 0;
    std::uint8_t requestFlag = 0;
    std::uint8_t responseFlag = 0;
    std::uint16_t seq = 0;
};
// The header of a TN3270E record; nothing when it has fewer than 5 bytes.
std::optional<TSimTnHeader> ParseTnHeader(ByteView record);
// The 5 header bytes.
std::array<std::uint8_t, kTnHeaderSize> EncodeTnHeader(const TSimTnHeader& h);

// A TN3270E RESPONSE record (data type 0x02).
struct TSimResponse {
    bool positive = false;
    std::uint16_t seq = 0;       // SEQ-NUMBER of the record it answers
    std::uint8_t code = 0;       // first data byte: 0x00 device end (positive) or the sense (negative)
    bool malformed = false;      // no data byte, or an unknown RESPONSE-FLAG
};
TSimResponse DecodeResponse(const TSimTnHeader& header, ByteView data);

// One field of a Read Modified reply.
struct TSimField {
    int address = 0;   // 0-based position of the field's first character (the SBA address)
    int row = 0;       // 1-based, from address
    int col = 0;       // 1-based
    std::string text;  // ISO 8859-1; nulls are never sent, so none appear here
    Bytes bytes;       // the field's data bytes as sent (to read with another code page)
};

// One query reply of an inbound structured field record (AID 0x88).
struct TSimQueryReply {
    std::uint8_t code = 0;  // the byte after 0x81: 0x86 colour, 0x87 highlighting, 0x81 usable area, ...
    Bytes body;             // the bytes after the code
};

struct TSimInbound {
    enum class Kind {
        Empty,        // no bytes at all
        Aid,          // AID, cursor address, modified fields (or, from an
                      // unformatted screen, its characters in `text`)
        ShortRead,    // the AID alone (Clear, PA1-3)
        Unformatted,  // characters only, no AID (Read Modified of an unformatted screen)
        QueryReply,   // AID 0x88 and structured fields
    };
    Kind kind = Kind::Empty;
    std::uint8_t aid = 0;
    int cursor = -1;  // 0-based position, -1 when the reply carries none
    std::vector<TSimField> fields;
    std::string text;  // Unformatted, and Aid from an unformatted screen: the characters in order
    std::vector<TSimQueryReply> queryReplies;
    bool malformed = false;
    std::string reason;  // why `malformed` is set

    int cols = kCols;  // the width of the screen the record was read from
    int cursorRow() const { return cursor < 0 ? 0 : cursor / cols + 1; }
    int cursorCol() const { return cursor < 0 ? 0 : cursor % cols + 1; }
    // The reported field whose first character is at the 1-based row/column.
    const TSimField* FieldAt(int row, int col) const;
    const TSimQueryReply* Query(std::uint8_t code) const;
};

// Decodes the 3270 part of an inbound record (after any TN3270E header).
// `unformatted`: the host knows the screen held no field (for example
// text the SSCP wrote), so the bytes are characters, not an AID record; a
// host cannot tell the two forms apart by their bytes.
// rows x cols: the size of the screen the terminal read (24x80 unless the
// host wrote the alternate size of a larger model).
TSimInbound DecodeInbound(ByteView data, bool unformatted = false, int rows = kRows, int cols = kCols);

// A Read Buffer reply: AID, cursor, then one entry per screen position.
struct TSimBufferImage {
    std::uint8_t aid = 0;
    int cursor = -1;
    // Per position: the character (ISO 8859-1, null as 0) or, for a field
    // attribute position, isAttr with the six attribute bits.
    struct Cell {
        bool isAttr = false;
        std::uint8_t attr = 0;
        char ch = 0;
    };
    std::vector<Cell> cells;  // kScreenSize entries when the reply is whole
    bool malformed = false;
    std::string reason;
    // Row 1..24 as text: nulls and attribute positions as blanks.
    std::string RowText(int row) const;
};
TSimBufferImage DecodeReadBuffer(ByteView data);

}  // namespace tnsim

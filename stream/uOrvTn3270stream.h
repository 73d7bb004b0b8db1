// The 3270 data stream: decodes each received record (TN3270E header or
// plain TN3270), applies write commands and orders to the screen buffer,
// answers read commands and queries, sends responses, tracks the session
// state and the keyboard-lock status text, and puts the TN3270E header in
// front of every record it sends in extended mode.
//
// Whatever a host sends, nothing is read past the record and nothing is
// written outside the screen: an address not below Size ends the write (the
// rest of the record is dropped, the WCC's keyboard restore still applies; a
// level-1 log line), an order cut off by the end of the data is dropped.
//
// The screen has the default size 24x80 and an alternate size (the model's,
// SetScreenModel); Erase/Write selects the default, Erase/Write Alternate
// the alternate, a BIND-IMAGE may name smaller ones. Addresses are sent in
// the 14-bit form on a screen of more than 4,096 positions, else 12-bit. Protocol errors are raised as EStreamError with
// their fixed text; the input is empty afterwards in every case.
#pragma once

#include "display/uOrvTn3270display.h"
#include "stream/uOrvTnStream.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

class TOrvTn3270stream : public TOrvTnStream {
public:
    // rows x cols is both the default and the alternate size.
    TOrvTn3270stream(std::int32_t ident, std::int32_t rows, std::int32_t cols);

    // The model's sizes: a default (24x80) and an alternate size of at most
    // kMaxScreenPositions, which grow the screen and the reply buffers. The
    // screen is cleared at the alternate size. Not while a record is applied.
    void SetScreenModel(TScreenSize defaultSize, TScreenSize alternateSize);
    TScreenSize ModelDefaultSize() const { return modelDefault_; }
    TScreenSize ModelAlternateSize() const { return modelAlternate_; }

    // The screen buffer, as the 3270 class it always is here.
    TOrvTn3270display& Screen() { return *static_cast<TOrvTn3270display*>(Display.get()); }
    const TOrvTn3270display& Screen() const { return *static_cast<const TOrvTn3270display*>(Display.get()); }

    // Record dispatch. ProcessData processes the record in InBuffer and
    // empties it; ProcessRecord reads a record given whole where it lies
    // (the reader's buffer), without a copy. Raises EStreamError for a record longer than kMaxRecord,
    // an invalid TN3270E data type and a rejected structured field. An
    // extended-mode record shorter than the header (and an empty plain
    // record) is dropped with a level-1 log line and answered with nothing;
    // a 3270-DATA or SSCP-LU-DATA record with nothing after the header is
    // answered with a positive response when it asks for one, and otherwise
    // changes nothing. Without BIND-IMAGE every 3270-DATA record sets the
    // LU-LU state.
    void ProcessData() override;
    void ProcessRecord(std::span<const std::uint8_t> last) override;
    // Extended mode: sends ReplyDataType, 0, 0 and the sequence number
    // (bytes 3-4) of the last record received in front of the data.
    void HostWrite(const void* data, std::int32_t len) override;
    // Notifies ceSessionState through OnNotify when the state changes.
    void SetSessionState(TSessionState state);
    void SendPositiveResponse();
    void Process3270Data();
    void ProcessSCSData();
    void ProcessResponse();
    void ProcessBindImage();
    void ProcessUnBind();
    void ProcessNVTData();
    void ProcessRequest();
    void ProcessSSCP_LUData();

    // Write commands and orders. data/len never read past len; a position
    // outside 0 to Size - 1 ends the write (RA and EUA then answer -1). The cursor: IC places it; in an
    // Erase/Write (and a record without a command) the first unprotected
    // field does, else the last address written; a Write moves it only by IC.
    void writeOperation(const std::uint8_t* data, std::int32_t len);
    void eraseAllUnprotectedCommand();
    void writeCommand(const std::uint8_t* data, std::int32_t len);
    static std::uint8_t GetEABValue(std::uint8_t highlighting, std::uint8_t colour, std::uint8_t validation);
    std::int32_t setBufferAddress(std::uint8_t b1, std::uint8_t b2) const;
    std::int32_t startField(std::int32_t position, std::uint8_t attribute);
    void setFieldEAB(std::int32_t position, std::uint8_t value);
    void insertCursor(std::int32_t position);
    std::int32_t programTab(std::int32_t position, bool afterOrder);
    std::int32_t repeatToAddress(std::int32_t position, std::uint8_t b1, std::uint8_t b2,
                                 std::uint8_t character, std::uint8_t extAttr, bool graphicEscape = false);
    std::int32_t eraseUnprotectedToAddress(std::int32_t position, std::uint8_t b1, std::uint8_t b2);
    void eraseUnprotectedCharacter(std::int32_t start, std::int32_t last) override;
    void resetModifiedDataTab() override;

    // Read commands. The host's Read Buffer, Read Modified and Read
    // Modified All leave the status text as it was; readModifiedCommand,
    // the attention-key read, sets "SENDING" (keyboard locked until the
    // host restores it).
    // Read Modified reply: in the SSCP-LU state the characters (not nulls)
    // from where the SSCP's last output ended to the end of the screen,
    // header data type 0x07; otherwise the AID, then (not for PA and Clear)
    // the cursor address and, on a formatted screen, SBA, address and
    // characters of each modified field, on an unformatted one every
    // character.
    void readBufferCommand();
    void readModifiedCommand() override;
    // all: Read Modified All, which PA and Clear do not shorten.
    void sendReadModified(bool all);

    // Structured fields (data: the bytes after the command byte). Fields
    // are applied in order; the first bad one raises EStreamError (the
    // fixed texts, or "WSF-RP length exceeds record" / "WSF-OBDS length
    // exceeds record" when its length runs past the data) and what earlier
    // fields did stays.
    // Read Partition Query and Query List (list, equivalent+list, all) are
    // answered with query replies: Summary first, then Color,
    // Highlighting, Usable Area, Implicit Partition and Character Sets
    // (Query and "all": every one; a list: those it names), or the Null
    // reply alone when a list names none of them.
    void writeStructuredField(const std::uint8_t* data, std::int32_t len);
    void sendQueryReplies(std::span<const std::uint8_t> codes, bool all);

    // The most bytes a reply can have on the alternate size: a formatted
    // Read Modified of a screen of empty modified fields, 3 + 3 x Size
    // bytes. Each reply is built in a buffer of this room (and the TN3270E
    // header) made when it is sent and freed after it, so that an idle
    // session holds none. An Outbound 3270DS write is applied from the
    // record itself, so it never needs a reply buffer whatever its length.
    std::size_t ReplyCapacity() const;
    bool TN3270EMode = false;
    bool CursorSet = false;
    std::uint8_t ReplyDataType = 0x00;
    TSessionState SessionState = TSessionState::ssNone;
    bool FormattedMode = false;
    // The TN3270E BIND-IMAGE function was agreed (set by the owner after
    // the negotiation). Without it a 3270-DATA record puts the session in
    // the LU-LU state, as no BIND will.
    bool BindImageAgreed = false;

    // Local (channel) form of a 3270 command given in its SNA form; any
    // other byte is returned unchanged.
    static std::uint8_t LocalCommand(std::uint8_t command);

private:
    // Processes record_ and empties the input, whatever happens.
    void processRecord();
    void dispatchRecord();
    // Sends a reply built with its header room (class Reply).
    void sendReply(std::vector<std::uint8_t>& block, std::int32_t count);
    // BIND-IMAGE screen sizes (bind: the RU); bound: the session was LU-LU.
    void applyBindSizes(std::span<const std::uint8_t> bind, bool bound);
    // A write command (local form) with the bytes after it (WCC first).
    void applyWrite(std::uint8_t command, const std::uint8_t* rest, std::int32_t restLen);
    // Status text on both the stream and the screen buffer.
    void setStatusText(const std::string& text);
    // Writes one host character (graphicEscape: a GE code, shown by its
    // stand-in and remembered in GeCodes) and advances the address.
    void putChar(std::int32_t& address, std::uint8_t ebcdic, std::uint8_t extAttr, bool graphicEscape = false);
    // count characters (no order among them) from address on, wrapping.
    // Colour and highlighting of the field the position is in (SA reset).
    std::uint8_t fieldCharAttrs(std::int32_t position) const;
    void writeRun(std::int32_t& address, const std::uint8_t* ebcdic, std::int32_t count, std::uint8_t extAttr);

    // The record being processed: InBuffer's bytes, or a record given whole.
    std::span<const std::uint8_t> record_;
    // Bytes 3-4 of the last record received (its TN3270E sequence number):
    // the replies sent between records carry it.
    std::array<std::uint8_t, 2> sequence_{};
    // True inside writeCommand: fields are started with deferred propagation.
    bool deferFields_ = false;
    // False inside a Write (not Erase/Write): without IC the cursor stays.
    bool cursorFollowsWrite_ = true;
    // Where the SSCP's last output ended: SSCP-LU input starts there.
    std::int32_t sscpInputStart_ = 0;
    TScreenSize modelDefault_;
    TScreenSize modelAlternate_;
};

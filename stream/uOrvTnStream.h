// The abstract data stream: collects the bytes of one received record,
// translates characters between the local set and EBCDIC, and hands the
// bytes for the host to its owner through OnWriteData.
//
// Calling order: the owner sets OnWriteData and OnNotify, then for each
// record calls AddBuffer one or more times and ProcessData once.
// Thread: the stream has no lock and no thread; its owner serialises record
// processing with the application's calls (keys, SetTableName, state).
// Callbacks (OnWriteData, OnNotify, the screen buffer's OnStatusChange) are
// called synchronously from inside these operations.
#pragma once

#include "display/uOrvTndisplay.h"
#include "stream/uOrvTnConsts.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

// Protocol errors of the data stream; the message is the fixed text.
class EStreamError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TOrvTnStream : public TObject {
public:
    // The input buffer exists only while a record is collected in pieces:
    // the first AddBuffer of a record allocates kInitialInput bytes (more
    // for a longer piece), it grows up to kMaxRecord for a long record, and
    // ProcessData releases it, so that an idle session holds none. The
    // bytes of a longer record are dropped, never written past the buffer,
    // and ProcessData reports the record with an EStreamError naming its
    // length. A record that arrives whole is never copied (ProcessRecord).
    static constexpr std::int32_t kInitialInput = 8192;
    static constexpr std::int32_t kMaxRecord = 65536;

    TOrvTnStream(std::int32_t ident, std::int32_t rows, std::int32_t cols);
    ~TOrvTnStream() override;
    TOrvTnStream(const TOrvTnStream&) = delete;
    TOrvTnStream& operator=(const TOrvTnStream&) = delete;

    // Takes ownership of the screen buffer (the previous one is freed).
    void SetDisplay(std::unique_ptr<TOrvTndisplay> display);

    virtual void eraseUnprotectedCharacter(std::int32_t start, std::int32_t last) = 0;
    // Dumps the bytes at level 6 and hands them to OnWriteData (nothing when
    // it is unset). data must stay valid for the call only. The bytes marked
    // in SendSecret are dumped masked; SendSecret is emptied before OnWriteData.
    virtual void HostWrite(const void* data, std::int32_t len);
    // Appends len bytes of the record being received (len <= 0: nothing).
    virtual void AddBuffer(const void* data, std::int32_t len);
    // Base: empties the input (InCount := 0) and releases its buffer.
    virtual void ProcessData();
    // The record ends with `last` (the bytes before it, if any, came
    // through AddBuffer): processes it as ProcessData does and empties the
    // input. last is valid only during the call. Base: AddBuffer(last),
    // then ProcessData; a stream that can read a record where it lies
    // processes a record given whole (nothing added before) without a copy.
    virtual void ProcessRecord(std::span<const std::uint8_t> last);
    virtual void readModifiedCommand() = 0;
    virtual void resetModifiedDataTab() = 0;

    std::uint8_t Asc2Ebc(std::uint8_t c) const { return AscToEbc[c]; }
    std::uint8_t Ebc2Asc(std::uint8_t c) const { return EbcToAsc[c]; }
    // True when the local character can be typed and sent: not a control,
    // and the code page carries it to the host as a graphic (EBCDIC 0x40
    // and up, never an order code) and back unchanged.
    bool CanCarry(std::uint8_t c) const
    {
        return c >= 0x20 && AscToEbc[c] >= 0x40 && EbcToAsc[AscToEbc[c]] == c;
    }
    // Stores the name and reloads both tables. "cp" followed by digits
    // ("cp037", "cp1141") names a built-in code page (uCodePages); an
    // unknown one is logged at level 1 and throws ECodePageError, and the
    // tables and TableName stay as they were. Any other name is a table
    // file: the built-in defaults when the name is empty or names no file;
    // otherwise the file's sections "Ascii-To-Ebcdic" and "Ebcdic-To-Ascii",
    // where a code the file does not give as exactly two hexadecimal digits
    // maps to itself, and a host code that would become 0x00 or 0x01 (the
    // screen's null and field marker) becomes a blank. A name without '/'
    // is looked up in gModulePath. The constructor takes gAETableFile and
    // falls back to the defaults when it is an unknown code page.
    void SetTableName(const std::string& name);
    const std::string& GetStatus() const { return Status; }

    // Bytes dropped from the current record because it passed kMaxRecord.
    std::int64_t OverflowBytes() const { return overflow_; }

    // Owned; a TOrvTn3270stream always holds a TOrvTn3270display here.
    std::unique_ptr<TOrvTndisplay> Display;
    std::uint8_t Aid = 0;
    std::int32_t Ident = 0;
    TWriteDataEvent OnWriteData;
    std::array<std::uint8_t, 256> EbcToAsc{};
    std::array<std::uint8_t, 256> AscToEbc{};
    std::string TableName;
    TTNNotifyEvent OnNotify;
    std::vector<std::uint8_t> InBuffer;  // size() is the capacity in use; empty between records
    std::int32_t InCount = 0;
    std::string Status;

protected:
    std::int64_t overflow_ = 0;
    // Non-zero for each byte of the record handed to the next HostWrite that
    // is a non-display field's content (a password): the dump masks it.
    // Shorter than the record: the bytes beyond its end are not secret.
    std::vector<std::uint8_t> SendSecret;
};

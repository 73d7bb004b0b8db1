// The abstract data stream: collects the bytes of one received record,
// translates characters between the local set and EBCDIC, and hands the
// bytes for the host to its owner through OnWriteData.
//
// Calling order: the owner sets OnWriteData and OnNotify, then for each
// record calls AddBuffer one or more times and ProcessData once.
// The stream has no lock; its owner serialises record processing with the
// application's calls.
#pragma once

#include "display/uOrvTndisplay.h"
#include "stream/uOrvTnConsts.h"

#include <array>
#include <cstdint>
#include <memory>
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
    // The input buffer starts at kInitialInput bytes and grows up to
    // kMaxRecord; the bytes of a longer record are dropped and the record
    // is reported by ProcessData.
    static constexpr std::int32_t kInitialInput = 8192;
    static constexpr std::int32_t kMaxRecord = 65536;

    TOrvTnStream(std::int32_t ident, std::int32_t rows, std::int32_t cols);
    ~TOrvTnStream() override;
    TOrvTnStream(const TOrvTnStream&) = delete;
    TOrvTnStream& operator=(const TOrvTnStream&) = delete;

    // Takes ownership of the screen buffer (the previous one is freed).
    void SetDisplay(std::unique_ptr<TOrvTndisplay> display);

    virtual void eraseUnprotectedCharacter(std::int32_t start, std::int32_t last) = 0;
    virtual void HostWrite(const void* data, std::int32_t len);
    virtual void AddBuffer(const void* data, std::int32_t len);
    virtual void ProcessData();
    virtual void readModifiedCommand() = 0;
    virtual void resetModifiedDataTab() = 0;

    std::uint8_t Asc2Ebc(std::uint8_t c) const { return AscToEbc[c]; }
    std::uint8_t Ebc2Asc(std::uint8_t c) const { return EbcToAsc[c]; }
    // Stores the name and reloads both tables (defaults when empty or missing).
    void SetTableName(const std::string& name);
    const std::string& GetStatus() const { return Status; }

    // Bytes dropped from the current record because it passed kMaxRecord.
    std::int64_t OverflowBytes() const { return overflow_; }

    std::unique_ptr<TOrvTndisplay> Display;
    std::uint8_t Aid = 0;
    std::int32_t Ident = 0;
    TWriteDataEvent OnWriteData;
    std::array<std::uint8_t, 256> EbcToAsc{};
    std::array<std::uint8_t, 256> AscToEbc{};
    std::string TableName;
    TTNNotifyEvent OnNotify;
    std::vector<std::uint8_t> InBuffer;  // size() is the capacity in use
    std::int32_t InCount = 0;
    std::string Status;

protected:
    std::int64_t overflow_ = 0;
};

// The 3270 data stream: TN3270E record dispatch (RFC 2355), write commands
// and orders, read replies and structured fields (3270 Data Stream
// Programmer's Reference: write operations, orders, inbound data, Read
// Partition Query and Outbound 3270DS).
//
// Whatever the host sends, nothing is read past the record and nothing is
// written outside the screen's positions: every decoded buffer address is
// checked against Size before use, and every walk over the screen is
// bounded by Size steps.
#include "stream/uOrvTn3270stream.h"

#include "stream/uGraphicEscape.h"

#include "log/uOrvIntfLogg.h"
#include "stream/uOrvTn3270Consts.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

constexpr std::int32_t kHeaderLen = 5;  // TN3270E header

// TN3270E data types (RFC 2355, 8.1).
enum : std::uint8_t {
    kDt3270Data = 0x00,
    kDtScsData = 0x01,
    kDtResponse = 0x02,
    kDtBindImage = 0x03,
    kDtUnbind = 0x04,
    kDtNvtData = 0x05,
    kDtRequest = 0x06,
    kDtSscpLuData = 0x07,
};
constexpr std::uint8_t kAlwaysResponse = 0x02;

// Local forms of the commands.
enum : std::uint8_t {
    kCmdWrite = 0x01,
    kCmdReadBuffer = 0x02,
    kCmdNoOp = 0x03,
    kCmdEraseWrite = 0x05,
    kCmdReadModified = 0x06,
    kCmdReadModifiedAll = 0x0E,
    kCmdEraseWriteAlt = 0x0D,
    kCmdEraseAllUnprotected = 0x0F,
    kCmdWsf = 0x11,
};

// Orders.
enum : std::uint8_t {
    kOrderPT = 0x05,
    kOrderGE = 0x08,
    kOrderSBA = 0x11,
    kOrderEUA = 0x12,
    kOrderIC = 0x13,
    kOrderNL = 0x15,
    kOrderSF = 0x1D,
    kOrderSA = 0x28,
    kOrderSFE = 0x29,
    kOrderMF = 0x2C,
    kOrderRA = 0x3C,
};

// Character attribute types of SA and SFE, and the field attribute type of SFE.
enum : std::uint8_t {
    kTypeHighlighting = 0x41,
    kTypeColour = 0x42,
    kTypeField = 0xC0,
    kTypeValidation = 0xC1,
};

// WCC bits.
constexpr std::uint8_t kWccResetMdt = 0x01;
constexpr std::uint8_t kWccRestore = 0x02;

constexpr std::uint8_t kFaProtected = 0x20;
// SA type 0x00: back to the attributes of the field the characters are in.
constexpr std::uint8_t kTypeReset = 0x00;
// The character attributes of an extended attribute byte: highlighting and colour.
constexpr std::uint8_t kCharAttrBits = 0x80 | 0x40 | 0x38 | 0x04;
constexpr std::uint8_t kSfeDefaultFa = 0x08;

constexpr std::array<bool, 256> MakeOrderTable()
{
    std::array<bool, 256> t{};
    for (auto o : {kOrderPT, kOrderGE, kOrderSBA, kOrderEUA, kOrderIC, kOrderNL, kOrderSF, kOrderSA,
                   kOrderSFE, kOrderMF, kOrderRA})
        t[o] = true;
    return t;
}
constexpr std::array<bool, 256> kIsOrder = MakeOrderTable();

// Every order code is below 0x40, and text rarely is: a run of characters
// is skipped eight bytes at a time while no byte of the word is below 0x40.
constexpr std::uint8_t kOrdersBelow = 0x40;
static_assert(kOrderPT < kOrdersBelow && kOrderRA < kOrdersBelow && kOrderMF < kOrdersBelow);

inline bool HasByteBelowOrders(const std::uint8_t* p)
{
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return ((w - kOnes * kOrdersBelow) & ~w & (kOnes * 0x80)) != 0;
}

const std::string kStatusSystem = "SYSTEM";
const std::string kStatusSending = "SENDING";

inline std::size_t At(std::int32_t position) { return static_cast<std::size_t>(position); }

void LogOrder(const char* order, std::int32_t value, std::int32_t size)
{
    if (!LogEnabled(TLogLevel::llError))
        return;
    char text[112];
    std::snprintf(text, sizeof text, "%s address %d is outside the screen of %d positions, rest of the write dropped",
                  order, static_cast<int>(value), static_cast<int>(size));
    MsgLog(TLogLevel::llError, text);
}

void LogCutOrder(std::uint8_t order)
{
    if (!LogEnabled(TLogLevel::llError))
        return;
    char text[96];
    std::snprintf(text, sizeof text, "Order 0x%02X cut off by the end of the record, dropped", order);
    MsgLog(TLogLevel::llError, text);
}

// Builds one reply in a buffer of its own, made for it and freed with it:
// kHeaderLen bytes of room for the TN3270E header, then at most capacity
// bytes of reply, allocated once. The capacity is the worst reply's
// (ReplyCapacity), so the check never fires; it is there so that no screen
// content, however inconsistent, can make a reply grow past it. secret
// collects the marks of the bytes that are non-display field contents, for
// the dump of the record (emptied here: one reply, one set).
class Reply {
public:
    // wide: addresses in the 14-bit form (a screen of more positions than
    // the 12-bit form carries), else in the 12-bit coded form.
    Reply(std::size_t capacity, std::vector<std::uint8_t>& secret, bool wide = false)
        : capacity_(capacity), secret_(secret), wide_(wide)
    {
        secret_.clear();
        buf_.reserve(kHeaderLen + capacity);
        buf_.resize(kHeaderLen);
    }
    void Put(std::uint8_t b, bool secret = false)
    {
        const auto n = static_cast<std::size_t>(Count());
        assert(n < capacity_);
        if (n >= capacity_)
            return;
        buf_.push_back(b);
        if (secret) {
            if (secret_.size() < n + 1)
                secret_.resize(n + 1, 0);
            secret_[n] = 1;
        }
    }
    void PutAddress(std::int32_t position)
    {
        std::uint8_t a[2];
        if (wide_)
            EncodeBufferAddress14(position, a);
        else
            EncodeBufferAddress(position, a);
        Put(a[0]);
        Put(a[1]);
    }
    // The header room and the reply.
    std::vector<std::uint8_t>& Block() { return buf_; }
    std::int32_t Count() const { return static_cast<std::int32_t>(buf_.size()) - kHeaderLen; }

private:
    std::vector<std::uint8_t> buf_;
    const std::size_t capacity_;
    std::vector<std::uint8_t>& secret_;
    const bool wide_;
};

// The address form the terminal sends on a screen of size positions.
bool WideAddresses(std::int32_t size)
{
    return size > kMax12BitPositions;
}

// A position in a non-display field (field attribute display bits 11): what
// the operator typed there (a password) must not reach a log.
bool InNonDisplayField(const TOrvTn3270display& d, std::int32_t p)
{
    return (d.getFA(p) & 0x0C) == 0x0C;
}

// The bytes a read reply carries for a character position: 0x08 and the
// code for a graphic escape (as the host wrote it), else the character in
// the host code page.
void PutScreenChar(Reply& r, const TOrvTndisplay& d, const std::array<std::uint8_t, 256>& ascToEbc, std::int32_t p,
                   bool secret)
{
    const std::uint8_t ge = d.GeCodes[At(p)];
    if (ge != 0) {
        r.Put(0x08, secret);  // GE
        r.Put(ge, secret);
    } else {
        r.Put(ascToEbc[d.Chars[At(p)]], secret);
    }
}

// Read Partition (3270 Data Stream Programmer's Reference, Read Partition
// and Query Reply structured fields).
constexpr std::uint8_t kRpQuery = 0x02;
constexpr std::uint8_t kRpQueryList = 0x03;
// Request types of Query List.
constexpr std::uint8_t kQlList = 0x00;
constexpr std::uint8_t kQlEquivalent = 0x40;
constexpr std::uint8_t kQlAll = 0x80;

// Query reply codes (the byte after 0x81).
enum : std::uint8_t {
    kQrSummary = 0x80,
    kQrUsableArea = 0x81,
    kQrCharacterSets = 0x85,
    kQrColor = 0x86,
    kQrHighlighting = 0x87,
    kQrImplicitPartition = 0xA6,
    kQrNull = 0xFF,
};
// The replies this terminal sends, in the order they go out; the Summary
// reply lists them in ascending order.
constexpr std::array<std::uint8_t, 6> kQueryReplyOrder = {kQrSummary, kQrColor, kQrHighlighting, kQrUsableArea,
                                                          kQrImplicitPartition, kQrCharacterSets};
constexpr std::array<std::uint8_t, 6> kSupportedQueryCodes = {kQrSummary, kQrUsableArea, kQrCharacterSets,
                                                              kQrColor, kQrHighlighting, kQrImplicitPartition};
constexpr std::size_t kSummaryLen = 4 + kSupportedQueryCodes.size();
constexpr std::size_t kColorLen = 22, kHighlightingLen = 13, kUsableAreaLen = 23, kImplicitPartitionLen = 17,
                      kCharacterSetsLen = 16;
// The whole set with its AID: the longest query answer.
constexpr std::size_t kQueryReplyLen =
    1 + kSummaryLen + kColorLen + kHighlightingLen + kUsableAreaLen + kImplicitPartitionLen + kCharacterSetsLen;

} // namespace

TOrvTn3270stream::TOrvTn3270stream(std::int32_t ident, std::int32_t rows, std::int32_t cols)
    : TOrvTnStream(ident, rows, cols)
{
    TN3270EMode = false;
    SetDisplay(std::make_unique<TOrvTn3270display>(ident, rows, cols));
    modelDefault_ = Screen().DefaultSize();
    modelAlternate_ = Screen().AlternateSize();
    SessionState = TSessionState::ssNone;
}

std::size_t TOrvTn3270stream::ReplyCapacity() const
{
    const auto size = static_cast<std::size_t>(Screen().AlternateSize().Positions());
    // The worst reply is a formatted Read Modified of a screen made of empty
    // modified fields: AID, cursor, then SBA and an address per field.
    return std::max({3 + 3 * size, 2 * size + 21, kQueryReplyLen});
}

void TOrvTn3270stream::SetScreenModel(TScreenSize defaultSize, TScreenSize alternateSize)
{
    auto& d = Screen();
    d.SetScreenSizes(defaultSize, alternateSize);
    modelDefault_ = d.DefaultSize();
    modelAlternate_ = d.AlternateSize();
    // A new session starts at the alternate size, as a terminal shows it
    // before the host's first erase.
    d.SelectSize(modelAlternate_);
    d.clear();
}

std::uint8_t TOrvTn3270stream::LocalCommand(std::uint8_t command)
{
    switch (command) {
    case 0xF1: return kCmdWrite;               // W
    case 0xF5: return kCmdEraseWrite;          // EW
    case 0x7E: return kCmdEraseWriteAlt;       // EWA
    case 0x6F: return kCmdEraseAllUnprotected; // EAU
    case 0xF2: return kCmdReadBuffer;          // RB
    case 0xF6: return kCmdReadModified;        // RM
    case 0x6E: return kCmdReadModifiedAll;     // RMA
    case 0xF3: return kCmdWsf;                 // WSF
    default: return command;
    }
}

// ---------------------------------------------------------------------------
// Record dispatch

void TOrvTn3270stream::ProcessData()
{
    record_ = std::span<const std::uint8_t>(InBuffer.data(), At(InCount));
    processRecord();
}

void TOrvTn3270stream::ProcessRecord(std::span<const std::uint8_t> last)
{
    // Pieces collected before, or a record too long to read whole: the
    // buffer's way, which also reports the length of one over the limit.
    if (InCount > 0 || overflow_ > 0 || last.size() > static_cast<std::size_t>(kMaxRecord)) {
        TOrvTnStream::ProcessRecord(last);
        return;
    }
    record_ = last;
    processRecord();
}

void TOrvTn3270stream::processRecord()
{
    CursorSet = false;
    // The sequence number replies carry until the next record (the bytes a
    // shorter record lacks stay those of the one before).
    for (std::size_t i = 0; i < sequence_.size(); ++i)
        if (record_.size() > 3 + i)
            sequence_[i] = record_[3 + i];
    try {
        dispatchRecord();
    } catch (...) {
        // The next record must start in an empty buffer whatever happened.
        record_ = {};
        TOrvTnStream::ProcessData();
        throw;
    }
    record_ = {};
    TOrvTnStream::ProcessData();
}

void TOrvTn3270stream::dispatchRecord()
{
    const auto count = static_cast<std::int32_t>(record_.size());
    if (overflow_ > 0) {
        char text[96];
        std::snprintf(text, sizeof text, "Record of %lld bytes exceeds the limit of %d bytes, dropped",
                      static_cast<long long>(count + overflow_), static_cast<int>(kMaxRecord));
        MsgLog(TLogLevel::llError, text);
        throw EStreamError(text);
    }
    if (!TN3270EMode) {
        if (count == 0) {
            MsgLog(TLogLevel::llError, "Empty record dropped");
            return;
        }
        SetSessionState(TSessionState::ssLuLu);
        Process3270Data();
        return;
    }
    // The header bytes a shorter record lacks are not defined: answering it
    // would mean inventing a sequence number.
    if (count < kHeaderLen) {
        if (LogEnabled(TLogLevel::llError)) {
            char text[80];
            std::snprintf(text, sizeof text, "TN3270E record of %d bytes shorter than its header, dropped",
                          static_cast<int>(count));
            MsgLog(TLogLevel::llError, text);
        }
        return;
    }
    const std::uint8_t dataType = record_[0];
    // Without BIND-IMAGE no BIND ever tells that the LU-LU session runs:
    // the host's 3270 data is what does (the read reply's form depends on it).
    if (dataType == kDt3270Data && !BindImageAgreed)
        SetSessionState(TSessionState::ssLuLu);
    if ((dataType == kDt3270Data || dataType == kDtSscpLuData) && count == kHeaderLen) {
        // Nothing to apply, but a host that asked for a response waits for it.
        if (record_[2] == kAlwaysResponse) {
            SendPositiveResponse();
            ReplyDataType = dataType;
        }
        MsgLog(TLogLevel::llEvent, "TN3270E record without 3270 data");
        return;
    }
    switch (dataType) {
    case kDt3270Data: Process3270Data(); break;
    case kDtScsData: ProcessSCSData(); break;
    case kDtResponse: ProcessResponse(); break;
    case kDtBindImage: ProcessBindImage(); break;
    case kDtUnbind:
        ProcessUnBind();
        // The host ended the LU-LU session and the screen is now empty:
        // publish it, or the application would go on seeing the old one.
        Screen().update();
        break;
    case kDtNvtData: ProcessNVTData(); break;
    case kDtRequest: ProcessRequest(); break;
    case kDtSscpLuData: ProcessSSCP_LUData(); break;
    default: throw EStreamError("Invalid data-type in TN3270E Header");
    }
}

void TOrvTn3270stream::Process3270Data()
{
    MsgLog(TLogLevel::llEvent, "Processing 3270 Data");
    FormattedMode = true;
    const auto count = static_cast<std::int32_t>(record_.size());
    if (LogEnabled(TLogLevel::llDump)) {
        char title[64];
        std::snprintf(title, sizeof title, "DATA STREAM RECEIVED (EBCDIC): %d BYTES", static_cast<int>(count));
        SnaDump(TLogLevel::llDump, title, record_.data(), record_.size());
    }
    std::int32_t start = 0;
    if (TN3270EMode) {
        if (count < kHeaderLen)
            return;
        if (record_[2] == kAlwaysResponse)
            SendPositiveResponse();
        ReplyDataType = record_[0];
        start = kHeaderLen;
    }
    if (count <= start)
        return;

    // The record is read where it lies (it may be the reader's buffer) and
    // never changed: the command's local form is kept apart.
    const std::uint8_t* data = record_.data() + start;
    const std::int32_t len = count - start;
    const std::uint8_t command = LocalCommand(data[0]);
    try {
        switch (command) {
        case kCmdWrite:
        case kCmdEraseWrite:
        case kCmdEraseWriteAlt:
        case kCmdEraseAllUnprotected:
            setStatusText(kStatusSystem);
            applyWrite(command, data + 1, len - 1);
            break;
        // The host's reads leave the keyboard as it was: the host, not the
        // terminal, asked for the data, and no write follows to restore it.
        case kCmdReadBuffer:
            readBufferCommand();
            break;
        case kCmdReadModified:
            sendReadModified(false);
            break;
        case kCmdReadModifiedAll:
            sendReadModified(true);
            break;
        case kCmdWsf:
            writeStructuredField(data + 1, len - 1);
            break;
        case kCmdNoOp:
            break;
        default:
            // No command: the whole record is data for the screen (SSCP text).
            setStatusText(kStatusSystem);
            FormattedMode = false;
            writeCommand(data, len);
            break;
        }
    } catch (...) {
        // Structured fields before the failing one may have changed the
        // screen; it must still be published.
        Display->update();
        throw;
    }
    Display->update();
}

void TOrvTn3270stream::ProcessSCSData() { MsgLog(TLogLevel::llEvent, "Processing SCS Data"); }
void TOrvTn3270stream::ProcessResponse() { MsgLog(TLogLevel::llEvent, "Processing Response"); }
void TOrvTn3270stream::ProcessNVTData() { MsgLog(TLogLevel::llEvent, "Processing NVT Data"); }
void TOrvTn3270stream::ProcessRequest() { MsgLog(TLogLevel::llEvent, "Processing Request"); }

void TOrvTn3270stream::ProcessBindImage()
{
    MsgLog(TLogLevel::llEvent, "Processing Bind Image");
    const bool bound = SessionState == TSessionState::ssLuLu;
    applyBindSizes(record_.size() > static_cast<std::size_t>(kHeaderLen) ? record_.subspan(kHeaderLen)
                                                                          : std::span<const std::uint8_t>(),
                   bound);
    SetSessionState(TSessionState::ssLuLu);
    Display->SetCursorPosition(0);
}

void TOrvTn3270stream::applyBindSizes(std::span<const std::uint8_t> bind, bool bound)
{
    // BIND RU, LU type 2 presentation space (SNA formats, BIND): bytes 20
    // and 21 the default rows and columns, 22 and 23 the alternate ones,
    // byte 24 how they are to be used.
    constexpr std::size_t kUsage = 24, kDefaultRows = 20;
    TScreenSize def = modelDefault_, alt = modelAlternate_;
    if (bind.size() > kUsage) {
        const TScreenSize named{bind[kDefaultRows], bind[kDefaultRows + 1]};
        const TScreenSize namedAlt{bind[kDefaultRows + 2], bind[kDefaultRows + 3]};
        switch (bind[kUsage]) {
        case 0x00: case 0x02: def = alt = kDefaultScreenSize; break;  // 24x80 only
        case 0x7E: def = alt = named; break;
        case 0x7F: def = named; alt = namedAlt; break;
        default: break;  // 0x03 and the codes a display does not know (0x01 too): the model's
        }
        // Sizes the model cannot show are ignored whole, as a terminal does.
        if (def.Rows <= 0 || def.Cols <= 0 || !def.FitsIn(alt) || !alt.FitsIn(modelAlternate_)) {
            def = modelDefault_;
            alt = modelAlternate_;
        }
    }
    auto& d = Screen();
    d.SetScreenSizes(def, alt);
    // A BIND in a bound session erases to the default size; the first one
    // leaves the alternate size in use, as before the first erase.
    d.SelectSize(bound ? d.DefaultSize() : d.AlternateSize());
    if (LogEnabled(TLogLevel::llConnect)) {
        char text[96];
        std::snprintf(text, sizeof text, "BIND screen sizes %dx%d and %dx%d, %dx%d in use", d.DefaultSize().Rows,
                      d.DefaultSize().Cols, d.AlternateSize().Rows, d.AlternateSize().Cols, d.Rows, d.Cols);
        MsgLog(TLogLevel::llConnect, text);
    }
}

void TOrvTn3270stream::ProcessUnBind()
{
    MsgLog(TLogLevel::llEvent, "Processing UnBind Image");
    // Back to the model's sizes, at the alternate size.
    Screen().SetScreenSizes(modelDefault_, modelAlternate_);
    Screen().SelectSize(modelAlternate_);
    Display->clear();
    Display->SetCursorPosition(0);
    sscpInputStart_ = 0;
    SetSessionState(TSessionState::ssSscpLu);
}

void TOrvTn3270stream::ProcessSSCP_LUData()
{
    MsgLog(TLogLevel::llEvent, "Processing SSCP LU Data");
    SetSessionState(TSessionState::ssSscpLu);
    ReplyDataType = record_[0];
    Process3270Data();
    Display->update();
}

void TOrvTn3270stream::SendPositiveResponse()
{
    ReplyDataType = kDtResponse;
    SendSecret.clear();
    const std::uint8_t positive = 0x00;
    HostWrite(&positive, 1);
}

void TOrvTn3270stream::HostWrite(const void* data, std::int32_t len)
{
    if (!TN3270EMode) {
        TOrvTnStream::HostWrite(data, len);
        return;
    }
    len = std::max(len, 0);
    // A block of its own for every send (sends are per key or per record,
    // never per byte): nothing is held between them, and a handler reached
    // from OnWriteData that sends again cannot overwrite this one.
    std::vector<std::uint8_t> block(static_cast<std::size_t>(len) + kHeaderLen);
    if (len > 0)
        std::memcpy(block.data() + kHeaderLen, data, static_cast<std::size_t>(len));
    sendReply(block, len);
}

void TOrvTn3270stream::sendReply(std::vector<std::uint8_t>& block, std::int32_t count)
{
    if (!TN3270EMode) {
        TOrvTnStream::HostWrite(block.data() + kHeaderLen, count);
        return;
    }
    block[0] = ReplyDataType;
    block[1] = 0x00;
    block[2] = 0x00;
    block[3] = sequence_[0];
    block[4] = sequence_[1];
    if (!SendSecret.empty())
        SendSecret.insert(SendSecret.begin(), kHeaderLen, 0);  // the marks follow the record behind the header
    TOrvTnStream::HostWrite(block.data(), count + kHeaderLen);
}

void TOrvTn3270stream::SetSessionState(TSessionState state)
{
    if (state == SessionState)
        return;
    SessionState = state;
    if (OnNotify)
        OnNotify(TCallBackEvent::ceSessionState);
}

void TOrvTn3270stream::setStatusText(const std::string& text)
{
    Display->SetStatus(text);
    Status = text;
}

// ---------------------------------------------------------------------------
// Write commands and orders

void TOrvTn3270stream::writeOperation(const std::uint8_t* data, std::int32_t len)
{
    if (data == nullptr || len <= 0)
        return;
    applyWrite(data[0], data + 1, len - 1);
}

void TOrvTn3270stream::applyWrite(std::uint8_t command, const std::uint8_t* rest, std::int32_t restLen)
{
    if (command == kCmdEraseAllUnprotected) {
        eraseAllUnprotectedCommand();
        return;
    }
    // A write without its WCC still erases for Erase/Write; it writes nothing.
    const std::uint8_t wcc = restLen > 0 ? rest[0] : 0;
    const bool erase = command == kCmdEraseWrite || command == kCmdEraseWriteAlt;
    // Erasing resets every attribute byte anyway; walking the old fields first would change nothing.
    if ((wcc & kWccResetMdt) && !erase)
        resetModifiedDataTab();
    if (erase) {
        auto& d = Screen();
        d.SelectSize(command == kCmdEraseWriteAlt ? d.AlternateSize() : d.DefaultSize());
        Display->clear();
        Display->SetCursorPosition(0);
    }
    // A Write without IC leaves the operator's cursor where it was (a host
    // that updates its message line must not move it); Erase/Write places it.
    cursorFollowsWrite_ = erase;
    try {
        writeCommand(restLen > 1 ? rest + 1 : rest, std::max(restLen - 1, 0));
    } catch (...) {
        cursorFollowsWrite_ = true;
        throw;
    }
    cursorFollowsWrite_ = true;
    if (wcc & kWccRestore) {
        Aid = AID_NONE;
        Status.clear();
    }
}

void TOrvTn3270stream::eraseAllUnprotectedCommand()
{
    auto& d = Screen();
    if (d.Size > 0)
        eraseUnprotectedCharacter(0, d.Size - 1);
    resetModifiedDataTab();
    Aid = AID_NONE;
    const std::int32_t p = d.findNextUnprotectedAfterFA(0);
    d.SetCursorPosition(p == -1 ? 0 : p);
    Status.clear();
}

void TOrvTn3270stream::putChar(std::int32_t& address, std::uint8_t ebcdic, std::uint8_t extAttr, bool graphicEscape)
{
    auto& d = Screen();
    const auto p = At(address);
    // A character over a field attribute removes the field; its positions
    // join the field before it.
    if (d.Chars[p] == TOrvTndisplay::kFieldMarker)
        d.eraseFA(address);
    // The GE set's graphics are 0x40 to 0xFE; a GE before a control code
    // writes that code as an ordinary character.
    const bool ge = graphicEscape && ebcdic >= 0x40 && ebcdic != 0xFF;
    const std::uint8_t line = ge ? GeLocal(ebcdic) : 0;
    d.Chars[p] = line != 0 ? line : EbcToAsc[ebcdic];
    d.GeCodes[p] = ge ? ebcdic : 0;
    d.Attrs[p] |= TOrvTndisplay::kAttrChanged;
    d.ExtAttrs[p] = extAttr;
    address = d.next(address);
}

void TOrvTn3270stream::writeCommand(const std::uint8_t* data, std::int32_t len)
{
    auto& d = Screen();
    if (d.Size <= 0)
        return;
    if (data == nullptr)
        len = 0;
    std::int32_t current = d.inRange(d.CursorPosition) ? d.CursorPosition : 0;
    // Fields started by this write are propagated over the screen once, at
    // the end (or before an order that reads the attribute plane).
    deferFields_ = true;
    std::uint8_t extAttr = 0;
    std::uint8_t highlighting = 0, colour = 0, validation = 0;
    bool afterOrder = true;
    std::int32_t lastField = 0;
    std::int32_t beyond = -1;  // an address beyond the screen: the write ends

    std::int32_t i = 0;
    while (i < len) {
        const std::uint8_t b = data[i];
        if (!kIsOrder[b]) {
            // A run of characters, the bulk of every screen.
            std::int32_t j = i + 1;
            while (j < len) {
                if (j + 8 <= len && !HasByteBelowOrders(data + j)) {
                    j += 8;
                    continue;
                }
                if (kIsOrder[data[j]])
                    break;
                ++j;
            }
            writeRun(current, data + i, j - i, extAttr);
            i = j;
            afterOrder = false;
            continue;
        }
        // Bytes the order needs after its code; an order cut off by the end
        // of the record is dropped and nothing past the record is read.
        std::int32_t need = 0;
        switch (b) {
        case kOrderGE: case kOrderSF: need = 1; break;
        case kOrderSBA: case kOrderEUA: case kOrderSA: need = 2; break;
        case kOrderRA: need = (i + 3 < len && data[i + 3] == kOrderGE) ? 4 : 3; break;
        case kOrderSFE: case kOrderMF: need = i + 1 < len ? 1 + 2 * data[i + 1] : 1; break;
        default: break;
        }
        if (len - 1 - i < need) {
            LogCutOrder(b);
            break;
        }
        const std::uint8_t* arg = data + i + 1;
        i += 1 + need;
        switch (b) {
        case kOrderPT: // PT
            current = programTab(current, afterOrder);
            afterOrder = true;
            break;
        case kOrderGE: // GE: the next byte is a character of the GE set
            putChar(current, arg[0], extAttr, true);
            afterOrder = false;
            break;
        case kOrderSBA: { // SBA
            const std::int32_t a = setBufferAddress(arg[0], arg[1]);
            if (d.inRange(a))
                current = a;
            else
                beyond = a;
            afterOrder = true;
            break;
        }
        case kOrderEUA: { // EUA
            const std::int32_t a = eraseUnprotectedToAddress(current, arg[0], arg[1]);
            if (a < 0)
                beyond = setBufferAddress(arg[0], arg[1]);
            else
                current = a;
            afterOrder = true;
            break;
        }
        case kOrderIC: // IC
            CursorSet = true;
            insertCursor(current);
            afterOrder = true;
            break;
        case kOrderNL: // NL: the start of the next row of the size in use
            current = d.PositionOf(d.RowOf(current) + 1, 0);
            if (current >= d.Size)
                current = 0;
            afterOrder = false;
            break;
        case kOrderSF: { // SF
            const std::uint8_t fa = arg[0];
            lastField = current;
            current = startField(current, fa);
            if ((fa & kFaProtected) == 0) {
                extAttr = 0;
                if (!CursorSet && cursorFollowsWrite_) {
                    // The cursor goes to the first unprotected field unless IC placed it.
                    CursorSet = true;
                    insertCursor(current);
                }
            }
            setFieldEAB(lastField, extAttr);
            afterOrder = true;
            break;
        }
        case kOrderSA: // SA
            switch (arg[0]) {
            case kTypeHighlighting: highlighting = arg[1]; break;
            case kTypeColour: colour = arg[1]; break;
            case kTypeValidation: validation = arg[1]; break;
            default: break;
            }
            extAttr = GetEABValue(highlighting, colour, validation);
            if (arg[0] == kTypeReset) {
                // Back to the field's own colour and highlighting, not to none.
                highlighting = colour = validation = 0;
                extAttr = fieldCharAttrs(current);
            }
            afterOrder = true;
            break;
        case kOrderSFE: { // SFE
            highlighting = colour = validation = 0;
            bool started = false;
            const std::int32_t pairs = arg[0];
            for (std::int32_t k = 0; k < pairs; ++k) {
                const std::uint8_t type = arg[1 + 2 * k];
                const std::uint8_t value = arg[2 + 2 * k];
                switch (type) {
                case kTypeHighlighting: highlighting = value; break;
                case kTypeColour: colour = value; break;
                case kTypeValidation: validation = value; break;
                case kTypeField:
                    lastField = current;
                    current = startField(current, value);
                    if ((value & kFaProtected) == 0 && !CursorSet && cursorFollowsWrite_) {
                        CursorSet = true;
                        insertCursor(current);
                    }
                    started = true;
                    break;
                default: break;
                }
                extAttr = GetEABValue(highlighting, colour, validation);
            }
            if (!started) {
                lastField = current;
                current = startField(current, kSfeDefaultFa);
            }
            setFieldEAB(lastField, extAttr);
            afterOrder = true;
            break;
        }
        case kOrderMF: // MF: the pairs are skipped
            afterOrder = false;
            break;
        case kOrderRA: { // RA
            const bool ge = arg[2] == kOrderGE;
            const std::int32_t a = repeatToAddress(current, arg[0], arg[1], ge ? arg[3] : arg[2], extAttr, ge);
            if (a < 0)
                beyond = setBufferAddress(arg[0], arg[1]);
            else
                current = a;
            afterOrder = true;
            break;
        }
        default:
            break;
        }
        if (beyond >= 0) {
            // An address beyond the screen ends the write, as on a real
            // terminal: what came before stays, nothing after it is applied.
            LogOrder(b == kOrderSBA ? "SBA" : b == kOrderRA ? "RA" : "EUA", beyond, d.Size);
            break;
        }
        assert(d.inRange(current));
    }

    deferFields_ = false;
    d.propagateFields();
    if (!CursorSet && cursorFollowsWrite_)
        d.SetCursorPosition(current);
    // SSCP-LU input is what the operator types after the SSCP's output.
    if (SessionState == TSessionState::ssSscpLu)
        sscpInputStart_ = current;
    if (!FormattedMode)
        Status.clear();
}

void TOrvTn3270stream::writeRun(std::int32_t& address, const std::uint8_t* ebcdic, std::int32_t count,
                                std::uint8_t extAttr)
{
    auto& d = Screen();
    while (count > 0) {
        const std::int32_t segment = std::min(count, d.Size - address);
        std::uint8_t* chars = d.Chars.data() + address;
        if (d.Formatted && std::memchr(chars, TOrvTndisplay::kFieldMarker, At(segment)) != nullptr) {
            // A field attribute in the way: the careful path, one character at a time.
            for (std::int32_t k = 0; k < segment; ++k)
                putChar(address, ebcdic[k], extAttr);
        } else {
            const std::uint8_t* table = EbcToAsc.data();
            std::int32_t k = 0;
            for (; k + 4 <= segment; k += 4) {
                const std::uint8_t c0 = table[ebcdic[k]], c1 = table[ebcdic[k + 1]];
                const std::uint8_t c2 = table[ebcdic[k + 2]], c3 = table[ebcdic[k + 3]];
                chars[k] = c0, chars[k + 1] = c1, chars[k + 2] = c2, chars[k + 3] = c3;
            }
            for (; k < segment; ++k)
                chars[k] = table[ebcdic[k]];
            TOrvTndisplay::MaskBytes(d.Attrs.data() + address, segment, 0xFF, TOrvTndisplay::kAttrChanged);
            std::memset(d.ExtAttrs.data() + address, extAttr, At(segment));
            std::memset(d.GeCodes.data() + address, 0, At(segment));  // ordinary characters now
            address = address + segment >= d.Size ? 0 : address + segment;
        }
        ebcdic += segment;
        count -= segment;
    }
}

std::uint8_t TOrvTn3270stream::GetEABValue(std::uint8_t highlighting, std::uint8_t colour, std::uint8_t validation)
{
    std::uint8_t v = 0;
    switch (highlighting) {
    case 0xF1: v |= 0x40; break; // blink
    case 0xF2: v |= 0x80; break; // reverse video
    case 0xF4: v |= 0x04; break; // underscore
    default: break;
    }
    if (colour >= 0xF1 && colour <= 0xF7)
        v |= static_cast<std::uint8_t>((colour - 0xF0) * 8);
    if (validation != 0)
        v |= 0x02;
    return v;
}

std::int32_t TOrvTn3270stream::setBufferAddress(std::uint8_t b1, std::uint8_t b2) const
{
    return DecodeBufferAddress(b1, b2);
}

std::int32_t TOrvTn3270stream::startField(std::int32_t position, std::uint8_t attribute)
{
    auto& d = Screen();
    if (deferFields_)
        d.insertFADeferred(position, attribute);
    else
        d.insertFA(position, attribute);
    return position + 1 >= d.Size ? 0 : position + 1;
}

void TOrvTn3270stream::setFieldEAB(std::int32_t position, std::uint8_t value)
{
    Screen().setEFA(position, value);
}

void TOrvTn3270stream::insertCursor(std::int32_t position)
{
    Display->SetCursorPosition(position);
}

std::int32_t TOrvTn3270stream::programTab(std::int32_t position, bool afterOrder)
{
    auto& d = Screen();
    if (!afterOrder && d.Chars[At(position)] != TOrvTndisplay::kFieldMarker) {
        // PT after a character nulls the rest of the field the address is
        // in, protected or not (the whole rest of the screen when it has no
        // field; a character written over a field attribute merged two
        // fields, and the merged one is the current field); the field it
        // then moves to keeps its contents.
        // The field may run past the last position on to the first field attribute.
        std::int32_t f = d.findNextFA(position);
        if (f == -1)
            f = d.findNextFA(0);
        const std::int32_t last = f <= 0 ? d.Size - 1 : f - 1;
        std::int32_t p = position;
        for (std::int32_t n = 0; n < d.Size; ++n, p = d.next(p)) {
            d.Chars[At(p)] = TOrvTndisplay::kNull;
            d.GeCodes[At(p)] = 0;
            d.Attrs[At(p)] |= TOrvTndisplay::kAttrChanged;
            if (p == last)
                break;
        }
    }
    const std::int32_t p = d.findNextUnprotectedAfterFA(position);
    return p == -1 ? 0 : p;
}

std::int32_t TOrvTn3270stream::repeatToAddress(std::int32_t position, std::uint8_t b1, std::uint8_t b2,
                                               std::uint8_t character, std::uint8_t extAttr, bool graphicEscape)
{
    auto& d = Screen();
    const std::int32_t s = setBufferAddress(b1, b2);
    if (!d.inRange(s))
        return -1;
    if (!d.inRange(position))
        return position;
    const std::int32_t last = s == 0 ? d.Size - 1 : s - 1;
    // Stop address equal to the start: the whole screen is filled.
    std::int32_t p = position;
    for (std::int32_t n = 0; n < d.Size; ++n) {
        std::int32_t q = p;
        putChar(q, character, extAttr, graphicEscape);
        if (p == last)
            break;
        p = q;
    }
    return s;
}

std::int32_t TOrvTn3270stream::eraseUnprotectedToAddress(std::int32_t position, std::uint8_t b1, std::uint8_t b2)
{
    auto& d = Screen();
    const std::int32_t s = setBufferAddress(b1, b2);
    if (!d.inRange(s))
        return -1;
    if (!d.inRange(position))
        return position;
    eraseUnprotectedCharacter(position, s == 0 ? d.Size - 1 : s - 1);
    return s;
}

void TOrvTn3270stream::eraseUnprotectedCharacter(std::int32_t start, std::int32_t last)
{
    auto& d = Screen();
    if (!d.inRange(start) || !d.inRange(last))
        return;
    d.propagateFields();  // the protection of every position is read below
    std::int32_t p = start;
    for (std::int32_t n = 0; n < d.Size; ++n) {
        const auto i = At(p);
        if (d.Chars[i] != TOrvTndisplay::kFieldMarker && (d.Attrs[i] & TOrvTndisplay::kAttrProtected) == 0) {
            d.Chars[i] = TOrvTndisplay::kNull;
            d.GeCodes[i] = 0;
            d.Attrs[i] |= TOrvTndisplay::kAttrChanged;
        }
        if (p == last)
            break;
        p = d.next(p);
    }
}

void TOrvTn3270stream::resetModifiedDataTab()
{
    auto& d = Screen();
    std::int32_t f = d.findNextFA(0);
    while (f != -1) {
        d.setBitModifiedInFA(f, false);
        f = d.findNextFA(f + 1);
    }
}

// ---------------------------------------------------------------------------
// Read commands

void TOrvTn3270stream::readBufferCommand()
{
    const auto& d = Screen();
    Reply r(ReplyCapacity(), SendSecret, WideAddresses(d.Size));
    r.Put(Aid);
    r.PutAddress(d.CursorPosition);
    const bool formatted = d.findNextFA(0) != -1;
    for (std::int32_t p = 0; p < d.Size; ++p) {
        const std::uint8_t c = d.Chars[At(p)];
        if (c == TOrvTndisplay::kFieldMarker) {
            r.Put(kOrderSF);
            r.Put(d.getFA(p));
        } else {
            PutScreenChar(r, d, AscToEbc, p, formatted && InNonDisplayField(d, p));
        }
    }
    sendReply(r.Block(), r.Count());
}

void TOrvTn3270stream::readModifiedCommand()
{
    // An attention key locks the keyboard until the host answers.
    setStatusText(kStatusSending);
    sendReadModified(false);
}

void TOrvTn3270stream::sendReadModified(bool all)
{
    const auto& d = Screen();
    const std::uint8_t* chars = d.Chars.data();
    const std::int32_t size = d.Size;
    Reply r(ReplyCapacity(), SendSecret, WideAddresses(size));
    const bool formatted = d.findNextFA(0) != -1;
    // Nulls are never reported; blanks are.
    auto putText = [&](std::int32_t from, std::int32_t to) {
        for (std::int32_t p = from; p < to; ++p)
            if (chars[p] != TOrvTndisplay::kNull)
                PutScreenChar(r, d, AscToEbc, p, formatted && InNonDisplayField(d, p));
    };

    if (SessionState == TSessionState::ssSscpLu) {
        // SSCP-LU input: what follows the SSCP's last output, as text
        // alone; the banner and prompt before it are not input.
        ReplyDataType = kDtSscpLuData;
        putText(d.inRange(sscpInputStart_) ? sscpInputStart_ : 0, size);
        sendReply(r.Block(), r.Count());
        return;
    }

    r.Put(Aid);
    // PA keys and Clear send the AID alone (short read); Read Modified All
    // is never shortened.
    if (!all && (Aid == AID_PA[0] || Aid == AID_PA[1] || Aid == AID_PA[2] || Aid == AID_CLEAR)) {
        sendReply(r.Block(), r.Count());
        return;
    }
    r.PutAddress(d.CursorPosition);

    const std::int32_t first = d.findNextFA(0);
    if (first == -1) {
        // Unformatted screen in the LU-LU session: AID, cursor, then every
        // character, no SBA.
        putText(0, size);
        sendReply(r.Block(), r.Count());
        return;
    }

    // The next field attribute at or after from, or size when there is none.
    auto nextMarker = [chars, size](std::int32_t from) {
        const void* m = from < size ? std::memchr(chars + from, TOrvTndisplay::kFieldMarker, At(size - from)) : nullptr;
        return m ? static_cast<std::int32_t>(static_cast<const std::uint8_t*>(m) - chars) : size;
    };
    for (std::int32_t i = first; i < size; i = nextMarker(i + 1)) {
        if (!d.isFieldModified(i))
            continue;
        const std::int32_t start = i + 1;
        r.Put(kOrderSBA);
        // A field attribute in the last position: the field starts at 0.
        r.PutAddress(start == size ? 0 : start);
        const std::int32_t end = nextMarker(start);
        putText(start, end);
        if (end == size) {
            // The field runs past the end of the screen up to the first field
            // attribute; everything after that has been reported already.
            putText(0, first);
            break;
        }
    }
    sendReply(r.Block(), r.Count());
}

std::uint8_t TOrvTn3270stream::fieldCharAttrs(std::int32_t position) const
{
    const auto& d = Screen();
    std::int32_t f = d.findPrevFA(position);
    if (f == -1)
        f = d.findPrevFA(d.Size - 1);
    return f == -1 ? 0 : static_cast<std::uint8_t>(d.ExtAttrs[At(f)] & kCharAttrBits);
}

// ---------------------------------------------------------------------------
// Structured fields

void TOrvTn3270stream::writeStructuredField(const std::uint8_t* data, std::int32_t len)
{
    std::int32_t p = 0;
    std::int32_t remaining = data == nullptr ? 0 : len;
    while (remaining > 0) {
        if (remaining < 3)
            throw EStreamError("WSF too small");
        const std::int32_t n = data[p] * 256 + data[p + 1];
        const std::uint8_t id = data[p + 2];
        switch (id) {
        case 0x01: { // Read Partition
            if (n < 5)
                throw EStreamError("WSF-RP too small");
            if (n > remaining)
                throw EStreamError("WSF-RP length exceeds record");
            const std::uint8_t type = data[p + 4];
            if (type != kRpQuery && type != kRpQueryList)
                throw EStreamError("WSF-RP not a query op");
            if (data[p + 3] != 0xFF)
                throw EStreamError("WSF-RP invalid PID");
            if (type == kRpQuery) {
                sendQueryReplies({}, true);
                break;
            }
            if (n < 6)
                throw EStreamError("WSF-RP query list without request type");
            const std::uint8_t request = data[p + 5];
            if (request != kQlList && request != kQlEquivalent && request != kQlAll)
                throw EStreamError("WSF-RP invalid query list request type " + std::to_string(request));
            // There are no equivalent replies here: equivalent+list is list.
            sendQueryReplies(std::span<const std::uint8_t>(data + p + 6, At(n - 6)), request == kQlAll);
            break;
        }
        case 0x40: { // Outbound 3270DS
            if (n < 5)
                throw EStreamError("WSF-OBDS too small");
            if (n > remaining)
                throw EStreamError("WSF-OBDS length exceeds record");
            if (data[p + 3] != 0x00)
                throw EStreamError("WSF-OBDS invalid PID");
            const std::uint8_t command = data[p + 4];
            if (command != 0xF1 && command != 0xF5 && command != 0x7E && command != 0x6F)
                throw EStreamError("WSF-OBDS unsupported");
            // Applied from the record itself: a write as long as the record
            // is neither copied nor cut.
            applyWrite(LocalCommand(command), data + p + 5, n - 5);
            break;
        }
        default:
            throw EStreamError("unsupported WFS ID: " + std::to_string(id));
        }
        p += n;
        remaining -= n;
    }
}

void TOrvTn3270stream::sendQueryReplies(std::span<const std::uint8_t> codes, bool all)
{
    auto wanted = [&](std::uint8_t code) {
        return all || std::find(codes.begin(), codes.end(), code) != codes.end();
    };
    bool any = false;
    for (const std::uint8_t code : kSupportedQueryCodes)
        any = any || wanted(code);

    Reply r(ReplyCapacity(), SendSecret);
    r.Put(AID_SF);
    if (!any) {
        // None of the listed replies is one this terminal has.
        for (const std::uint8_t b : {0x00, 0x04, 0x81, static_cast<int>(kQrNull)})
            r.Put(static_cast<std::uint8_t>(b));
        sendReply(r.Block(), r.Count());
        return;
    }
    // The model's sizes, whatever a BIND or the host's last erase chose.
    const TScreenSize alt = modelAlternate_;
    const auto cols = static_cast<std::uint8_t>(alt.Cols), rows = static_cast<std::uint8_t>(alt.Rows);
    const auto defCols = static_cast<std::uint8_t>(modelDefault_.Cols);
    const auto defRows = static_cast<std::uint8_t>(modelDefault_.Rows);
    const std::int32_t altSize = alt.Positions();
    for (const std::uint8_t code : kQueryReplyOrder) {
        // Every reply set begins with the Summary, whatever the list names.
        if (code != kQrSummary && !wanted(code))
            continue;
        auto put = [&r](std::initializer_list<std::uint8_t> bytes) {
            for (const std::uint8_t b : bytes)
                r.Put(b);
        };
        switch (code) {
        case kQrSummary:
            put({0x00, static_cast<std::uint8_t>(kSummaryLen), 0x81, kQrSummary});
            for (const std::uint8_t c : kSupportedQueryCodes)
                r.Put(c);
            break;
        case kQrColor: // 8 pairs: default shown as green, then the seven colours as themselves
            put({0x00, kColorLen, 0x81, kQrColor, 0x00, 0x08, 0x00, 0xF4, 0xF1, 0xF1, 0xF2, 0xF2, 0xF3, 0xF3,
                 0xF4, 0xF4, 0xF5, 0xF5, 0xF6, 0xF6, 0xF7, 0xF7});
            break;
        case kQrHighlighting: // default as normal; blink, reverse, underscore
            put({0x00, kHighlightingLen, 0x81, kQrHighlighting, 0x04, 0x00, 0xF0, 0xF1, 0xF1, 0xF2, 0xF2, 0xF4,
                 0xF4});
            break;
        case kQrUsableArea: // 12/14-bit addressing, cells, distances 2/0x89 and 2/0x85, 9x16 cells
            put({0x00, kUsableAreaLen, 0x81, kQrUsableArea, 0x01, 0x00, 0x00, cols, 0x00, rows, 0x00, 0x00, 0x02,
                 0x00, 0x89, 0x00, 0x02, 0x00, 0x85, 0x09, 0x10, static_cast<std::uint8_t>(altSize >> 8),
                 static_cast<std::uint8_t>(altSize)});
            break;
        case kQrImplicitPartition: // default size (24x80), then the alternate size
            put({0x00, kImplicitPartitionLen, 0x81, kQrImplicitPartition, 0x00, 0x00, 0x0B, 0x01, 0x00, 0x00, defCols,
                 0x00, defRows, 0x00, cols, 0x00, rows});
            break;
        case kQrCharacterSets: // 9x16 slots, no loadable sets, one descriptor
            put({0x00, kCharacterSetsLen, 0x81, kQrCharacterSets, 0x00, 0x00, 0x09, 0x10, 0x00, 0x00, 0x00, 0x00,
                 0x03, 0x00, 0x00, 0x00});
            break;
        default:
            break;
        }
    }
    sendReply(r.Block(), r.Count());
}

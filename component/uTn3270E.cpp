// The TN3270E session component: wiring of the 3270 stream into the telnet
// layer, the TN3270E subnegotiation (RFC 2355), attention keys and the
// publication of the screen as field lists.
#include "component/uTn3270E.h"

#include "component/uHostFieldExtract.h"
#include "config/uOrvTnGlbl.h"
#include "log/uOrvIntfLogg.h"
#include "stream/uOrvTn3270Consts.h"

#include <array>
#include <cstdio>
#include <stdexcept>

namespace {

// An oversize screen has no model number of its own.
constexpr char kDynamicTermType[] = "IBM-DYNAMIC";
constexpr char kRejectLog[] = "TN3270E device type rejected";

// RFC 2355 reason codes 0 to 7.
constexpr std::array<const char*, 8> kRejectReasons = {
    "Connect partner",   "Device in use", "Invalid associate", "Invalid device name",
    "Invalid device type", "Type name error", "Unknown error",  "Unsupported request",
};

// Printable run of a device type or LU name.
constexpr bool IsNameByte(std::uint8_t c)
{
    return c >= 0x20 && c <= 0x7F;
}

} // namespace

// ------------------------------------------------------------ construction

TTn3270E::TTn3270E(TComponent* AOwner) : TOrvTelnet(AOwner)
{
    // The base constructor cannot reach this override.
    CreateTnStream();
    // The component owns every record of a screen, whichever list the
    // application removes it from, and frees them all with the screen.
    UnprotectedFields.ShareRecords(HostFields);
    lastAidKey_ = TTn3270AidKey::akNoOp;
    functions_ = kDefaultFunctions;
    terminalType_ = TTn3270TerminalType::tt3278m2E;
    SetExtended(true);
    // Telnet.ini's "Model" (a number or a name such as 3279-4-E), when valid.
    if (!gModel.empty()) {
        try {
            SetModelName(gModel);
        } catch (const std::invalid_argument&) {
            MsgLog(TLogLevel::llError, "Telnet.ini Model \"" + gModel + "\" is not a model 2 to 5, model 2 used");
        }
    }
    latchModel();
}

TTn3270E::~TTn3270E()
{
    // The reader must be gone before the lists it rebuilds.
    Destroying();
    UnprotectedFields.Clear();
    HostFields.FreeFields();
}

void TTn3270E::CreateTnStream()
{
    auto stream = std::make_unique<TOrvTn3270stream>(0, kRows, kCols);
    stream->OnWriteData = [this](const void* buf, std::int32_t len) { tcpWrite(buf, len); };
    stream->Screen().OnStatusChange = [this](TObject* sender) { StatusChange(sender); };
    // Virtual call: session-state changes pass through the most derived NotifyEvent.
    stream->OnNotify = [this](TCallBackEvent e) { NotifyEvent(e); };
    TSessionGuard guard = Guard();
    stream3270_ = stream.get();
    Stream = std::move(stream);
}

TSessionGuard TTn3270E::Guard() const
{
    return const_cast<TTn3270E*>(this)->Lock();
}

TOrvTn3270stream& TTn3270E::Tn3270Stream()
{
    RequireStream();
    return *stream3270_;
}

// ------------------------------------------------------------ properties

TTn3270TerminalType TTn3270E::GetTerminalType() const
{
    TSessionGuard guard = Guard();
    return terminalType_;
}

void TTn3270E::SetTerminalType(TTn3270TerminalType value)
{
    TSessionGuard guard = Guard();
    terminalType_ = value;
}

std::string TTn3270E::GetDeviceName() const
{
    TSessionGuard guard = Guard();
    return deviceName_;
}

void TTn3270E::SetDeviceName(const std::string& value)
{
    TSessionGuard guard = Guard();
    deviceName_ = value;
}

bool TTn3270E::GetExtended() const
{
    TSessionGuard guard = Guard();
    return extended_;
}

void TTn3270E::SetExtended(bool value)
{
    TSessionGuard guard = Guard();
    extended_ = value;
    AllowTn3270E = value;
}

bool TTn3270E::GetDebug() const
{
    return GetDebugLevel() != 0;
}

void TTn3270E::SetDebug(bool value)
{
    SetDebugLevel(value ? kDebugOnLevel : 0);
}

TTn3270ExtendedFunctions TTn3270E::GetFunctions() const
{
    TSessionGuard guard = Guard();
    return functions_;
}

void TTn3270E::SetFunctions(TTn3270ExtendedFunctions value)
{
    TSessionGuard guard = Guard();
    functions_ = value;
}

TTn3270AidKey TTn3270E::GetLastAidKey() const
{
    TSessionGuard guard = Guard();
    return lastAidKey_;
}

std::uint64_t TTn3270E::ScreenCount() const
{
    TSessionGuard guard = Guard();
    return screenCount_;
}

std::int32_t TTn3270E::GetModel() const
{
    TSessionGuard guard = Guard();
    return model_;
}

void TTn3270E::SetModel(std::int32_t value)
{
    if (!ModelAlternateSize(value))
        throw std::invalid_argument("model " + std::to_string(value) + " is not a display model 2 to 5");
    TSessionGuard guard = Guard();
    model_ = value;
    if (!IsConnected())
        latchModel();
}

std::optional<TScreenSize> TTn3270E::GetOversize() const
{
    TSessionGuard guard = Guard();
    return oversize_;
}

void TTn3270E::SetOversize(std::optional<TScreenSize> value)
{
    if (value && (value->Rows <= 0 || value->Cols <= 0 || value->Rows > kMaxScreenRows ||
                  value->Cols > kMaxScreenCols || value->Positions() > kMaxScreenPositions))
        throw std::invalid_argument("oversize " + std::to_string(value->Cols) + "x" + std::to_string(value->Rows) +
                                    " is beyond 255 columns, 255 rows or 16383 positions");
    TSessionGuard guard = Guard();
    oversize_ = value;
    if (!IsConnected())
        latchModel();
}

void TTn3270E::SetModelName(std::string_view name)
{
    // [327{8,9}-]N[-E], as terminals are named.
    const std::string text(name);
    std::string_view rest = name;
    bool colour = colour3279_;
    if (rest.size() > 5 && (rest.substr(0, 5) == "3278-" || rest.substr(0, 5) == "3279-")) {
        colour = rest[3] == '9';
        rest.remove_prefix(5);
    }
    bool extendedForm = false;
    if (rest.size() > 2 && (rest.substr(rest.size() - 2) == "-E" || rest.substr(rest.size() - 2) == "-e")) {
        extendedForm = true;
        rest.remove_suffix(2);
    }
    if (rest.size() != 1 || !ModelAlternateSize(rest[0] - '0'))
        throw std::invalid_argument("\"" + text + "\" is not a model name such as 4, 3278-4 or 3279-4-E");
    TSessionGuard guard = Guard();
    model_ = rest[0] - '0';
    colour3279_ = colour;
    if (extendedForm)
        terminalType_ = TTn3270TerminalType::tt3278m2E;
    if (!IsConnected())
        latchModel();
}

bool TTn3270E::GetColourName() const
{
    TSessionGuard guard = Guard();
    return colour3279_;
}

TScreenSize TTn3270E::AlternateSize() const
{
    TSessionGuard guard = Guard();
    return effectiveAlternate(model_, oversize_);
}

TScreenSize TTn3270E::effectiveAlternate(std::int32_t model, const std::optional<TScreenSize>& oversize)
{
    // An oversize smaller than the model's screen is ignored, as terminals do.
    if (oversize && ValidOversize(model, *oversize))
        return *oversize;
    return ModelAlternateSize(model).value_or(kDefaultScreenSize);
}

void TTn3270E::latchModel()
{
    sessionModel_ = model_;
    sessionOversize_ = oversize_ && ValidOversize(model_, *oversize_);
    sessionColour_ = colour3279_;
}

std::string TTn3270E::terminalName(bool deviceType) const
{
    if (sessionOversize_)
        return kDynamicTermType;
    // TERMINAL-TYPE names the 3279 a colour name asks for; the TN3270E
    // device types of RFC 2355 are 3278 names.
    std::string name = (sessionColour_ && !deviceType) ? "IBM-3279-" : "IBM-3278-";
    name += static_cast<char>('0' + sessionModel_);
    if (terminalType_ == TTn3270TerminalType::tt3278m2E)
        name += "-E";
    return name;
}

bool TTn3270E::ListsHoldText() const
{
    TSessionGuard guard = Guard();
    return listsHoldText_;
}

std::string TTn3270E::GetTermType()
{
    TSessionGuard guard = Guard();
    return terminalName(false);
}

std::string TTn3270E::GetDeviceTypeName()
{
    TSessionGuard guard = Guard();
    return terminalName(true);
}

const char* TTn3270E::RejectReasonText(std::uint8_t code)
{
    return code < kRejectReasons.size() ? kRejectReasons[code] : nullptr;
}

std::uint8_t TTn3270E::AidByte(TTn3270AidKey key)
{
    const auto k = static_cast<unsigned>(key);
    const auto pf1 = static_cast<unsigned>(TTn3270AidKey::akPF1);
    const auto pa1 = static_cast<unsigned>(TTn3270AidKey::akPA1);
    switch (key) {
    case TTn3270AidKey::akNoOp:
    case TTn3270AidKey::akATTN:
    case TTn3270AidKey::akSysReq:
        return 0;
    case TTn3270AidKey::akEnter:
        return AID_ENTER;
    case TTn3270AidKey::akClear:
        return AID_CLEAR;
    default:
        break;
    }
    if (k >= pa1 && k - pa1 < AID_PA.size())
        return AID_PA[k - pa1];
    if (k >= pf1 && k - pf1 < AID_PF.size())
        return AID_PF[k - pf1];
    return 0;
}

// ------------------------------------------------------------ connection and events

void TTn3270E::Connect()
{
    if (IsDesigning())
        return;
    RequireStream();
    {
        TSessionGuard guard = Guard();
        stream3270_->SetSessionState(TSessionState::ssNone);
        stream3270_->TN3270EMode = false;
        stream3270_->BindImageAgreed = false;
        rejectRetried_ = false;
        latchModel();
        const TScreenSize alt = effectiveAlternate(model_, oversize_);
        stream3270_->SetScreenModel(kDefaultScreenSize, alt);
        if (LogEnabled(TLogLevel::llConnect)) {
            char text[128];
            std::snprintf(text, sizeof text, "Model %d%s: default size %dx%d, alternate size %dx%d, terminal %s",
                          static_cast<int>(sessionModel_), sessionOversize_ ? " oversize" : "",
                          kDefaultScreenSize.Rows, kDefaultScreenSize.Cols, alt.Rows, alt.Cols,
                          terminalName(false).c_str());
            MsgLog(TLogLevel::llConnect, text);
        }
    }
    TOrvTelnet::Connect();
}

void TTn3270E::Disconnect()
{
    TOrvTelnet::Disconnect();
}

TSessionState TTn3270E::GetSessionState()
{
    RequireStream();
    TSessionGuard guard = Guard();
    return stream3270_->SessionState;
}

void TTn3270E::EmptyLists()
{
    // Both lists share the record set: FreeFields empties both first.
    UnprotectedFields.Clear();
    HostFields.FreeFields();
    listsHoldText_ = false;
}

void TTn3270E::NotifyEvent(TCallBackEvent cbEvent)
{
    if (cbEvent == TCallBackEvent::ceSessionConnected || cbEvent == TCallBackEvent::ceSessionDisconnected) {
        TSessionGuard guard = Guard();
        EmptyLists();
        if (cbEvent == TCallBackEvent::ceSessionConnected && stream3270_ != nullptr) {
            // Connect reset these before it closed an open connection; the
            // old connection's reader may have processed one more block
            // before it was stopped. The new connection starts clean.
            stream3270_->TN3270EMode = false;
            stream3270_->BindImageAgreed = false;
            stream3270_->SetSessionState(TSessionState::ssNone);
            stream3270_->SetScreenModel(stream3270_->ModelDefaultSize(), stream3270_->ModelAlternateSize());
        }
        TOrvTelnet::NotifyEvent(cbEvent);
        return;
    }
    TOrvTelnet::NotifyEvent(cbEvent);
}

// ------------------------------------------------------------ attention keys

void TTn3270E::SetAidKey(TTn3270AidKey key)
{
    RequireStream();
    TSessionGuard guard = Guard();
    lastAidKey_ = key;
    TOrvTn3270stream& stream = *stream3270_;
    switch (key) {
    case TTn3270AidKey::akNoOp:
        return;
    case TTn3270AidKey::akATTN:
        SendInterruptProcess();
        NotifyEvent(TCallBackEvent::ceKbdLocked);
        UnlockPending = true;
        return;
    case TTn3270AidKey::akSysReq:
        SendAO();
        stream.ProcessUnBind();
        GenHostFields();
        NotifyEvent(TCallBackEvent::ceSessionState);
        return;
    default:
        break;
    }
    const std::uint8_t aid = AidByte(key);
    if (aid == 0)
        return;  // not a key of the table
    stream.Aid = aid;
    TOrvTn3270display& screen = stream.Screen();
    screen.SetCursorPosition(UnprotectedFields.CursorPos - 1);
    for (std::int32_t i = 0; i < UnprotectedFields.Count(); ++i) {
        const T3270Field* field = As3270Field(UnprotectedFields.Items(i));
        if (field == nullptr || !field->GetModified())
            continue;
        screen.putField(field->GetPos() - 1, field->Len, field->Data);
    }
    stream.readModifiedCommand();
}

TTypeResult TTn3270E::Type(std::string_view text)
{
    return Edit([text](TTypingEngine& engine) { return engine.Type(text); });
}

TTypeResult TTn3270E::Edit(const std::function<TTypeResult(TTypingEngine&)>& edit)
{
    RequireStream();
    TSessionGuard guard = Guard();
    TOrvTn3270stream& stream = *stream3270_;
    TOrvTn3270display& screen = stream.Screen();
    // Edits made in the records and the cursor the list holds are what the
    // next key would send: both go to the screen before typing, or the key
    // would overwrite what was typed.
    if (UnprotectedFields.CursorPos > 0)
        screen.SetCursorPosition(UnprotectedFields.CursorPos - 1);
    for (std::int32_t i = 0; i < UnprotectedFields.Count(); ++i) {
        const T3270Field* field = As3270Field(UnprotectedFields.Items(i));
        if (field != nullptr && field->GetModified())
            screen.putField(field->GetPos() - 1, field->Len, field->Data);
    }
    TTypingEngine engine(screen, [&stream](std::uint8_t c) { return stream.CanCarry(c); });
    const TTypeResult result = edit(engine);
    // The lists show the typed screen and its cursor from now on.
    GenHostFields();
    return result;
}

void TTn3270E::MoveCursor(const std::function<void(TTypingEngine&)>& move)
{
    RequireStream();
    TSessionGuard guard = Guard();
    TOrvTn3270stream& stream = *stream3270_;
    TTypingEngine engine(stream.Screen(), [&stream](std::uint8_t c) { return stream.CanCarry(c); });
    move(engine);
    PlaceCursor(stream.Screen().CursorPosition);
}

bool TTn3270E::PlaceCursor(std::int32_t position)
{
    RequireStream();
    TSessionGuard guard = Guard();
    TOrvTn3270display& screen = stream3270_->Screen();
    if (!screen.inRange(position))
        return false;
    screen.SetCursorPosition(position);
    // The lists publish the screen's cursor, 1-based (as GenHostFields does).
    HostFields.CursorPos = static_cast<std::int16_t>(position + 1);
    UnprotectedFields.CursorPos = HostFields.CursorPos;
    return true;
}

// ------------------------------------------------------------ TN3270E negotiation

void TTn3270E::Tn3270EWithdrawn(bool /*byUs*/)
{
    // Records carry no header from now on, and no BIND-IMAGE will come: a
    // 3270-DATA record starts LU-LU as in any plain TN3270 session.
    stream3270_->TN3270EMode = false;
    stream3270_->BindImageAgreed = false;
    rejectRetried_ = false;
}

void TTn3270E::SendTn3270ESubneg(const std::vector<std::uint8_t>& body)
{
    SendSubnegotiation(TELOPT_TN3270E, body);
}

void TTn3270E::SendDeviceTypeRequest(bool withName)
{
    const std::string type = terminalName(true);
    // Built byte by byte: GCC 12 in release builds warns falsely on
    // inserting a range after a short initializer list.
    std::vector<std::uint8_t> body;
    body.reserve(3 + type.size() + deviceName_.size());
    body.push_back(TN_DEVICE_TYPE);
    body.push_back(TN_REQUEST);
    for (const char ch : type)
        body.push_back(static_cast<std::uint8_t>(ch));
    if (withName) {
        body.push_back(TN_CONNECT);
        for (const char ch : deviceName_)
            body.push_back(static_cast<std::uint8_t>(ch));
    }
    SendTn3270ESubneg(body);
}

void TTn3270E::SendFunctions(std::uint8_t verb, const std::vector<std::uint8_t>& codes)
{
    std::vector<std::uint8_t> body;
    body.reserve(2 + codes.size());
    body.push_back(TN_FUNCTIONS);
    body.push_back(verb);
    for (const std::uint8_t code : codes)
        body.push_back(code);
    SendTn3270ESubneg(body);
}

void TTn3270E::NegociateSubOption(const std::uint8_t* data, std::uint16_t len)
{
    TOrvTelnet::NegociateSubOption(data, len);
    if (data == nullptr || len == 0 || data[0] != TELOPT_TN3270E)
        return;
    RequireStream();
    TSessionGuard guard = Guard();
    // Once TN3270E has ended in this connection, a late subnegotiation of
    // it must not put the session back into header mode.
    if (Tn3270EDropped())
        return;
    // Any TN3270E subnegotiation means the host speaks TN3270E: from now on
    // records carry the header.
    stream3270_->TN3270EMode = true;

    const std::size_t n = len;
    auto at = [data, n](std::size_t k) -> int { return k < n ? data[k] : -1; };
    auto isFunctionCode = [](int c) { return c >= 0 && c <= kMaxFunctionCode; };

    std::size_t i = 1;
    while (i < n && data[i] != IAC) {
        const std::uint8_t c = data[i];
        switch (c) {
        case TN_SEND:
            if (at(i + 1) == TN_DEVICE_TYPE) {
                SendDeviceTypeRequest(!deviceName_.empty());
                return;
            }
            i += 2;
            break;
        case TN_DEVICE_TYPE: {
            const int next = at(i + 1);
            if (next == TN_IS) {
                // The device type the host names is not kept.
                std::size_t j = i + 2;
                while (j < n && IsNameByte(data[j]))
                    ++j;
                i = j;
            } else if (next == TN_REJECT) {
                const char* reason = nullptr;
                if (at(i + 2) == TN_REASON && at(i + 3) >= 0)
                    reason = RejectReasonText(static_cast<std::uint8_t>(at(i + 3)));
                const std::string text = reason != nullptr ? std::string(kRejectLog) + ": " + reason : kRejectLog;
                // One retry without the name, and only when the rejected
                // request carried one (the name is what it asked for); after
                // that TN3270E is given up and plain TN3270 goes on, rather
                // than asking forever.
                const bool named = !deviceName_.empty();
                deviceName_.clear();
                if (named && !rejectRetried_) {
                    MsgLog(TLogLevel::llConnect, text);
                    rejectRetried_ = true;
                    SendDeviceTypeRequest(false);
                } else {
                    MsgLog(TLogLevel::llError, "TN_ERROR: " + text + "; going on as TN3270.");
                    DropTn3270E(true);
                }
                return;
            } else {
                ++i;  // the next byte is taken as the next command
            }
            break;
        }
        case TN_CONNECT: {
            std::size_t j = i + 1;
            while (j < n && IsNameByte(data[j]))
                ++j;
            deviceName_.assign(reinterpret_cast<const char*>(data + i + 1), j - (i + 1));
            std::vector<std::uint8_t> codes;
            for (std::uint8_t f = 0; f <= kMaxFunctionCode; ++f)
                if (functions_.Contains(static_cast<TTn3270ExtendedFunction>(f)))
                    codes.push_back(f);
            SendFunctions(TN_REQUEST, codes);
            return;
        }
        case TN_FUNCTIONS:
            if (at(i + 1) == TN_REQUEST) {
                // RFC 2355: the host proposes. A list we can take in full is
                // agreed with IS of the same list; otherwise we propose the
                // part we support, in the host's order, which a careful host
                // then agrees to: the sets only shrink, so it cannot loop.
                std::vector<std::uint8_t> proposed;
                std::vector<std::uint8_t> supported;
                for (std::size_t j = i + 2; j < n && data[j] != IAC; ++j) {
                    proposed.push_back(data[j]);
                    if (isFunctionCode(data[j]) && functions_.Contains(static_cast<TTn3270ExtendedFunction>(data[j])))
                        supported.push_back(data[j]);
                }
                if (supported.size() == proposed.size()) {
                    TTn3270ExtendedFunctions agreed;
                    for (const std::uint8_t f : proposed)
                        agreed.Include(static_cast<TTn3270ExtendedFunction>(f));
                    functions_ = agreed;
                    stream3270_->BindImageAgreed = agreed.Contains(TTn3270ExtendedFunction::efBindImage);
                    SendFunctions(TN_IS, proposed);
                } else {
                    SendFunctions(TN_REQUEST, supported);
                }
                return;
            } else {
                // IS (or anything else): the agreed set.
                TTn3270ExtendedFunctions agreed;
                std::size_t j = i + 2;
                while (j < n && isFunctionCode(data[j])) {
                    agreed.Include(static_cast<TTn3270ExtendedFunction>(data[j]));
                    ++j;
                }
                functions_ = agreed;
                stream3270_->BindImageAgreed = agreed.Contains(TTn3270ExtendedFunction::efBindImage);
                i = j;
            }
            break;
        default:
            ++i;
            break;
        }
    }
}

// ------------------------------------------------------------ publication

void TTn3270E::TelnetErrorMessage(const std::uint8_t* data, std::int32_t len)
{
    TSessionGuard guard = Guard();
    // Only a record of a session in TN3270E mode carries the 5-byte header:
    // text from a host that never agreed to TN3270E, or that withdrew or
    // gave it up, would otherwise lose its first five characters.
    const bool header = extended_ && stream3270_ && stream3270_->TN3270EMode;
    if (!ShowTextRecord(data, len, header, HostFields, UnprotectedFields))
        return;
    // A record without text leaves the lists as they were.
    if (TextRecordHasText(data, len, header))
        listsHoldText_ = true;
    ++screenCount_;
    NotifyEvent(TCallBackEvent::ceScreenChanged);
}

void TTn3270E::GenHostFields()
{
    RequireStream();
    TSessionGuard guard = Guard();
    ::GenHostFields(stream3270_->Screen(), HostFields, UnprotectedFields);
    listsHoldText_ = false;
    ++screenCount_;
}

TTn3270Snapshot TTn3270E::Snapshot()
{
    RequireStream();
    TSessionGuard guard = Guard();
    TTn3270Snapshot s;
    auto copy = [](const TDSFields& from, std::vector<T3270Field>& to) {
        to.reserve(static_cast<std::size_t>(from.Count()));
        for (std::int32_t i = 0; i < from.Count(); ++i)
            if (const T3270Field* f = As3270Field(from.Items(i)))
                to.push_back(*f);
    };
    copy(HostFields, s.HostFields);
    copy(UnprotectedFields, s.UnprotectedFields);
    s.CursorPos = HostFields.CursorPos;
    s.Status = stream3270_->Screen().Status;
    s.SessionState = stream3270_->SessionState;
    s.ScreenCount = screenCount_;
    s.Connected = IsConnected();
    return s;
}

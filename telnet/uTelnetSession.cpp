// The option rules and record assembly of one telnet session, between the
// engine below and the component above; see the header.
#include "telnet/uTelnetSession.h"

#include "log/uOrvIntfLogg.h"

#include <algorithm>
#include <utility>
#include <vector>

void TTelnetSession::Reset(bool startTls)
{
    usOn_.fill(false);
    himOn_.fill(false);
    tn3270eRefused_ = false;
    tn3270eDropped_ = false;
    // A connection cut after an IAC, inside a command, a subnegotiation or
    // a record leaves the parser in that state: the new connection's first
    // bytes must not be read as its continuation.
    progress_.Reset();
    startTls_.Reset(startTls);
    tlsHandshakeTaken_ = false;
    ResetNegotiation();
}

void TTelnetSession::ResetNegotiation()
{
    engine_.Reset();
    BinaryMode = false;
    Tn3270EAccepted = false;
    TermTypeRequests = 0;
    pending_ = {};
    recordFirst_.reset();
}

// ------------------------------------------------------------ input

void TTelnetSession::Feed(std::span<const std::uint8_t> bytes)
{
    // A run kept back lies in these bytes: it is handed on before they go.
    try {
        engine_.Feed(bytes);
    } catch (...) {
        FlushRecord();
        throw;
    }
    FlushRecord();
}

void TTelnetSession::EndBlock()
{
    if (startTls_.Guarding() && startTls_.EndOfBlock() == TStartTls::TAction::Fail)
        Fail(startTls_.Failure());
}

// While START_TLS is wanted and TLS is not up, nothing from the host
// reaches the layer above but the START_TLS exchange.
void TTelnetSession::OnData(std::span<const std::uint8_t> run)
{
    progress_.Data(run.size());
    if (startTls_.Guarding()) {
        startTls_.OnOther("data");
        return;
    }
    if (run.empty())
        return;
    if (!recordFirst_)
        recordFirst_ = run.front();
    FlushRecord();
    pending_ = run;
}

void TTelnetSession::OnEndOfRecord()
{
    progress_.EndOfRecord();
    if (startTls_.Guarding()) {
        startTls_.OnOther("a record");
        return;
    }
    // The layer above may ask RecordKind during the call.
    events_.OnEndOfRecord(RecordKind(), std::exchange(pending_, {}));
    recordFirst_.reset();
}

void TTelnetSession::OnOption(std::uint8_t verb, std::uint8_t option)
{
    progress_.Option(verb, option);
    if (startTls_.Guarding()) {
        StartTlsAction(startTls_.OnOption(verb, option));
        return;
    }
    NegotiateOption(verb, option);
}

void TTelnetSession::OnSubnegotiation(std::span<const std::uint8_t> data)
{
    progress_.Subnegotiation(data);
    if (startTls_.Guarding()) {
        StartTlsAction(startTls_.OnSubnegotiation(data));
        return;
    }
    events_.OnSubnegotiation(data);
}

void TTelnetSession::OnSubnegotiationDiscarded()
{
    progress_.Idle();
    MsgLog(TLogLevel::llError, "TN_ERROR: Subnegotiation longer than 100 bytes discarded.");
}

void TTelnetSession::OnCommand(std::uint8_t /*command*/)
{
    progress_.Idle();
    // NOP, DM, BRK, IP, AO, AYT, EC, EL, GA, a stray SE: nothing to do.
}

void TTelnetSession::OnSend(std::span<const std::uint8_t> bytes, TTelnetEngine::TOutput kind)
{
    if (startTls_.Guarding() && !sendingStartTls_) {
        // Never in clear text what was meant for the TLS session (a key
        // pressed early, a negotiation answer).
        MsgLog(TLogLevel::llError, "TLS: not sent before TLS is up: " + std::to_string(bytes.size()) + " bytes");
        return;
    }
    events_.OnSend(bytes, kind);
}

// ------------------------------------------------------------ records

void TTelnetSession::AddData(std::span<const std::uint8_t> bytes)
{
    if (bytes.empty())
        return;
    if (!recordFirst_)
        recordFirst_ = bytes.front();
    FlushRecord();
    events_.OnRecordData(bytes);
}

void TTelnetSession::FlushRecord()
{
    if (!pending_.empty())
        events_.OnRecordData(std::exchange(pending_, {}));
}

TTelnetSession::TRecord TTelnetSession::RecordKind() const
{
    if (!BinaryMode)
        return TRecord::Text;
    if (Tn3270EAccepted && recordFirst_ == kDataTypeNvt)
        return TRecord::NvtText;
    return TRecord::Data3270;
}

// ------------------------------------------------------------ options

bool TTelnetSession::AcceptsDo(std::uint8_t option) const
{
    switch (option) {
    case TELOPT_BINARY:
    case TELOPT_SGA:
    case TELOPT_SNDLOC:
    case TELOPT_TTYPE:
    case TELOPT_EOR:
        return true;
    case TELOPT_TN3270E:
        return AllowTn3270E && !tn3270eRefused_;
    default:
        return false;
    }
}

bool TTelnetSession::AcceptsWill(std::uint8_t option) const
{
    return option == TELOPT_BINARY || option == TELOPT_SGA || option == TELOPT_EOR;
}

void TTelnetSession::NegotiateOption(std::uint8_t verb, std::uint8_t option)
{
    // RFC 854 and 1143: a request for the state an option is already in is
    // not answered (so two careful peers never loop); a refused DO is
    // answered WONT, a refused WILL DONT; turning an option off is
    // acknowledged. We never ask first, so each side is simply on or off.
    bool& us = usOn_[option];
    bool& him = himOn_[option];
    switch (verb) {
    case TTelnetEngine::DO:
        if (us)
            return;
        if (!AcceptsDo(option)) {
            Answer(TTelnetEngine::WONT, option);
            return;
        }
        us = true;
        Answer(TTelnetEngine::WILL, option);
        if (option == TELOPT_BINARY) {
            BinaryMode = true;
        } else if (option == TELOPT_SNDLOC) {
            SendSubnegotiation(TELOPT_SNDLOC,
                               std::span(reinterpret_cast<const std::uint8_t*>(Location.data()), Location.size()));
        } else if (option == TELOPT_TN3270E) {
            Tn3270EAccepted = true;
            BinaryMode = true;
            tn3270eDropped_ = false;
        }
        return;
    case TTelnetEngine::DONT:
        if (!us)
            return;
        us = false;
        Answer(TTelnetEngine::WONT, option);
        if (option == TELOPT_TN3270E)
            DropTn3270E(false);
        return;
    case TTelnetEngine::WILL:
        if (him)
            return;
        if (!AcceptsWill(option)) {
            Answer(TTelnetEngine::DONT, option);
            return;
        }
        him = true;
        Answer(TTelnetEngine::DO, option);
        if (option == TELOPT_BINARY)
            BinaryMode = true;
        return;
    case TTelnetEngine::WONT:
        // Records are text again, whichever side had agreed BINARY.
        if (option == TELOPT_BINARY)
            BinaryMode = false;
        if (!him)
            return;
        him = false;
        Answer(TTelnetEngine::DONT, option);
        return;
    default:
        return;
    }
}

void TTelnetSession::Answer(std::uint8_t verb, std::uint8_t option)
{
    engine_.SendOption(verb, option);
}

void TTelnetSession::DropTn3270E(bool byUs)
{
    if (byUs && usOn_[TELOPT_TN3270E])
        Answer(TTelnetEngine::WONT, TELOPT_TN3270E);
    if (byUs)
        tn3270eRefused_ = true;  // a host that offers it again is refused: no loop
    usOn_[TELOPT_TN3270E] = false;
    himOn_[TELOPT_TN3270E] = false;
    Tn3270EAccepted = false;
    tn3270eDropped_ = true;
    // Plain TN3270 starts again: the host negotiates TERMINAL-TYPE, EOR and
    // BINARY afresh and asks for the terminal type once more.
    BinaryMode = false;
    TermTypeRequests = 0;
    for (const std::uint8_t o : {TELOPT_BINARY, TELOPT_TTYPE, TELOPT_EOR}) {
        usOn_[o] = false;
        himOn_[o] = false;
    }
    MsgLog(TLogLevel::llConnect, "TN3270E withdrawn: going on as TN3270");
    events_.OnTn3270EDropped(byUs);
}

void TTelnetSession::AnswerTerminalType(std::span<const std::uint8_t> data)
{
    if (data.size() < 2 || data[0] != TELOPT_TTYPE || data[1] != TTYPE_SEND)
        return;
    if (TermTypeRequests < UINT16_MAX)
        ++TermTypeRequests;
    if (TermTypeRequests > 1) {
        // Asked again in the same connection: the host did not take our answer.
        MsgLog(TLogLevel::llError, "TN_ERROR: Invalid Terminal Type or LU Name.");
        events_.OnFailed({});
        return;
    }
    const std::string type = events_.TerminalType();
    std::vector<std::uint8_t> payload;
    payload.reserve(1 + type.size());
    payload.push_back(TTYPE_IS);
    for (const char ch : type)
        payload.push_back(static_cast<std::uint8_t>(ch));
    SendSubnegotiation(TELOPT_TTYPE, payload);
}

// ------------------------------------------------------------ output

void TTelnetSession::SendRecord(std::span<const std::uint8_t> record)
{
    engine_.SendRecord(record);
}

void TTelnetSession::SendCommand(std::uint8_t command)
{
    engine_.SendCommand(command);
}

void TTelnetSession::SendSubnegotiation(std::uint8_t option, std::span<const std::uint8_t> payload)
{
    engine_.SendSubnegotiation(option, payload);
}

// ------------------------------------------------------------ START_TLS

void TTelnetSession::Fail(const std::string& reason)
{
    if (startTls_.Guarding())
        startTls_.Fail(reason);
    events_.OnFailed(reason);
}

void TTelnetSession::StartTlsAction(TStartTls::TAction action)
{
    switch (action) {
    case TStartTls::TAction::None:
        break;
    case TStartTls::TAction::SendWill:
        sendingStartTls_ = true;
        engine_.SendOption(TTelnetEngine::WILL, TStartTls::kOption);
        sendingStartTls_ = false;
        break;
    case TStartTls::TAction::SendFollows: {
        const std::uint8_t follows[] = {TStartTls::kFollows};
        sendingStartTls_ = true;
        engine_.SendSubnegotiation(TStartTls::kOption, follows);
        sendingStartTls_ = false;
        tlsHandshakeTaken_ = false;  // the connection takes it after this block
        break;
    }
    case TStartTls::TAction::Fail:
        Fail(startTls_.Failure());
        break;
    }
}

bool TTelnetSession::TakeTlsHandshake()
{
    if (startTls_.State() != TStartTls::TState::Handshake || tlsHandshakeTaken_)
        return false;
    tlsHandshakeTaken_ = true;
    return true;
}

void TTelnetSession::TlsUp()
{
    if (startTls_.State() != TStartTls::TState::Handshake)
        return;
    startTls_.Upgraded();
    // The telnet negotiation starts afresh inside TLS.
    ResetNegotiation();
}

void TTelnetSession::TlsFailed(const std::string& reason)
{
    if (startTls_.State() == TStartTls::TState::Handshake)
        Fail(reason);
}

void TTelnetSession::StartTlsTimedOut()
{
    if (startTls_.Guarding() && startTls_.State() != TStartTls::TState::Failed)
        Fail(startTls_.State() == TStartTls::TState::WaitOffer
                 ? "TLS: the host did not offer START_TLS within the connect time-out"
                 : "TLS: the host did not finish the START_TLS exchange within the connect time-out");
}

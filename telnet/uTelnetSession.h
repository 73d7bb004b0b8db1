// The telnet session without I/O: the engine (telnet/uTelnetEngine), the
// option rules (RFC 854/855 and 1143: each option on or off on each side,
// a request for the state an option is in is not answered), TERMINAL-TYPE
// (RFC 1091) and SEND-LOCATION (RFC 779), the withdrawal of TN3270E, the
// START_TLS exchange (telnet/uStartTls), record assembly (RFC 885) and the
// routing of each record (3270 data or text). Bytes go in through Feed;
// what they mean and the bytes to send come out through TTelnetSession::
// TEvents. No socket, no lock, no thread, no clock: the caller serialises
// every call (TOrvTelnet does it under its session lock), and a test can
// drive it alone.
#pragma once

#include "telnet/uReceiveProgress.h"
#include "telnet/uStartTls.h"
#include "telnet/uTelnetEngine.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

class TTelnetSession final : private TTelnetEngine::TEvents {
public:
    // Telnet options this session knows (RFC 856, 858, 779, 1091, 885, 2355).
    static constexpr std::uint8_t TELOPT_BINARY = 0, TELOPT_SGA = 3, TELOPT_SNDLOC = 23,
                                  TELOPT_TTYPE = 24, TELOPT_EOR = 25, TELOPT_TN3270E = 40;
    static constexpr std::uint8_t TTYPE_IS = 0, TTYPE_SEND = 1;
    // Record assembly holds no buffer: the runs of record data the engine
    // finds (between IACs) are handed on as they lie in the received block,
    // the last one of a record with its end (OnEndOfRecord), so that a
    // record that arrives whole in one block reaches the layer above in one
    // piece and is never copied here. The layer above collects the runs of
    // a record that spans blocks (or holds a doubled IAC).
    // First byte of a TN3270E header: the data type NVT-DATA.
    static constexpr std::uint8_t kDataTypeNvt = 0x05;

    // What a completed record is, by the options in force when it ended.
    enum class TRecord : std::uint8_t {
        Data3270,  // BINARY agreed: a 3270 data stream record (with its TN3270E header in TN3270E)
        Text,      // no BINARY: text for the user
        NvtText,   // TN3270E with the data type NVT-DATA: text, header included
    };

    // Where the session reports; spans are valid only during the call. A
    // handler may call the session's Send*, Answer and DropTn3270E; not Feed.
    class TEvents {
    public:
        virtual ~TEvents() = default;
        // Record bytes for the layer above, in runs (a record may take
        // many), to be kept until the record's end.
        virtual void OnRecordData(std::span<const std::uint8_t> run) = 0;
        // The record whose bytes came since the previous end is complete;
        // last: its last run, not handed on by OnRecordData (empty when
        // there is none). A record whose bytes all come in `last` arrived
        // whole: it can be read where it lies, during the call.
        virtual void OnEndOfRecord(TRecord kind, std::span<const std::uint8_t> last) = 0;
        // A subnegotiation other than START_TLS, as the engine collected it
        // (option byte first, the IAC before SE last). TERMINAL-TYPE SEND is
        // answered by AnswerTerminalType, which the handler calls.
        virtual void OnSubnegotiation(std::span<const std::uint8_t> data) = 0;
        // The TERMINAL-TYPE name to send (asked for each answer).
        virtual std::string TerminalType() = 0;
        // TN3270E has been withdrawn in this connection (see DropTn3270E).
        virtual void OnTn3270EDropped(bool byUs) = 0;
        // The session cannot go on: the connection must end. reason: why,
        // in words a user can act on (for LastError); empty when it has
        // been logged already and is not the connection's error.
        virtual void OnFailed(const std::string& reason) = 0;
        // Bytes for the host, complete telnet sequences, by kind (for the log).
        virtual void OnSend(std::span<const std::uint8_t> bytes, TTelnetEngine::TOutput kind) = 0;
    };

    explicit TTelnetSession(TEvents& events) : events_(events) {}
    TTelnetSession(const TTelnetSession&) = delete;
    TTelnetSession& operator=(const TTelnetSession&) = delete;

    // A new connection: every option off, nothing half parsed or half
    // assembled, START_TLS waiting for the host's offer when wanted.
    void Reset(bool startTls);

    // ---- input
    // Received bytes (a block, or part of one: a command split across calls
    // is completed by the next call).
    void Feed(std::span<const std::uint8_t> bytes);
    // The end of one received block: while START_TLS is pending, a host that
    // sent something else and did not offer START_TLS in the block fails.
    void EndBlock();

    // ---- option rules
    // The host's IAC verb option (outside START_TLS), answered by the rules.
    void NegotiateOption(std::uint8_t verb, std::uint8_t option);
    // IAC verb option, unconditionally.
    void Answer(std::uint8_t verb, std::uint8_t option);
    // A subnegotiation: TERMINAL-TYPE SEND is answered once per connection
    // (and after a TN3270E withdrawal once more); a second request fails
    // the session. Anything else is left alone.
    void AnswerTerminalType(std::span<const std::uint8_t> data);
    // TN3270E ends in this connection and plain TN3270 goes on: records are
    // text until BINARY is agreed again, and the next TERMINAL-TYPE SEND is
    // answered. byUs: we give it up (WONT TN3270E is sent, and a new DO
    // TN3270E in this connection is refused); else the host's DONT has been
    // answered already. Reports OnTn3270EDropped.
    void DropTn3270E(bool byUs);
    // TN3270E was on in this connection and has been dropped.
    bool Tn3270EDropped() const { return tn3270eDropped_; }

    // ---- output (through the START_TLS send guard)
    void SendRecord(std::span<const std::uint8_t> record);
    void SendCommand(std::uint8_t command);
    void SendSubnegotiation(std::uint8_t option, std::span<const std::uint8_t> payload);

    // ---- record assembly
    // Record bytes to hand on (at once: the bytes need not outlive the call).
    void AddData(std::span<const std::uint8_t> bytes);
    // Hands on the run kept back for the record's end, if any (Feed does it
    // at the end of every block: the run lies in the block).
    void FlushRecord();
    // What a record ending now would be.
    TRecord RecordKind() const;

    // ---- START_TLS (the connection runs the handshake)
    const TStartTls& StartTls() const { return startTls_; }
    // True once after FOLLOWS has been exchanged: the caller runs the handshake now.
    bool TakeTlsHandshake();
    // The handshake succeeded: the negotiation starts afresh inside TLS.
    void TlsUp();
    // The handshake failed, or the host let the exchange's deadline pass.
    void TlsFailed(const std::string& reason);
    // The deadline of the exchange has passed: fails it unless TLS is up.
    void StartTlsTimedOut();

    // What each received block did (for the receive-loop guard).
    TReceiveProgress& Progress() { return progress_; }
    const TTelnetEngine& Engine() const { return engine_; }

    // ---- state the layer above reads and may set
    bool BinaryMode = false;
    bool Tn3270EAccepted = false;
    bool AllowTn3270E = false;  // kept across connections
    std::uint16_t TermTypeRequests = 0;
    std::string Location = "TOrvTelnet";  // sent for SEND-LOCATION; kept across connections

private:
    // TTelnetEngine::TEvents
    void OnData(std::span<const std::uint8_t> run) override;
    void OnEndOfRecord() override;
    void OnOption(std::uint8_t verb, std::uint8_t option) override;
    void OnSubnegotiation(std::span<const std::uint8_t> data) override;
    void OnSubnegotiationDiscarded() override;
    void OnCommand(std::uint8_t command) override;
    void OnSend(std::span<const std::uint8_t> bytes, TTelnetEngine::TOutput kind) override;

    void StartTlsAction(TStartTls::TAction action);
    void Fail(const std::string& reason);
    bool AcceptsDo(std::uint8_t option) const;
    bool AcceptsWill(std::uint8_t option) const;
    // What a new negotiation (a connection, TLS up) starts from.
    void ResetNegotiation();

    TEvents& events_;
    TTelnetEngine engine_{*this};
    TReceiveProgress progress_;
    // Each option on or off on our side (WILL/WONT) and on the host's (DO/DONT).
    std::array<bool, 256> usOn_{};
    std::array<bool, 256> himOn_{};
    bool tn3270eRefused_ = false;  // we gave TN3270E up: refuse it again
    bool tn3270eDropped_ = false;
    TStartTls startTls_;
    bool sendingStartTls_ = false;  // our own START_TLS answers pass the send guard
    bool tlsHandshakeTaken_ = false;
    // The latest run of record data, kept back (in the block being fed)
    // until the next run, the record's end or the end of the block.
    std::span<const std::uint8_t> pending_;
    // The first byte of the record being received (NVT-DATA is told by it).
    std::optional<std::uint8_t> recordFirst_;
};

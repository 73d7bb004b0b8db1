// The telnet protocol engine without I/O: received bytes go in, and what
// they mean comes out through TTelnetEngine::TEvents: runs of record data,
// the end of each record (IAC EOR, RFC 885), option verbs (RFC 854/855),
// subnegotiations, other telnet commands, and the bytes to send back.
// It holds no socket, no thread, no clock and no lock: the caller
// serialises every call (TOrvTelnet does it under the session lock).
//
// Subnegotiation rules (RFC 855): the bytes after IAC SB are collected up
// to IAC SE, which alone ends it; IAC IAC inside is one data byte 0xFF, a
// lone SE is data, and IAC followed by any other byte is dropped with that
// byte. The IAC of IAC SE is reported as the last collected byte (the
// TN3270E handler finds the end by it). A subnegotiation longer than
// kSubnegLimit bytes is consumed up to its IAC SE and discarded whole.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

class TTelnetEngine {
public:
    // Telnet codes (RFC 854).
    static constexpr std::uint8_t IAC = 0xFF, DONT = 0xFE, DO = 0xFD, WONT = 0xFC, WILL = 0xFB,
                                  SB = 0xFA, SE = 0xF0, EOR = 0xEF;
    // Longest subnegotiation kept (after IAC SB, up to and including the IAC
    // before SE); a longer one is discarded whole.
    static constexpr std::size_t kSubnegLimit = 100;
    // The output frame is kept for the next send while it holds at most this
    // many bytes (a key's record, a negotiation: no allocation per send); a
    // larger one (a long reply) is freed once sent, so that an idle session
    // does not hold it.
    static constexpr std::size_t kKeptFrameBytes = 1024;

    // What the bytes to send are, so that the sink can log them by kind.
    enum class TOutput { Negotiation, Subnegotiation, Command, Record };

    // Where the engine reports. Every span is valid only during the call.
    // A handler may call the engine's Send* operations; it must not call
    // Feed (a nested Feed throws std::logic_error) and may call Reset.
    class TEvents {
    public:
        virtual ~TEvents() = default;
        // Record data, IAC IAC already undoubled; one record may come in
        // many runs, across Feed calls.
        virtual void OnData(std::span<const std::uint8_t> run) = 0;
        // IAC EOR: the data since the previous one is a complete record.
        virtual void OnEndOfRecord() = 0;
        // IAC WILL/WONT/DO/DONT option.
        virtual void OnOption(std::uint8_t verb, std::uint8_t option) = 0;
        // IAC SB ... SE: the bytes between, option byte first, ending with
        // the IAC before SE.
        virtual void OnSubnegotiation(std::span<const std::uint8_t> data) = 0;
        // A subnegotiation over kSubnegLimit bytes reached its SE and was dropped.
        virtual void OnSubnegotiationDiscarded() = 0;
        // Any other IAC command (NOP, DM, BRK, IP, AO, AYT, EC, EL, GA, a
        // stray SE): the engine itself ignores it.
        virtual void OnCommand(std::uint8_t command) = 0;
        // Bytes for the peer, complete telnet sequences.
        virtual void OnSend(std::span<const std::uint8_t> bytes, TOutput kind) = 0;
    };

    // The parser's state; public for tests and diagnostics only.
    enum class TState {
        Data,        // record data; IAC starts a command
        Iac,         // after IAC
        Verb,        // after IAC WILL/WONT/DO/DONT, waiting for the option
        Subneg,      // inside IAC SB, collecting
        SubnegIac,   // inside IAC SB, after an IAC: SE ends, IAC is a data 0xFF
    };

    explicit TTelnetEngine(TEvents& events) : events_(events) {}
    TTelnetEngine(const TTelnetEngine&) = delete;
    TTelnetEngine& operator=(const TTelnetEngine&) = delete;

    // Parses the bytes; a command split across calls is completed by the
    // next call. An exception thrown by a handler leaves Feed with the state
    // already past the byte that caused it; the rest of the input is not parsed.
    void Feed(std::span<const std::uint8_t> bytes);
    // Back to Data, nothing half parsed (a new connection).
    void Reset();

    TState State() const { return state_; }

    // ---- output, handed to TEvents::OnSend
    // IAC verb option.
    void SendOption(std::uint8_t verb, std::uint8_t option);
    // IAC SB option payload IAC SE, every 0xFF of the payload doubled: the
    // one framer of every subnegotiation the client sends.
    void SendSubnegotiation(std::uint8_t option, std::span<const std::uint8_t> payload);
    // IAC command.
    void SendCommand(std::uint8_t command);
    // One record: every 0xFF doubled, IAC EOR appended.
    void SendRecord(std::span<const std::uint8_t> record);

private:
    void EndSubnegotiation();
    void Collect(std::uint8_t c);
    void Emit(std::vector<std::uint8_t>& frame, TOutput kind);
    std::vector<std::uint8_t>& OutFrame(std::vector<std::uint8_t>& spare);

    TEvents& events_;
    TState state_ = TState::Data;
    std::uint8_t verb_ = 0;
    std::array<std::uint8_t, kSubnegLimit> subneg_{};
    std::size_t subnegLength_ = 0;
    bool subnegOverflow_ = false;
    bool feeding_ = false;
    bool sending_ = false;
    std::vector<std::uint8_t> out_;  // reused output frame (kKeptFrameBytes)
};

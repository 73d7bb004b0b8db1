// The client side of the telnet START_TLS option (46, from the telnet
// START_TLS draft), without I/O: what the host may say before TLS is up,
// what the client answers, and when the handshake starts.
//
//   host: IAC DO START_TLS                  client: IAC WILL START_TLS
//   host: IAC SB START_TLS FOLLOWS IAC SE   client: IAC SB START_TLS FOLLOWS IAC SE
//   then the TLS handshake (the client's reader runs it), and the telnet
//   negotiation starts afresh inside TLS.
//
// While START_TLS is wanted and TLS is not up, the client sends nothing
// else and takes nothing else from the host. Hosts often send several
// requests in one block, so one that is not START_TLS is remembered and
// judged at the end of the block: if START_TLS was not offered in it, the
// host does not do START_TLS and the session ends. Once it has offered
// START_TLS, its other requests before FOLLOWS are dropped (it negotiates
// again inside TLS); a DONT or WONT START_TLS ends the session, and the
// caller bounds the whole exchange by the connect time-out. A session never
// goes on in clear text by itself.
//
// Not thread-safe: TOrvTelnet calls it under its session lock.
#pragma once

#include <cstdint>
#include <span>
#include <string>

class TStartTls {
public:
    static constexpr std::uint8_t kOption = 46;
    static constexpr std::uint8_t kFollows = 1;

    enum class TState : std::uint8_t {
        Off,          // not wanted: the option is refused like any unknown one
        WaitOffer,    // wanted: waiting for the host's DO START_TLS
        WaitFollows,  // WILL sent: waiting for the host's FOLLOWS
        Handshake,    // FOLLOWS sent: the reader runs the handshake
        Up,           // TLS is up; the option plays no further part
        Failed,       // the session is ending; everything is dropped
    };
    // What the caller does after a host's option or subnegotiation.
    enum class TAction : std::uint8_t {
        None,          // nothing to send (dropped, or remembered)
        SendWill,      // answer IAC WILL START_TLS
        SendFollows,   // answer IAC SB START_TLS FOLLOWS IAC SE, then start the handshake
        Fail,          // end the session with Failure()
    };

    // A new connection: WaitOffer when START_TLS is wanted, else Off.
    void Reset(bool wanted);
    TState State() const { return state_; }
    // True while the host's bytes and the client's sends are held back.
    bool Guarding() const { return state_ != TState::Off && state_ != TState::Up; }

    // IAC verb option from the host while Guarding().
    TAction OnOption(std::uint8_t verb, std::uint8_t option);
    // IAC SB ... SE from the host while Guarding(); data as the engine
    // collected it (option byte first, the IAC before SE last).
    TAction OnSubnegotiation(std::span<const std::uint8_t> data);
    // Anything else from the host while Guarding(): record data, a record's
    // end, another telnet command. what names it for the reason.
    void OnOther(const char* what);
    // The end of a received block: Fail when the host sent something else
    // and did not offer START_TLS in the same block.
    TAction EndOfBlock();

    void Upgraded() { state_ = TState::Up; }
    // Ends the exchange; the reason is kept for Failure().
    void Fail(std::string reason);
    const std::string& Failure() const { return failure_; }

private:
    TState state_ = TState::Off;
    std::string other_;    // the first other thing the host sent in this block
    std::string failure_;
};

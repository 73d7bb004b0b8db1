// The host side of telnet 3270: a byte-level engine that negotiates like a
// TN3270E server (RFC 2355) or a plain TN3270 server (RFC 1091, 885, 856),
// frames records with IAC EOR in both directions, and adds or strips the
// TN3270E header. It does no I/O: bytes come in through Feed(), and
// everything it has to say (bytes for the wire, finished records, the end
// of the negotiation) goes out through the sink, during the call.
//
// Negotiation, TN3270E mode (the default):
//   host: DO TN3270E                       client: WILL TN3270E
//   host: SB TN3270E SEND DEVICE-TYPE      client: DEVICE-TYPE REQUEST type [CONNECT lu]
//   host: DEVICE-TYPE IS type CONNECT lu   (or REJECT REASON r)
//   client: FUNCTIONS REQUEST list         host: FUNCTIONS IS agreed
//                                          (or FUNCTIONS REQUEST subset, then IS)
// When the client answers WONT TN3270E or gives TN3270E up later (and
// fallback is allowed), when the host withdraws it (DONT TN3270E), or when
// the options say so, plain TN3270:
//   host: DO TERMINAL-TYPE                 client: WILL TERMINAL-TYPE
//   host: SB TERMINAL-TYPE SEND            client: SB TERMINAL-TYPE IS type[@lu]
//   host: DO EOR, WILL EOR, DO BINARY, WILL BINARY, and the client agrees
//
// One engine serves one connection and is not thread-safe; the caller
// serialises Feed() and the Send* calls.
#pragma once

#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "sim/uSim3270Codes.h"
#include "sim/uSim3270Decoder.h"

namespace tnsim {

// Telnet commands (RFC 854) and the options the host uses.
namespace tel {
inline constexpr std::uint8_t IAC = 0xFF;
inline constexpr std::uint8_t DONT = 0xFE;
inline constexpr std::uint8_t DO = 0xFD;
inline constexpr std::uint8_t WONT = 0xFC;
inline constexpr std::uint8_t WILL = 0xFB;
inline constexpr std::uint8_t SB = 0xFA;
inline constexpr std::uint8_t GA = 0xF9;
inline constexpr std::uint8_t EL = 0xF8;
inline constexpr std::uint8_t EC = 0xF7;
inline constexpr std::uint8_t AYT = 0xF6;
inline constexpr std::uint8_t AO = 0xF5;
inline constexpr std::uint8_t IP = 0xF4;
inline constexpr std::uint8_t BRK = 0xF3;
inline constexpr std::uint8_t DM = 0xF2;
inline constexpr std::uint8_t NOP = 0xF1;
inline constexpr std::uint8_t SE = 0xF0;
inline constexpr std::uint8_t EOR = 0xEF;
}  // namespace tel

namespace opt {
inline constexpr std::uint8_t Binary = 0;
inline constexpr std::uint8_t Sga = 3;
inline constexpr std::uint8_t TerminalType = 24;
inline constexpr std::uint8_t Eor = 25;
inline constexpr std::uint8_t Tn3270E = 40;
}  // namespace opt

// TERMINAL-TYPE subcommands (RFC 1091).
namespace ttype {
inline constexpr std::uint8_t Is = 0;
inline constexpr std::uint8_t Send = 1;
}  // namespace ttype

// TN3270E subnegotiation codes (RFC 2355).
namespace tne {
inline constexpr std::uint8_t Associate = 0;
inline constexpr std::uint8_t Connect = 1;
inline constexpr std::uint8_t DeviceType = 2;
inline constexpr std::uint8_t Functions = 3;
inline constexpr std::uint8_t Is = 4;
inline constexpr std::uint8_t Reason = 5;
inline constexpr std::uint8_t Reject = 6;
inline constexpr std::uint8_t Request = 7;
inline constexpr std::uint8_t Send = 8;
}  // namespace tne

// TN3270E function codes.
namespace fn {
inline constexpr std::uint8_t BindImage = 0;
inline constexpr std::uint8_t DataStreamCtl = 1;
inline constexpr std::uint8_t Responses = 2;
inline constexpr std::uint8_t ScsCtlCodes = 3;
inline constexpr std::uint8_t SysReq = 4;
}  // namespace fn

// DEVICE-TYPE REJECT reasons.
namespace reason {
inline constexpr std::uint8_t ConnPartner = 0;
inline constexpr std::uint8_t DeviceInUse = 1;
inline constexpr std::uint8_t InvAssociate = 2;
inline constexpr std::uint8_t InvName = 3;
inline constexpr std::uint8_t InvDeviceType = 4;
inline constexpr std::uint8_t TypeNameError = 5;
inline constexpr std::uint8_t UnknownError = 6;
inline constexpr std::uint8_t UnsupportedReq = 7;
}  // namespace reason

// Bounds of what the engine collects from a client.
inline constexpr std::size_t kMaxRecordBytes = 65536;   // a longer record is dropped whole
inline constexpr std::size_t kMaxSubnegBytes = 512;     // a longer subnegotiation is ignored
inline constexpr int kMaxDeviceTypeRounds = 8;          // DEVICE-TYPE REQUESTs before giving up
inline constexpr int kMaxFunctionsRounds = 4;           // FUNCTIONS REQUESTs before settling

enum class TSimMode { Tn3270E, Plain };

// Where a TN3270E host withdraws TN3270E (DONT TN3270E) and goes on with
// plain TN3270: after the client's WILL TN3270E, after its DEVICE-TYPE
// REQUEST, after its FUNCTIONS REQUEST (before answering them).
enum class TSimWithdraw { Never, AfterWill, AfterDeviceType, AfterFunctions };

// The functions a host offers unless told otherwise. (A function rather than
// a braced list in the member initialiser: GCC 12 warns falsely about that.)
inline std::vector<std::uint8_t> DefaultHostFunctions()
{
    static constexpr std::uint8_t kDefault[] = {fn::BindImage, fn::Responses, fn::SysReq};
    return std::vector<std::uint8_t>(std::begin(kDefault), std::end(kDefault));
}

struct TSimTelnetOptions {
    // TN3270E: offer DO TN3270E first. Plain: start with DO TERMINAL-TYPE.
    TSimMode mode = TSimMode::Tn3270E;
    // Go on with plain TN3270 when the client answers WONT TN3270E;
    // otherwise that ends the negotiation as failed.
    bool fallbackToPlain = true;
    // Functions the host supports; the agreed set is their intersection
    // with the client's request.
    std::vector<std::uint8_t> functions = DefaultHostFunctions();
    // When the client asks for more than the host supports: answer with
    // FUNCTIONS REQUEST of the subset and wait for the client to agree (as
    // RFC 2355 describes), or settle at once with FUNCTIONS IS of the subset.
    bool functionsIsAtOnce = false;
    // Withdraw TN3270E at this point of the negotiation (TN3270E mode).
    TSimWithdraw withdrawTn3270E = TSimWithdraw::Never;
    // Reject the first N DEVICE-TYPE REQUESTs with `rejectReason`.
    int rejectDeviceTypeTimes = 0;
    std::uint8_t rejectReason = reason::InvName;
    // Terminal types accepted; empty: any "IBM-3278-n", "IBM-3279-n"
    // (n = 2..5, optionally "-E") or "IBM-DYNAMIC".
    std::vector<std::string> terminalTypes;
    // Plain mode: how many TERMINAL-TYPE SENDs to make before the answer is
    // taken (a second SEND means "that type is not acceptable, name another").
    int terminalTypeSends = 1;
};

// The result of a finished negotiation.
struct TSimNegotiated {
    bool tn3270e = false;
    std::string terminalType;          // as the client named it ("IBM-3278-2-E")
    std::string luName;                // CONNECTed LU, or the one named with "@" in plain mode (may be empty)
    std::vector<std::uint8_t> functions;  // agreed TN3270E functions, ascending; empty in plain mode
    bool binary = false;
    bool eor = false;
    bool HasFunction(std::uint8_t f) const;
};

// One record from the client. In TN3270E mode `header` is the record's
// own header and `data` what follows it; in plain mode `header` is all
// zero (3270-DATA) and `data` is the whole record.
struct TSimRecord {
    bool tn3270e = false;
    TSimTnHeader header;
    Bytes data;
};

// What the pool says about a DEVICE-TYPE REQUEST.
struct TSimLuGrant {
    bool granted = false;
    std::string luName;                       // when granted
    std::uint8_t rejectReason = reason::DeviceInUse;  // when not
};

// Receives everything the engine produces, synchronously inside Feed(),
// Start() and the Send* calls. Calls must not re-enter the engine.
class ISimTelnetSink {
public:
    virtual ~ISimTelnetSink() = default;
    // Bytes for the client, in order; `bytes` is valid during the call.
    virtual void OnSend(ByteView bytes) = 0;
    // Picks the LU for a device request; `requested` is empty when the
    // client named none.
    virtual TSimLuGrant AssignLu(std::string_view terminalType, std::string_view requested) = 0;
    // An LU granted earlier is no longer used by this connection (the
    // client asked again).
    virtual void ReleaseLu(std::string_view /*luName*/) {}
    virtual void OnNegotiated(const TSimNegotiated& state) = 0;
    virtual void OnRecord(const TSimRecord& record) = 0;
    // A telnet command from the client outside negotiation: AO (SysReq),
    // IP (ATTN), BRK, AYT, NOP, ...
    virtual void OnTelnetCommand(std::uint8_t /*command*/) {}
    // The negotiation cannot finish (client refused an option, too many
    // rounds, an unacceptable terminal type). The caller should close.
    virtual void OnFailure(std::string_view reason) = 0;
    // Something the client sent was malformed and was dropped.
    virtual void OnProtocolError(std::string_view /*what*/) {}
};

class TSimTelnet {
public:
    TSimTelnet(TSimTelnetOptions options, ISimTelnetSink& sink);

    // Sends the opening request (DO TN3270E or DO TERMINAL-TYPE).
    void Start();
    // Processes bytes from the client, any split.
    void Feed(ByteView bytes);

    bool IsNegotiated() const { return mNeg == Neg::Done; }
    bool IsFailed() const { return mNeg == Neg::Failed; }
    const TSimNegotiated& Negotiated() const { return mResult; }

    // Sends one record, framed with IAC doubling and IAC EOR. In TN3270E
    // mode a header with `dataType`, `responseFlag` and the next SEQ-NUMBER
    // goes first; the SEQ-NUMBER used is returned (0 in plain mode). Throws
    // std::logic_error before the negotiation has finished, and in plain
    // mode for any data type but 3270-DATA (there is no header to carry it).
    std::uint16_t SendRecord(std::uint8_t dataType, ByteView data, std::uint8_t responseFlag = rf::NoResponse);
    // A RESPONSE record answering `seq` (TN3270E mode only).
    void SendResponse(std::uint16_t seq, bool positive, std::uint8_t code);
    // Frames `record` as it is (IAC doubled, IAC EOR): no header is added.
    void SendFramed(ByteView record);
    // IAC `command` (NOP, AYT, ...).
    void SendCommand(std::uint8_t command);
    // Bytes as they are: for hostile-host tests.
    void SendRaw(ByteView bytes);

    // Doubles IAC and appends IAC EOR.
    static Bytes Frame(ByteView record);

private:
    enum class Parse { Data, Iac, Verb, Sb, SbIac };
    enum class Neg {
        Idle,
        AwaitTn3270E,     // DO TN3270E sent
        AwaitDeviceType,  // SEND DEVICE-TYPE sent
        AwaitFunctions,   // DEVICE-TYPE IS sent
        AwaitTermType,    // DO TERMINAL-TYPE sent
        AwaitTermTypeIs,  // TERMINAL-TYPE SEND sent
        AwaitBinaryEor,   // DO/WILL EOR and BINARY sent
        Done,
        Failed,
    };
    // RFC 1143 option states, one side each.
    enum class Q : std::uint8_t { No, Yes, WantYes, WantNo };

    void OnVerb(std::uint8_t verb, std::uint8_t option);
    void OnSubneg();
    void OnTn3270ESubneg(ByteView sb);
    void OnTerminalTypeSubneg(ByteView sb);
    void OnDeviceTypeRequest(ByteView body);
    void OnFunctions(std::uint8_t verb, ByteView list);
    void OnRecordEnd();
    void OptionChanged(std::uint8_t option);

    void StartPlain();
    // DONT TN3270E, then plain TN3270.
    void Withdraw();
    // The client's TN3270E went off during the TN3270E negotiation.
    void Tn3270EOff();
    void Finish(bool tn3270e);
    void Fail(std::string_view reason);
    void Ask(std::uint8_t verb, std::uint8_t option);
    void SendSubneg(ByteView body);
    void SendFunctions(std::uint8_t verb, const std::vector<std::uint8_t>& list);
    void RejectDeviceType(std::uint8_t why);
    bool TerminalTypeAccepted(std::string_view type) const;
    bool HostSupports(std::uint8_t function) const;

    TSimTelnetOptions mOpt;
    ISimTelnetSink& mSink;

    Parse mParse = Parse::Data;
    std::uint8_t mVerb = 0;
    Bytes mSub;
    bool mSubOverflow = false;
    Bytes mRecord;
    bool mRecordOverflow = false;

    Neg mNeg = Neg::Idle;
    std::array<Q, 256> mUs{};   // our side (WILL/WONT)
    std::array<Q, 256> mHim{};  // the client's side (DO/DONT)
    int mDeviceTypeRounds = 0;
    int mRejectsLeft = 0;
    int mFunctionsRounds = 0;
    int mTermTypeSendsLeft = 0;
    std::vector<std::uint8_t> mProposed;  // our FUNCTIONS REQUEST, waiting for agreement
    std::string mGrantedLu;
    std::string mTerminalType;
    TSimNegotiated mResult;
    std::uint16_t mNextSeq = 0;
};

}  // namespace tnsim

// Shared enumerations and callback types of the package, and the default
// character translation tables of the data stream.
#pragma once

#include "log/uTLogg.h"  // THECharLang
#include "platform/uOrvObject.h"

#include <array>
#include <cstdint>
#include <functional>

enum class TSessionState : std::uint8_t { ssNone, ssSscpLu, ssLuLu };

enum class TCallBackEvent : std::uint8_t {
    ceSessionConnected,
    ceSessionConnectedFail,
    ceSessionDisconnected,
    ceSessionState,
    ceScreenChanged,
    ceKbdLocked,
    ceKbdUnLocked,
    ceIsAlive,
};

enum class TTn3270TerminalType : std::uint8_t { tt3278m2, tt3278m2E };

// The ordinal of each member is its TN3270E function code.
enum class TTn3270ExtendedFunction : std::uint8_t {
    efBindImage = 0,
    efDataStreamCtl = 1,
    efResponses = 2,
    efScsCtlCodes = 3,
    efSysReq = 4,
};

// Set of TTn3270ExtendedFunction, one bit per function code.
class TTn3270ExtendedFunctions {
public:
    constexpr TTn3270ExtendedFunctions() = default;
    constexpr TTn3270ExtendedFunctions(std::initializer_list<TTn3270ExtendedFunction> members)
    {
        for (auto m : members)
            bits_ |= Bit(m);
    }
    constexpr bool Contains(TTn3270ExtendedFunction f) const { return (bits_ & Bit(f)) != 0; }
    constexpr void Include(TTn3270ExtendedFunction f) { bits_ |= Bit(f); }
    constexpr void Exclude(TTn3270ExtendedFunction f) { bits_ &= static_cast<std::uint8_t>(~Bit(f)); }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr std::uint8_t Bits() const { return bits_; }
    constexpr bool operator==(const TTn3270ExtendedFunctions&) const = default;

private:
    static constexpr std::uint8_t Bit(TTn3270ExtendedFunction f)
    {
        return static_cast<std::uint8_t>(1u << static_cast<unsigned>(f));
    }
    std::uint8_t bits_ = 0;
};

enum class TTn3270AidKey : std::uint8_t {
    akNoOp, akEnter, akClear, akATTN, akSysReq,
    akPF1, akPF2, akPF3, akPF4, akPF5, akPF6, akPF7, akPF8, akPF9, akPF10, akPF11, akPF12,
    akPF13, akPF14, akPF15, akPF16, akPF17, akPF18, akPF19, akPF20, akPF21, akPF22, akPF23, akPF24,
    akPA1, akPA2, akPA3,
};

// The data stream hands every block for the host through this. The span
// is valid only during the call.
using TWriteDataEvent = std::function<void(const void* buf, std::int32_t len)>;
// Component notifications raised inside the package.
using TTNNotifyEvent = std::function<void(TCallBackEvent cbEvent)>;
// Plain procedure callback declared for host code; no operation uses it.
using TLinkToCallBackProc = void (*)(TObject* Sender, TCallBackEvent Event);

// Default translation tables of the data stream (local code -> EBCDIC and back).
extern const std::array<std::uint8_t, 256> asc2ebc;
extern const std::array<std::uint8_t, 256> ebc2asc;

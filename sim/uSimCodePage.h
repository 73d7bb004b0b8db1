// A host code page for the simulator, taken from the system's iconv at run
// time ("IBM1141", "IBM297", ...): the simulator's applications and tests
// write UTF-8 text and the host puts it on the wire in that code page, and
// what the terminal sends back is read with it. Independent of the client's
// built-in tables, so a wrong table shows as a difference on the wire.
#pragma once

#include "sim/uSim3270Codes.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace tnsim {

class TSimCodePage {
public:
    // Throws std::invalid_argument when iconv has no conversion between
    // the name and UTF-8.
    explicit TSimCodePage(std::string iconvName);

    const std::string& Name() const { return mName; }
    // UTF-8 text in the code page; throws std::invalid_argument for a
    // character the page does not have or text that is not UTF-8.
    Bytes Encode(std::string_view utf8) const;
    // Host bytes as UTF-8; a byte without a character gives U+FFFD.
    std::string Decode(ByteView bytes) const;

private:
    std::string mName;
    std::array<std::string, 256> mToUtf8;  // each host byte as UTF-8 ("" when none)
};

}  // namespace tnsim

// The paths the fuzz targets drive, one function per target. The libFuzzer
// entry points (fuzz_*.cpp) call them and abort on a broken invariant; the
// regression tests (tests/fuzz_regress) replay saved inputs through the same
// functions. Each returns "" when every invariant held, else the first
// broken one. Inputs of any length and content are valid.
//
// Input layouts (all parts optional: a short input simply ends early):
//
// RunProfile: the whole input is profile-file text.
// RunTable:   the whole input is the text of a translation table file.
// RunStream:  byte 0: bit 0 set = TN3270E (extended) records; bits 1-7
//             modulo 5 pick the screen (FuzzScreenSize).
//             Then up to 64 operations (the rest is ignored), each an opcode byte:
//               op % 5 == 0: record: 2-byte big-endian length, then that many
//                  bytes (cut to what is left), given to AddBuffer in pieces of
//                  (op >> 3) + 1 bytes when bit 2 of op is set, else whole,
//                  then ProcessData.
//               op % 5 == 1: long record: a length byte L and a byte N, then
//                  L + 1 bytes that start the record; EBCDIC blanks fill it
//                  to 65536 - 256 + 2 * N bytes (around the input bound),
//                  then ProcessData.
//               op % 5 == 2: attention key: the next byte picks the AID
//                  (Enter, Clear, PF1-24, PA1-3, by index modulo 29);
//                  readModifiedCommand.
//               op % 5 == 3: readBufferCommand.
//               op % 5 == 4: the SysReq key's UNBIND (ProcessUnBind).
// RunReceive: byte 0: bit 0 set = TN3270E allowed; bit 1 = the -E terminal
//             type; bits 2-4 = the key pressed at the end (Enter, Clear, PF1,
//             PA1, PF24, SysReq, ATTN, Enter); bits 5-7 modulo 5 the
//             screen (FuzzScreenSize). The rest is what the host
//             sends; it is given to the telnet engine once whole and once a
//             byte at a time, and both sessions must end identical.
#pragma once

#include "display/uScreenGeometry.h"

// The alternate size a fuzz input picks: models 2 to 5 (0 to 3), and an
// oversize screen of more than 4,096 positions (4).
constexpr TScreenSize FuzzScreenSize(unsigned pick)
{
    return pick % 5 == 4 ? TScreenSize{62, 160} : *ModelAlternateSize(static_cast<std::int32_t>(2 + pick % 5));
}

#include <cstddef>
#include <cstdint>
#include <string>

namespace tnfuzz {

std::string RunProfile(const std::uint8_t* data, std::size_t size);
std::string RunTable(const std::uint8_t* data, std::size_t size);
std::string RunStream(const std::uint8_t* data, std::size_t size);
std::string RunReceive(const std::uint8_t* data, std::size_t size);

}  // namespace tnfuzz

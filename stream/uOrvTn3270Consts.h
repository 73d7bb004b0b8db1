// 3270 constants: the six-bit code table of buffer addresses and the
// attention identifiers of the PF and PA keys.
#pragma once

#include <array>
#include <cstdint>

// Turns a six-bit value into the EBCDIC graphic that carries it on the wire.
extern const std::array<std::uint8_t, 64> codeTable;
// PF1 .. PF24 (index 0 = PF1) and PA1 .. PA3.
extern const std::array<std::uint8_t, 24> AID_PF;
extern const std::array<std::uint8_t, 3> AID_PA;

inline constexpr std::uint8_t AID_ENTER = 0x7D;
inline constexpr std::uint8_t AID_CLEAR = 0x6D;
inline constexpr std::uint8_t AID_NONE = 0x60;
inline constexpr std::uint8_t AID_SF = 0x88;

// Encodes a position in the 12-bit coded form (two bytes).
void EncodeBufferAddress(std::int32_t position, std::uint8_t out[2]);
// Encodes a position in the 14-bit binary form (high bits of the first byte clear).
void EncodeBufferAddress14(std::int32_t position, std::uint8_t out[2]);
// Decodes a 12-bit coded or 14-bit address; no range check.
std::int32_t DecodeBufferAddress(std::uint8_t b1, std::uint8_t b2);

// Outbound 3270 record builder of the host simulator.
#include "sim/uSim3270Encoder.h"

#include "sim/uSimCodePage.h"

#include <stdexcept>
#include <utility>

namespace tnsim {

namespace {
// Structured field ids and the Read Partition type used here.
constexpr std::uint8_t kSfReadPartition = 0x01;
constexpr std::uint8_t kSfOutbound3270DS = 0x40;
constexpr std::uint8_t kPidQuery = 0xFF;
constexpr std::uint8_t kRpQuery = 0x02;
constexpr std::uint8_t kRpQueryList = 0x03;
constexpr std::size_t kMaxStructuredFieldLength = 0xFFFF;
}  // namespace

std::uint8_t TSim3270Encoder::WccByte(std::uint8_t wccBits) {
    // The low six bits travel as a code-table graphic; the reset bit (0x40)
    // is kept as given.
    return static_cast<std::uint8_t>(SixBitGraphic(wccBits & 0x3F) | (wccBits & wcc::Reset));
}

TSim3270Encoder& TSim3270Encoder::Command(std::uint8_t command, std::uint8_t rawWcc) {
    mOut.push_back(command);
    mOut.push_back(rawWcc);
    return *this;
}

TSim3270Encoder& TSim3270Encoder::Write(std::uint8_t w) { return Command(cmd::W, WccByte(w)); }
TSim3270Encoder& TSim3270Encoder::EraseWrite(std::uint8_t w) { return Command(cmd::EW, WccByte(w)); }
TSim3270Encoder& TSim3270Encoder::EraseWriteAlternate(std::uint8_t w) { return Command(cmd::EWA, WccByte(w)); }

TSim3270Encoder& TSim3270Encoder::EraseAllUnprotected() {
    mOut.push_back(cmd::EAU);
    return *this;
}
TSim3270Encoder& TSim3270Encoder::ReadBuffer() {
    mOut.push_back(cmd::RB);
    return *this;
}
TSim3270Encoder& TSim3270Encoder::ReadModified() {
    mOut.push_back(cmd::RM);
    return *this;
}
TSim3270Encoder& TSim3270Encoder::ReadModifiedAll() {
    mOut.push_back(cmd::RMA);
    return *this;
}
TSim3270Encoder& TSim3270Encoder::WriteStructuredField() {
    mOut.push_back(cmd::WSF);
    return *this;
}

int TSim3270Encoder::Position(int row, int col) {
    if (row < 1 || row > kRows || col < 1 || col > kCols) throw std::out_of_range("row or column outside the 24x80 screen");
    return (row - 1) * kCols + (col - 1);
}

int TSim3270Encoder::PositionOn(int row, int col) const {
    if (row < 1 || row > mRows || col < 1 || col > mCols) throw std::out_of_range("row or column outside the screen");
    return (row - 1) * mCols + (col - 1);
}

TSim3270Encoder& TSim3270Encoder::Address(int position) {
    const auto a = mMode == AddressMode::Bits14 ? EncodeAddress14(position) : EncodeAddress12(position);
    mOut.insert(mOut.end(), a.begin(), a.end());
    return *this;
}

TSim3270Encoder& TSim3270Encoder::SBA(int row, int col) { return SBAAddress(PositionOn(row, col)); }

TSim3270Encoder& TSim3270Encoder::SBAAddress(int position) {
    mOut.push_back(order::SBA);
    return Address(position);
}

TSim3270Encoder& TSim3270Encoder::SF(std::uint8_t attrBits) {
    mOut.push_back(order::SF);
    mOut.push_back(SixBitGraphic(attrBits));
    return *this;
}

TSim3270Encoder& TSim3270Encoder::SFE(std::uint8_t attrBits, Colour colour, Highlight highlight) {
    mOut.push_back(order::SFE);
    const std::size_t countAt = mOut.size();
    mOut.push_back(1);
    mOut.push_back(xa::Field);
    mOut.push_back(SixBitGraphic(attrBits));
    if (highlight != Highlight::Default) {
        mOut.push_back(xa::Highlight);
        mOut.push_back(static_cast<std::uint8_t>(highlight));
        ++mOut[countAt];
    }
    if (colour != Colour::Default) {
        mOut.push_back(xa::Colour);
        mOut.push_back(static_cast<std::uint8_t>(colour));
        ++mOut[countAt];
    }
    return *this;
}

TSim3270Encoder& TSim3270Encoder::SA(std::uint8_t type, std::uint8_t value) {
    mOut.push_back(order::SA);
    mOut.push_back(type);
    mOut.push_back(value);
    return *this;
}

TSim3270Encoder& TSim3270Encoder::IC() {
    mOut.push_back(order::IC);
    return *this;
}
TSim3270Encoder& TSim3270Encoder::PT() {
    mOut.push_back(order::PT);
    return *this;
}
TSim3270Encoder& TSim3270Encoder::NL() {
    mOut.push_back(order::NL);
    return *this;
}

TSim3270Encoder& TSim3270Encoder::RA(int row, int col, char c) {
    const int position = PositionOn(row, col);
    mOut.push_back(order::RA);
    Address(position);
    const std::uint8_t e = ToEbcdic(static_cast<std::uint8_t>(c));
    if (e != 0x00 && e < 0x40) throw std::invalid_argument("control character in RA");
    mOut.push_back(e);
    return *this;
}

TSim3270Encoder& TSim3270Encoder::EUA(int row, int col) {
    const int position = PositionOn(row, col);
    mOut.push_back(order::EUA);
    return Address(position);
}

TSim3270Encoder& TSim3270Encoder::GE(std::uint8_t code) {
    mOut.push_back(order::GE);
    mOut.push_back(code);
    return *this;
}

TSim3270Encoder& TSim3270Encoder::Text(std::string_view text) {
    for (char c : text) {
        const std::uint8_t e = ToEbcdic(static_cast<std::uint8_t>(c));
        if (e != 0x00 && e < 0x40) throw std::invalid_argument("control character in 3270 text");
        mOut.push_back(e);
    }
    return *this;
}

TSim3270Encoder& TSim3270Encoder::Text(std::string_view utf8, const TSimCodePage& page) {
    const Bytes bytes = page.Encode(utf8);
    for (const std::uint8_t e : bytes)
        if (e != 0x00 && e < 0x40) throw std::invalid_argument("control character in 3270 text");
    mOut.insert(mOut.end(), bytes.begin(), bytes.end());
    return *this;
}

TSim3270Encoder& TSim3270Encoder::At(int row, int col, std::string_view text) { return SBA(row, col).Text(text); }

TSim3270Encoder& TSim3270Encoder::Field(int row, int col, std::uint8_t attrBits, std::string_view text) {
    return SBA(row, col).SF(attrBits).Text(text);
}

TSim3270Encoder& TSim3270Encoder::FieldX(int row, int col, std::uint8_t attrBits, Colour colour, Highlight highlight,
                                         std::string_view text) {
    return SBA(row, col).SFE(attrBits, colour, highlight).Text(text);
}

TSim3270Encoder& TSim3270Encoder::StructuredField(std::uint8_t id, ByteView body) {
    const std::size_t length = body.size() + 3;
    if (length > kMaxStructuredFieldLength) throw std::length_error("structured field longer than 65535 bytes");
    mOut.push_back(static_cast<std::uint8_t>(length >> 8));
    mOut.push_back(static_cast<std::uint8_t>(length & 0xFF));
    mOut.push_back(id);
    mOut.insert(mOut.end(), body.begin(), body.end());
    return *this;
}

TSim3270Encoder& TSim3270Encoder::ReadPartitionQuery() {
    const std::uint8_t body[] = {kPidQuery, kRpQuery};
    return StructuredField(kSfReadPartition, body);
}

TSim3270Encoder& TSim3270Encoder::ReadPartitionQueryList(std::uint8_t requestType, ByteView codes) {
    Bytes body{kPidQuery, kRpQueryList, requestType};
    body.insert(body.end(), codes.begin(), codes.end());
    return StructuredField(kSfReadPartition, body);
}

TSim3270Encoder& TSim3270Encoder::Outbound3270DS(ByteView inner) {
    Bytes body;
    body.reserve(inner.size() + 1);
    body.push_back(0x00);  // partition 0
    body.insert(body.end(), inner.begin(), inner.end());
    return StructuredField(kSfOutbound3270DS, body);
}

TSim3270Encoder& TSim3270Encoder::Raw(ByteView bytes) {
    mOut.insert(mOut.end(), bytes.begin(), bytes.end());
    return *this;
}

Bytes TSim3270Encoder::Take() {
    Bytes out = std::move(mOut);
    mOut.clear();
    return out;
}

Bytes TSim3270Encoder::QueryRecord() { return TSim3270Encoder().WriteStructuredField().ReadPartitionQuery().Take(); }

Bytes TSim3270Encoder::QueryListRecord(std::uint8_t requestType, ByteView codes) {
    return TSim3270Encoder().WriteStructuredField().ReadPartitionQueryList(requestType, codes).Take();
}

}  // namespace tnsim

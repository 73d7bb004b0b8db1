// Inbound 3270 decoding for the host simulator.
#include "sim/uSim3270Decoder.h"

#include <algorithm>

namespace tnsim {

namespace {
constexpr std::uint8_t kQueryReplyId = 0x81;
constexpr std::size_t kSfHeaderSize = 2;  // the length bytes
}  // namespace

std::optional<TSimTnHeader> ParseTnHeader(ByteView record) {
    if (record.size() < kTnHeaderSize) return std::nullopt;
    TSimTnHeader h;
    h.dataType = record[0];
    h.requestFlag = record[1];
    h.responseFlag = record[2];
    h.seq = static_cast<std::uint16_t>((record[3] << 8) | record[4]);
    return h;
}

std::array<std::uint8_t, kTnHeaderSize> EncodeTnHeader(const TSimTnHeader& h) {
    return {h.dataType, h.requestFlag, h.responseFlag, static_cast<std::uint8_t>(h.seq >> 8),
            static_cast<std::uint8_t>(h.seq & 0xFF)};
}

TSimResponse DecodeResponse(const TSimTnHeader& header, ByteView data) {
    TSimResponse r;
    r.seq = header.seq;
    r.positive = header.responseFlag == rf::PositiveResponse;
    if (header.responseFlag != rf::PositiveResponse && header.responseFlag != rf::NegativeResponse) r.malformed = true;
    if (data.empty()) {
        r.malformed = true;
    } else {
        r.code = data[0];
    }
    return r;
}

const TSimField* TSimInbound::FieldAt(int row, int col) const {
    for (const auto& f : fields)
        if (f.row == row && f.col == col) return &f;
    return nullptr;
}

const TSimQueryReply* TSimInbound::Query(std::uint8_t code) const {
    for (const auto& q : queryReplies)
        if (q.code == code) return &q;
    return nullptr;
}

namespace {

void DecodeQueryReplies(ByteView data, TSimInbound& in) {
    std::size_t p = 1;
    while (p < data.size()) {
        if (data.size() - p < kSfHeaderSize + 2) {
            in.malformed = true;
            in.reason = "structured field header cut off";
            return;
        }
        const std::size_t length = (static_cast<std::size_t>(data[p]) << 8) | data[p + 1];
        // Length 0 means "to the end of the record".
        const std::size_t end = length == 0 ? data.size() : p + length;
        if (length != 0 && length < kSfHeaderSize + 2) {
            in.malformed = true;
            in.reason = "structured field length below 4";
            return;
        }
        if (end > data.size()) {
            in.malformed = true;
            in.reason = "structured field longer than the record";
            return;
        }
        if (data[p + 2] != kQueryReplyId) {
            in.malformed = true;
            in.reason = "structured field is not a query reply";
        } else {
            TSimQueryReply q;
            q.code = data[p + 3];
            q.body.assign(data.begin() + static_cast<std::ptrdiff_t>(p + 4), data.begin() + static_cast<std::ptrdiff_t>(end));
            in.queryReplies.push_back(std::move(q));
        }
        p = end;
    }
}

void SetField(TSimField& f, int address, int cols) {
    f.address = address;
    f.row = address / cols + 1;
    f.col = address % cols + 1;
}

}  // namespace

TSimInbound DecodeInbound(ByteView data, bool unformatted, int rows, int cols) {
    TSimInbound in;
    in.cols = cols;
    const int positions = rows * cols;
    if (data.empty()) return in;
    if (unformatted) {
        in.kind = TSimInbound::Kind::Unformatted;
        in.text = FromEbcdic(data);
        return in;
    }
    in.aid = data[0];
    if (in.aid == aid::StructuredField) {
        in.kind = TSimInbound::Kind::QueryReply;
        DecodeQueryReplies(data, in);
        return in;
    }
    if (data.size() == 1) {
        in.kind = TSimInbound::Kind::ShortRead;
        if (!IsShortReadAid(in.aid)) {
            in.malformed = true;
            in.reason = "AID without cursor address";
        }
        return in;
    }
    in.kind = TSimInbound::Kind::Aid;
    if (data.size() < 3) {
        in.malformed = true;
        in.reason = "cursor address cut off";
        return in;
    }
    in.cursor = DecodeAddress(data[1], data[2]);
    if (in.cursor >= positions) {
        in.malformed = true;
        in.reason = "cursor address outside the screen";
    }
    std::size_t p = 3;
    TSimField* current = nullptr;
    while (p < data.size()) {
        const std::uint8_t b = data[p];
        if (b == order::SBA) {
            if (data.size() - p < 3) {
                in.malformed = true;
                in.reason = "SBA address cut off";
                break;
            }
            const int address = DecodeAddress(data[p + 1], data[p + 2]);
            if (address >= positions) {
                in.malformed = true;
                in.reason = "field address outside the screen";
            }
            in.fields.emplace_back();
            current = &in.fields.back();
            SetField(*current, address, cols);
            p += 3;
            continue;
        }
        if (b == order::SA) {
            // Character attributes a terminal may report inside field data.
            p += 3;
            continue;
        }
        if (current == nullptr) {
            // Characters before any SBA: the read of an unformatted screen
            // (AID, cursor, then the screen's characters). An SBA after
            // them would make it neither form.
            if (std::find(data.begin() + static_cast<std::ptrdiff_t>(p), data.end(), order::SBA) != data.end()) {
                in.malformed = true;
                in.reason = "SBA after unformatted screen data";
            }
            in.text.push_back(static_cast<char>(FromEbcdic(b)));
            ++p;
            continue;
        }
        current->text.push_back(static_cast<char>(FromEbcdic(b)));
        current->bytes.push_back(b);
        ++p;
    }
    return in;
}

std::string TSimBufferImage::RowText(int row) const {
    std::string out(kCols, ' ');
    if (row < 1 || row > kRows) return out;
    for (int c = 0; c < kCols; ++c) {
        const std::size_t p = static_cast<std::size_t>((row - 1) * kCols + c);
        if (p >= cells.size()) break;
        const Cell& cell = cells[p];
        if (!cell.isAttr && cell.ch != 0) out[static_cast<std::size_t>(c)] = cell.ch;
    }
    return out;
}

TSimBufferImage DecodeReadBuffer(ByteView data) {
    TSimBufferImage img;
    if (data.size() < 3) {
        img.malformed = true;
        img.reason = "AID or cursor address missing";
        if (!data.empty()) img.aid = data[0];
        return img;
    }
    img.aid = data[0];
    img.cursor = DecodeAddress(data[1], data[2]);
    img.cells.reserve(kScreenSize);
    std::size_t p = 3;
    while (p < data.size()) {
        if (img.cells.size() == static_cast<std::size_t>(kScreenSize)) {
            img.malformed = true;
            img.reason = "more positions than the screen holds";
            break;
        }
        TSimBufferImage::Cell cell;
        if (data[p] == order::SF) {
            if (p + 1 >= data.size()) {
                img.malformed = true;
                img.reason = "field attribute cut off";
                break;
            }
            cell.isAttr = true;
            cell.attr = data[p + 1] & fa::Mask;
            p += 2;
        } else {
            cell.ch = static_cast<char>(FromEbcdic(data[p]));
            ++p;
        }
        img.cells.push_back(cell);
    }
    if (!img.malformed && img.cells.size() != static_cast<std::size_t>(kScreenSize)) {
        img.malformed = true;
        img.reason = "fewer positions than the screen holds";
    }
    return img;
}

}  // namespace tnsim

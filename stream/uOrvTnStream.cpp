// The abstract data stream: record collection, character translation and
// the write path to the owner.
#include "stream/uOrvTnStream.h"

#include "config/uOrvTnGlbl.h"
#include "log/uOrvIntfLogg.h"
#include "platform/uIniFile.h"
#include "stream/uCodePages.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kAsciiToEbcdic[] = "Ascii-To-Ebcdic";
constexpr char kEbcdicToAscii[] = "Ebcdic-To-Ascii";

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Fills table from one section: identity for every code the section does
// not give as exactly two hexadecimal digits.
void LoadSection(const TIniFile& ini, const char* section, std::array<std::uint8_t, 256>& table)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (int i = 0; i < 256; ++i) {
        auto& entry = table[static_cast<std::size_t>(i)];
        entry = static_cast<std::uint8_t>(i);
        const char key[3] = {kHex[i >> 4], kHex[i & 15], '\0'};
        const std::string value = ini.ReadString(section, key, std::string());
        if (value.size() != 2)
            continue;
        const int hi = HexDigit(value[0]);
        const int lo = HexDigit(value[1]);
        if (hi < 0 || lo < 0)
            continue;
        entry = static_cast<std::uint8_t>(hi * 16 + lo);
    }
}

} // namespace

TOrvTnStream::TOrvTnStream(std::int32_t ident, std::int32_t /*rows*/, std::int32_t /*cols*/)
    : Ident(ident), Status("WAITING")
{
    try {
        SetTableName(gAETableFile);
    } catch (const ECodePageError&) {
        // Already logged; a stream must come up, so with the default tables.
        AscToEbc = asc2ebc;
        EbcToAsc = ebc2asc;
    }
}

TOrvTnStream::~TOrvTnStream() = default;

void TOrvTnStream::SetDisplay(std::unique_ptr<TOrvTndisplay> display)
{
    Display = std::move(display);
}

void TOrvTnStream::HostWrite(const void* data, std::int32_t len)
{
    if (!OnWriteData)
        return;
    if (LogEnabled(TLogLevel::llDump)) {
        char title[64];
        std::snprintf(title, sizeof title, "DATA STREAM SENT (EBCDIC): %d BYTES", static_cast<int>(len));
        SnaDump(TLogLevel::llDump, title, data, len > 0 ? static_cast<std::size_t>(len) : 0, SendSecret);
    }
    // A send from inside OnWriteData builds its own record and marks.
    SendSecret.clear();
    OnWriteData(data, len);
}

void TOrvTnStream::AddBuffer(const void* data, std::int32_t len)
{
    if (data == nullptr || len <= 0)
        return;
    auto room = static_cast<std::int64_t>(InBuffer.size()) - InCount;
    if (len > room && InBuffer.size() < static_cast<std::size_t>(kMaxRecord)) {
        // Grow by doubling, so a long record costs a few reallocations, not one per block.
        std::size_t grown = std::max<std::size_t>(InBuffer.size(), static_cast<std::size_t>(kInitialInput));
        const auto need = static_cast<std::size_t>(std::min<std::int64_t>(
            static_cast<std::int64_t>(InCount) + len, kMaxRecord));
        while (grown < need)
            grown *= 2;
        InBuffer.resize(std::min<std::size_t>(grown, static_cast<std::size_t>(kMaxRecord)));
        room = static_cast<std::int64_t>(InBuffer.size()) - InCount;
    }
    const auto take = static_cast<std::int32_t>(std::min<std::int64_t>(len, room));
    if (take > 0) {
        std::memcpy(InBuffer.data() + InCount, data, static_cast<std::size_t>(take));
        InCount += take;
    }
    overflow_ += len - take;
}

void TOrvTnStream::ProcessData()
{
    InCount = 0;
    overflow_ = 0;
    // No buffer is held between records: most records arrive whole and are
    // never copied (ProcessRecord), and an idle session must hold none.
    std::vector<std::uint8_t>().swap(InBuffer);  // (= {} would keep the capacity)
}

void TOrvTnStream::ProcessRecord(std::span<const std::uint8_t> last)
{
    AddBuffer(last.data(), static_cast<std::int32_t>(last.size()));
    ProcessData();
}

void TOrvTnStream::SetTableName(const std::string& name)
{
    if (IsCodePageName(name)) {
        const TCodePage* page = FindCodePage(name);
        if (page == nullptr) {
            // A misspelt code page must not quietly give the default tables:
            // the user would see wrong national characters and not know why.
            const std::string message = UnknownCodePageMessage(name);
            MsgLog(TLogLevel::llError, "Conversion table not changed: " + message);
            throw ECodePageError(message);
        }
        TableName = name;
        AscToEbc = *page->ascToEbc;
        EbcToAsc = *page->ebcToAsc;
        return;
    }
    TableName = name;
    if (!name.empty()) {
        const std::string path = name.find('/') != std::string::npos ? name : gModulePath + name;
        if (FileExists(path)) {
            const TIniFile ini(path);
            LoadSection(ini, kAsciiToEbcdic, AscToEbc);
            LoadSection(ini, kEbcdicToAscii, EbcToAsc);
            // 0x00 and 0x01 are the screen buffer's null and field attribute
            // marker: a host character must never take either value.
            for (auto& c : EbcToAsc)
                if (c == TOrvTndisplay::kNull || c == TOrvTndisplay::kFieldMarker)
                    c = 0x20;
            return;
        }
    }
    AscToEbc = asc2ebc;
    EbcToAsc = ebc2asc;
}

// The translation table loader under arbitrary file contents: the input is
// written to a file in a temporary directory of this process and loaded with
// SetTableName, as the ConversionTable property does. Afterwards no host
// character may land on the screen buffer's null or field marker, the tables
// must hold what the file says (two hexadecimal digits, else identity), and
// an empty name must bring the defaults back.
#include "fuzz/FuzzTargets.h"

#include "fuzz/FuzzChecks.h"
#include "platform/uIniFile.h"
#include "stream/uGraphicEscape.h"
#include "stream/uOrvTn3270Consts.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace tnfuzz {

namespace {

constexpr char kAsciiToEbcdic[] = "Ascii-To-Ebcdic";
constexpr char kEbcdicToAscii[] = "Ebcdic-To-Ascii";
constexpr std::uint8_t kGE = 0x08;

// A directory of this process under TMPDIR (or /tmp), removed at exit.
class TTempTableFile {
public:
    TTempTableFile()
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tn_fuzz_table.XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("cannot create a temporary directory");
        dir_ = pattern;
        path_ = dir_ + "/table.ini";
    }
    ~TTempTableFile()
    {
        std::remove(path_.c_str());
        ::rmdir(dir_.c_str());
    }
    TTempTableFile(const TTempTableFile&) = delete;
    TTempTableFile& operator=(const TTempTableFile&) = delete;

    const std::string& Write(const std::uint8_t* data, std::size_t size)
    {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!out)
            throw std::runtime_error("cannot write " + path_);
        return path_;
    }

private:
    std::string dir_;
    std::string path_;
};

int Hex(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The code the file gives for key i of section, or i itself.
std::uint8_t Expected(const TIniFile& ini, const char* section, int i)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    const char key[3] = {kDigits[i >> 4], kDigits[i & 15], '\0'};
    const std::string v = ini.ReadString(section, key, "");
    if (v.size() != 2 || Hex(v[0]) < 0 || Hex(v[1]) < 0)
        return static_cast<std::uint8_t>(i);
    return static_cast<std::uint8_t>(Hex(v[0]) * 16 + Hex(v[1]));
}

}  // namespace

std::string RunTable(const std::uint8_t* data, std::size_t size)
{
    static TTempTableFile file;
    const std::string& path = file.Write(data, size);

    TOrvTn3270stream stream(0, 24, 80);
    stream.SetTableName(path);
    if (stream.TableName != path)
        return "TableName is not the name given";

    const TIniFile ini = TIniFile::FromText(
        std::string_view(reinterpret_cast<const char*>(data), size));
    for (int i = 0; i < 256; ++i) {
        const auto e = static_cast<std::size_t>(i);
        const std::uint8_t toHost = Expected(ini, kAsciiToEbcdic, i);
        if (stream.AscToEbc[e] != toHost)
            return "Ascii-To-Ebcdic entry " + std::to_string(i) + " is " + std::to_string(stream.AscToEbc[e]) +
                   ", the file gives " + std::to_string(toHost);
        if (stream.EbcToAsc[e] == TOrvTndisplay::kNull || stream.EbcToAsc[e] == TOrvTndisplay::kFieldMarker)
            return "EBCDIC code " + std::to_string(i) + " maps to the screen's reserved value " +
                   std::to_string(stream.EbcToAsc[e]);
        std::uint8_t toLocal = Expected(ini, kEbcdicToAscii, i);
        if (toLocal == TOrvTndisplay::kNull || toLocal == TOrvTndisplay::kFieldMarker)
            toLocal = 0x20;
        if (stream.EbcToAsc[e] != toLocal)
            return "Ebcdic-To-Ascii entry " + std::to_string(i) + " is " + std::to_string(stream.EbcToAsc[e]) +
                   ", the file gives " + std::to_string(toLocal);
    }

    // Every EBCDIC code painted through GE lands as a character, never as a
    // field attribute or a null (a line-drawing code as its stand-in, any
    // other as the table says), and the screen stays consistent.
    Bytes record = {0xF5, 0xC3};
    for (int c = 0; c < 256; ++c) {
        record.push_back(kGE);
        record.push_back(static_cast<std::uint8_t>(c));
    }
    stream.AddBuffer(record.data(), static_cast<std::int32_t>(record.size()));
    stream.ProcessData();
    const auto& screen = stream.Screen();
    for (int p = 0; p < 256; ++p) {
        const auto code = static_cast<std::uint8_t>(p);
        const std::uint8_t line = code >= 0x40 && code != 0xFF ? GeLocal(code) : 0;
        if (screen.Chars[static_cast<std::size_t>(p)] != (line != 0 ? line : stream.EbcToAsc[code]))
            return "EBCDIC code " + std::to_string(p) + " painted as " +
                   std::to_string(screen.Chars[static_cast<std::size_t>(p)]);
    }
    if (auto r = CheckScreen(screen); !r.empty())
        return "after painting every code: " + r;

    stream.SetTableName("");
    if (stream.AscToEbc != asc2ebc || stream.EbcToAsc != ebc2asc)
        return "an empty table name does not restore the default tables";
    return "";
}

}  // namespace tnfuzz

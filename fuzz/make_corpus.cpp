// Writes the seed corpus of the fuzz targets (fuzz/corpus/<target>/) from
// real flows: the host simulator's telnet engine negotiating TN3270E and
// plain TN3270 and sending screens built with its own 3270 encoder, the
// records of the data stream's script tests, and sample profile and
// translation table files.
//
//   make_corpus SOURCE_DIR     (the repository root; the corpus is written there)
//
// Run it again after the simulator or the stream tests change, and commit
// the files: they are small.
#include "sim/uSim3270Encoder.h"
#include "sim/uSimTelnet.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace tnsim;

namespace {

fs::path gRoot;
int gFiles = 0;

void WriteFile(const std::string& target, const std::string& name, const Bytes& bytes)
{
    const fs::path dir = gRoot / "fuzz" / "corpus" / target;
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + (dir / name).string());
    ++gFiles;
}

void WriteText(const std::string& target, const std::string& name, const std::string& text)
{
    WriteFile(target, name, Bytes(text.begin(), text.end()));
}

Bytes Cat(std::initializer_list<ByteView> parts)
{
    Bytes out;
    for (auto p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// ---------------------------------------------------------------- screens

Bytes SignOnScreen()
{
    TSim3270Encoder e;
    e.EraseWrite(wcc::Restore | wcc::ResetMdt)
        .Field(1, 1, fa::Protected | fa::Intensified, "DEMO01")
        .FieldX(1, 30, fa::Protected, Colour::Turquoise, Highlight::Default, "SIGN ON TO THE DEMO SYSTEM")
        .Field(6, 10, fa::Protected, "USER ID . . .")
        .FieldX(6, 25, fa::Unprotected, Colour::Green, Highlight::Underscore, "")
        .IC()
        .Field(6, 34, fa::Protected | fa::Skip)
        .Field(7, 10, fa::Protected, "PASSWORD  . .")
        .Field(7, 25, fa::Unprotected | fa::NonDisplay, "")
        .Field(7, 34, fa::Protected | fa::Skip)
        .At(24, 1)
        .SAColour(Colour::Red)
        .Text("ENTER YOUR USER ID AND PASSWORD")
        .SAReset();
    return e.Take();
}

Bytes MenuScreen()
{
    TSim3270Encoder e;
    e.EraseWrite(wcc::Restore | wcc::ResetMdt)
        .FieldX(1, 1, fa::Protected | fa::Intensified, Colour::White, Highlight::Default, "MAIN MENU")
        .Field(3, 5, fa::Protected, "1  INQUIRY")
        .Field(4, 5, fa::Protected, "2  MESSAGES")
        .Field(5, 5, fa::Protected, "X  LOGOFF")
        .Field(20, 2, fa::Protected, "OPTION ===>")
        .Field(20, 14, fa::Unprotected | fa::Mdt, "")
        .IC()
        .Field(20, 17, fa::Protected | fa::Skip)
        .At(24, 1)
        .RA(24, 40, '-')
        .Text("PF3=EXIT  PF12=LOGOFF");
    return e.Take();
}

Bytes InquiryScreen()
{
    TSim3270Encoder e;
    e.EraseWrite(wcc::Restore)
        .FieldX(1, 1, fa::Protected | fa::Intensified, Colour::Yellow, Highlight::Reverse, "ACCOUNT INQUIRY")
        .Field(3, 2, fa::Protected, "ACCOUNT")
        .FieldX(3, 12, fa::Unprotected | fa::Numeric, Colour::Green, Highlight::Underscore, "00012345")
        .Field(3, 21, fa::Protected | fa::Skip)
        .At(5, 2)
        .SAColour(Colour::Blue)
        .Text("NAME")
        .SAColour(Colour::Pink)
        .Text(" JANE Q PUBLIC")
        .SAReset()
        .At(6, 2)
        .SAHighlight(Highlight::Blink)
        .Text("BALANCE 1,234.56")
        .SAReset()
        .Field(23, 80, fa::Unprotected, "")  // a field attribute in the last column
        .Field(24, 80, fa::Protected)        // and one at the last position
        .At(24, 1, "WRAPPED");
    return e.Take();
}

// Write (no erase) with orders that move about: PT, NL, EUA, GE, RA to 0.
Bytes UpdateRecord()
{
    TSim3270Encoder e;
    e.Write(wcc::Restore)
        .SBA(3, 12)
        .PT()
        .Text("AB")
        .PT()
        .NL()
        .Text("NEXT ROW")
        .EUA(20, 1)
        .GE(0xAD)
        .At(22, 1)
        .RA(1, 1, '*')
        .IC();
    return e.Take();
}

// 14-bit addresses and an address beyond the screen.
Bytes Address14Record()
{
    TSim3270Encoder e(TSim3270Encoder::AddressMode::Bits14);
    e.EraseWrite(wcc::Restore).SBAAddress(80).Text("FOURTEEN BIT").SBAAddress(1919).Text("Z").SBAAddress(4000).Text("X");
    return e.Take();
}

Bytes OutboundRecord()
{
    TSim3270Encoder inner;
    inner.EraseWrite(wcc::Restore).Field(2, 2, fa::Protected, "VIA OUTBOUND 3270DS").Field(4, 2, fa::Unprotected, "");
    const Bytes in = inner.Take();
    TSim3270Encoder e;
    e.WriteStructuredField().Outbound3270DS(in).ReadPartitionQuery();
    return e.Take();
}

Bytes EauRecord() { return TSim3270Encoder().EraseAllUnprotected().Take(); }
Bytes ReadModifiedRecord() { return TSim3270Encoder().ReadModified().Take(); }
Bytes ReadBufferRecord() { return TSim3270Encoder().ReadBuffer().Take(); }
Bytes SscpText() { return ToEbcdic("IKJ56700A ENTER USERID -"); }

std::vector<Bytes> Screens()
{
    return {SignOnScreen(), MenuScreen(), InquiryScreen(), UpdateRecord(), Address14Record(), OutboundRecord(),
            EauRecord(), ReadModifiedRecord(), ReadBufferRecord(), TSim3270Encoder::QueryRecord()};
}

// ---------------------------------------------------------------- telnet flows

// Collects what the simulated host sends; grants every device request.
class THostRecorder : public ISimTelnetSink {
public:
    void OnSend(ByteView bytes) override { sent.insert(sent.end(), bytes.begin(), bytes.end()); }
    TSimLuGrant AssignLu(std::string_view, std::string_view requested) override
    {
        return {true, requested.empty() ? std::string("LU000001") : std::string(requested), reason::DeviceInUse};
    }
    void OnNegotiated(const TSimNegotiated&) override { negotiated = true; }
    void OnRecord(const TSimRecord&) override {}
    void OnFailure(std::string_view why) override { failure = std::string(why); }
    Bytes sent;
    bool negotiated = false;
    std::string failure;
};

Bytes Iac(std::initializer_list<std::uint8_t> b) { return Bytes(b); }

Bytes Subneg(std::uint8_t option, ByteView body)
{
    Bytes b = {tel::IAC, tel::SB, option};
    b.insert(b.end(), body.begin(), body.end());
    b.push_back(tel::IAC);
    b.push_back(tel::SE);
    return b;
}

Bytes Str(std::string_view s) { return Bytes(s.begin(), s.end()); }

// The client's side of a TN3270E negotiation, as a terminal answers.
std::vector<Bytes> Tn3270EClient(const std::string& lu)
{
    Bytes request = Cat({Bytes{tne::DeviceType, tne::Request}, Str("IBM-3278-2-E")});
    if (!lu.empty())
        request = Cat({request, Bytes{tne::Connect}, Str(lu)});
    return {Iac({tel::IAC, tel::WILL, opt::Tn3270E}), Subneg(opt::Tn3270E, request),
            Subneg(opt::Tn3270E, Bytes{tne::Functions, tne::Request, fn::BindImage, fn::Responses, fn::SysReq})};
}

std::vector<Bytes> PlainClient()
{
    return {Iac({tel::IAC, tel::WILL, opt::TerminalType}),
            Subneg(opt::TerminalType, Cat({Bytes{ttype::Is}, Str("IBM-3278-2")})),
            Iac({tel::IAC, tel::WILL, opt::Eor}), Iac({tel::IAC, tel::DO, opt::Eor}),
            Iac({tel::IAC, tel::WILL, opt::Binary}), Iac({tel::IAC, tel::DO, opt::Binary})};
}

// Runs the simulator's engine against the scripted client answers and
// returns everything the host sent, with `flags` in front (the receive
// target's first byte).
Bytes Flow(std::uint8_t flags, TSimTelnetOptions options, const std::vector<Bytes>& client,
           const std::function<void(TSimTelnet&)>& afterNegotiation)
{
    THostRecorder rec;
    TSimTelnet host(std::move(options), rec);
    host.Start();
    for (const auto& answer : client)
        host.Feed(answer);
    if (rec.negotiated && afterNegotiation)
        afterNegotiation(host);
    Bytes out = {flags};
    out.insert(out.end(), rec.sent.begin(), rec.sent.end());
    return out;
}

void ReceiveCorpus()
{
    constexpr std::uint8_t kAllowTn3270E = 0x01, kTypeE = 0x02;
    auto keyBits = [](int key) { return static_cast<std::uint8_t>(key << 2); };

    // TN3270E session: BIND, screens asking for responses, query, reads,
    // SSCP-LU text, NVT text, UNBIND.
    WriteFile("receive", "tn3270e_session", Flow(kAllowTn3270E | kTypeE, {}, Tn3270EClient(""), [](TSimTelnet& h) {
        h.SendRecord(dt::BindImage, Bytes{0x31, 0x01, 0x03, 0x03, 0xB1, 0xB0, 0x30, 0x80});
        h.SendRecord(dt::Data3270, SignOnScreen(), rf::AlwaysResponse);
        h.SendRecord(dt::Data3270, TSim3270Encoder::QueryRecord());
        h.SendRecord(dt::Data3270, MenuScreen());
        h.SendRecord(dt::Data3270, ReadModifiedRecord());
        h.SendRecord(dt::Data3270, InquiryScreen(), rf::ErrorResponse);
        h.SendRecord(dt::Data3270, ReadBufferRecord());
        h.SendRecord(dt::Unbind, Bytes{0x01});
        h.SendRecord(dt::SscpLuData, SscpText(), rf::AlwaysResponse);
        h.SendRecord(dt::NvtData, Str("LINE ONE\r\nLINE TWO\r\n"));
    }));
    WriteFile("receive", "tn3270e_updates", Flow(kAllowTn3270E | keyBits(2), {}, Tn3270EClient("LU000007"), [](TSimTelnet& h) {
        h.SendRecord(dt::Data3270, InquiryScreen());
        h.SendRecord(dt::Data3270, UpdateRecord());
        h.SendRecord(dt::Data3270, Address14Record());
        h.SendRecord(dt::Data3270, OutboundRecord());
        h.SendRecord(dt::Data3270, EauRecord());
        h.SendResponse(1, true, 0x00);
        h.SendCommand(tel::NOP);
    }));
    // Device type rejected once, then accepted.
    TSimTelnetOptions reject;
    reject.rejectDeviceTypeTimes = 1;
    reject.rejectReason = reason::InvName;
    {
        auto client = Tn3270EClient("BADLU");
        client.insert(client.begin() + 2, Subneg(opt::Tn3270E, Cat({Bytes{tne::DeviceType, tne::Request}, Str("IBM-3278-2-E")})));
        WriteFile("receive", "tn3270e_reject", Flow(kAllowTn3270E | kTypeE, reject, client, [](TSimTelnet& h) {
            h.SendRecord(dt::Data3270, MenuScreen());
        }));
    }
    // The host asks for a subset of functions first.
    TSimTelnetOptions subset;
    subset.functions = {fn::Responses};
    {
        auto client = Tn3270EClient("");
        client.push_back(Subneg(opt::Tn3270E, Bytes{tne::Functions, tne::Is, fn::Responses}));
        WriteFile("receive", "tn3270e_functions_subset", Flow(kAllowTn3270E, subset, client, [](TSimTelnet& h) {
            h.SendRecord(dt::Data3270, SignOnScreen(), rf::AlwaysResponse);
        }));
    }
    // The client refuses TN3270E; the host falls back to plain TN3270.
    {
        std::vector<Bytes> client = {Iac({tel::IAC, tel::WONT, opt::Tn3270E})};
        for (auto& b : PlainClient())
            client.push_back(b);
        WriteFile("receive", "fallback_plain", Flow(keyBits(5), {}, client, [](TSimTelnet& h) {
            h.SendRecord(dt::Data3270, SignOnScreen());
            h.SendRecord(dt::Data3270, MenuScreen());
        }));
    }
    // Plain TN3270 from the start, with every screen.
    TSimTelnetOptions plain;
    plain.mode = TSimMode::Plain;
    WriteFile("receive", "plain_session", Flow(keyBits(3), plain, PlainClient(), [](TSimTelnet& h) {
        for (const auto& s : Screens())
            h.SendRecord(dt::Data3270, s);
    }));
    // Plain mode where the host asks for the terminal type twice.
    TSimTelnetOptions twice = plain;
    twice.terminalTypeSends = 2;
    WriteFile("receive", "plain_ttype_twice", Flow(keyBits(6), twice, PlainClient(), nullptr));

    // Text before binary mode (a banner line by line), then hostile pieces
    // the engine must survive: a long subnegotiation and a record left open.
    Bytes banner = {0x00};
    for (auto b : Str("WELCOME TO THE DEMO HOST\r\nPLEASE WAIT\r\n"))
        banner.push_back(b);
    banner.push_back(tel::IAC);
    banner.push_back(tel::EOR);
    WriteFile("receive", "text_banner", banner);
    Bytes longSub = {kAllowTn3270E, tel::IAC, tel::DO, opt::Tn3270E, tel::IAC, tel::SB, opt::Tn3270E, tne::DeviceType, tne::Is};
    for (int i = 0; i < 120; ++i)
        longSub.push_back('A');
    for (auto b : {tel::IAC, tel::SE, tel::IAC, tel::DO, opt::Binary, tel::IAC, tel::WILL, opt::Eor})
        longSub.push_back(b);
    const Bytes screen = TSimTelnet::Frame(SignOnScreen());
    longSub.insert(longSub.end(), screen.begin(), screen.end() - 2);  // no IAC EOR
    WriteFile("receive", "long_subneg_open_record", longSub);
}

// ---------------------------------------------------------------- stream

// A stream-target input: mode byte, then one record operation per record.
class TStreamInput {
public:
    explicit TStreamInput(bool extended) : bytes_{static_cast<std::uint8_t>(extended ? 1 : 0)} {}
    void Record(ByteView r)
    {
        bytes_.push_back(0x00);
        bytes_.push_back(static_cast<std::uint8_t>(r.size() >> 8));
        bytes_.push_back(static_cast<std::uint8_t>(r.size()));
        bytes_.insert(bytes_.end(), r.begin(), r.end());
    }
    void Key(std::uint8_t pick)
    {
        bytes_.push_back(0x02);
        bytes_.push_back(pick);
    }
    void ReadBuffer() { bytes_.push_back(0x03); }
    const Bytes& Data() const { return bytes_; }
    bool HasRecords() const { return bytes_.size() > 1; }

private:
    Bytes bytes_;
};

Bytes Header(std::uint8_t type, std::uint8_t response, std::uint16_t seq)
{
    return {type, 0x00, response, static_cast<std::uint8_t>(seq >> 8), static_cast<std::uint8_t>(seq)};
}

// The AID index RunStream maps a pick byte to (Enter 0, Clear 1, PF1-24, PA1-3).
std::uint8_t AidPick(std::uint8_t aid)
{
    if (aid == aid::Enter)
        return 0;
    if (aid == aid::Clear)
        return 1;
    for (int i = 0; i < 24; ++i)
        if (aid::PF[static_cast<std::size_t>(i)] == aid)
            return static_cast<std::uint8_t>(2 + i);
    if (aid == aid::PA1)
        return 26;
    if (aid == aid::PA2)
        return 27;
    if (aid == aid::PA3)
        return 28;
    return 0;
}

// "F5 C3 40*3" -> bytes.
Bytes ParseHex(const std::string& text)
{
    Bytes out;
    std::istringstream in(text);
    std::string token;
    while (in >> token) {
        const auto star = token.find('*');
        const int count = star == std::string::npos ? 1 : std::stoi(token.substr(star + 1));
        const auto value = static_cast<std::uint8_t>(std::stoul(token.substr(0, star), nullptr, 16));
        out.insert(out.end(), static_cast<std::size_t>(count), value);
    }
    return out;
}

// The records of the data stream's script tests: every "push" and "fail"
// line, in script order, with "mode" switches and "key" presses.
void StreamScriptCorpus()
{
    std::ifstream in(gRoot / "tests" / "stream" / "stream_script_tests.cpp");
    if (!in) {
        std::cerr << "make_corpus: tests/stream/stream_script_tests.cpp not found, skipped\n";
        return;
    }
    const std::regex nameLine(R"re(^\s*\{"(\w+)",\s*R"\()re");
    const std::regex hexTail(R"(^((?:[0-9A-Fa-f]{2}(?:\*\d+)?\s*)*))");
    std::string line, name;
    std::unique_ptr<TStreamInput> input;
    auto flush = [&]() {
        if (input && input->HasRecords())
            WriteFile("stream", "script_" + name, input->Data());
        input.reset();
    };
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_search(line, m, nameLine)) {
            flush();
            name = m[1];
            input = std::make_unique<TStreamInput>(false);
            continue;
        }
        if (!input)
            continue;
        const auto hash = line.find('#');
        std::string body = hash == std::string::npos ? line : line.substr(0, hash);
        std::istringstream words(body);
        std::string verb;
        words >> verb;
        std::string rest;
        std::getline(words, rest);
        if (verb == "mode") {
            const bool extended = rest.find('e') != std::string::npos;
            if (input->HasRecords()) {
                flush();
                name += extended ? "_e" : "_p";
            }
            input = std::make_unique<TStreamInput>(extended);
        } else if (verb == "push") {
            input->Record(ParseHex(rest));
        } else if (verb == "fail") {
            const auto close = rest.rfind('"');
            input->Record(ParseHex(close == std::string::npos ? rest : rest.substr(close + 1)));
        } else if (verb == "key") {
            input->Key(AidPick(ParseHex(rest).empty() ? aid::Enter : ParseHex(rest)[0]));
        } else if (line.find(")\"}") != std::string::npos) {
            flush();
        }
    }
    flush();
}

void StreamCorpus()
{
    const auto screens = Screens();
    TStreamInput plain(false);
    for (const auto& s : screens)
        plain.Record(s);
    plain.Key(0);
    plain.ReadBuffer();
    plain.Key(1);
    WriteFile("stream", "sim_screens_plain", plain.Data());

    TStreamInput extended(true);
    std::uint16_t seq = 0;
    extended.Record(Cat({Header(dt::BindImage, rf::NoResponse, seq++), Bytes{0x31, 0x01, 0x03, 0x03}}));
    for (const auto& s : screens)
        extended.Record(Cat({Header(dt::Data3270, rf::AlwaysResponse, seq++), s}));
    extended.Key(2);
    extended.Record(Cat({Header(dt::Unbind, rf::NoResponse, seq++), Bytes{0x01}}));
    extended.Record(Cat({Header(dt::SscpLuData, rf::AlwaysResponse, seq++), SscpText()}));
    extended.Key(0);
    extended.Record(Header(dt::PrintEoj, rf::NoResponse, seq++));
    WriteFile("stream", "sim_screens_tn3270e", extended.Data());

    // One file per screen, so the fuzzer mutates each on its own.
    int n = 0;
    for (const auto& s : screens) {
        TStreamInput one(false);
        one.Record(s);
        one.Key(static_cast<std::uint8_t>(n % 29));
        one.ReadBuffer();
        WriteFile("stream", "sim_screen_" + std::to_string(n++), one.Data());
    }
    // A record at the input bound and one past it.
    WriteFile("stream", "long_records", Bytes{0x00, 0x01, 0x04, 0xF5, 0xC3, 0x11, 0x40, 0x40, 0x01, 0xFF, 0x04,
                                              0xF5, 0xC3, 0x1D, 0x40});
    StreamScriptCorpus();
}

// ---------------------------------------------------------------- profiles

void ProfileCorpus()
{
    const std::string ini =
        "; Telnet.ini beside the package\n"
        "[TN3270]\n"
        "LogLevel=6\n"
        "LogDir=/var/log/tn3270\n"
        "EbcdicTable=table037.ini\n"
        "TermType=IBM-3278-2-E\n"
        "BindImage=1\n"
        "DataStreamCtl=0\n"
        "Responses=1\n"
        "ScsCtlCodes=1\n"
        "SysReq=1\n"
        "\n"
        "[TN5250]\n"
        "TermType=IBM-3179-2-E\n";
    WriteText("profile", "telnet_ini", ini);
    std::string crlf;
    for (char c : ini) {
        if (c == '\n')
            crlf += '\r';
        crlf += c;
    }
    WriteText("profile", "telnet_ini_crlf", crlf);
    WriteText("profile", "odd_values",
              "# comments and odd values\n[tn3270]\n  loglevel = $1F \nLOGDIR=\nTermType\nSysReq=0x1\n"
              "Responses=-0\nBindImage=2147483648\nScsCtlCodes=1x\n[ TN3270 ]\nLogLevel=2\n[broken\nx=y\n");
    WriteText("profile", "no_section", "LogLevel=1\n=\n[]\n=empty key\n");

    std::string table = "[Ascii-To-Ebcdic]\r\n";
    for (int c = 0x20; c < 0x7F; ++c) {
        char line[16];
        std::snprintf(line, sizeof line, "%02X=%02X\r\n", c, ToEbcdic(static_cast<std::uint8_t>(c)));
        table += line;
    }
    table += "[Ebcdic-To-Ascii]\r\n";
    for (int c = 0x20; c < 0x7F; ++c) {
        char line[16];
        std::snprintf(line, sizeof line, "%02X=%02X\r\n", ToEbcdic(static_cast<std::uint8_t>(c)), c);
        table += line;
    }
    WriteText("table", "table_037", table);
    WriteText("table", "reserved_targets",
              "[Ebcdic-To-Ascii]\n00=00\n40=01\nC1=41\nc2=42\n[Ascii-To-Ebcdic]\n41=C1\n42=c2\n");
    WriteText("table", "malformed_values",
              "[ascii-to-ebcdic]\n41=C\n42=C22\n43=G1\n44= C4 \n45=\n[EBCDIC-TO-ASCII]\nC1=4\nzz=41\nC3=0x\n");
    WriteText("profile", "table_037", table);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: make_corpus SOURCE_DIR\n";
        return 2;
    }
    gRoot = argv[1];
    try {
        ReceiveCorpus();
        StreamCorpus();
        ProfileCorpus();
    } catch (const std::exception& e) {
        std::cerr << "make_corpus: " << e.what() << "\n";
        return 1;
    }
    std::cout << "make_corpus: " << gFiles << " files written under " << (gRoot / "fuzz" / "corpus").string() << "\n";
    return 0;
}

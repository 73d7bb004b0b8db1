// The whole receive path without a socket: the host's raw bytes go through
// the telnet engine (commands, negotiation, subnegotiations, record framing)
// into the data stream, the screen is published as field lists, and a key
// is pressed at the end. The same bytes are given to a second session one
// byte at a time; both must end with the same screen and must have sent the
// same bytes, because the host chooses how its data is cut into reads.
#include "fuzz/FuzzTargets.h"

#include "component/uHostFieldExtract.h"
#include "fields/u3270Fields.h"
#include "fuzz/FuzzChecks.h"
#include "stream/uOrvTn3270Consts.h"
#include "telnet/uOrvTelnet.h"

#include <algorithm>

namespace tnfuzz {

namespace {

enum class TKey { Enter, Clear, PF1, PA1, PF24, SysReq, ATTN, Enter2 };

// The telnet engine with the 3270 parts a session needs, built from the
// free functions of field extraction; Send is captured instead of written
// to a socket. Checks the lists each time they are rebuilt.
class TFuzzSession final : public TOrvTelnet {
public:
    TFuzzSession(bool allowTn3270E, bool extendedType) : TOrvTelnet(0), extendedType_(extendedType)
    {
        CreateTnStream();
        AllowTn3270E = allowTn3270E;
    }
    ~TFuzzSession() override { Destroying(); }

    void CreateTnStream() override
    {
        auto stream = std::make_unique<TOrvTn3270stream>(0, 24, 80);
        stream->OnWriteData = [this](const void* buf, std::int32_t len) { tcpWrite(buf, len); };
        Stream = std::move(stream);
    }
    TOrvTn3270stream& Stream3270() { return static_cast<TOrvTn3270stream&>(*Stream); }

    void EndOfRecord() override
    {
        // The stream reads TN3270E headers once the host and we agreed on them.
        Stream3270().TN3270EMode = Tn3270EAccepted;
        TOrvTelnet::EndOfRecord();
    }
    void TelnetErrorMessage(const std::uint8_t* data, std::int32_t len) override
    {
        ShowTextRecord(data, len, Tn3270EAccepted, HostFields, UnprotectedFields);
        if (auto r = CheckListShape(HostFields, UnprotectedFields); !r.empty() && Failure.empty())
            Failure = "after a text record: " + r;
    }
    void GenHostFields() override
    {
        ::GenHostFields(Stream3270().Screen(), HostFields, UnprotectedFields);
        if (auto r = CheckHostFields(Stream3270().Screen(), HostFields, UnprotectedFields); !r.empty() &&
            Failure.empty())
            Failure = "after field extraction: " + r;
    }
    std::string GetTermType() override { return extendedType_ ? "IBM-3278-2-E" : "IBM-3278-2"; }
    std::int32_t Send(const void* buf, std::int32_t len) override
    {
        const auto* b = static_cast<const std::uint8_t*>(buf);
        Sent.insert(Sent.end(), b, b + std::max(len, 0));
        return len;
    }

    // What the component's key operation does: the edited records go back
    // into the screen, then the AID and the Read Modified (or, for SysReq
    // and ATTN, the telnet commands).
    void PressKey(TKey key)
    {
        auto guard = Lock();
        auto& s = Stream3270();
        if (UnprotectedFields.Count() > 0) {
            TDSField& f = *UnprotectedFields.Items(0);
            f.SetData("FUZZ 1");
            s.Screen().putField(f.GetPos() - 1, f.Len, f.Data);
        }
        switch (key) {
        case TKey::Enter:
        case TKey::Enter2: s.Aid = AID_ENTER; break;
        case TKey::Clear: s.Aid = AID_CLEAR; break;
        case TKey::PF1: s.Aid = AID_PF[0]; break;
        case TKey::PF24: s.Aid = AID_PF[23]; break;
        case TKey::PA1: s.Aid = AID_PA[0]; break;
        case TKey::SysReq:
            SendAO();
            s.ProcessUnBind();
            return;
        case TKey::ATTN:
            SendInterruptProcess();
            return;
        }
        s.readModifiedCommand();
    }

    TDSFields HostFields;
    TDSFields UnprotectedFields;
    Bytes Sent;
    std::string Failure;

private:
    bool extendedType_;
};

std::string Compare(TFuzzSession& a, TFuzzSession& b)
{
    const auto& x = a.Stream3270().Screen();
    const auto& y = b.Stream3270().Screen();
    constexpr auto kMask = static_cast<std::uint8_t>(~TOrvTndisplay::kAttrChanged);
    for (std::int32_t p = 0; p < x.Size; ++p) {
        const auto i = static_cast<std::size_t>(p);
        if (x.Chars[i] != y.Chars[i] || (x.Attrs[i] & kMask) != (y.Attrs[i] & kMask) || x.ExtAttrs[i] != y.ExtAttrs[i])
            return "position " + std::to_string(p) + " differs when the data comes a byte at a time";
    }
    if (x.CursorPosition != y.CursorPosition || x.Formatted != y.Formatted)
        return "cursor or format differs when the data comes a byte at a time";
    if (a.Stream3270().Status != b.Stream3270().Status || a.Stream3270().SessionState != b.Stream3270().SessionState ||
        a.BinaryMode != b.BinaryMode || a.Tn3270EAccepted != b.Tn3270EAccepted)
        return "session state differs when the data comes a byte at a time";
    if (a.Sent != b.Sent)
        return "the bytes sent differ when the data comes a byte at a time";
    return "";
}

// afterEdit: the application has edited a record, whose text may now be
// longer than the field (the write-back cuts it), so the lists are not checked.
// Lists are rebuilt once per block: a text record and a screen in one block
// leave other lists than the same records in two blocks, so the key (which
// edits the first unprotected record) is compared only when they agree.
bool SameLists(const TDSFields& a, const TDSFields& b)
{
    if (a.Count() != b.Count() || a.CursorPos != b.CursorPos)
        return false;
    for (std::int32_t i = 0; i < a.Count(); ++i) {
        const TDSField& x = *a.Items(i);
        const TDSField& y = *b.Items(i);
        if (x.GetPos() != y.GetPos() || x.Len != y.Len || x.Attr != y.Attr || x.Eab != y.Eab || x.Data != y.Data)
            return false;
    }
    return true;
}

std::string CheckSession(TFuzzSession& s, const char* which, bool afterEdit = false)
{
    auto guard = s.Lock();
    if (!s.Failure.empty())
        return std::string(which) + s.Failure;
    if (auto r = CheckScreen(s.Stream3270().Screen()); !r.empty())
        return std::string(which) + r;
    if (!afterEdit)
        if (auto r = CheckListShape(s.HostFields, s.UnprotectedFields); !r.empty())
            return std::string(which) + r;
    if (auto r = CheckTelnetOutput(s.Sent); !r.empty())
        return std::string(which) + r;
    return "";
}

}  // namespace

std::string RunReceive(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return "";
    const std::uint8_t flags = data[0];
    const auto key = static_cast<TKey>((flags >> 2) & 0x07);
    const std::uint8_t* host = data + 1;
    const auto len = static_cast<std::int32_t>(std::min<std::size_t>(size - 1, INT32_MAX));

    TFuzzSession whole((flags & 0x01) != 0, (flags & 0x02) != 0);
    TFuzzSession bytewise((flags & 0x01) != 0, (flags & 0x02) != 0);
    whole.NewData(host, len);
    for (std::int32_t i = 0; i < len; ++i)
        bytewise.NewData(host + i, 1);

    if (auto r = CheckSession(whole, "whole: "); !r.empty())
        return r;
    if (auto r = CheckSession(bytewise, "byte at a time: "); !r.empty())
        return r;
    if (auto r = Compare(whole, bytewise); !r.empty())
        return r;

    const bool comparable = SameLists(whole.HostFields, bytewise.HostFields) &&
                            SameLists(whole.UnprotectedFields, bytewise.UnprotectedFields);
    whole.PressKey(key);
    bytewise.PressKey(key);
    if (auto r = CheckSession(whole, "after the key: ", true); !r.empty())
        return r;
    if (auto r = CheckSession(bytewise, "after the key, byte at a time: ", true); !r.empty())
        return r;
    if (comparable)
        if (auto r = Compare(whole, bytewise); !r.empty())
            return "after the key: " + r;
    return "";
}

}  // namespace tnfuzz

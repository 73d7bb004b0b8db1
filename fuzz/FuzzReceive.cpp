// The whole receive path without a socket: the host's raw bytes go through
// the session component's telnet engine (commands, negotiation, TERMINAL-TYPE
// and TN3270E subnegotiations, record framing) into the data stream, the
// screen is published as field lists, and a key is pressed at the end
// through SetAidKey. The same bytes are given to a second session one
// byte at a time; both must end with the same screen and must have sent the
// same bytes, because the host chooses how its data is cut into reads.
#include "fuzz/FuzzTargets.h"

#include "component/uTn3270E.h"
#include "fields/u3270Fields.h"
#include "fuzz/FuzzChecks.h"

#include <algorithm>

namespace tnfuzz {

namespace {

// The keys the last step may press, by bits 2-4 of the first input byte.
constexpr TTn3270AidKey kKeys[8] = {TTn3270AidKey::akEnter, TTn3270AidKey::akClear, TTn3270AidKey::akPF1,
                                    TTn3270AidKey::akPA1,   TTn3270AidKey::akPF24,  TTn3270AidKey::akSysReq,
                                    TTn3270AidKey::akATTN,  TTn3270AidKey::akEnter};

// The session component with Send captured instead of written to a
// socket; checks the lists each time the component rebuilds them.
class TFuzzSession final : public TTn3270E {
public:
    TFuzzSession(bool extended, bool extendedType, TScreenSize alternate)
    {
        SetExtended(extended);
        auto guard = Lock();
        Tn3270Stream().SetScreenModel(kDefaultScreenSize, alternate);
        SetTerminalType(extendedType ? TTn3270TerminalType::tt3278m2E : TTn3270TerminalType::tt3278m2);
    }
    ~TFuzzSession() override { Destroying(); }

    TOrvTn3270stream& Stream3270() { return Tn3270Stream(); }

    void TelnetErrorMessage(const std::uint8_t* data, std::int32_t len) override
    {
        TTn3270E::TelnetErrorMessage(data, len);
        if (auto r = CheckListShape(HostFields, UnprotectedFields); !r.empty() && Failure.empty())
            Failure = "after a text record: " + r;
    }
    void GenHostFields() override
    {
        TTn3270E::GenHostFields();
        if (auto r = CheckHostFields(Stream3270().Screen(), HostFields, UnprotectedFields); !r.empty() &&
            Failure.empty())
            Failure = "after field extraction: " + r;
    }
    std::int32_t Send(const void* buf, std::int32_t len) override
    {
        const auto* b = static_cast<const std::uint8_t*>(buf);
        Sent.insert(Sent.end(), b, b + std::max(len, 0));
        return len;
    }

    // The application edits the first unprotected record (a text that may
    // be longer than the field) and presses the key.
    void PressKey(TTn3270AidKey key)
    {
        auto guard = Lock();
        if (auto* f = As3270Field(UnprotectedFields.Items(0)))
            f->SetData("FUZZ 1");
        SetAidKey(key);
    }

    Bytes Sent;
    std::string Failure;
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
        a.Stream3270().TN3270EMode != b.Stream3270().TN3270EMode || a.BinaryMode != b.BinaryMode ||
        a.Tn3270EAccepted != b.Tn3270EAccepted || a.GetDeviceName() != b.GetDeviceName() ||
        a.GetFunctions() != b.GetFunctions())
        return "session state differs when the data comes a byte at a time";
    if (a.Sent != b.Sent)
        return "the bytes sent differ when the data comes a byte at a time";
    return "";
}

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

// afterEdit: the application has edited a record, whose text may now be
// longer than the field (the write-back cuts it), so the lists are not checked.
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
    const TTn3270AidKey key = kKeys[(flags >> 2) & 0x07];
    const std::uint8_t* host = data + 1;
    const auto len = static_cast<std::int32_t>(std::min<std::size_t>(size - 1, INT32_MAX));

    const TScreenSize screen = FuzzScreenSize(flags >> 5u);
    TFuzzSession whole((flags & 0x01) != 0, (flags & 0x02) != 0, screen);
    TFuzzSession bytewise((flags & 0x01) != 0, (flags & 0x02) != 0, screen);
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

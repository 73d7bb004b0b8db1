// Host-side telnet / TN3270E engine of the simulator.
#include "sim/uSimTelnet.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace tnsim {

namespace {

std::string Upper(std::string_view s) {
    std::string out(s);
    for (auto& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// Keeps the first occurrence of each code, in order.
std::vector<std::uint8_t> Dedupe(ByteView list) {
    std::vector<std::uint8_t> out;
    for (auto b : list)
        if (std::find(out.begin(), out.end(), b) == out.end()) out.push_back(b);
    return out;
}

bool SameSet(std::vector<std::uint8_t> a, std::vector<std::uint8_t> b) {
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    return a == b;
}

}  // namespace

bool TSimNegotiated::HasFunction(std::uint8_t f) const {
    return std::find(functions.begin(), functions.end(), f) != functions.end();
}

TSimTelnet::TSimTelnet(TSimTelnetOptions options, ISimTelnetSink& sink)
    : mOpt(std::move(options)), mSink(sink), mRejectsLeft(mOpt.rejectDeviceTypeTimes) {}

void TSimTelnet::Start() {
    if (mNeg != Neg::Idle) return;
    if (mOpt.mode == TSimMode::Tn3270E) {
        mNeg = Neg::AwaitTn3270E;
        Ask(tel::DO, opt::Tn3270E);
    } else {
        StartPlain();
    }
}

void TSimTelnet::StartPlain() {
    mNeg = Neg::AwaitTermType;
    mTermTypeSendsLeft = std::max(1, mOpt.terminalTypeSends);
    if (mHim[opt::TerminalType] == Q::Yes) {
        OptionChanged(opt::TerminalType);
    } else {
        Ask(tel::DO, opt::TerminalType);
    }
}

void TSimTelnet::Feed(ByteView bytes) {
    std::size_t i = 0;
    while (i < bytes.size() && mNeg != Neg::Failed) {
        const std::uint8_t c = bytes[i];
        switch (mParse) {
        case Parse::Data: {
            if (c == tel::IAC) {
                mParse = Parse::Iac;
                ++i;
                break;
            }
            // Hand the run up to the next IAC on as one slice.
            auto end = std::find(bytes.begin() + static_cast<std::ptrdiff_t>(i), bytes.end(), tel::IAC);
            const auto run = static_cast<std::size_t>(end - (bytes.begin() + static_cast<std::ptrdiff_t>(i)));
            if (mRecord.size() + run > kMaxRecordBytes) {
                mRecordOverflow = true;
            } else if (!mRecordOverflow) {
                mRecord.insert(mRecord.end(), bytes.begin() + static_cast<std::ptrdiff_t>(i), end);
            }
            i += run;
            break;
        }
        case Parse::Iac:
            ++i;
            mParse = Parse::Data;
            switch (c) {
            case tel::IAC:  // escaped data byte
                if (mRecord.size() + 1 > kMaxRecordBytes) {
                    mRecordOverflow = true;
                } else if (!mRecordOverflow) {
                    mRecord.push_back(tel::IAC);
                }
                break;
            case tel::EOR:
                OnRecordEnd();
                break;
            case tel::SB:
                mSub.clear();
                mSubOverflow = false;
                mParse = Parse::Sb;
                break;
            case tel::WILL:
            case tel::WONT:
            case tel::DO:
            case tel::DONT:
                mVerb = c;
                mParse = Parse::Verb;
                break;
            case tel::SE:  // stray: no subnegotiation open
                break;
            default:
                mSink.OnTelnetCommand(c);
                break;
            }
            break;
        case Parse::Verb:
            ++i;
            mParse = Parse::Data;
            OnVerb(mVerb, c);
            break;
        case Parse::Sb:
            ++i;
            if (c == tel::IAC) {
                mParse = Parse::SbIac;
            } else if (mSub.size() < kMaxSubnegBytes) {
                mSub.push_back(c);
            } else {
                mSubOverflow = true;
            }
            break;
        case Parse::SbIac:
            if (c == tel::SE) {
                ++i;
                mParse = Parse::Data;
                OnSubneg();
            } else if (c == tel::IAC) {
                ++i;
                mParse = Parse::Sb;
                if (mSub.size() < kMaxSubnegBytes) {
                    mSub.push_back(tel::IAC);
                } else {
                    mSubOverflow = true;
                }
            } else {
                // RFC 855: only IAC SE ends a subnegotiation. Drop it and read
                // this byte as the command that follows the IAC.
                mSink.OnProtocolError("subnegotiation not ended by IAC SE");
                mSub.clear();
                mParse = Parse::Iac;
            }
            break;
        }
    }
}

// --- option negotiation (RFC 1143 style, so that no answer is answered) ---

void TSimTelnet::OnVerb(std::uint8_t verb, std::uint8_t option) {
    const bool himWanted = option == opt::Binary || option == opt::Eor || option == opt::Sga ||
                           option == opt::TerminalType || (option == opt::Tn3270E && mOpt.mode == TSimMode::Tn3270E);
    const bool usWanted = option == opt::Binary || option == opt::Eor || option == opt::Sga;
    const std::uint8_t reply[3] = {tel::IAC, 0, option};
    auto send = [&](std::uint8_t v) {
        std::uint8_t r[3] = {reply[0], v, reply[2]};
        mSink.OnSend(r);
    };
    Q& him = mHim[option];
    Q& us = mUs[option];
    switch (verb) {
    case tel::WILL:
        switch (him) {
        case Q::No:
            if (himWanted) {
                him = Q::Yes;
                send(tel::DO);
                OptionChanged(option);
            } else {
                send(tel::DONT);
            }
            break;
        case Q::Yes: break;
        case Q::WantYes:
            him = Q::Yes;
            OptionChanged(option);
            break;
        case Q::WantNo: him = Q::No; break;
        }
        break;
    case tel::WONT:
        switch (him) {
        case Q::No: break;
        case Q::Yes:
            him = Q::No;
            send(tel::DONT);
            OptionChanged(option);
            break;
        case Q::WantYes:
            him = Q::No;
            OptionChanged(option);
            break;
        case Q::WantNo: him = Q::No; break;
        }
        break;
    case tel::DO:
        switch (us) {
        case Q::No:
            if (usWanted) {
                us = Q::Yes;
                send(tel::WILL);
                OptionChanged(option);
            } else {
                send(tel::WONT);
            }
            break;
        case Q::Yes: break;
        case Q::WantYes:
            us = Q::Yes;
            OptionChanged(option);
            break;
        case Q::WantNo: us = Q::No; break;
        }
        break;
    case tel::DONT:
        switch (us) {
        case Q::No: break;
        case Q::Yes:
            us = Q::No;
            send(tel::WONT);
            OptionChanged(option);
            break;
        case Q::WantYes:
            us = Q::No;
            OptionChanged(option);
            break;
        case Q::WantNo: us = Q::No; break;
        }
        break;
    default: break;
    }
}

void TSimTelnet::Ask(std::uint8_t verb, std::uint8_t option) {
    Q& q = verb == tel::DO ? mHim[option] : mUs[option];
    if (q != Q::No) return;
    q = Q::WantYes;
    const std::uint8_t bytes[3] = {tel::IAC, verb, option};
    mSink.OnSend(bytes);
}

void TSimTelnet::Tn3270EOff() {
    if (!mGrantedLu.empty()) {
        mSink.ReleaseLu(mGrantedLu);
        mGrantedLu.clear();
    }
    if (mOpt.fallbackToPlain) {
        StartPlain();
    } else {
        Fail("client refused TN3270E");
    }
}

void TSimTelnet::Withdraw() {
    // RFC 1143: asked off, the client's WONT then only acknowledges.
    mHim[opt::Tn3270E] = Q::WantNo;
    const std::uint8_t bytes[3] = {tel::IAC, tel::DONT, opt::Tn3270E};
    mSink.OnSend(bytes);
    if (!mGrantedLu.empty()) {
        mSink.ReleaseLu(mGrantedLu);
        mGrantedLu.clear();
    }
    StartPlain();
}

void TSimTelnet::OptionChanged(std::uint8_t option) {
    switch (mNeg) {
    case Neg::AwaitTn3270E:
        if (option != opt::Tn3270E) break;
        if (mHim[opt::Tn3270E] == Q::Yes) {
            if (mOpt.withdrawTn3270E == TSimWithdraw::AfterWill) {
                Withdraw();
                break;
            }
            mNeg = Neg::AwaitDeviceType;
            const std::uint8_t body[] = {opt::Tn3270E, tne::Send, tne::DeviceType};
            SendSubneg(body);
        } else if (mHim[opt::Tn3270E] == Q::No) {
            Tn3270EOff();
        }
        break;
    case Neg::AwaitDeviceType:
    case Neg::AwaitFunctions:
        // The client gave TN3270E up (after a REJECT, say).
        if (option == opt::Tn3270E && mHim[opt::Tn3270E] == Q::No) Tn3270EOff();
        break;
    case Neg::AwaitTermType:
        if (option != opt::TerminalType) break;
        if (mHim[opt::TerminalType] == Q::Yes) {
            mNeg = Neg::AwaitTermTypeIs;
            const std::uint8_t body[] = {opt::TerminalType, ttype::Send};
            SendSubneg(body);
        } else if (mHim[opt::TerminalType] == Q::No) {
            Fail("client refused TERMINAL-TYPE");
        }
        break;
    case Neg::AwaitBinaryEor: {
        const Q states[] = {mHim[opt::Eor], mUs[opt::Eor], mHim[opt::Binary], mUs[opt::Binary]};
        if (std::any_of(std::begin(states), std::end(states), [](Q q) { return q == Q::No; })) {
            Fail("client refused BINARY or END-OF-RECORD");
        } else if (std::all_of(std::begin(states), std::end(states), [](Q q) { return q == Q::Yes; })) {
            Finish(false);
        }
        break;
    }
    default: break;
    }
}

// --- subnegotiations ---

void TSimTelnet::OnSubneg() {
    if (mSubOverflow) {
        mSink.OnProtocolError("subnegotiation longer than the host accepts");
        return;
    }
    if (mSub.empty()) return;
    if (mSub[0] == opt::Tn3270E) {
        OnTn3270ESubneg(mSub);
    } else if (mSub[0] == opt::TerminalType) {
        OnTerminalTypeSubneg(mSub);
    } else {
        mSink.OnProtocolError("subnegotiation of an option not agreed");
    }
}

void TSimTelnet::OnTn3270ESubneg(ByteView sb) {
    if (sb.size() < 3) {
        mSink.OnProtocolError("TN3270E subnegotiation too short");
        return;
    }
    if (sb[1] == tne::DeviceType && sb[2] == tne::Request) {
        OnDeviceTypeRequest(sb.subspan(3));
    } else if (sb[1] == tne::Functions && (sb[2] == tne::Request || sb[2] == tne::Is)) {
        OnFunctions(sb[2], sb.subspan(3));
    } else {
        mSink.OnProtocolError("unexpected TN3270E subnegotiation");
    }
}

void TSimTelnet::RejectDeviceType(std::uint8_t why) {
    mNeg = Neg::AwaitDeviceType;
    const std::uint8_t body[] = {opt::Tn3270E, tne::DeviceType, tne::Reject, tne::Reason, why};
    SendSubneg(body);
}

void TSimTelnet::OnDeviceTypeRequest(ByteView body) {
    if (mNeg != Neg::AwaitDeviceType && mNeg != Neg::AwaitFunctions) {
        mSink.OnProtocolError("DEVICE-TYPE REQUEST out of turn");
        return;
    }
    if (mOpt.withdrawTn3270E == TSimWithdraw::AfterDeviceType) {
        Withdraw();
        return;
    }
    if (++mDeviceTypeRounds > kMaxDeviceTypeRounds) {
        Fail("too many DEVICE-TYPE requests");
        return;
    }
    if (!mGrantedLu.empty()) {
        mSink.ReleaseLu(mGrantedLu);
        mGrantedLu.clear();
    }
    const auto stop = std::find_if(body.begin(), body.end(),
                                   [](std::uint8_t b) { return b == tne::Connect || b == tne::Associate; });
    const std::string type(body.begin(), stop);
    std::string name;
    if (stop != body.end()) {
        if (*stop == tne::Associate) {
            RejectDeviceType(reason::InvAssociate);  // a display host has no printers to associate
            return;
        }
        name.assign(stop + 1, body.end());
    }
    if (mRejectsLeft > 0) {
        --mRejectsLeft;
        RejectDeviceType(mOpt.rejectReason);
        return;
    }
    if (!TerminalTypeAccepted(type)) {
        RejectDeviceType(reason::InvDeviceType);
        return;
    }
    const TSimLuGrant grant = mSink.AssignLu(type, name);
    if (!grant.granted) {
        RejectDeviceType(grant.rejectReason);
        return;
    }
    mGrantedLu = grant.luName;
    mTerminalType = type;
    mNeg = Neg::AwaitFunctions;
    mFunctionsRounds = 0;
    mProposed.clear();
    Bytes is = {opt::Tn3270E, tne::DeviceType, tne::Is};
    is.insert(is.end(), type.begin(), type.end());
    is.push_back(tne::Connect);
    is.insert(is.end(), mGrantedLu.begin(), mGrantedLu.end());
    SendSubneg(is);
}

void TSimTelnet::OnFunctions(std::uint8_t verb, ByteView list) {
    if (mNeg != Neg::AwaitFunctions) {
        mSink.OnProtocolError("FUNCTIONS out of turn");
        return;
    }
    if (mOpt.withdrawTn3270E == TSimWithdraw::AfterFunctions) {
        Withdraw();
        return;
    }
    const std::vector<std::uint8_t> asked = Dedupe(list);
    std::vector<std::uint8_t> agreed;
    for (auto f : asked)
        if (HostSupports(f)) agreed.push_back(f);
    if (verb == tne::Is) {
        // The client states the set; a set beyond ours is cut down and said.
        if (!SameSet(agreed, asked)) SendFunctions(tne::Is, agreed);
        mResult.functions = agreed;
        Finish(true);
        return;
    }
    ++mFunctionsRounds;
    if (SameSet(agreed, asked) || mOpt.functionsIsAtOnce || mFunctionsRounds >= kMaxFunctionsRounds) {
        SendFunctions(tne::Is, agreed);
        mResult.functions = agreed;
        Finish(true);
        return;
    }
    mProposed = agreed;
    SendFunctions(tne::Request, agreed);
}

void TSimTelnet::SendFunctions(std::uint8_t verb, const std::vector<std::uint8_t>& list) {
    Bytes body = {opt::Tn3270E, tne::Functions, verb};
    body.insert(body.end(), list.begin(), list.end());
    SendSubneg(body);
}

void TSimTelnet::OnTerminalTypeSubneg(ByteView sb) {
    if (mNeg != Neg::AwaitTermTypeIs) {
        mSink.OnProtocolError("TERMINAL-TYPE out of turn");
        return;
    }
    if (sb.size() < 2 || sb[1] != ttype::Is) {
        mSink.OnProtocolError("TERMINAL-TYPE subnegotiation is not IS");
        return;
    }
    if (--mTermTypeSendsLeft > 0) {
        const std::uint8_t body[] = {opt::TerminalType, ttype::Send};
        SendSubneg(body);
        return;
    }
    const std::string text(sb.begin() + 2, sb.end());
    // RFC 1646: "type@LU" names the device as well.
    const auto at = text.find('@');
    const std::string type = text.substr(0, at);
    const std::string requested = at == std::string::npos ? std::string() : text.substr(at + 1);
    if (!TerminalTypeAccepted(type)) {
        Fail("terminal type " + type + " is not a 3270 display");
        return;
    }
    const TSimLuGrant grant = mSink.AssignLu(type, requested);
    if (!grant.granted) {
        Fail("no LU for the terminal");
        return;
    }
    mGrantedLu = grant.luName;
    mTerminalType = type;
    mNeg = Neg::AwaitBinaryEor;
    Ask(tel::DO, opt::Eor);
    Ask(tel::WILL, opt::Eor);
    Ask(tel::DO, opt::Binary);
    Ask(tel::WILL, opt::Binary);
    OptionChanged(opt::Binary);  // the client may have agreed to all of them already
}

bool TSimTelnet::TerminalTypeAccepted(std::string_view type) const {
    const std::string t = Upper(type);
    if (!mOpt.terminalTypes.empty()) {
        return std::any_of(mOpt.terminalTypes.begin(), mOpt.terminalTypes.end(),
                           [&](const std::string& a) { return Upper(a) == t; });
    }
    if (t == "IBM-DYNAMIC") return true;
    // IBM-3278-2 .. IBM-3279-5, with or without -E.
    if (t.size() != 10 && t.size() != 12) return false;
    if (t.compare(0, 7, "IBM-327") != 0) return false;
    if (t[7] != '8' && t[7] != '9') return false;
    if (t[8] != '-' || t[9] < '2' || t[9] > '5') return false;
    return t.size() == 10 || t.compare(10, 2, "-E") == 0;
}

bool TSimTelnet::HostSupports(std::uint8_t function) const {
    return std::find(mOpt.functions.begin(), mOpt.functions.end(), function) != mOpt.functions.end();
}

void TSimTelnet::Finish(bool tn3270e) {
    mNeg = Neg::Done;
    mResult.tn3270e = tn3270e;
    mResult.terminalType = mTerminalType;
    mResult.luName = mGrantedLu;
    if (tn3270e) {
        std::sort(mResult.functions.begin(), mResult.functions.end());
        mResult.binary = true;  // implied by TN3270E (RFC 2355)
        mResult.eor = true;
    } else {
        mResult.functions.clear();
        mResult.binary = true;
        mResult.eor = true;
    }
    mSink.OnNegotiated(mResult);
}

void TSimTelnet::Fail(std::string_view why) {
    mNeg = Neg::Failed;
    mSink.OnFailure(why);
}

void TSimTelnet::SendSubneg(ByteView body) {
    Bytes out = {tel::IAC, tel::SB};
    for (auto b : body) {
        out.push_back(b);
        if (b == tel::IAC) out.push_back(tel::IAC);
    }
    out.push_back(tel::IAC);
    out.push_back(tel::SE);
    mSink.OnSend(out);
}

// --- records ---

void TSimTelnet::OnRecordEnd() {
    if (mRecordOverflow) {
        mRecordOverflow = false;
        mRecord.clear();
        mSink.OnProtocolError("record longer than the host accepts, dropped");
        return;
    }
    Bytes record = std::move(mRecord);
    mRecord.clear();
    if (mNeg != Neg::Done) {
        mSink.OnProtocolError("record before the negotiation finished, dropped");
        return;
    }
    TSimRecord r;
    r.tn3270e = mResult.tn3270e;
    if (r.tn3270e) {
        const auto h = ParseTnHeader(record);
        if (!h) {
            mSink.OnProtocolError("TN3270E record shorter than its header, dropped");
            return;
        }
        r.header = *h;
        r.data.assign(record.begin() + static_cast<std::ptrdiff_t>(kTnHeaderSize), record.end());
    } else {
        r.data = std::move(record);
    }
    mSink.OnRecord(r);
}

Bytes TSimTelnet::Frame(ByteView record) {
    Bytes out;
    out.reserve(record.size() + record.size() / 64 + 2);
    for (auto b : record) {
        out.push_back(b);
        if (b == tel::IAC) out.push_back(tel::IAC);
    }
    out.push_back(tel::IAC);
    out.push_back(tel::EOR);
    return out;
}

std::uint16_t TSimTelnet::SendRecord(std::uint8_t dataType, ByteView data, std::uint8_t responseFlag) {
    if (mNeg != Neg::Done) throw std::logic_error("record sent before the negotiation finished");
    if (!mResult.tn3270e) {
        if (dataType != dt::Data3270) throw std::logic_error("plain TN3270 carries 3270 data only");
        SendFramed(data);
        return 0;
    }
    const std::uint16_t seq = mNextSeq;
    mNextSeq = mNextSeq >= kMaxSeqNumber ? 0 : static_cast<std::uint16_t>(mNextSeq + 1);
    const auto header = EncodeTnHeader({dataType, 0x00, responseFlag, seq});
    Bytes record(header.begin(), header.end());
    record.insert(record.end(), data.begin(), data.end());
    SendFramed(record);
    return seq;
}

void TSimTelnet::SendResponse(std::uint16_t seq, bool positive, std::uint8_t code) {
    if (mNeg != Neg::Done || !mResult.tn3270e) throw std::logic_error("responses exist in TN3270E mode only");
    const auto header =
        EncodeTnHeader({dt::Response, 0x00, positive ? rf::PositiveResponse : rf::NegativeResponse, seq});
    Bytes record(header.begin(), header.end());
    record.push_back(code);
    SendFramed(record);
}

void TSimTelnet::SendFramed(ByteView record) { mSink.OnSend(Frame(record)); }

void TSimTelnet::SendCommand(std::uint8_t command) {
    const std::uint8_t bytes[2] = {tel::IAC, command};
    mSink.OnSend(bytes);
}

void TSimTelnet::SendRaw(ByteView bytes) { mSink.OnSend(bytes); }

}  // namespace tnsim

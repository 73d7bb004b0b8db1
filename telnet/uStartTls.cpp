#include "telnet/uStartTls.h"

#include <cstdio>

namespace {

constexpr std::uint8_t DONT = 0xFE, DO = 0xFD, WONT = 0xFC, WILL = 0xFB;

std::string VerbText(std::uint8_t verb, std::uint8_t option)
{
    const char* name = verb == DO ? "DO" : verb == DONT ? "DONT" : verb == WILL ? "WILL" : "WONT";
    char text[32];
    std::snprintf(text, sizeof text, "%s %u", name, static_cast<unsigned>(option));
    return text;
}

} // namespace

void TStartTls::Reset(bool wanted)
{
    state_ = wanted ? TState::WaitOffer : TState::Off;
    other_.clear();
    failure_.clear();
}

TStartTls::TAction TStartTls::OnOption(std::uint8_t verb, std::uint8_t option)
{
    if (state_ == TState::Handshake || state_ == TState::Failed)
        return TAction::None;
    if (option == kOption) {
        if (verb == DO && state_ == TState::WaitOffer) {
            state_ = TState::WaitFollows;
            other_.clear();
            return TAction::SendWill;
        }
        if (verb == DONT || verb == WONT) {
            Fail("TLS: the host refused START_TLS (" + VerbText(verb, option) + ")");
            return TAction::Fail;
        }
        return TAction::None;  // a repeated DO, or a WILL: nothing to add
    }
    OnOther(VerbText(verb, option).c_str());
    return TAction::None;
}

TStartTls::TAction TStartTls::OnSubnegotiation(std::span<const std::uint8_t> data)
{
    if (state_ == TState::Handshake || state_ == TState::Failed)
        return TAction::None;
    if (data.size() >= 2 && data[0] == kOption) {
        if (data[1] == kFollows && state_ == TState::WaitFollows) {
            state_ = TState::Handshake;
            other_.clear();
            return TAction::SendFollows;
        }
        return TAction::None;
    }
    OnOther("a subnegotiation");
    return TAction::None;
}

void TStartTls::OnOther(const char* what)
{
    // Once the host has offered START_TLS, what else it asks for before
    // FOLLOWS is dropped: it negotiates again inside TLS.
    if (other_.empty() && state_ == TState::WaitOffer)
        other_ = what;
}

TStartTls::TAction TStartTls::EndOfBlock()
{
    if (other_.empty() || state_ != TState::WaitOffer)
        return TAction::None;
    Fail("TLS: the host does not offer START_TLS (it sent " + other_ +
         " instead); use TlsMode direct with the host's TLS port, or none");
    return TAction::Fail;
}

void TStartTls::Fail(std::string reason)
{
    state_ = TState::Failed;
    failure_ = std::move(reason);
}

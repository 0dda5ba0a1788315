#include "tools/demo/authenticator.h"

#include <random>

namespace demo {

Authenticator::Authenticator(Mac portAddress, std::string identity, std::string secret)
    : port_(portAddress), identity_(std::move(identity)), secret_(std::move(secret))
{
}

std::vector<uint8_t> Authenticator::Request(EapMethod method, std::vector<uint8_t> data)
{
    return EapolEap(kPaeGroupAddress, port_, EapCode::Request, ++identifier_, method, data);
}

std::optional<std::vector<uint8_t>> Authenticator::Answer(const std::vector<uint8_t> &frame)
{
    std::optional<EapolFrame> eapol = ParseEapol(frame);
    if (!eapol) {
        return std::nullopt;
    }
    if (eapol->type == EapolType::Start) {
        log_ = "EAPOL-Start received; asking for the identity";
        return Request(EapMethod::Identity, {});
    }
    if (eapol->type != EapolType::EapPacket || eapol->code != EapCode::Response ||
        eapol->identifier != identifier_) {
        return std::nullopt;
    }
    if (eapol->method == EapMethod::Identity) {
        std::string name(eapol->data.begin(), eapol->data.end());
        if (name != identity_) {
            log_ = "unknown identity \"" + name + "\"; failing";
            return EapolEap(kPaeGroupAddress, port_, EapCode::Failure, identifier_, std::nullopt, {});
        }
        std::mt19937 random(0x1D1D);
        challenge_.resize(16);
        for (uint8_t &byte : challenge_) {
            byte = static_cast<uint8_t>(random());
        }
        std::vector<uint8_t> data{static_cast<uint8_t>(challenge_.size())};
        data.insert(data.end(), challenge_.begin(), challenge_.end());
        log_ = "identity \"" + name + "\"; sending an MD5 challenge";
        return Request(EapMethod::Md5Challenge, data);
    }
    if (eapol->method == EapMethod::Md5Challenge) {
        Md5Digest expected = Md5ChallengeResponse(identifier_, secret_, challenge_);
        bool proved = eapol->data.size() >= 1 + expected.size() && eapol->data[0] == expected.size() &&
                      std::equal(expected.begin(), expected.end(), eapol->data.begin() + 1);
        succeeded_ = proved;
        log_ = proved ? "the MD5 response matches; the port is authorised"
                      : "the MD5 response is wrong; failing";
        return EapolEap(kPaeGroupAddress, port_, proved ? EapCode::Success : EapCode::Failure, identifier_,
                        std::nullopt, {});
    }
    return std::nullopt;
}

bool Authenticator::Succeeded() const
{
    return succeeded_;
}

const std::string &Authenticator::Log() const
{
    return log_;
}

}  // namespace demo

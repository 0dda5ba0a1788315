#include "tools/demo/eapol.h"

#include <algorithm>

namespace demo {
namespace {

constexpr uint8_t kEapolVersion = 2;
constexpr size_t kEthernetHeader = 14;
constexpr size_t kMinimumFrame = 60;

void PutBigEndian16(std::vector<uint8_t> &out, uint16_t value)
{
    out.push_back(uint8_t(value >> 8));
    out.push_back(uint8_t(value));
}

uint16_t BigEndian16(std::span<const uint8_t> bytes, size_t offset)
{
    return uint16_t(bytes[offset] << 8 | bytes[offset + 1]);
}

std::vector<uint8_t> EapolBody(EapolType type, std::span<const uint8_t> body)
{
    std::vector<uint8_t> out(4 + body.size());
    out[0] = kEapolVersion;
    out[1] = uint8_t(type);
    out[2] = uint8_t(body.size() >> 8);
    out[3] = uint8_t(body.size());
    std::copy(body.begin(), body.end(), out.begin() + 4);
    return out;
}

}  // namespace

std::vector<uint8_t> EthernetFrame(const Mac &destination, const Mac &source, uint16_t etherType,
                                   std::span<const uint8_t> payload)
{
    std::vector<uint8_t> frame(destination.begin(), destination.end());
    frame.insert(frame.end(), source.begin(), source.end());
    PutBigEndian16(frame, etherType);
    frame.insert(frame.end(), payload.begin(), payload.end());
    if (frame.size() < kMinimumFrame) {
        frame.resize(kMinimumFrame, 0);
    }
    return frame;
}

std::vector<uint8_t> EapolStart(const Mac &destination, const Mac &source)
{
    return EthernetFrame(destination, source, kEapolEtherType, EapolBody(EapolType::Start, {}));
}

std::vector<uint8_t> EapolEap(const Mac &destination, const Mac &source, EapCode code,
                              uint8_t identifier, std::optional<EapMethod> method,
                              std::span<const uint8_t> data)
{
    std::vector<uint8_t> eap{uint8_t(code), identifier};
    PutBigEndian16(eap, uint16_t(4 + (method ? 1 : 0) + data.size()));
    if (method) {
        eap.push_back(uint8_t(*method));
    }
    eap.insert(eap.end(), data.begin(), data.end());
    return EthernetFrame(destination, source, kEapolEtherType, EapolBody(EapolType::EapPacket, eap));
}

std::optional<EapolFrame> ParseEapol(std::span<const uint8_t> frame)
{
    if (frame.size() < kEthernetHeader + 4 || BigEndian16(frame, 12) != kEapolEtherType) {
        return std::nullopt;
    }
    EapolFrame out{};
    std::copy(frame.begin(), frame.begin() + 6, out.destination.begin());
    std::copy(frame.begin() + 6, frame.begin() + 12, out.source.begin());
    out.type = EapolType(frame[15]);
    size_t bodyLength = BigEndian16(frame, 16);
    std::span<const uint8_t> body = frame.subspan(kEthernetHeader + 4);
    if (bodyLength > body.size()) {
        return std::nullopt;
    }
    if (out.type != EapolType::EapPacket) {
        return out;
    }
    if (bodyLength < 4) {
        return std::nullopt;
    }
    out.code = EapCode(body[0]);
    out.identifier = body[1];
    size_t eapLength = BigEndian16(body, 2);
    if (eapLength < 4 || eapLength > bodyLength) {
        return std::nullopt;
    }
    if (out.code == EapCode::Request || out.code == EapCode::Response) {
        if (eapLength < 5) {
            return std::nullopt;
        }
        out.method = EapMethod(body[4]);
        out.data.assign(body.begin() + 5, body.begin() + eapLength);
    }
    return out;
}

Md5Digest Md5ChallengeResponse(uint8_t identifier, std::string_view secret,
                               std::span<const uint8_t> challenge)
{
    std::vector<uint8_t> input(1 + secret.size() + challenge.size());
    input[0] = identifier;
    std::copy(secret.begin(), secret.end(), input.begin() + 1);
    std::copy(challenge.begin(), challenge.end(), input.begin() + 1 + secret.size());
    return Md5(input);
}

}  // namespace demo

// The authenticator on the simulated wire: the switch port's side of an
// 802.1X exchange with EAP-MD5, answering the frames the client sends. Like a
// switch port it sends every frame to the PAE group address, which the
// client's adapter takes only once the client has joined the group.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/demo/eapol.h"

namespace demo {

class Authenticator {
public:
    Authenticator(Mac portAddress, std::string identity, std::string secret);

    // The answer to one frame from the client: nothing for a frame it does
    // not expect. Success() tells whether the client proved the secret.
    std::optional<std::vector<uint8_t>> Answer(const std::vector<uint8_t> &frame);
    bool Succeeded() const;
    const std::string &Log() const;

private:
    std::vector<uint8_t> Request(EapMethod method, std::vector<uint8_t> data);

    Mac port_;
    std::string identity_;
    std::string secret_;
    uint8_t identifier_ = 0;
    std::vector<uint8_t> challenge_;
    bool succeeded_ = false;
    std::string log_;
};

}  // namespace demo

// A Linux TAP interface: made by name, given a station address, brought up,
// its carrier set; frames read from and written to its descriptor whole.
#pragma once

#include <array>
#include <cstdint>
#include <string>

class Tap {
public:
    Tap() = default;
    Tap(const Tap &) = delete;
    Tap &operator=(const Tap &) = delete;
    ~Tap();

    // Each returns false with the reason in *error.
    bool Create(const std::string &name, std::string *error);
    bool SetAddress(const std::array<uint8_t, 6> &address, std::string *error);
    bool BringUp(std::string *error);
    bool SetCarrier(bool on, std::string *error);

    int Descriptor() const { return descriptor_; }
    const std::string &Name() const { return name_; }

private:
    int descriptor_ = -1;
    std::string name_;
};

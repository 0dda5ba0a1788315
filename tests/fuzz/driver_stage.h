// The stage of the driver fuzz targets: rezezura loaded on the sim with one
// Ethernet adapter bound, and an administrator's handle on the control
// device. Finish() lets every request go (CancelIo, close), stops the driver
// and aborts, naming the problem, on a request never completed, a verifier
// finding or anything left behind.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/client.h"
#include "sim/driver.h"
#include "sim/ndis.h"

namespace fuzz {

extern const std::vector<uint8_t> kStationAddress;

class DriverStage {
public:
    // False when the load or the open failed, which a fuzz input cannot cause.
    bool Start(bool attach);
    sim::Adapter &Adapter() { return *adapter_; }
    const sim::ClientHandle &Handle() const { return handle_; }

    template <typename R>
    R Track(R request)
    {
        requests_.push_back(request);
        return request;
    }

    void Finish();

private:
    std::optional<sim::Adapter> adapter_;
    sim::Driver driver_;
    sim::ClientHandle handle_;
    std::vector<sim::Request> requests_;
};

// Aborts the fuzz run with a message on stderr.
[[noreturn]] void Fail(const char *what);

}  // namespace fuzz

// The world of one run of a race: the driver loaded through DriverEntry, one
// adapter bound to it, and clients' handles opened by name. Explorations
// build one per seed. Going, it closes the handles still open and stops the
// driver (unbind, unload), as a test's end does.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "sim/client.h"
#include "sim/driver.h"
#include "sim/ndis.h"

namespace rztest {

class RaceStage {
public:
    using Frame = std::vector<uint8_t>;

    RaceStage();
    ~RaceStage();
    RaceStage(const RaceStage &) = delete;
    RaceStage &operator=(const RaceStage &) = delete;

    sim::Adapter &Nic() { return nic_; }
    // The driver stops as the service control manager stops it (unbind,
    // unload); true once it unloaded.
    bool Stop();
    // Another adapter, arrived and bound.
    sim::Adapter AddAdapter(const std::u16string &name);

    // An administrator's read-write handle on the device, and one attached to the adapter.
    sim::ClientHandle OpenHandle();
    sim::ClientHandle AttachedHandle();
    // IOCTL_RELAY_OPEN_ADAPTER naming the adapter, on the handle.
    static sim::ControlRequest Attach(const sim::ClientHandle &handle, const sim::Adapter &adapter);
    // IOCTL_RELAY_WAIT_STATUS for one status, with room for `outputLength` bytes.
    static sim::ControlRequest Wait(const sim::ClientHandle &handle, NDIS_STATUS status, ULONG outputLength);

    // The adapter's station address, and an EAPOL frame of `length` bytes to
    // it, its payload counting up from `seed`.
    static const Frame &Station();
    static Frame EapolFrame(size_t length, uint8_t seed);

private:
    sim::Driver driver_;
    bool loaded_ = false;
    sim::Adapter nic_;
    std::deque<sim::ClientHandle> handles_;
};

}  // namespace rztest

// The stage of the control tests: the relay registered as a protocol with its
// control device, one simulated adapter bound to it, and clients that open
// handles on the device. Clients go (cleanup, close) before the protocol
// deregisters, which unbinds every adapter, before the world is checked.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "bindings/binding.h"
#include "sim/ndis.h"
#include "tests/support/control_client.h"
#include "tests/support/relay_protocol.h"
#include "tests/support/sim_test.h"

namespace rztest {

class ControlTest : public SimTest {
protected:
    void SetUp() override;
    void TearDown() override;

    RelayProtocol &Relay() { return *relay_; }
    sim::Adapter &Nic() { return *nic_; }

    // Another adapter, arrived and bound.
    sim::Adapter AddAdapter(const std::u16string &name);
    // The listed binding of an adapter; the list's reference keeps it.
    AdapterBinding *BindingOf(const sim::Adapter &adapter);
    AdapterBinding *Binding() { return BindingOf(Nic()); }

    // A new handle on the control device, and one attached to the adapter.
    ControlClient &NewClient();
    ControlClient &AttachedClient(const sim::Adapter &adapter);
    ControlClient &AttachedClient() { return AttachedClient(Nic()); }

    // The adapter's power state changes (a NetEventSetPower).
    void SetPower(const sim::Adapter &adapter, NDIS_DEVICE_POWER_STATE state);

private:
    std::optional<RelayProtocol> relay_;
    std::optional<sim::Adapter> nic_;
    std::deque<std::unique_ptr<ControlClient>> clients_;
};

}  // namespace rztest

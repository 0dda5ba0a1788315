// Scenario helpers for frames between an adapter and the relay's clients:
// the relay registered and bound to one simulated adapter, client handles
// attached to its binding, reads and writes with direct I/O, and EAPOL frames.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "bindings/binding.h"
#include "sim/direct_io.h"
#include "sim/io.h"
#include "sim/ndis.h"
#include "tests/support/relay_protocol.h"
#include "tests/support/sim_test.h"

namespace rztest {

using Bytes = std::vector<uint8_t>;

// The station address of the adapter RelayTraffic binds to.
extern const Bytes kStationAddress;

// An Ethernet frame of `length` bytes (at least 14) to `destination` with the
// given type, its payload counting up from `seed`.
Bytes EthernetFrame(size_t length, uint16_t type, uint8_t seed = 0,
                    const Bytes &destination = kStationAddress);
// An EAPOL frame (type 0x888E) to the station address.
Bytes EapolFrame(size_t length, uint8_t seed = 0);

class RelayTraffic : public SimTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // A client handle attached to the adapter by the attach request.
    sim::File Attach();
    // A handle attached to nothing.
    sim::File Unattached();
    // The handle's close: its attachment's reference goes.
    void Close(const sim::File &file);

    // A read or write dispatched to the relay on the handle.
    sim::Request Read(const sim::File &file, ULONG length);
    sim::Request Write(const sim::File &file, const Bytes &frame);
    sim::Request ChainedWrite(const sim::File &file, const std::vector<Bytes> &pieces);
    // The handle's cleanup.
    NTSTATUS Cleanup(const sim::File &file);

    // The adapter goes away; true once its unbind completed.
    bool RemoveAdapter();

    // Reads queued on the binding now.
    size_t QueuedReads();

    std::unique_ptr<RelayProtocol> protocol_;
    sim::Adapter nic_ = sim::CreateAdapter();
    AdapterBinding *binding_ = nullptr;  // held by a reference of the fixture's
    std::vector<sim::File> attached_;
    bool removed_ = false;
};

// Waits for the request and expects its final status and byte count.
void ExpectCompleted(const sim::Request &request, NTSTATUS status, ULONG_PTR information);

}  // namespace rztest

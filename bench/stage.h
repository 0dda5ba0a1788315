// The stage every benchmark runs on: rezezura loaded on the sim through its
// DriverEntry, one Ethernet adapter bound, and one handle attached to it, as
// a client of the control device would have them. One stage serves the
// whole run; at its end the driver stops and the verifier's record and the
// leak report are read, and any finding fails the run.
#pragma once

#include <cstdint>
#include <vector>

#include "bindings/binding.h"
#include "sim/client.h"
#include "sim/ndis.h"

namespace bench {

using Bytes = std::vector<uint8_t>;

// The station address of the stage's adapter: frames to it pass the
// directed packet filter the driver sets.
extern const Bytes kStationAddress;

struct Stage {
    sim::Adapter adapter = sim::CreateAdapter();
    sim::ClientHandle handle;
    AdapterBinding *binding = nullptr;  // the adapter's binding: its ProtocolBindingContext
};

// The stage, set up on first use.
Stage &TheStage();
// Stops the driver and checks the world; false, with the findings on stderr, when anything is wrong.
bool EndStage();

// A read or write dispatched through the driver's dispatch table on the stage's handle.
sim::Request DispatchRead(ULONG length);
sim::Request DispatchWrite(const Bytes &frame);

// An Ethernet frame of `length` bytes to the station address with the given
// type at offset 12, its payload counting up.
Bytes EthernetFrame(size_t length, uint16_t type);

}  // namespace bench

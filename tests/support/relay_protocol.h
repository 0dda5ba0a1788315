// The relay as the network stack knows it: registered as an NDIS 5.0
// protocol with its bind, unbind, open, close, request, status, plug-and-play and
// unload handlers, with the control device whose extension is the
// DeviceContext, as the driver's entry sets them up.
#pragma once

#include <string>

#include "bindings/binding.h"
#include "sim/ndis.h"
#include "tests/support/control_device.h"

namespace rztest {

class RelayProtocol {
public:
    RelayProtocol();
    // Deregisters if still registered, which unbinds every adapter.
    ~RelayProtocol();
    RelayProtocol(const RelayProtocol &) = delete;
    RelayProtocol &operator=(const RelayProtocol &) = delete;

    DeviceContext &Context() { return control_.Context(); }
    PDEVICE_OBJECT Device() { return control_.Device(); }
    NDIS_HANDLE Handle() const { return control_.Context().ProtocolHandle; }
    void Deregister();

    // The listed binding of an adapter, with a reference the caller drops.
    AdapterBinding *Lookup(const sim::Adapter &adapter);
    size_t ListedCount();

private:
    ControlDevice control_;
    bool registered_ = false;
};

}  // namespace rztest

// A bench for the relay's adapter requests before the whole driver is there:
// a bare protocol that opens every adapter offered to it and hands request
// completions to the relay's RequestCompleteHandler.
#pragma once

#include "platform/ndis_protocol.h"
#include "sim/ndis.h"

namespace rztest {

class RequestBench {
public:
    // Registers the bench protocol and offers it a new adapter.
    explicit RequestBench(const sim::AdapterConfig &config = {});
    // Deregisters, which unbinds and closes the adapter.
    ~RequestBench();
    RequestBench(const RequestBench &) = delete;
    RequestBench &operator=(const RequestBench &) = delete;

    sim::Adapter &Adapter() { return adapter_; }
    NDIS_HANDLE BindingHandle() const;

private:
    NDIS_HANDLE protocol_ = nullptr;
    sim::Adapter adapter_;
};

}  // namespace rztest

// What an interface itself holds for those who want it to receive more:
// its promiscuous and all-multicast flags and the addresses added to its
// multicast list. Unlike a packet socket's memberships these outlive the
// program that set them.
#pragma once

#include <optional>
#include <string>

#include "sim/ndis.h"

namespace host {

// The name the interface of `index` has now; nothing when there is none.
std::optional<std::string> InterfaceName(int index);

// The interface's flags (IFF_*); nothing when it cannot be asked.
std::optional<unsigned> InterfaceFlags(const std::string &name);

// Whether the interface's multicast list holds `address` as one added to
// the interface itself (rather than a protocol's own).
bool InterfaceHoldsMulticast(int index, const sim::MacAddress &address);

// Adds `address` to the multicast list of the interface of `index`, or
// removes it; false with errno set when the kernel refuses.
bool ChangeInterfaceMulticast(int index, const sim::MacAddress &address, bool add);

}  // namespace host

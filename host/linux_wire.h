// A Linux Ethernet interface as the wire behind a sim adapter: frames
// through an AF_PACKET raw socket bound to the interface, answers about the
// medium from what rtnetlink last reported, and the adapter's receive mode
// as packet-socket memberships (promiscuous, all-multicast, each multicast
// address).
//
// Where the kernel interface refuses packet-socket options (qemu-user
// translates none of them), the tag of a frame whose VLAN header the
// interface took off cannot come beside it; a socket filter then keeps such
// frames out, and the receive mode goes to the interface itself: its
// promiscuous and all-multicast flags and its multicast list. Those outlive
// the socket, so the wire changes only what was not so already and undoes
// it when it stops.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/links.h"
#include "sim/ndis.h"
#include "sim/wire.h"

namespace host {

class LinuxWire : public sim::Wire {
public:
    // The wire of one interface, its socket open and bound; nothing, with
    // the reason in `error`, when the socket cannot be had.
    static std::shared_ptr<LinuxWire> Open(const Link &link, std::string *error);
    ~LinuxWire() override;

    Link Interface() const;

    // Starts giving the adapter what the interface receives, from a thread of its own.
    void Start(sim::Adapter adapter);
    // Stops that thread and closes the socket; nothing is sent or received after.
    void Stop();

    // What rtnetlink reported of the interface since.
    void Update(const Link &link);

    NDIS_STATUS Transmit(const std::vector<sim::WirePiece> &frame) override;
    std::optional<std::vector<uint8_t>> Query(NDIS_OID oid) override;
    void FollowReceiveMode(const sim::ReceiveFilter &mode) override;

private:
    LinuxWire(const Link &link, int socket, int stop, bool packetOptions);
    void Receive(sim::Adapter adapter);
    void SetMembership(int type, const sim::MacAddress *address, bool on);
    void SetInterfaceFlag(unsigned flag, bool on);
    void SetInterfaceMulticast(const sim::MacAddress &address, bool on);
    void LeaveInterface();

    std::atomic<int> socket_;
    const int stop_;  // eventfd that ends the receive thread
    const bool packetOptions_;  // false: the receive mode is the interface's own
    std::thread receiver_;
    std::atomic<unsigned> mtu_;  // sizes the receive buffers
    mutable std::mutex lock_;  // guards link_, speed_ and the memberships
    Link link_;
    std::optional<uint32_t> speedMbps_;
    sim::ReceiveFilter joined_;
    // What this wire itself set on the interface, when the receive mode is the interface's.
    unsigned flagsSet_ = 0;
    std::vector<sim::MacAddress> multicastAdded_;
};

}  // namespace host

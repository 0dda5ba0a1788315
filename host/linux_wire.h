// A Linux Ethernet interface as the wire behind a sim adapter: frames
// through an AF_PACKET raw socket bound to the interface, answers about the
// medium from what rtnetlink last reported, and the adapter's receive mode
// as packet-socket memberships (promiscuous, all-multicast, each multicast
// address).
//
// A socket filter lets only what the driver can take (untagged EAPOL) leave
// the kernel, and the interface's own sends never come back; a wire that
// offers every frame, as NDIS indicates every frame to a protocol, lets the
// driver's own filter be tested on real traffic.
//
// The socket is non-blocking and read by the service's loop when it is
// ready (Receive). The receive mode the adapter's opens ask for is recorded
// under NDIS's lock and carried out on the interface outside it, before the
// next answer reaches a client (ApplyReceiveModes).
//
// Where the kernel interface refuses packet-socket options (qemu-user
// translates none of them), the tag of a frame whose VLAN header the
// interface took off cannot come beside it; a socket filter then keeps such
// frames out, and the receive mode goes to the interface itself: its
// promiscuous and all-multicast flags and its multicast list. Those outlive
// the socket, so the wire changes only what was not so already, records each
// change before making it (a start after a service that was killed undoes
// what its record names), and undoes it when it stops.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/change_record.h"
#include "host/links.h"
#include "sim/ndis.h"
#include "sim/wire.h"

namespace host {

// Carries out on their interfaces the receive modes recorded since the
// last call; any thread, never under NDIS's lock.
void ApplyReceiveModes();

struct WireSettings {
    // No filter but the one that keeps out what cannot be put back whole.
    bool everyFrame = false;
    // False: ask for no packet-socket options, as where the kernel interface
    // refuses them, so that the receive mode goes to the interface itself.
    bool packetOptions = true;
    // Where changes to the interface itself are recorded until undone.
    std::shared_ptr<ChangeRecord> record;
};

class LinuxWire : public sim::Wire, public std::enable_shared_from_this<LinuxWire> {
public:
    // The wire of one interface, its socket open and bound; nothing, with
    // the reason in `error`, when the socket cannot be had.
    static std::shared_ptr<LinuxWire> Open(const Link &link, const WireSettings &settings, std::string *error);
    ~LinuxWire() override;

    Link Interface() const;
    // The packet socket, for the loop to wait on.
    int Descriptor() const { return socket_; }

    // Gives the adapter the next frame the socket holds; false when
    // the socket failed for good (the interface is gone: its removal comes
    // through rtnetlink).
    bool Receive(sim::Adapter &adapter);
    // Closes the socket and undoes what the wire set on the interface;
    // nothing is sent or received after.
    void Stop();

    // What rtnetlink reported of the interface since.
    void Update(const Link &link);

    NDIS_STATUS Transmit(const std::vector<sim::WirePiece> &frame) override;
    std::optional<std::vector<uint8_t>> Query(NDIS_OID oid) override;
    void FollowReceiveMode(const sim::ReceiveFilter &mode) override;

private:
    friend void ApplyReceiveModes();

    LinuxWire(const Link &link, int socket, bool packetOptions, std::shared_ptr<ChangeRecord> record);
    // Brings the interface to the receive mode last asked for.
    void ApplyReceiveMode();
    void SetMembership(const Link &link, int type, const sim::MacAddress *address, bool on);
    void SetInterfaceFlag(const Link &link, unsigned flag, bool on);
    void SetInterfaceMulticast(const Link &link, const sim::MacAddress &address, bool on);
    void LeaveInterface(const Link &link);
    // Records a change to the interface before it is made; false (said in
    // one line) when it cannot be, and then it is not made.
    bool Record(const InterfaceChange &change);
    // Drops a change undone, or whose interface is gone, from the record.
    void Forget(const InterfaceChange &change);

    std::atomic<int> socket_;
    const bool packetOptions_;  // false: the receive mode is the interface's own
    const std::shared_ptr<ChangeRecord> record_;
    std::atomic<unsigned> mtu_;  // sizes the receive buffers
    // The frame being received; used again once the driver let go of it.
    std::shared_ptr<std::vector<uint8_t>> frame_;

    mutable std::mutex lock_;  // guards link_, speedMbps_ and wanted_; no kernel work under it
    Link link_;
    std::optional<uint32_t> speedMbps_;
    sim::ReceiveFilter wanted_;
    bool stopped_ = false;

    std::mutex applying_;  // guards what follows, and the kernel work of a change
    sim::ReceiveFilter joined_;
    // What this wire itself set on the interface, when the receive mode is the interface's.
    unsigned flagsSet_ = 0;
    std::vector<sim::MacAddress> multicastAdded_;
};

}  // namespace host

#include "host/linux_wire.h"

#include <arpa/inet.h>
#include <linux/ethtool.h>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/ethernet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/interface_mode.h"
#include "host/ndis_oids.h"

namespace host {
namespace {

constexpr size_t kHeaderSize = 14;
constexpr size_t kTagSize = 4;

// The interface's speed in Mb/s, when its driver knows it (ethtool).
std::optional<uint32_t> SpeedOf(const std::string &name)
{
    int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (control < 0) {
        return std::nullopt;
    }
    ethtool_cmd command{};
    command.cmd = ETHTOOL_GSET;
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    request.ifr_data = reinterpret_cast<char *>(&command);
    bool known = ioctl(control, SIOCETHTOOL, &request) == 0;
    close(control);
    uint32_t speed = ethtool_cmd_speed(&command);
    if (!known || speed == 0 || speed == static_cast<uint32_t>(SPEED_UNKNOWN)) {
        return std::nullopt;
    }
    return speed;
}

std::vector<uint8_t> Le32(uint32_t value)
{
    return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

bool Contains(const std::vector<sim::MacAddress> &list, const sim::MacAddress &address)
{
    return std::find(list.begin(), list.end(), address) != list.end();
}

bool Attach(int packet, sock_filter *code, size_t count)
{
    sock_fprog program{static_cast<unsigned short>(count), code};
    return setsockopt(packet, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

// A filter on the socket that drops, in the kernel, each frame that came
// inside a VLAN tag the interface took off.
bool KeepOutFramesThatWereTagged(int packet)
{
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_VLAN_TAG_PRESENT)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFF),  // the whole frame
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    return Attach(packet, code, std::size(code));
}

// A filter that lets through only what the driver takes: untagged frames of
// type 0x888E, neither a tag the interface took off nor one left in place.
bool LetThroughOnlyEapol(int packet)
{
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_VLAN_TAG_PRESENT)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 3),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 12),  // the type after the two addresses
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_PAE, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFF),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    return Attach(packet, code, std::size(code));
}

// The wires whose receive mode changed and is not yet carried out.
std::mutex g_changedLock;
std::vector<std::weak_ptr<LinuxWire>> g_changed;
std::atomic<bool> g_anyChanged{false};

}  // namespace

void ApplyReceiveModes()
{
    if (!g_anyChanged.exchange(false)) {
        return;
    }
    std::vector<std::weak_ptr<LinuxWire>> changed;
    {
        std::lock_guard<std::mutex> guard(g_changedLock);
        changed.swap(g_changed);
    }
    for (const std::weak_ptr<LinuxWire> &entry : changed) {
        if (std::shared_ptr<LinuxWire> wire = entry.lock()) {
            wire->ApplyReceiveMode();
        }
    }
}

std::shared_ptr<LinuxWire> LinuxWire::Open(const Link &link, const WireSettings &settings, std::string *error)
{
    const bool everyFrame = settings.everyFrame;
    auto fail = [&](int packet, const std::string &what) {
        int cause = errno;
        if (packet >= 0) {
            close(packet);
        }
        *error = cause == EPERM || cause == EACCES
                     ? "no permission for a raw socket on " + link.name + "; run as root or with CAP_NET_RAW"
                     : what + ": " + std::strerror(cause);
        return nullptr;
    };
    // Protocol 0: the socket takes no frame until it is bound to the
    // interface, so that none comes before the options below hold or from
    // another interface.
    int packet = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (packet < 0) {
        return fail(packet, "cannot open a raw socket on " + link.name);
    }
    // The tag of a frame whose VLAN header the interface took off comes
    // beside it; the frame is put back together as it was on the wire.
    int on = 1;
    bool packetOptions = settings.packetOptions && setsockopt(packet, SOL_PACKET, PACKET_AUXDATA, &on, sizeof on) == 0;
    if (!packetOptions && settings.packetOptions && errno != ENOPROTOOPT) {
        return fail(packet, "cannot have the VLAN tags of frames on " + link.name);
    }
    if (!everyFrame && !LetThroughOnlyEapol(packet)) {
        return fail(packet, "cannot keep all but EAPOL frames on " + link.name + " in the kernel");
    }
    if (everyFrame && !packetOptions && !KeepOutFramesThatWereTagged(packet)) {
        return fail(packet, "cannot keep frames whose VLAN tag was taken off from reaching " + link.name +
                                " (the kernel interface refuses packet-socket options and socket filters)");
    }
    // The interface's own sends stay in the kernel where it allows; where
    // not, Receive drops them.
    if (packetOptions) {
        setsockopt(packet, SOL_PACKET, PACKET_IGNORE_OUTGOING, &on, sizeof on);
    }
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = link.index;
    if (bind(packet, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        return fail(packet, "cannot bind a raw socket to " + link.name);
    }
    return std::shared_ptr<LinuxWire>(new LinuxWire(link, packet, packetOptions, settings.record));
}

LinuxWire::LinuxWire(const Link &link, int socket, bool packetOptions, std::shared_ptr<ChangeRecord> record)
    : socket_(socket),
      packetOptions_(packetOptions),
      record_(std::move(record)),
      mtu_(link.mtu),
      link_(link),
      speedMbps_(SpeedOf(link.name))
{
}

LinuxWire::~LinuxWire()
{
    Stop();
}

Link LinuxWire::Interface() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return link_;
}

void LinuxWire::Stop()
{
    Link link;
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopped_ = true;
        link = link_;
    }
    std::lock_guard<std::mutex> guard(applying_);
    LeaveInterface(link);
    int socket = socket_.exchange(-1);
    if (socket >= 0) {
        close(socket);
    }
}

void LinuxWire::Update(const Link &link)
{
    std::optional<uint32_t> speed = SpeedOf(link.name);
    std::lock_guard<std::mutex> guard(lock_);
    link_ = link;
    speedMbps_ = speed;
    mtu_ = link.mtu;
}

bool LinuxWire::Receive(sim::Adapter &adapter)
{
    // One frame a wake-up: the loop comes back while the socket holds more,
    // and no call is spent finding it empty.
    size_t room = kHeaderSize + kTagSize + std::max<size_t>(mtu_, 1500) + kTagSize;
    // The driver may keep a frame past its indication (a pended transfer);
    // a frame it let go of is used again.
    if (!frame_ || frame_.use_count() != 1) {
        frame_ = std::make_shared<std::vector<uint8_t>>(room);
    } else {
        frame_->resize(room);
    }
    sockaddr_ll from{};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(tpacket_auxdata))];
    iovec piece{frame_->data(), room};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &piece;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t received;
    do {
        received = recvmsg(socket_, &message, MSG_DONTWAIT);
    } while (received < 0 && errno == EINTR);
    if (received < 0) {
        // A link that went down is an event, not an end: rtnetlink reports it.
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == ENETDOWN;
    }
    // What this host sent itself is no frame the adapter received.
    if (from.sll_pkttype == PACKET_OUTGOING || static_cast<size_t>(received) < kHeaderSize ||
        (message.msg_flags & MSG_TRUNC) != 0) {
        return true;
    }
    size_t length = static_cast<size_t>(received);
    for (cmsghdr *item = CMSG_FIRSTHDR(&message); item != nullptr; item = CMSG_NXTHDR(&message, item)) {
        if (item->cmsg_level != SOL_PACKET || item->cmsg_type != PACKET_AUXDATA) {
            continue;
        }
        tpacket_auxdata aux;
        std::memcpy(&aux, CMSG_DATA(item), sizeof aux);
        if ((aux.tp_status & TP_STATUS_VLAN_VALID) != 0 && length + kTagSize <= room) {
            uint16_t tpid = (aux.tp_status & TP_STATUS_VLAN_TPID_VALID) ? aux.tp_vlan_tpid : ETH_P_8021Q;
            uint8_t *bytes = frame_->data();
            std::memmove(bytes + 12 + kTagSize, bytes + 12, length - 12);
            bytes[12] = uint8_t(tpid >> 8);
            bytes[13] = uint8_t(tpid);
            bytes[14] = uint8_t(aux.tp_vlan_tci >> 8);
            bytes[15] = uint8_t(aux.tp_vlan_tci);
            length += kTagSize;
        }
    }
    frame_->resize(length);
    adapter.DeliverFrame(frame_);
    return true;
}

NDIS_STATUS LinuxWire::Transmit(const std::vector<sim::WirePiece> &frame)
{
    std::vector<iovec> pieces;
    for (const sim::WirePiece &piece : frame) {
        pieces.push_back({const_cast<uint8_t *>(piece.bytes), piece.length});
    }
    msghdr message{};
    message.msg_iov = pieces.data();
    message.msg_iovlen = pieces.size();
    ssize_t sent;
    do {
        sent = sendmsg(socket_, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    if (sent >= 0) {
        return NDIS_STATUS_SUCCESS;
    }
    switch (errno) {
    case EAGAIN:
    case ENOBUFS:
    case ENOMEM: return NDIS_STATUS_RESOURCES;
    case ENETDOWN:
    case ENXIO: return NDIS_STATUS_ADAPTER_NOT_READY;
    case EMSGSIZE:
    case EINVAL: return NDIS_STATUS_INVALID_LENGTH;
    default: return NDIS_STATUS_FAILURE;
    }
}

std::optional<std::vector<uint8_t>> LinuxWire::Query(NDIS_OID oid)
{
    std::lock_guard<std::mutex> guard(lock_);
    switch (oid) {
    case OID_802_3_CURRENT_ADDRESS:
    case OID_802_3_PERMANENT_ADDRESS: return std::vector<uint8_t>(link_.address.begin(), link_.address.end());
    case OID_GEN_MEDIA_CONNECT_STATUS: return Le32(link_.carrier ? 0 : 1);  // NdisMediaStateConnected, ...Disconnected
    case OID_GEN_MAXIMUM_FRAME_SIZE: return Le32(link_.mtu);
    case OID_GEN_MAXIMUM_TOTAL_SIZE: return Le32(link_.mtu + kHeaderSize);
    case OID_GEN_LINK_SPEED:
        // In units of 100 bit/s.
        if (speedMbps_) {
            return Le32(*speedMbps_ * 10000);
        }
        return std::nullopt;
    default: return std::nullopt;
    }
}

void LinuxWire::SetMembership(const Link &link, int type, const sim::MacAddress *address, bool on)
{
    if (!packetOptions_) {
        if (type == PACKET_MR_MULTICAST) {
            SetInterfaceMulticast(link, *address, on);
        } else {
            SetInterfaceFlag(link, type == PACKET_MR_PROMISC ? IFF_PROMISC : IFF_ALLMULTI, on);
        }
        return;
    }
    packet_mreq request{};
    request.mr_ifindex = link.index;
    request.mr_type = static_cast<unsigned short>(type);
    if (address != nullptr) {
        request.mr_alen = static_cast<unsigned short>(address->size());
        std::memcpy(request.mr_address, address->data(), address->size());
    }
    setsockopt(socket_, SOL_PACKET, on ? PACKET_ADD_MEMBERSHIP : PACKET_DROP_MEMBERSHIP, &request, sizeof request);
}

bool LinuxWire::Record(const InterfaceChange &change)
{
    std::string error;
    if (record_->Add(change, &error)) {
        return true;
    }
    std::fprintf(stderr, "rezezura-host: %s; %s not made\n", error.c_str(), Describe(change).c_str());
    return false;
}

void LinuxWire::Forget(const InterfaceChange &change)
{
    std::string error;
    if (!record_->Remove(change, &error)) {
        std::fprintf(stderr, "rezezura-host: %s\n", error.c_str());
    }
}

void LinuxWire::SetInterfaceFlag(const Link &link, unsigned flag, bool on)
{
    const InterfaceChange change{flag == IFF_PROMISC ? ChangeKind::Promiscuous : ChangeKind::AllMulticast, link.index,
                                 link.name, {}};
    if (!on) {
        // An interface that is gone took its flags with it.
        if ((flagsSet_ & flag) != 0 && (ChangeLinkFlags(link.index, 0, flag) || !InterfaceName(link.index))) {
            flagsSet_ &= ~flag;
            Forget(change);
        }
        return;
    }
    // A flag set already belongs to whoever set it, and stays theirs to clear.
    std::optional<unsigned> flags = InterfaceFlags(link.name);
    if (!flags || (*flags & flag) != 0 || !Record(change)) {
        return;
    }
    if (ChangeLinkFlags(link.index, flag, flag)) {
        flagsSet_ |= flag;
    } else {
        Forget(change);
    }
}

void LinuxWire::SetInterfaceMulticast(const Link &link, const sim::MacAddress &address, bool on)
{
    const InterfaceChange change{ChangeKind::Multicast, link.index, link.name, address};
    auto added = std::find(multicastAdded_.begin(), multicastAdded_.end(), address);
    if (!on) {
        // An interface that is gone took its list with it.
        if (added != multicastAdded_.end() &&
            (ChangeInterfaceMulticast(link.index, address, false) || !InterfaceName(link.index))) {
            multicastAdded_.erase(added);
            Forget(change);
        }
        return;
    }
    // An address the interface holds already stays its adder's to remove.
    if (added != multicastAdded_.end() || InterfaceHoldsMulticast(link.index, address) || !Record(change)) {
        return;
    }
    if (ChangeInterfaceMulticast(link.index, address, true)) {
        multicastAdded_.push_back(address);
    } else {
        Forget(change);
    }
}

void LinuxWire::LeaveInterface(const Link &link)
{
    for (unsigned flag : {IFF_PROMISC, IFF_ALLMULTI}) {
        SetInterfaceFlag(link, flag, false);
    }
    while (!multicastAdded_.empty()) {
        size_t before = multicastAdded_.size();
        SetInterfaceMulticast(link, multicastAdded_.back(), false);
        if (multicastAdded_.size() == before) {
            multicastAdded_.pop_back();  // refused: the record keeps it for a later start to undo
        }
    }
    // A flag the kernel would not clear stays in the record likewise.
    flagsSet_ = 0;
}

void LinuxWire::FollowReceiveMode(const sim::ReceiveFilter &mode)
{
    // Under NDIS's lock: only recorded here.
    {
        std::lock_guard<std::mutex> guard(lock_);
        wanted_ = mode;
    }
    std::lock_guard<std::mutex> guard(g_changedLock);
    g_changed.push_back(weak_from_this());
    g_anyChanged = true;
}

void LinuxWire::ApplyReceiveMode()
{
    std::lock_guard<std::mutex> applying(applying_);
    sim::ReceiveFilter mode;
    Link link;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (stopped_) {
            return;
        }
        mode = wanted_;
        link = link_;
    }
    const ULONG changed = mode.packetFilter ^ joined_.packetFilter;
    if (changed & NDIS_PACKET_TYPE_PROMISCUOUS) {
        SetMembership(link, PACKET_MR_PROMISC, nullptr, (mode.packetFilter & NDIS_PACKET_TYPE_PROMISCUOUS) != 0);
    }
    if (changed & NDIS_PACKET_TYPE_ALL_MULTICAST) {
        SetMembership(link, PACKET_MR_ALLMULTI, nullptr, (mode.packetFilter & NDIS_PACKET_TYPE_ALL_MULTICAST) != 0);
    }
    for (const sim::MacAddress &address : joined_.multicast) {
        if (!Contains(mode.multicast, address)) {
            SetMembership(link, PACKET_MR_MULTICAST, &address, false);
        }
    }
    for (const sim::MacAddress &address : mode.multicast) {
        if (!Contains(joined_.multicast, address)) {
            SetMembership(link, PACKET_MR_MULTICAST, &address, true);
        }
    }
    joined_ = mode;
}

}  // namespace host

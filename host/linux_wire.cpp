#include "host/linux_wire.h"

#include <arpa/inet.h>
#include <linux/ethtool.h>
#include <linux/if_packet.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/ethernet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

}  // namespace

std::shared_ptr<LinuxWire> LinuxWire::Open(const Link &link)
{
    int packet = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (packet < 0) {
        return nullptr;
    }
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = link.index;
    int on = 1;
    // The tag of a frame whose VLAN header the interface took off comes
    // beside it; the frame is put back together as it was on the wire.
    if (bind(packet, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        setsockopt(packet, SOL_PACKET, PACKET_AUXDATA, &on, sizeof on) != 0) {
        int error = errno;
        close(packet);
        errno = error;
        return nullptr;
    }
    int stop = eventfd(0, EFD_CLOEXEC);
    if (stop < 0) {
        int error = errno;
        close(packet);
        errno = error;
        return nullptr;
    }
    return std::shared_ptr<LinuxWire>(new LinuxWire(link, packet, stop));
}

LinuxWire::LinuxWire(const Link &link, int socket, int stop)
    : socket_(socket), stop_(stop), mtu_(link.mtu), link_(link), speedMbps_(SpeedOf(link.name))
{
}

LinuxWire::~LinuxWire()
{
    Stop();
    close(stop_);
}

Link LinuxWire::Interface() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return link_;
}

void LinuxWire::Start(sim::Adapter adapter)
{
    receiver_ = std::thread([this, adapter] { Receive(adapter); });
}

void LinuxWire::Stop()
{
    if (receiver_.joinable()) {
        uint64_t one = 1;
        ssize_t written = write(stop_, &one, sizeof one);
        (void)written;
        receiver_.join();
    }
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

void LinuxWire::Receive(sim::Adapter adapter)
{
    pollfd waits[2] = {{socket_, POLLIN, 0}, {stop_, POLLIN, 0}};
    for (;;) {
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (waits[1].revents != 0) {
            return;
        }
        size_t room = kHeaderSize + kTagSize + std::max<size_t>(mtu_, 1500) + kTagSize;
        auto frame = std::make_shared<std::vector<uint8_t>>(room);
        sockaddr_ll from{};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(tpacket_auxdata))];
        iovec piece{frame->data(), room};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &piece;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t received = recvmsg(socket_, &message, MSG_DONTWAIT);
        if (received < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                continue;
            }
            // The interface went away; its removal arrives through rtnetlink.
            return;
        }
        // What this host sent itself is no frame the adapter received.
        if (from.sll_pkttype == PACKET_OUTGOING || static_cast<size_t>(received) < kHeaderSize ||
            (message.msg_flags & MSG_TRUNC) != 0) {
            continue;
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
                uint8_t *bytes = frame->data();
                std::memmove(bytes + 12 + kTagSize, bytes + 12, length - 12);
                bytes[12] = uint8_t(tpid >> 8);
                bytes[13] = uint8_t(tpid);
                bytes[14] = uint8_t(aux.tp_vlan_tci >> 8);
                bytes[15] = uint8_t(aux.tp_vlan_tci);
                length += kTagSize;
            }
        }
        frame->resize(length);
        adapter.DeliverFrame(std::move(frame));
    }
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
        sent = sendmsg(socket_, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent >= 0) {
        return NDIS_STATUS_SUCCESS;
    }
    switch (errno) {
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

void LinuxWire::SetMembership(int type, const sim::MacAddress *address, bool on)
{
    packet_mreq request{};
    request.mr_ifindex = link_.index;
    request.mr_type = static_cast<unsigned short>(type);
    if (address != nullptr) {
        request.mr_alen = static_cast<unsigned short>(address->size());
        std::memcpy(request.mr_address, address->data(), address->size());
    }
    setsockopt(socket_, SOL_PACKET, on ? PACKET_ADD_MEMBERSHIP : PACKET_DROP_MEMBERSHIP, &request, sizeof request);
}

void LinuxWire::FollowReceiveMode(const sim::ReceiveFilter &mode)
{
    std::lock_guard<std::mutex> guard(lock_);
    const ULONG changed = mode.packetFilter ^ joined_.packetFilter;
    if (changed & NDIS_PACKET_TYPE_PROMISCUOUS) {
        SetMembership(PACKET_MR_PROMISC, nullptr, (mode.packetFilter & NDIS_PACKET_TYPE_PROMISCUOUS) != 0);
    }
    if (changed & NDIS_PACKET_TYPE_ALL_MULTICAST) {
        SetMembership(PACKET_MR_ALLMULTI, nullptr, (mode.packetFilter & NDIS_PACKET_TYPE_ALL_MULTICAST) != 0);
    }
    for (const sim::MacAddress &address : joined_.multicast) {
        if (!Contains(mode.multicast, address)) {
            SetMembership(PACKET_MR_MULTICAST, &address, false);
        }
    }
    for (const sim::MacAddress &address : mode.multicast) {
        if (!Contains(joined_.multicast, address)) {
            SetMembership(PACKET_MR_MULTICAST, &address, true);
        }
    }
    joined_ = mode;
}

}  // namespace host

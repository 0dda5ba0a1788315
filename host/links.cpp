#include "host/links.h"

#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/rtnetlink.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

namespace host {
namespace {

int ReadAttribute(const nlattr *attribute, void *data)
{
    auto *table = static_cast<const nlattr **>(data);
    int type = mnl_attr_get_type(attribute);
    if (mnl_attr_type_valid(attribute, IFLA_MAX) < 0) {
        return MNL_CB_OK;
    }
    table[type] = attribute;
    return MNL_CB_OK;
}

int ReadLinkInfo(const nlattr *attribute, void *data)
{
    auto *table = static_cast<const nlattr **>(data);
    if (mnl_attr_type_valid(attribute, IFLA_INFO_MAX) >= 0) {
        table[mnl_attr_get_type(attribute)] = attribute;
    }
    return MNL_CB_OK;
}

Link ParseLink(const nlmsghdr *message)
{
    const auto *info = static_cast<const ifinfomsg *>(mnl_nlmsg_get_payload(message));
    const nlattr *table[IFLA_MAX + 1] = {};
    mnl_attr_parse(message, sizeof(*info), ReadAttribute, table);
    Link link;
    link.index = info->ifi_index;
    link.ethernet = info->ifi_type == ARPHRD_ETHER;
    link.carrier = (info->ifi_flags & IFF_LOWER_UP) != 0;
    if (table[IFLA_IFNAME] != nullptr) {
        link.name = mnl_attr_get_str(table[IFLA_IFNAME]);
    }
    if (table[IFLA_LINKINFO] != nullptr) {
        const nlattr *info[IFLA_INFO_MAX + 1] = {};
        mnl_attr_parse_nested(table[IFLA_LINKINFO], ReadLinkInfo, info);
        link.tap = info[IFLA_INFO_KIND] != nullptr && std::strcmp(mnl_attr_get_str(info[IFLA_INFO_KIND]), "tun") == 0;
    }
    if (table[IFLA_MTU] != nullptr) {
        link.mtu = mnl_attr_get_u32(table[IFLA_MTU]);
    }
    if (table[IFLA_ADDRESS] != nullptr && mnl_attr_get_payload_len(table[IFLA_ADDRESS]) == link.address.size()) {
        std::memcpy(link.address.data(), mnl_attr_get_payload(table[IFLA_ADDRESS]), link.address.size());
    }
    return link;
}

struct Collected {
    std::vector<LinkEvent> events;
};

int CollectLink(const nlmsghdr *message, void *data)
{
    auto *collected = static_cast<Collected *>(data);
    if (message->nlmsg_type == RTM_NEWLINK || message->nlmsg_type == RTM_DELLINK) {
        LinkChange change = message->nlmsg_type == RTM_DELLINK ? LinkChange::Removed : LinkChange::Changed;
        collected->events.push_back({change, ParseLink(message)});
    }
    return MNL_CB_OK;
}

// A request of `type` at the start of `buffer`, numbered by the time.
nlmsghdr *StartRequest(std::vector<char> &buffer, uint16_t type, uint16_t flags)
{
    nlmsghdr *request = mnl_nlmsg_put_header(buffer.data());
    request->nlmsg_type = type;
    request->nlmsg_flags = flags;
    request->nlmsg_seq = static_cast<unsigned>(time(nullptr));
    return request;
}

}  // namespace

std::optional<std::vector<Link>> DumpLinks()
{
    ::mnl_socket *socket = mnl_socket_open(NETLINK_ROUTE);
    if (socket == nullptr) {
        return std::nullopt;
    }
    if (mnl_socket_bind(socket, 0, MNL_SOCKET_AUTOPID) < 0) {
        int error = errno;
        mnl_socket_close(socket);
        errno = error;
        return std::nullopt;
    }
    std::vector<char> buffer(MNL_SOCKET_BUFFER_SIZE);
    nlmsghdr *request = StartRequest(buffer, RTM_GETLINK, NLM_F_REQUEST | NLM_F_DUMP);
    unsigned sequence = request->nlmsg_seq;
    auto *info = static_cast<rtgenmsg *>(mnl_nlmsg_put_extra_header(request, sizeof(rtgenmsg)));
    info->rtgen_family = AF_PACKET;
    unsigned portId = mnl_socket_get_portid(socket);
    if (mnl_socket_sendto(socket, request, request->nlmsg_len) < 0) {
        int error = errno;
        mnl_socket_close(socket);
        errno = error;
        return std::nullopt;
    }
    Collected collected;
    int result = MNL_CB_OK;
    while (result > MNL_CB_STOP) {
        ssize_t received = mnl_socket_recvfrom(socket, buffer.data(), buffer.size());
        if (received <= 0) {
            result = MNL_CB_ERROR;
            break;
        }
        result = mnl_cb_run(buffer.data(), received, sequence, portId, CollectLink, &collected);
    }
    int error = errno;
    mnl_socket_close(socket);
    if (result == MNL_CB_ERROR) {
        errno = error;
        return std::nullopt;
    }
    std::vector<Link> links;
    for (LinkEvent &event : collected.events) {
        links.push_back(std::move(event.link));
    }
    return links;
}

bool ChangeLinkFlags(int index, unsigned flags, unsigned mask)
{
    ::mnl_socket *socket = mnl_socket_open(NETLINK_ROUTE);
    if (socket == nullptr) {
        return false;
    }
    std::vector<char> buffer(MNL_SOCKET_BUFFER_SIZE);
    nlmsghdr *request = StartRequest(buffer, RTM_NEWLINK, NLM_F_REQUEST | NLM_F_ACK);
    unsigned sequence = request->nlmsg_seq;
    auto *info = static_cast<ifinfomsg *>(mnl_nlmsg_put_extra_header(request, sizeof(ifinfomsg)));
    info->ifi_family = AF_UNSPEC;
    info->ifi_index = index;
    info->ifi_flags = flags & mask;
    info->ifi_change = mask;
    bool changed = false;
    if (mnl_socket_bind(socket, 0, MNL_SOCKET_AUTOPID) == 0 &&
        mnl_socket_sendto(socket, request, request->nlmsg_len) >= 0) {
        ssize_t received = mnl_socket_recvfrom(socket, buffer.data(), buffer.size());
        // The acknowledgement is an error message whose code is zero.
        changed = received > 0 &&
                  mnl_cb_run(buffer.data(), received, sequence, mnl_socket_get_portid(socket), nullptr, nullptr) >=
                      MNL_CB_STOP;
    }
    int error = errno;
    mnl_socket_close(socket);
    errno = error;
    return changed;
}

LinkMonitor::~LinkMonitor()
{
    if (socket_ != nullptr) {
        mnl_socket_close(socket_);
    }
}

bool LinkMonitor::Open()
{
    socket_ = mnl_socket_open2(NETLINK_ROUTE, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (socket_ == nullptr) {
        return false;
    }
    return mnl_socket_bind(socket_, RTMGRP_LINK, MNL_SOCKET_AUTOPID) == 0;
}

int LinkMonitor::Descriptor() const
{
    return mnl_socket_get_fd(socket_);
}

std::vector<LinkEvent> LinkMonitor::TakeEvents(bool *lost)
{
    Collected collected;
    std::vector<char> buffer(MNL_SOCKET_BUFFER_SIZE);
    *lost = false;
    for (;;) {
        ssize_t received = mnl_socket_recvfrom(socket_, buffer.data(), buffer.size());
        if (received < 0 && errno == ENOBUFS) {
            *lost = true;
            continue;
        }
        if (received < 0 && errno == EINTR) {
            continue;
        }
        if (received <= 0) {
            break;
        }
        mnl_cb_run(buffer.data(), received, 0, 0, CollectLink, &collected);
    }
    if (*lost) {
        // Every event taken here is older than the dump that replaces them.
        collected.events.clear();
    }
    return collected.events;
}

}  // namespace host

// The machine's network interfaces as rtnetlink reports them (libmnl): a
// dump of every link, and the changes to links as they happen.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct mnl_socket;

namespace host {

struct Link {
    int index = 0;
    std::string name;
    bool ethernet = false;  // ARPHRD_ETHER
    bool carrier = false;   // IFF_LOWER_UP
    bool tap = false;       // a TUN/TAP interface, the far side of a program
    unsigned mtu = 1500;
    std::array<uint8_t, 6> address{};
};

enum class LinkChange { Changed, Removed };

struct LinkEvent {
    LinkChange change;
    Link link;
};

// Every link the kernel has now; nothing when rtnetlink refuses (errno set:
// EINTR when a change interrupted the dump, which may then be asked again).
std::optional<std::vector<Link>> DumpLinks();

// Sets the interface's flags named in `mask` to their values in `flags`,
// leaving the others as they are whatever changes them meanwhile; false with
// errno set when rtnetlink refuses.
bool ChangeLinkFlags(int index, unsigned flags, unsigned mask);

// A socket subscribed to link changes.
class LinkMonitor {
public:
    LinkMonitor() = default;
    LinkMonitor(const LinkMonitor &) = delete;
    LinkMonitor &operator=(const LinkMonitor &) = delete;
    ~LinkMonitor();

    // False with errno set when the subscription failed.
    bool Open();
    // The descriptor to poll for input.
    int Descriptor() const;
    // The events that arrived, without blocking. `lost` tells whether the
    // kernel dropped some for want of room (ENOBUFS): what it still held
    // then is dropped too, and only a dump of the links says where they are.
    std::vector<LinkEvent> TakeEvents(bool *lost);

private:
    ::mnl_socket *socket_ = nullptr;
};

}  // namespace host

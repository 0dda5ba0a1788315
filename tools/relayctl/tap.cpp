#include "tools/relayctl/tap.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string Reason(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

ifreq Request(const std::string &name)
{
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    return request;
}

}  // namespace

Tap::~Tap()
{
    if (descriptor_ >= 0) {
        close(descriptor_);  // a TAP that is not persistent goes with its descriptor
    }
}

bool Tap::Create(const std::string &name, std::string *error)
{
    if (name.empty() || name.size() >= IFNAMSIZ) {
        *error = "\"" + name + "\" is no interface name";
        return false;
    }
    descriptor_ = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (descriptor_ < 0) {
        *error = Reason("cannot open /dev/net/tun");
        return false;
    }
    ifreq request = Request(name);
    // Exclusive: an interface of that name that exists already, a persistent
    // TAP included, is someone else's and is never adopted.
    request.ifr_flags = IFF_TAP | IFF_NO_PI | IFF_TUN_EXCL;
    if (ioctl(descriptor_, TUNSETIFF, &request) != 0) {
        *error = errno == EBUSY || errno == EEXIST
                     ? name + " exists already; name another TAP, or remove that interface first"
                     : Reason("cannot make the TAP " + name);
        return false;
    }
    name_ = request.ifr_name;
    return true;
}

bool Tap::SetAddress(const std::array<uint8_t, 6> &address, std::string *error)
{
    int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request = Request(name_);
    request.ifr_hwaddr.sa_family = ARPHRD_ETHER;
    std::memcpy(request.ifr_hwaddr.sa_data, address.data(), address.size());
    bool done = control >= 0 && ioctl(control, SIOCSIFHWADDR, &request) == 0;
    if (!done) {
        *error = Reason("cannot give " + name_ + " the adapter's address");
    }
    if (control >= 0) {
        close(control);
    }
    return done;
}

bool Tap::BringUp(std::string *error)
{
    int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request = Request(name_);
    bool done = control >= 0 && ioctl(control, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    done = done && ioctl(control, SIOCSIFFLAGS, &request) == 0;
    if (!done) {
        *error = Reason("cannot bring " + name_ + " up");
    }
    if (control >= 0) {
        close(control);
    }
    return done;
}

bool Tap::SetCarrier(bool on, std::string *error)
{
    int value = on ? 1 : 0;
    if (ioctl(descriptor_, TUNSETCARRIER, &value) != 0) {
        *error = Reason("cannot set the carrier of " + name_);
        return false;
    }
    return true;
}

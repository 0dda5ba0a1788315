#include "host/interface_mode.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace host {

std::optional<std::string> InterfaceName(int index)
{
    char name[IF_NAMESIZE] = {};
    if (index <= 0 || if_indextoname(static_cast<unsigned>(index), name) == nullptr) {
        return std::nullopt;
    }
    return std::string(name);
}

std::optional<unsigned> InterfaceFlags(const std::string &name)
{
    int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (control < 0) {
        return std::nullopt;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    bool asked = ioctl(control, SIOCGIFFLAGS, &request) == 0;
    close(control);
    if (!asked) {
        return std::nullopt;
    }
    return static_cast<unsigned short>(request.ifr_flags);
}

bool InterfaceHoldsMulticast(int index, const sim::MacAddress &address)
{
    FILE *list = std::fopen("/proc/self/net/dev_mcast", "re");
    if (list == nullptr) {
        return false;
    }
    char wanted[2 * 6 + 1];
    std::snprintf(wanted, sizeof wanted, "%02x%02x%02x%02x%02x%02x", address[0], address[1], address[2],
                  address[3], address[4], address[5]);
    bool held = false;
    char line[256];
    // Lines of index, name, users, global use and the address in hex.
    while (!held && std::fgets(line, sizeof line, list) != nullptr) {
        int entryIndex = 0;
        int global = 0;
        char text[64] = {};
        held = std::sscanf(line, "%d %*s %*d %d %63s", &entryIndex, &global, text) == 3 && entryIndex == index &&
               global != 0 && std::strcmp(text, wanted) == 0;
    }
    std::fclose(list);
    return held;
}

bool ChangeInterfaceMulticast(int index, const sim::MacAddress &address, bool add)
{
    // By the name the interface has now: it may have been renamed since.
    std::optional<std::string> name = InterfaceName(index);
    if (!name) {
        errno = ENODEV;
        return false;
    }
    int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (control < 0) {
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, name->c_str(), IFNAMSIZ - 1);
    request.ifr_hwaddr.sa_family = AF_UNSPEC;
    std::memcpy(request.ifr_hwaddr.sa_data, address.data(), address.size());
    bool changed = ioctl(control, add ? SIOCADDMULTI : SIOCDELMULTI, &request) == 0;
    int cause = errno;
    close(control);
    errno = cause;
    return changed;
}

}  // namespace host

#include "sim/object_manager.h"

#include <map>
#include <mutex>

#include "platform/io_names.h"
#include "sim/faults.h"
#include "sim/irql.h"
#include "sim/verifier.h"

namespace sim {
namespace {

struct NameSpace {
    std::mutex lock;
    std::map<std::u16string, PDEVICE_OBJECT> devices;  // by folded name
    std::map<std::u16string, std::u16string> links;    // folded link name -> target as given
    std::map<const void *, std::vector<uint8_t>> security;
};

NameSpace &Names()
{
    static NameSpace names;
    return names;
}

char16_t Fold(char16_t c)
{
    return (c >= u'a' && c <= u'z') ? char16_t(c - u'a' + u'A') : c;
}

// Case folded, with the DOS devices directory under its one name.
std::u16string Key(std::u16string name)
{
    for (char16_t &c : name) {
        c = Fold(c);
    }
    const std::u16string dos = u"\\DOSDEVICES\\";
    if (name.rfind(dos, 0) == 0) {
        name = u"\\??\\" + name.substr(dos.size());
    }
    return name;
}

std::string Narrow(const std::u16string &text)
{
    std::string out;
    for (char16_t c : text) {
        out += c < 0x80 ? char(c) : '?';
    }
    return out;
}

}  // namespace

std::u16string ToU16(PCUNICODE_STRING name)
{
    if (name == nullptr || name->Buffer == nullptr) {
        return {};
    }
    return std::u16string(reinterpret_cast<const char16_t *>(name->Buffer), name->Length / sizeof(WCHAR));
}

NTSTATUS InsertDeviceName(const std::u16string &name, PDEVICE_OBJECT device)
{
    NameSpace &names = Names();
    std::lock_guard<std::mutex> guard(names.lock);
    std::u16string key = Key(name);
    if (names.devices.count(key) != 0 || names.links.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    names.devices[key] = device;
    return STATUS_SUCCESS;
}

void RemoveDeviceName(PDEVICE_OBJECT device)
{
    NameSpace &names = Names();
    std::lock_guard<std::mutex> guard(names.lock);
    std::erase_if(names.devices, [device](const auto &entry) { return entry.second == device; });
}

void SetObjectSecurity(const void *object, std::vector<uint8_t> selfRelativeDescriptor)
{
    NameSpace &names = Names();
    std::lock_guard<std::mutex> guard(names.lock);
    names.security[object] = std::move(selfRelativeDescriptor);
}

std::vector<uint8_t> ObjectSecurity(const void *object)
{
    NameSpace &names = Names();
    std::lock_guard<std::mutex> guard(names.lock);
    auto it = names.security.find(object);
    return it == names.security.end() ? std::vector<uint8_t>{} : it->second;
}

void ForgetObjectSecurity(const void *object)
{
    NameSpace &names = Names();
    std::lock_guard<std::mutex> guard(names.lock);
    names.security.erase(object);
}

PDEVICE_OBJECT FindDeviceByName(const std::u16string &name)
{
    NameSpace &names = Names();
    std::lock_guard<std::mutex> guard(names.lock);
    auto it = names.devices.find(Key(name));
    return it == names.devices.end() ? nullptr : it->second;
}

std::optional<ResolvedName> ResolveName(const std::u16string &name)
{
    NameSpace &names = Names();
    std::lock_guard<std::mutex> guard(names.lock);
    std::u16string key = Key(name);
    for (int depth = 0; depth < 8; ++depth) {
        bool followed = false;
        // The longest prefix, ending at a separator, that names a device or a link.
        for (size_t end = key.size(); end != 0 && end != std::u16string::npos;
             end = key.rfind(u'\\', end - 1)) {
            std::u16string prefix = key.substr(0, end);
            if (auto device = names.devices.find(prefix); device != names.devices.end()) {
                return ResolvedName{device->second, key.substr(end)};
            }
            if (auto link = names.links.find(prefix); link != names.links.end()) {
                key = Key(link->second) + key.substr(end);
                followed = true;
                break;
            }
        }
        if (!followed) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::vector<std::string> NameSpaceLeftovers()
{
    NameSpace &names = Names();
    std::lock_guard<std::mutex> guard(names.lock);
    std::vector<std::string> left;
    for (const auto &entry : names.devices) {
        left.push_back("device name " + Narrow(entry.first) + " left behind");
    }
    for (const auto &entry : names.links) {
        left.push_back("symbolic link " + Narrow(entry.first) + " left behind");
    }
    return left;
}

void ResetNameSpace()
{
    NameSpace &names = Names();
    std::lock_guard<std::mutex> guard(names.lock);
    names.devices.clear();
    names.links.clear();
    names.security.clear();
}

}  // namespace sim

extern "C" {

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    if (sim::ShouldFail("IoCreateSymbolicLink")) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::u16string link = sim::ToU16(SymbolicLinkName);
    if (link.empty() || link[0] != u'\\') {
        return STATUS_OBJECT_NAME_INVALID;
    }
    sim::NameSpace &names = sim::Names();
    std::lock_guard<std::mutex> guard(names.lock);
    std::u16string key = sim::Key(link);
    if (names.links.count(key) != 0 || names.devices.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    names.links[key] = sim::ToU16(DeviceName);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    sim::NameSpace &names = sim::Names();
    std::lock_guard<std::mutex> guard(names.lock);
    if (names.links.erase(sim::Key(sim::ToU16(SymbolicLinkName))) == 0) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return STATUS_SUCCESS;
}

}  // extern "C"

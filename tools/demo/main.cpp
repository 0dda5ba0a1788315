// The demo: rezezura loaded on the sim, doing its work on simulated adapters
// step by step. It exits 0 only when every step went as expected, 1 when a
// step failed or the driver image was refused, 2 on a wrong command line.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "control/relay_ioctl.h"
#include "core/driver.h"
#include "platform/ndis.h"
#include "sim/client.h"
#include "sim/direct_io.h"
#include "sim/driver.h"
#include "sim/image.h"
#include "sim/io.h"
#include "sim/ndis.h"
#include "sim/verifier.h"
#include "sim/world.h"
#include "tools/demo/authenticator.h"
#include "tools/demo/eapol.h"

namespace {

int g_failures = 0;

void Step(const char *title)
{
    std::printf("\n%s\n", title);
}

bool Check(bool ok, const std::string &what)
{
    std::printf("  %s %s\n", ok ? "ok    " : "FAILED", what.c_str());
    g_failures += ok ? 0 : 1;
    return ok;
}

std::string Hex32(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string MacText(const uint8_t *mac)
{
    char text[24];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
                  mac[4], mac[5]);
    return text;
}

std::vector<uint8_t> NameBytes(const std::u16string &name)
{
    const auto *bytes = reinterpret_cast<const uint8_t *>(name.data());
    return std::vector<uint8_t>(bytes, bytes + name.size() * sizeof(char16_t));
}

std::vector<uint8_t> Le32(uint32_t value)
{
    return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

NTSTATUS StatusOf(const sim::Request &request)
{
    return request.WaitForCompletion() ? request.FinalStatus().Status : STATUS_PENDING;
}

// The client's read of one frame: the bytes the driver returned.
std::vector<uint8_t> Received(const sim::Request &read)
{
    std::vector<uint8_t> bytes = sim::CallerBytes(read);
    bytes.resize(read.FinalStatus().Information);
    return bytes;
}

const char *kIdentity = "alice";
const char *kSecret = "correct horse";

const char kUsage[] =
    "usage: rezezura_demo [--image PATH]\n"
    "Loads rezezura on the sim with simulated adapters and walks through its work.\n"
    "  --image PATH  run the driver image at PATH (rezezura.sys; the 32-bit x86 build\n"
    "                only) instead of the driver linked into the demo\n";

}  // namespace

int main(int argc, char **argv)
{
    const char *imagePath = nullptr;
    for (int index = 1; index < argc; ++index) {
        if (std::strcmp(argv[index], "--help") == 0 || std::strcmp(argv[index], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[index], "--image") == 0 && index + 1 < argc) {
            imagePath = argv[++index];
            continue;
        }
        std::fprintf(stderr, "rezezura_demo: unknown argument %s; see rezezura_demo --help\n", argv[index]);
        return 2;
    }
    sim::ResetWorld();
    std::printf("rezezura demo: an 802.1X relay driver running on the sim\n");
    sim::MappedImage image;
    if (imagePath != nullptr) {
        image = sim::MapDriverImage(imagePath);
        if (!NT_SUCCESS(image.status)) {
            std::fprintf(stderr, "rezezura_demo: %s (%s)\n", image.message.c_str(), Hex32(image.status).c_str());
            return 1;
        }
        std::printf("driver: the image %s, mapped and linked against the sim's kernel exports\n", imagePath);
    } else {
        std::printf("driver: rezezura linked into the demo\n");
    }

    Step("1. The driver loads and binds to the 802.3 adapters the stack offers");
    sim::AdapterConfig ethernet;
    ethernet.name = u"\\Device\\{4D36E972-0001}";
    ethernet.stationAddress = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};
    sim::AdapterConfig second;
    second.name = u"\\Device\\{4D36E972-0002}";
    second.stationAddress = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x02};
    sim::AdapterConfig tokenRing;
    tokenRing.name = u"\\Device\\{4D36E972-0003}";
    tokenRing.medium = NdisMedium802_5;
    sim::Adapter nic = sim::AddAdapter(ethernet);
    sim::Adapter nic2 = sim::AddAdapter(second);
    sim::Adapter ring = sim::AddAdapter(tokenRing);
    sim::Driver driver;
    NTSTATUS loaded = image.entry != nullptr ? sim::Driver::Load(image.entry, u"rezezura", &driver, image.image)
                                             : sim::Driver::Load(DriverEntry, u"rezezura", &driver);
    if (!Check(NT_SUCCESS(loaded), "DriverEntry returned " + Hex32(loaded))) {
        return 1;
    }
    Check(nic.LatestBind().Result() == NDIS_STATUS_SUCCESS, "bound to the first Ethernet adapter");
    Check(nic2.LatestBind().Result() == NDIS_STATUS_SUCCESS, "bound to the second Ethernet adapter");
    Check(nic.PacketFilter() == NDIS_PACKET_TYPE_DIRECTED, "its packet filter is directed frames only");
    Check(nic.ProtocolOptions() == NDIS_PROT_OPTION_NO_LOOPBACK, "it asked for no loopback of its sends");
    Check(ring.LatestBind().Result() == NDIS_STATUS_UNSUPPORTED_MEDIA,
          "refused the token ring adapter: " + Hex32(ring.LatestBind().Result().value_or(0)));

    Step("2. Only the system account and administrators may open the device");
    sim::ClientHandle handle;
    NTSTATUS userOpen = sim::ClientHandle::Open(u"\\\\.\\rezezura", sim::Account::OrdinaryUser,
                                                GENERIC_READ | GENERIC_WRITE, &handle);
    Check(userOpen == STATUS_ACCESS_DENIED, "an ordinary user is refused: " + Hex32(userOpen));
    NTSTATUS adminOpen = sim::ClientHandle::Open(u"\\\\.\\rezezura", sim::Account::Administrator,
                                                 GENERIC_READ | GENERIC_WRITE, &handle);
    if (!Check(adminOpen == STATUS_SUCCESS, "an administrator opens \\\\.\\rezezura")) {
        return 1;
    }
    sim::ControlRequest attach = handle.Control(IOCTL_RELAY_OPEN_ADAPTER, NameBytes(ethernet.name), 0);
    Check(StatusOf(attach) == STATUS_SUCCESS, "the handle is attached to the first adapter");

    Step("3. The client waits for media connect, and the adapter reports it");
    sim::ControlRequest wait = handle.Control(IOCTL_RELAY_WAIT_STATUS, Le32(NDIS_STATUS_MEDIA_CONNECT), 16);
    Check(!wait.Completed(), "the wait is pending");
    nic.IndicateStatus(NDIS_STATUS_MEDIA_CONNECT);
    Check(StatusOf(wait) == STATUS_SUCCESS, "the wait completed on the media-connect indication");

    Step("4. The client joins the PAE group, and an authenticator on the wire runs 802.1X\n"
         "   with EAP-MD5 against it");
    demo::Mac client;
    std::copy(ethernet.stationAddress.begin(), ethernet.stationAddress.end(), client.begin());
    const demo::Mac port = {0x02, 0x00, 0x5E, 0xAA, 0x00, 0x01};
    demo::Authenticator authenticator(port, kIdentity, kSecret);
    auto wire = [&](const std::vector<uint8_t> &frame) {
        // What the client wrote left through the adapter; the authenticator answers on the wire.
        std::optional<std::vector<uint8_t>> answer = authenticator.Answer(frame);
        std::printf("         authenticator: %s\n", authenticator.Log().c_str());
        if (answer) {
            nic.IndicateReceive(*answer);
        }
    };
    auto write = [&](const std::vector<uint8_t> &frame, const char *what) {
        size_t sentBefore = nic.SentFrames().size();
        sim::Request request = handle.Write(frame);
        bool sent = StatusOf(request) == STATUS_SUCCESS && request.FinalStatus().Information == frame.size();
        Check(sent && nic.SentFrames().size() == sentBefore + 1, std::string("client sends ") + what);
        return nic.SentFrames().back();
    };

    // The authenticator speaks to the PAE group address, which the driver's
    // directed filter refuses until the client joins the group.
    auto setOid = [&](NDIS_OID oid, std::vector<uint8_t> value) {
        std::vector<uint8_t> input = Le32(oid);
        input.insert(input.end(), value.begin(), value.end());
        return StatusOf(handle.Control(IOCTL_RELAY_SET_OID, input, 0));
    };
    std::vector<uint8_t> group(demo::kPaeGroupAddress.begin(), demo::kPaeGroupAddress.end());
    Check(setOid(OID_802_3_MULTICAST_LIST, group) == STATUS_SUCCESS,
          "client puts " + MacText(group.data()) + " on the adapter's multicast list");
    Check(setOid(OID_GEN_CURRENT_PACKET_FILTER, Le32(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST)) ==
              STATUS_SUCCESS,
          "client sets the packet filter to directed and multicast frames");

    sim::Request read = handle.Read(1514);
    // Traffic the client must never see: an ARP broadcast and an IPv4 packet.
    std::vector<uint8_t> arp = demo::EthernetFrame({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, port, 0x0806, {});
    std::vector<uint8_t> ipv4 = demo::EthernetFrame(client, port, 0x0800, std::vector<uint8_t>(40, 0x45));
    nic.IndicateReceive(arp);
    nic.IndicateReceive(ipv4);
    Check(!read.Completed(), "ARP and IPv4 frames on the wire did not reach the client");

    wire(write(demo::EapolStart(demo::kPaeGroupAddress, client), "EAPOL-Start"));
    auto identityRequest = demo::ParseEapol(Received(read));
    Check(identityRequest && identityRequest->code == demo::EapCode::Request &&
              identityRequest->method == demo::EapMethod::Identity,
          "client reads EAP-Request/Identity");

    read = handle.Read(1514);
    const std::string identity = kIdentity;
    wire(write(demo::EapolEap(port, client, demo::EapCode::Response, identityRequest->identifier,
                              demo::EapMethod::Identity, std::vector<uint8_t>(identity.begin(), identity.end())),
               "EAP-Response/Identity \"alice\""));
    auto challenge = demo::ParseEapol(Received(read));
    bool isChallenge = challenge && challenge->method == demo::EapMethod::Md5Challenge &&
                       !challenge->data.empty() && challenge->data[0] + 1u <= challenge->data.size();
    Check(isChallenge, "client reads EAP-Request/MD5-Challenge");

    read = handle.Read(1514);
    if (isChallenge) {
        std::vector<uint8_t> value(challenge->data.begin() + 1, challenge->data.begin() + 1 + challenge->data[0]);
        demo::Md5Digest response = demo::Md5ChallengeResponse(challenge->identifier, kSecret, value);
        std::vector<uint8_t> data{uint8_t(response.size())};
        data.insert(data.end(), response.begin(), response.end());
        data.insert(data.end(), identity.begin(), identity.end());
        wire(write(demo::EapolEap(port, client, demo::EapCode::Response, challenge->identifier,
                                  demo::EapMethod::Md5Challenge, data),
                   "EAP-Response/MD5-Challenge with MD5(identifier, secret, challenge)"));
    }
    auto outcome = demo::ParseEapol(Received(read));
    Check(outcome && outcome->code == demo::EapCode::Success && authenticator.Succeeded(),
          "client reads EAP-Success: authenticated");

    Step("5. The client queries the adapter through the driver");
    sim::ControlRequest address = handle.Control(IOCTL_RELAY_QUERY_OID, Le32(OID_802_3_CURRENT_ADDRESS), 6);
    std::vector<uint8_t> mac = address.Returned();
    Check(StatusOf(address) == STATUS_SUCCESS && mac.size() == 6 &&
              std::equal(mac.begin(), mac.end(), ethernet.stationAddress.begin()),
          "OID_802_3_CURRENT_ADDRESS: " + (mac.size() == 6 ? MacText(mac.data()) : std::string("?")));
    nic.ScriptOid(OID_GEN_MEDIA_CONNECT_STATUS, sim::OidScript::Answer(Le32(0)));
    sim::ControlRequest media = handle.Control(IOCTL_RELAY_QUERY_OID, Le32(OID_GEN_MEDIA_CONNECT_STATUS), 4);
    std::vector<uint8_t> state = media.Returned();
    Check(StatusOf(media) == STATUS_SUCCESS && state == Le32(0), "OID_GEN_MEDIA_CONNECT_STATUS: connected");

    Step("6. The adapter is removed while a read is pending");
    read = handle.Read(1514);
    Check(nic.Remove(), "the stack removed the adapter and the driver unbound it");
    Check(StatusOf(read) == STATUS_DEVICE_REMOVED, "the pending read completed with STATUS_DEVICE_REMOVED");
    sim::Request late = handle.Read(1514);
    Check(StatusOf(late) == STATUS_INVALID_DEVICE_STATE, "a new read on that handle is refused");

    Step("7. The client closes its handle and the driver unloads");
    handle.Close();
    sim::WaitForDeferredCloses();
    Check(driver.Stop() && driver.Unloaded(), "the driver unbound the other adapter and unloaded");
    Check(nic2.LatestUnbind().Result() == NDIS_STATUS_SUCCESS, "the second adapter's unbind completed");
    std::vector<std::string> violations = sim::TakeViolations();
    std::vector<std::string> leaks = sim::Leaks();
    for (const std::string &violation : violations) {
        std::printf("         verifier: %s\n", violation.c_str());
    }
    for (const std::string &leak : leaks) {
        std::printf("         leak: %s\n", leak.c_str());
    }
    Check(violations.empty(), "the verifier saw every rule kept");
    Check(sim::CompletedRequestCount() == sim::RequestCount(),
          std::to_string(sim::RequestCount()) + " requests, each completed exactly once");
    Check(leaks.empty(), "no pool block, packet, buffer or handle left behind");

    std::printf("\n%s\n", g_failures == 0 ? "demo passed" : "demo FAILED");
    return g_failures == 0 ? 0 : 1;
}

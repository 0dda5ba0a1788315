#include "tests/service/client_pressure.h"

#include <vector>

#include "client/socket_messages.h"
#include "control/relay_ioctl.h"

namespace service_test {
namespace {

constexpr uint32_t kMediaConnectStatus = 0x00010114;  // OID_GEN_MEDIA_CONNECT_STATUS

}  // namespace

uint64_t SendQueriesUntilRefused(RawClient &client, uint64_t firstId, uint64_t most, std::chrono::milliseconds limit)
{
    std::vector<uint8_t> query = Le32(IOCTL_RELAY_QUERY_OID);
    for (uint32_t word : {4u, kMediaConnectStatus}) {
        std::vector<uint8_t> more = Le32(word);
        query.insert(query.end(), more.begin(), more.end());
    }
    uint64_t taken = 0;
    while (taken < most &&
           client.SendWithin(rezezura::socket::MessageKind::DeviceControl, firstId + taken, query, limit)) {
        ++taken;
    }
    return taken;
}

std::optional<RawAnswer> ReadPastTheCap(RawClient &client, uint64_t firstId, uint64_t beyondId)
{
    for (uint64_t id = firstId; id < firstId + rezezura::socket::kMaxInFlight; ++id) {
        client.Read(id, kFrameRoom);
    }
    client.Read(beyondId, kFrameRoom);
    return client.AnswerTo(beyondId);
}

}  // namespace service_test

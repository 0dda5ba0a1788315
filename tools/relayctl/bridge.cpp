// bridge: a TAP interface through which an unmodified supplicant
// authenticates on the adapter. The TAP takes the adapter's station
// address, so that the supplicant's frames carry it and the authenticator's
// unicast answers pass the driver's directed filter; the PAE group address
// is joined; EAPOL frames written on the TAP go out through the driver,
// frames the driver delivers are written to the TAP, and media connect and
// disconnect become the TAP's carrier.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/relayctl/commands.h"
#include "tools/relayctl/statuses.h"
#include "tools/relayctl/stop_signal.h"
#include "tools/relayctl/tap.h"

namespace {

constexpr std::array<uint8_t, 6> kPaeGroupAddress = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x03};
constexpr uint16_t kEapolType = 0x888E;

// How the bridge ends: the first party to end it says how.
class Ending {
public:
    void End(int status, const std::string &line = "")
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!ended_) {
            ended_ = true;
            status_ = status;
            line_ = line;
            changed_.notify_all();
        }
    }
    int Wait()
    {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [this] { return ended_; });
        if (!line_.empty()) {
            std::fprintf(stderr, "relayctl: %s\n", line_.c_str());
        }
        return status_;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool ended_ = false;
    int status_ = kExitSuccess;
    std::string line_;
};

struct Bridge {
    std::string adapter;
    rezezura_client *client = nullptr;
    Tap tap;
    int stop = -1;  // eventfd: the TAP reader ends
    Ending ending;
    std::mutex lock;
    std::condition_variable partyLeft;
    int parties = 0;  // threads still running

    // Runs one party of the bridge on a thread of its own.
    std::thread Run(void (Bridge::*party)(uint32_t), uint32_t argument)
    {
        std::lock_guard<std::mutex> guard(lock);
        ++parties;
        return std::thread([this, party, argument] {
            (this->*party)(argument);
            std::lock_guard<std::mutex> left(lock);
            --parties;
            partyLeft.notify_all();
        });
    }

    // Cancels what the parties wait for until every one has left; a party
    // may have been between two requests when the first cancel came.
    void StopParties()
    {
        std::unique_lock<std::mutex> guard(lock);
        while (parties != 0) {
            guard.unlock();
            rezezura_cancel(client);
            uint64_t one = 1;
            ssize_t written = write(stop, &one, sizeof one);
            (void)written;
            guard.lock();
            partyLeft.wait_for(guard, std::chrono::milliseconds(100), [this] { return parties == 0; });
        }
    }

    // A request that failed ends the bridge, unless a stop cancelled it.
    void EndOn(const std::string &what, RelayOperation operation, const rezezura_result &result)
    {
        if (result.status == kStatusCancelled && StopRequested()) {
            ending.End(kExitSuccess);
        } else if (result.status == kStatusDeviceRemoved) {
            ending.End(kExitFailure, adapter + " went away; the bridge ends");
        } else {
            ending.End(kExitFailure, what + " failed: " + ExplainFailure(operation, result));
        }
    }

    rezezura_result Connected(bool *connected)
    {
        uint8_t state[4] = {1};
        rezezura_result result = rezezura_query_oid(client, REZEZURA_OID_GEN_MEDIA_CONNECT_STATUS, state, 4);
        *connected = state[0] == 0 && state[1] == 0 && state[2] == 0 && state[3] == 0;  // NdisMediaStateConnected
        return result;
    }

    // The next read is in the driver before the frame reaches the TAP, so
    // that no answer the supplicant's reply brings finds the client not
    // reading: the service carries out one connection's requests in order.
    void FromDriver(uint32_t)
    {
        std::vector<uint8_t> frames[2] = {std::vector<uint8_t>(kLargestFrame), std::vector<uint8_t>(kLargestFrame)};
        int current = 0;
        rezezura_request *reading = nullptr;
        // A stop that came before a read was in flight cancelled nothing:
        // the read is cancelled here instead.
        auto startRead = [&](std::vector<uint8_t> &frame) {
            rezezura_result started = rezezura_start_read(client, frame.data(), kLargestFrame, &reading);
            if (rezezura_succeeded(started) && StopRequested()) {
                rezezura_cancel(client);
            }
            return started;
        };
        rezezura_result result = startRead(frames[current]);
        while (rezezura_succeeded(result)) {
            result = rezezura_finish(reading, REZEZURA_NO_TIME_LIMIT);
            if (!rezezura_succeeded(result)) {
                break;
            }
            rezezura_result next = startRead(frames[1 - current]);
            size_t length = std::min<size_t>(result.information, frames[current].size());
            if (write(tap.Descriptor(), frames[current].data(), length) < 0 && errno != EIO) {
                ending.End(kExitFailure, "writing to " + tap.Name() + " failed: " + std::strerror(errno));
                if (rezezura_succeeded(next)) {
                    rezezura_cancel(client);
                    rezezura_finish(reading, REZEZURA_NO_TIME_LIMIT);
                }
                return;
            }
            current = 1 - current;
            result = next;
        }
        EndOn("read", RelayOperation::Read, result);
    }

    void FromTap(uint32_t)
    {
        std::vector<uint8_t> frame(65536);
        pollfd waits[2] = {{tap.Descriptor(), POLLIN, 0}, {stop, POLLIN, 0}};
        for (;;) {
            if (poll(waits, 2, -1) < 0 && errno != EINTR) {
                ending.End(kExitFailure, std::string("poll failed: ") + std::strerror(errno));
                return;
            }
            if (waits[1].revents != 0) {
                return;
            }
            if (waits[0].revents == 0) {
                continue;
            }
            ssize_t length = read(tap.Descriptor(), frame.data(), frame.size());
            if (length < 0) {
                if (errno == EINTR || errno == EAGAIN) {
                    continue;
                }
                ending.End(kExitFailure, "reading " + tap.Name() + " failed: " + std::strerror(errno));
                return;
            }
            // Only the supplicant's EAPOL goes out; the host's own chatter
            // on the TAP (IPv6 solicitations and the like) stays here.
            if (length < 14 || ((frame[12] << 8) | frame[13]) != kEapolType) {
                continue;
            }
            rezezura_result result = rezezura_write(client, frame.data(), static_cast<uint32_t>(length));
            if (!rezezura_succeeded(result)) {
                std::fprintf(stderr, "relayctl: write failed: %s\n",
                             ExplainFailure(RelayOperation::Write, result).c_str());
            }
        }
    }

    // Waits for one kind of indication after another; after each the
    // adapter's own answer sets the carrier, whatever order the two waiters
    // run in.
    void FollowMedia(uint32_t indication)
    {
        for (;;) {
            rezezura_result result = rezezura_wait_status(client, indication, nullptr, 0, REZEZURA_NO_TIME_LIMIT);
            if (!rezezura_succeeded(result)) {
                EndOn("wait for media indications", RelayOperation::WaitStatus, result);
                return;
            }
            bool connected = false;
            std::string error;
            rezezura_result queried = Connected(&connected);
            if (!rezezura_succeeded(queried)) {
                EndOn("query of the media connect status", RelayOperation::QueryOid, queried);
                return;
            }
            if (!tap.SetCarrier(connected, &error)) {
                ending.End(kExitFailure, error);
                return;
            }
        }
    }
};

// The PAE group address on the adapter's multicast list and the multicast
// bit in the filter; an adapter without a multicast list gets all-multicast.
bool JoinPaeGroup(Bridge &bridge)
{
    rezezura_result listed = rezezura_set_oid(bridge.client, REZEZURA_OID_802_3_MULTICAST_LIST,
                                              kPaeGroupAddress.data(), kPaeGroupAddress.size());
    uint32_t filter = REZEZURA_PACKET_TYPE_DIRECTED;
    if (rezezura_succeeded(listed)) {
        filter |= REZEZURA_PACKET_TYPE_MULTICAST;
    } else if (listed.status == kStatusNotSupported) {
        filter |= 0x00000004;  // NDIS_PACKET_TYPE_ALL_MULTICAST
        std::fprintf(stderr, "relayctl: %s keeps no multicast list; it takes all multicast frames instead\n",
                     bridge.adapter.c_str());
    } else {
        Failed("adding the PAE group address", RelayOperation::SetOid, listed);
        return false;
    }
    uint8_t value[4] = {uint8_t(filter), uint8_t(filter >> 8), uint8_t(filter >> 16), uint8_t(filter >> 24)};
    rezezura_result filtered = rezezura_set_oid(bridge.client, REZEZURA_OID_GEN_CURRENT_PACKET_FILTER, value, 4);
    if (!rezezura_succeeded(filtered)) {
        Failed("setting the packet filter", RelayOperation::SetOid, filtered);
        return false;
    }
    return true;
}

bool SetUp(Bridge &bridge, const std::string &tapName)
{
    std::array<uint8_t, 6> address{};
    rezezura_result queried =
        rezezura_query_oid(bridge.client, REZEZURA_OID_802_3_CURRENT_ADDRESS, address.data(), address.size());
    if (!rezezura_succeeded(queried) || queried.information != address.size()) {
        Failed("query of the adapter's station address", RelayOperation::QueryOid, queried);
        return false;
    }
    if (!JoinPaeGroup(bridge)) {
        return false;
    }
    bool connected = false;
    rezezura_result media = bridge.Connected(&connected);
    if (!rezezura_succeeded(media)) {
        Failed("query of the media connect status", RelayOperation::QueryOid, media);
        return false;
    }
    std::string error;
    if (!bridge.tap.Create(tapName, &error) || !bridge.tap.SetAddress(address, &error) ||
        !bridge.tap.SetCarrier(connected, &error) || !bridge.tap.BringUp(&error)) {
        std::fprintf(stderr, "relayctl: %s\n", error.c_str());
        return false;
    }
    return true;
}

}  // namespace

int BridgeCommand(const CommandLine &line)
{
    if (line.Positional.size() != 2 || !line.Options.empty()) {
        return kExitUsage;
    }
    Bridge bridge;
    bridge.adapter = line.Positional[0];
    bridge.client = OpenAttached(bridge.adapter);
    if (bridge.client == nullptr) {
        return kExitFailure;
    }
    bridge.stop = eventfd(0, EFD_CLOEXEC);
    if (bridge.stop < 0 || !SetUp(bridge, line.Positional[1])) {
        rezezura_close(bridge.client);
        return kExitFailure;
    }
    std::printf("bridging %s <-> %s\n", bridge.adapter.c_str(), bridge.tap.Name().c_str());
    std::fflush(stdout);

    CancelOnStop(bridge.client);
    std::vector<std::thread> parties;
    parties.push_back(bridge.Run(&Bridge::FromDriver, 0));
    parties.push_back(bridge.Run(&Bridge::FromTap, 0));
    parties.push_back(bridge.Run(&Bridge::FollowMedia, RELAY_WAIT_MEDIA_CONNECT));
    parties.push_back(bridge.Run(&Bridge::FollowMedia, RELAY_WAIT_MEDIA_DISCONNECT));
    int status = bridge.ending.Wait();
    CancelOnStop(nullptr);
    bridge.StopParties();
    for (std::thread &party : parties) {
        party.join();
    }
    rezezura_close(bridge.client);
    close(bridge.stop);
    return status;
}

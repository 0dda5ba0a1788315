#include "tests/support/relay_traffic.h"

#include <algorithm>

#include "control/device_control.h"
#include "control/relay_ioctl.h"
#include "relay/queue.h"
#include "relay/receive.h"
#include "relay/send.h"
#include "sim/device_control.h"
#include "tests/support/pending_requests.h"

namespace rztest {

const Bytes kStationAddress = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};

Bytes EthernetFrame(size_t length, uint16_t type, uint8_t seed, const Bytes &destination)
{
    Bytes frame(std::max<size_t>(length, 14));
    std::copy(destination.begin(), destination.end(), frame.begin());
    const Bytes source = {0x02, 0x00, 0x5E, 0x20, 0x00, 0x02};
    std::copy(source.begin(), source.end(), frame.begin() + 6);
    frame[12] = static_cast<uint8_t>(type >> 8);
    frame[13] = static_cast<uint8_t>(type);
    for (size_t i = 14; i < frame.size(); ++i) {
        frame[i] = static_cast<uint8_t>(seed + i);
    }
    frame.resize(length);
    return frame;
}

Bytes EapolFrame(size_t length, uint8_t seed)
{
    return EthernetFrame(length, 0x888E, seed);
}

void RelayTraffic::SetUp()
{
    SimTest::SetUp();
    protocol_ = std::make_unique<RelayProtocol>();
    sim::AdapterConfig config;
    std::copy(kStationAddress.begin(), kStationAddress.end(), config.stationAddress.begin());
    nic_ = sim::CreateAdapter(config);
    nic_.Arrive();
    binding_ = protocol_->Lookup(nic_);
    ASSERT_NE(binding_, nullptr);
}

void RelayTraffic::TearDown()
{
    for (const sim::File &file : attached_) {
        if (file.Object()->FsContext != nullptr) {
            Close(file);
        }
    }
    if (!removed_) {
        EXPECT_TRUE(RemoveAdapter());
    }
    if (binding_ != nullptr) {
        RelayDereferenceBinding(binding_);
    }
    protocol_.reset();
    SimTest::TearDown();
}

sim::File RelayTraffic::Attach()
{
    sim::File file(protocol_->Device());
    const std::u16string &name = nic_.Name();
    Bytes input(reinterpret_cast<const uint8_t *>(name.data()),
                reinterpret_cast<const uint8_t *>(name.data() + name.size()));
    sim::ControlRequest attach =
        sim::SendDeviceControl(file, IOCTL_RELAY_OPEN_ADAPTER, input, 0, RelayDispatchDeviceControl);
    EXPECT_EQ(attach.FinalStatus().Status, STATUS_SUCCESS);
    attached_.push_back(file);
    return file;
}

sim::File RelayTraffic::Unattached()
{
    return sim::File(protocol_->Device());
}

void RelayTraffic::Close(const sim::File &file)
{
    CloseAttachedFile(file);
}

sim::Request RelayTraffic::Read(const sim::File &file, ULONG length)
{
    sim::Request read = sim::BuildRead(file, length);
    read.Dispatch(RelayDispatchRead);
    return read;
}

sim::Request RelayTraffic::Write(const sim::File &file, const Bytes &frame)
{
    sim::Request write = sim::BuildWrite(file, frame);
    write.Dispatch(RelayDispatchWrite);
    return write;
}

sim::Request RelayTraffic::ChainedWrite(const sim::File &file, const std::vector<Bytes> &pieces)
{
    sim::Request write = sim::BuildChainedWrite(file, pieces);
    write.Dispatch(RelayDispatchWrite);
    return write;
}

NTSTATUS RelayTraffic::Cleanup(const sim::File &file)
{
    return sim::Request(IRP_MJ_CLEANUP, file).Dispatch(RelayDispatchCleanup);
}

bool RelayTraffic::RemoveAdapter()
{
    removed_ = true;
    return nic_.Remove(sim::kWaitLimit);
}

size_t RelayTraffic::QueuedReads()
{
    return QueuedRequestCount(binding_->ReadQueue);
}

void ExpectCompleted(const sim::Request &request, NTSTATUS status, ULONG_PTR information)
{
    ASSERT_TRUE(request.WaitForCompletion());
    EXPECT_EQ(request.FinalStatus().Status, status);
    EXPECT_EQ(request.FinalStatus().Information, information);
}

}  // namespace rztest

#include "tests/support/race_stage.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "control/relay_ioctl.h"
#include "core/driver.h"
#include "tests/support/loaded_driver.h"
#include "tests/support/rezezura_load.h"
#include "tests/support/secure_creation.h"

namespace rztest {
namespace {

sim::AdapterConfig StationConfig(const std::u16string &name)
{
    sim::AdapterConfig config;
    config.name = name;
    std::copy(RaceStage::Station().begin(), RaceStage::Station().end(), config.stationAddress.begin());
    return config;
}

std::vector<uint8_t> Value(ULONG value)
{
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

}  // namespace

RaceStage::RaceStage() : nic_(sim::CreateAdapter(StationConfig(u"\\Device\\{SIM-NIC-0}")))
{
    loaded_ = LoadRezezura(&driver_) == STATUS_SUCCESS;
    EXPECT_TRUE(loaded_);
    nic_.Arrive();
    EXPECT_EQ(nic_.LatestBind().Result(), NDIS_STATUS_SUCCESS);
}

RaceStage::~RaceStage()
{
    for (const sim::ClientHandle &handle : handles_) {
        handle.Close();
    }
    EXPECT_TRUE(sim::WaitForDeferredCloses());
    if (loaded_) {
        EXPECT_TRUE(driver_.Stop());
    }
}

bool RaceStage::Stop()
{
    loaded_ = false;
    return driver_.Stop();
}

sim::Adapter RaceStage::AddAdapter(const std::u16string &name)
{
    sim::Adapter adapter = sim::AddAdapter(StationConfig(name));
    EXPECT_EQ(adapter.LatestBind().Result(), NDIS_STATUS_SUCCESS);
    return adapter;
}

sim::ClientHandle RaceStage::OpenHandle()
{
    sim::ClientHandle handle;
    EXPECT_EQ(sim::ClientHandle::Open(kDevicePath, sim::Account::Administrator, GENERIC_READ | GENERIC_WRITE,
                                      &handle),
              STATUS_SUCCESS);
    handles_.push_back(handle);
    return handle;
}

sim::ClientHandle RaceStage::AttachedHandle()
{
    sim::ClientHandle handle = OpenHandle();
    EXPECT_EQ(FinalStatusOf(Attach(handle, nic_)), STATUS_SUCCESS);
    return handle;
}

sim::ControlRequest RaceStage::Attach(const sim::ClientHandle &handle, const sim::Adapter &adapter)
{
    const std::u16string &name = adapter.Name();
    std::vector<uint8_t> input(reinterpret_cast<const uint8_t *>(name.data()),
                               reinterpret_cast<const uint8_t *>(name.data() + name.size()));
    return handle.Control(IOCTL_RELAY_OPEN_ADAPTER, input, 0);
}

sim::ControlRequest RaceStage::Wait(const sim::ClientHandle &handle, NDIS_STATUS status, ULONG outputLength)
{
    return handle.Control(IOCTL_RELAY_WAIT_STATUS, Value(static_cast<ULONG>(status)), outputLength);
}

const RaceStage::Frame &RaceStage::Station()
{
    static const Frame station = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};
    return station;
}

RaceStage::Frame RaceStage::EapolFrame(size_t length, uint8_t seed)
{
    Frame frame(std::max<size_t>(length, 14));
    std::copy(Station().begin(), Station().end(), frame.begin());
    const Frame source = {0x02, 0x00, 0x5E, 0x20, 0x00, 0x02};
    std::copy(source.begin(), source.end(), frame.begin() + 6);
    frame[12] = 0x88;
    frame[13] = 0x8E;
    for (size_t i = 14; i < frame.size(); ++i) {
        frame[i] = static_cast<uint8_t>(seed + i);
    }
    return frame;
}

}  // namespace rztest

#include "tests/support/control_fixture.h"

namespace rztest {

void ControlTest::SetUp()
{
    SimTest::SetUp();
    relay_.emplace();
    nic_ = sim::AddAdapter();
    ASSERT_EQ(nic_->LatestBind().Result(), NDIS_STATUS_SUCCESS);
}

void ControlTest::TearDown()
{
    clients_.clear();
    relay_.reset();
    nic_.reset();
    SimTest::TearDown();
}

sim::Adapter ControlTest::AddAdapter(const std::u16string &name)
{
    sim::AdapterConfig config;
    config.name = name;
    sim::Adapter adapter = sim::AddAdapter(config);
    EXPECT_EQ(adapter.LatestBind().Result(), NDIS_STATUS_SUCCESS);
    return adapter;
}

AdapterBinding *ControlTest::BindingOf(const sim::Adapter &adapter)
{
    AdapterBinding *binding = relay_->Lookup(adapter);
    if (binding != nullptr) {
        RelayDereferenceBinding(binding);
    }
    return binding;
}

ControlClient &ControlTest::NewClient()
{
    clients_.push_back(std::make_unique<ControlClient>(relay_->Device()));
    return *clients_.back();
}

ControlClient &ControlTest::AttachedClient(const sim::Adapter &adapter)
{
    ControlClient &client = NewClient();
    EXPECT_EQ(client.Attach(adapter.Name()).FinalStatus().Status, STATUS_SUCCESS);
    return client;
}

void ControlTest::SetPower(const sim::Adapter &adapter, NDIS_DEVICE_POWER_STATE state)
{
    sim::Adapter target = adapter;
    EXPECT_EQ(target.IndicatePnPEvent(NetEventSetPower, Bytes(static_cast<ULONG>(state))),
              NDIS_STATUS_SUCCESS);
}

}  // namespace rztest

// The binding record: allocation with every way it can fail, the binding
// list and lookup by name, and the lifetime its references give it.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "bindings/binding.h"
#include "sim/faults.h"
#include "sim/hooks.h"
#include "sim/irql.h"
#include "sim/ndis_pools.h"
#include "sim/pool.h"
#include "sim/world.h"
#include "tests/support/control_device.h"
#include "tests/support/sim_test.h"

namespace {

class Bindings : public rztest::SimTest {
protected:
    void SetUp() override
    {
        rztest::SimTest::SetUp();
        control.emplace();
        sim::faults::Reset();
        RelayInitDeviceContext(&context);
    }

    void TearDown() override
    {
        control.reset();
        rztest::SimTest::TearDown();
    }

    // An adapter name as the stack passes it: counted, not NUL-terminated.
    static NDIS_STRING Name(std::u16string &text)
    {
        NDIS_STRING name;
        name.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
        name.MaximumLength = name.Length;
        name.Buffer = text.data();
        return name;
    }

    AdapterBinding *Allocate(const std::u16string &text, NDIS_HANDLE bindContext = nullptr)
    {
        std::u16string copy = text;
        NDIS_STRING name = Name(copy);
        AdapterBinding *binding = nullptr;
        EXPECT_EQ(RelayAllocateBinding(&binding, &name, bindContext), NDIS_STATUS_SUCCESS);
        return binding;
    }

    // Allocated and listed, the creation reference dropped: as after a bind.
    AdapterBinding *Bound(const std::u16string &text)
    {
        AdapterBinding *binding = Allocate(text);
        RelayInsertBinding(&context, binding);
        RelayDereferenceBinding(binding);
        return binding;
    }

    AdapterBinding *Lookup(std::u16string text)
    {
        NDIS_STRING name = Name(text);
        return RelayLookupBinding(&context, &name);
    }

    std::optional<rztest::ControlDevice> control;
    DeviceContext context;
};

TEST_F(Bindings, DeviceContextStartsEmpty)
{
    EXPECT_EQ(context.ProtocolHandle, nullptr);
    EXPECT_TRUE(IsListEmpty(&context.BindingList));
    EXPECT_EQ(context.BindingListLock.SpinLock, 0u);
}

TEST_F(Bindings, NewBindingHoldsACopyOfTheNameItsPoolsAndEmptyQueues)
{
    std::u16string text = u"\\Device\\{NIC-1}";
    NDIS_STRING name = Name(text);
    AdapterBinding *binding = nullptr;
    int bindContext = 0;
    ASSERT_EQ(RelayAllocateBinding(&binding, &name, &bindContext), NDIS_STATUS_SUCCESS);

    EXPECT_EQ(binding->DeviceName.Length, text.size() * 2);
    EXPECT_EQ(binding->DeviceName.MaximumLength, text.size() * 2 + 2);
    EXPECT_NE(binding->DeviceName.Buffer, text.data());
    EXPECT_EQ(std::u16string(binding->DeviceName.Buffer, text.size()), text);
    EXPECT_EQ(binding->DeviceName.Buffer[text.size()], 0);
    EXPECT_EQ(binding->RefCount, 1);
    EXPECT_EQ(binding->OpenRefCount, 0);
    EXPECT_EQ(binding->Flags, 0);
    EXPECT_EQ(binding->PowerState, NdisDeviceStateD0);
    EXPECT_EQ(binding->BindContext, &bindContext);
    EXPECT_EQ(binding->UnbindContext, nullptr);
    EXPECT_EQ(binding->BindingHandle, nullptr);
    EXPECT_EQ(binding->BindStatus, NDIS_STATUS_SUCCESS);
    for (IrpQueue *queue : {&binding->ConnectWaitQueue, &binding->DisconnectWaitQueue,
                            &binding->MediaSpecificWaitQueue, &binding->ReadQueue}) {
        EXPECT_TRUE(IsListEmpty(&queue->PendingList));
        EXPECT_EQ(queue->Lock, 0u);
    }
    ASSERT_NE(binding->RecvPacketPool, nullptr);
    ASSERT_NE(binding->SendPacketPool, nullptr);
    EXPECT_NE(binding->RecvBufferPool, nullptr);
    EXPECT_NE(binding->SendBufferPool, nullptr);
    // Each receive packet carries its frame buffer's address in ProtocolReserved.
    EXPECT_EQ(sim::PacketPoolReservedLength(binding->RecvPacketPool), sizeof(PVOID));
    EXPECT_EQ(sim::PacketPoolReservedLength(binding->SendPacketPool), 8u);

    // The stack's string may go away once the bind handler returned.
    text.assign(text.size(), u'?');
    EXPECT_EQ(binding->DeviceName.Buffer[0], u'\\');
    EXPECT_EQ(RelayDereferenceBinding(binding), 0);
}

TEST_F(Bindings, FailureAtEachAllocationFreesEverythingAndReturnsThePlatformsStatus)
{
    // The record, the name, the receive packet and buffer pools, the send
    // packet and buffer pools, the close work item, in this order.
    const std::vector<NDIS_STATUS> expected = {NDIS_STATUS_FAILURE,   NDIS_STATUS_FAILURE,
                                               NDIS_STATUS_RESOURCES, NDIS_STATUS_RESOURCES,
                                               NDIS_STATUS_RESOURCES, NDIS_STATUS_RESOURCES,
                                               NDIS_STATUS_RESOURCES};
    const std::vector<std::string> controlDevice = sim::Leaks();
    for (size_t step = 1; step <= expected.size(); ++step) {
        SCOPED_TRACE("failing allocation " + std::to_string(step));
        sim::faults::Reset();
        sim::faults::FailGlobalNth(step);
        std::u16string text = u"\\Device\\{NIC-1}";
        NDIS_STRING name = Name(text);
        AdapterBinding *binding = reinterpret_cast<AdapterBinding *>(1);
        EXPECT_EQ(RelayAllocateBinding(&binding, &name, nullptr), expected[step - 1]);
        EXPECT_EQ(binding, nullptr);
        EXPECT_EQ(sim::faults::Injected(), 1u);
        EXPECT_EQ(sim::Leaks(), controlDevice);
    }
    sim::faults::Reset();
    sim::faults::FailGlobalNth(expected.size() + 1);
    AdapterBinding *binding = Allocate(u"\\Device\\{NIC-1}");
    EXPECT_EQ(sim::faults::Injected(), 0u);
    RelayDereferenceBinding(binding);
}

TEST_F(Bindings, NameTooLongForACountedStringIsRefusedBeforeAnyAllocation)
{
    std::u16string text(0xFFFE / 2, u'n');
    NDIS_STRING name = Name(text);
    AdapterBinding *binding = reinterpret_cast<AdapterBinding *>(1);
    EXPECT_EQ(RelayAllocateBinding(&binding, &name, nullptr), NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(binding, nullptr);
    EXPECT_EQ(sim::faults::TotalCount(), 0u);

    // The longest name that fits still binds.
    text.resize(0xFFFC / 2);
    name = Name(text);
    ASSERT_EQ(RelayAllocateBinding(&binding, &name, nullptr), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(binding->DeviceName.MaximumLength, 0xFFFE);
    EXPECT_EQ(binding->DeviceName.Buffer[0xFFFC / 2], 0);
    RelayDereferenceBinding(binding);
}

TEST_F(Bindings, LookupOnAnEmptyListFindsNothing)
{
    EXPECT_EQ(Lookup(u"\\Device\\{NIC-1}"), nullptr);
}

TEST_F(Bindings, LookupMatchesTheExactNameOnlyAndReferencesOnlyAMatch)
{
    AdapterBinding *nic = Bound(u"\\Device\\{NIC-1}");
    AdapterBinding *other = Bound(u"\\Device\\{NIC-2}");

    EXPECT_EQ(Lookup(u"\\device\\{nic-1}"), nullptr);
    EXPECT_EQ(Lookup(std::u16string(u"\\Device\\{NIC-1}") + u'\0'), nullptr);
    EXPECT_EQ(Lookup(u"\\Device\\{NIC-"), nullptr);
    EXPECT_EQ(nic->RefCount, 1);
    EXPECT_EQ(other->RefCount, 1);

    EXPECT_EQ(Lookup(u"\\Device\\{NIC-2}"), other);
    EXPECT_EQ(other->RefCount, 2);
    EXPECT_EQ(nic->RefCount, 1);

    RelayDereferenceBinding(other);
    RelayRemoveBinding(&context, nic);
    RelayRemoveBinding(&context, other);
}

TEST_F(Bindings, LookupIgnoresFlagsAndPrefersTheFirstInserted)
{
    // The first is leaving while its adapter is bound anew under the same name.
    AdapterBinding *leaving = Bound(u"\\Device\\{NIC-1}");
    InterlockedOr(&leaving->Flags, BINDING_UNBINDING);
    AdapterBinding *fresh = Bound(u"\\Device\\{NIC-1}");

    EXPECT_EQ(Lookup(u"\\Device\\{NIC-1}"), leaving);
    RelayDereferenceBinding(leaving);
    RelayRemoveBinding(&context, leaving);
    EXPECT_EQ(Lookup(u"\\Device\\{NIC-1}"), fresh);
    RelayDereferenceBinding(fresh);
    RelayRemoveBinding(&context, fresh);
}

TEST_F(Bindings, RecordOutlivesTheListUntilTheLastReferenceAndIsNeverFreedUnderTheListLock)
{
    int frees = 0;
    sim::SetHook("NdisFreeMemory", [&frees] {
        EXPECT_EQ(sim::HeldSpinLockCount(), 0u) << "a binding freed with a spin lock held";
        ++frees;
    }, 0);

    AdapterBinding *binding = Bound(u"\\Device\\{NIC-1}");
    AdapterBinding *file = Lookup(u"\\Device\\{NIC-1}");  // a client's attachment
    ASSERT_EQ(file, binding);
    EXPECT_EQ(binding->RefCount, 2);

    RelayRemoveBinding(&context, binding);
    EXPECT_TRUE(IsListEmpty(&context.BindingList));
    EXPECT_EQ(frees, 0);
    EXPECT_EQ(Lookup(u"\\Device\\{NIC-1}"), nullptr);

    EXPECT_EQ(RelayDereferenceBinding(file), 0);
    EXPECT_EQ(frees, 2);  // the name, then the record
    EXPECT_EQ(sim::LivePoolBlockCount(RELAY_POOL_TAG), 0u);

    // The last reference dropped by the list itself frees under no lock either.
    Bound(u"\\Device\\{NIC-2}");
    RelayRemoveBinding(&context, CONTAINING_RECORD(context.BindingList.Flink, AdapterBinding, Link));
    EXPECT_EQ(frees, 4);
}

TEST_F(Bindings, FreeIgnoresNull)
{
    RelayFreeBinding(nullptr);
}

}  // namespace

// The control device as clients meet it: who may open it and by which
// names, what create and close do to the file and its attachment.
#include <gtest/gtest.h>

#include "bindings/binding.h"
#include "control/relay_ioctl.h"
#include "sim/pool.h"
#include "tests/support/loaded_driver.h"

namespace {

using rztest::kDevicePath;
using sim::Account;

constexpr ACCESS_MASK kFileReadAttributes = 0x80;

class DeviceHandles : public rztest::LoadedDriverTest {
protected:
    void SetUp() override
    {
        LoadedDriverTest::SetUp();
        nic_ = AddAdapter(u"\\Device\\{NIC}");
        ASSERT_EQ(Load(), STATUS_SUCCESS);
    }

    size_t RelayBlocks() const { return sim::LivePoolBlockCount(RELAY_POOL_TAG); }

    std::optional<sim::Adapter> nic_;
};

TEST_F(DeviceHandles, OnlyTheSystemAccountAndAdministratorsMayOpenTheDevice)
{
    // By the Win32 name, the link's own name and the device's name.
    for (const std::u16string &name : {std::u16string(kDevicePath), std::u16string(u"\\DosDevices\\REZEZURA"),
                                       std::u16string(u"\\Device\\rezezura")}) {
        SCOPED_TRACE(std::string(name.begin(), name.end()));
        sim::ClientHandle handle;
        EXPECT_EQ(Open(name, Account::OrdinaryUser, &handle), STATUS_ACCESS_DENIED);
        EXPECT_EQ(Open(name, Account::Administrator, &handle), STATUS_SUCCESS);
        EXPECT_EQ(Open(name, Account::LocalSystem, &handle), STATUS_SUCCESS);
    }
    // Even the least access is refused: the user appears in no entry.
    sim::ClientHandle handle;
    EXPECT_EQ(sim::ClientHandle::Open(kDevicePath, Account::OrdinaryUser, kFileReadAttributes, &handle),
              STATUS_ACCESS_DENIED);
}

TEST_F(DeviceHandles, ANameBelowTheDeviceIsCheckedAgainstTheDevicesSecurity)
{
    sim::ClientHandle handle;
    EXPECT_EQ(Open(u"\\\\.\\rezezura\\below", Account::OrdinaryUser, &handle), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(u"\\\\.\\rezezura\\below", Account::Administrator, &handle), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"\\\\.\\nothing", Account::Administrator, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
}

// Every control code of the relay needs read and write access, so a handle
// opened for reading alone cannot attach, and the driver never sees it try;
// what it may do is read, which the unattached handle is refused.
TEST_F(DeviceHandles, AHandleForReadingAloneCannotAttach)
{
    sim::ClientHandle reader;
    ASSERT_EQ(sim::ClientHandle::Open(kDevicePath, Account::Administrator, GENERIC_READ, &reader), STATUS_SUCCESS);
    std::u16string name = nic_->Name();
    std::vector<uint8_t> bytes(reinterpret_cast<const uint8_t *>(name.data()),
                               reinterpret_cast<const uint8_t *>(name.data() + name.size()));
    sim::ControlRequest attach = reader.Control(IOCTL_RELAY_OPEN_ADAPTER, bytes, 0);
    EXPECT_EQ(rztest::FinalStatusOf(attach), STATUS_ACCESS_DENIED);
    EXPECT_FALSE(attach.Dispatched());
    EXPECT_EQ(reader.FileObject().Object()->FsContext, nullptr);
    EXPECT_EQ(rztest::FinalStatusOf(reader.Read(1514)), STATUS_INVALID_HANDLE);
    EXPECT_EQ(rztest::FinalStatusOf(reader.Write(std::vector<uint8_t>(60))), STATUS_ACCESS_DENIED);
    reader.Close();
}

TEST_F(DeviceHandles, ANewHandleIsAttachedToNothing)
{
    sim::ClientHandle handle = OpenDevice();
    EXPECT_EQ(handle.FileObject().Object()->FsContext, nullptr);
    // Its requests are refused until it names an adapter.
    EXPECT_EQ(rztest::FinalStatusOf(handle.Read(1514)), STATUS_INVALID_HANDLE);
}

TEST_F(DeviceHandles, ClosingAHandleNeverAttachedChangesNoCount)
{
    sim::ClientHandle attached = AttachedHandle(*nic_);
    auto *binding = static_cast<AdapterBinding *>(attached.FileObject().Object()->FsContext);
    ASSERT_NE(binding, nullptr);
    LONG references = binding->RefCount;
    LONG openReferences = binding->OpenRefCount;

    sim::ClientHandle bare = OpenDevice();
    bare.Close();
    EXPECT_EQ(binding->RefCount, references);
    EXPECT_EQ(binding->OpenRefCount, openReferences);
}

TEST_F(DeviceHandles, TheLastCloseAfterTheAdapterWentFreesTheBinding)
{
    sim::ClientHandle first = AttachedHandle(*nic_);
    sim::ClientHandle second = AttachedHandle(*nic_);
    ASSERT_TRUE(nic_->Remove());
    // Unbound and off the list, the record lives on for its two files.
    size_t held = RelayBlocks();
    EXPECT_GT(held, 0u);

    first.Close();
    EXPECT_EQ(RelayBlocks(), held);
    second.Close();
    EXPECT_EQ(RelayBlocks(), 0u);
}

}  // namespace

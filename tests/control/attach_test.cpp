// Attaching a handle to an adapter: the name matched by its exact bytes, one
// attachment per file for its whole life, and a binding that takes no new
// work refused without the file ever looking attached.
#include <gtest/gtest.h>

#include <vector>

#include "control/relay_ioctl.h"
#include "platform/io.h"
#include "platform/ke.h"
#include "sim/hooks.h"
#include "tests/support/control_fixture.h"

namespace {

using rztest::Bytes;
using rztest::ControlClient;

class Attach : public rztest::ControlTest {
protected:
    PVOID AttachmentOf(const ControlClient &client) { return client.File().Object()->FsContext; }
};

// The four codes are device type 0x12, buffered, read and write access.
constexpr ULONG kReadWrite = FILE_READ_ACCESS | FILE_WRITE_ACCESS;
static_assert(IOCTL_RELAY_OPEN_ADAPTER == CTL_CODE(0x12, 0xA00, METHOD_BUFFERED, kReadWrite));
static_assert(IOCTL_RELAY_QUERY_OID == CTL_CODE(0x12, 0xA10, METHOD_BUFFERED, kReadWrite));
static_assert(IOCTL_RELAY_SET_OID == CTL_CODE(0x12, 0xA20, METHOD_BUFFERED, kReadWrite));
static_assert(IOCTL_RELAY_WAIT_STATUS == CTL_CODE(0x12, 0xA40, METHOD_BUFFERED, kReadWrite));
static_assert(RELAY_WAIT_MEDIA_CONNECT == NDIS_STATUS_MEDIA_CONNECT);
static_assert(RELAY_WAIT_MEDIA_DISCONNECT == NDIS_STATUS_MEDIA_DISCONNECT);
static_assert(RELAY_WAIT_MEDIA_SPECIFIC == NDIS_STATUS_MEDIA_SPECIFIC_INDICATION);

TEST_F(Attach, AnyOtherControlCodeIsNotSupported)
{
    ControlClient &client = AttachedClient();
    // Codes are compared whole: the same function with another method or
    // access is another code.
    for (ULONG code : std::vector<ULONG>{CTL_CODE(0x12, 0xA00, METHOD_OUT_DIRECT, kReadWrite),
                                         IOCTL_RELAY_WAIT_STATUS | METHOD_NEITHER,
                                         CTL_CODE(0x12, 0xA10, METHOD_BUFFERED, FILE_READ_ACCESS),
                                         CTL_CODE(0x12, 0xA30, METHOD_BUFFERED, kReadWrite), 0}) {
        sim::ControlRequest request = client.Send(code, Bytes(NDIS_STATUS_MEDIA_CONNECT), 8);
        EXPECT_EQ(request.FinalStatus().Status, STATUS_NOT_SUPPORTED) << std::hex << code;
        EXPECT_EQ(request.FinalStatus().Information, 0u);
    }
}

TEST_F(Attach, TheNameMatchesByItsExactBytes)
{
    std::u16string name = Nic().Name();
    std::u16string otherCase = name;
    otherCase.back() = u'o';
    ASSERT_NE(otherCase, name);
    std::u16string withNul = name + u'\0';

    ControlClient &client = NewClient();
    for (const std::vector<uint8_t> &input : {Bytes(otherCase), Bytes(withNul), std::vector<uint8_t>{},
                                              Bytes(name.substr(0, name.size() - 1))}) {
        sim::ControlRequest request = client.Send(IOCTL_RELAY_OPEN_ADAPTER, input);
        EXPECT_EQ(request.FinalStatus().Status, STATUS_NO_SUCH_DEVICE);
        EXPECT_EQ(request.FinalStatus().Information, 0u);
        EXPECT_EQ(AttachmentOf(client), nullptr);
    }
    LONG listed = Binding()->RefCount;

    sim::ControlRequest attach = client.Attach(name);
    EXPECT_EQ(attach.FinalStatus().Status, STATUS_SUCCESS);
    EXPECT_EQ(attach.FinalStatus().Information, 0u);
    EXPECT_EQ(AttachmentOf(client), Binding());
    EXPECT_EQ(Binding()->RefCount, listed + 1);
}

// A counted name holds at most 65535 bytes: the input's length is taken
// modulo 65536, so an input of 65536 + n bytes names its first n bytes.
TEST_F(Attach, AnInputBeyond65535BytesIsLookedUpByItsLow16BitsOfLength)
{
    std::vector<uint8_t> input = Bytes(Nic().Name());
    size_t nameLength = input.size();
    input.resize(65536 + nameLength, 0x41);
    ControlClient &client = NewClient();
    EXPECT_EQ(client.Send(IOCTL_RELAY_OPEN_ADAPTER, input).FinalStatus().Status, STATUS_SUCCESS);
    EXPECT_EQ(AttachmentOf(client), Binding());

    std::vector<uint8_t> wholeNameOnly(65536, 0);
    std::copy(input.begin(), input.begin() + nameLength, wholeNameOnly.begin());
    EXPECT_EQ(NewClient().Send(IOCTL_RELAY_OPEN_ADAPTER, wholeNameOnly).FinalStatus().Status,
              STATUS_NO_SUCH_DEVICE);
}

TEST_F(Attach, AnAttachedFileKeepsItsFirstAttachmentAndTheLookupComesFirst)
{
    sim::Adapter second = AddAdapter(u"\\Device\\{SIM-NIC-1}");
    ControlClient &client = AttachedClient();
    LONG firstCount = Binding()->RefCount;
    LONG secondCount = BindingOf(second)->RefCount;

    EXPECT_EQ(client.Attach(u"\\Device\\{NO-SUCH-NIC}").FinalStatus().Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(client.Attach(second.Name()).FinalStatus().Status, STATUS_DEVICE_ALREADY_ATTACHED);
    EXPECT_EQ(client.Attach(Nic().Name()).FinalStatus().Status, STATUS_DEVICE_ALREADY_ATTACHED);

    EXPECT_EQ(AttachmentOf(client), Binding());
    EXPECT_EQ(Binding()->RefCount, firstCount);
    EXPECT_EQ(BindingOf(second)->RefCount, secondCount);
}

TEST_F(Attach, ABindingThatTakesNoNewWorkIsRefusedAndTheFileMayTryAgain)
{
    ControlClient &client = NewClient();
    LONG listed = Binding()->RefCount;
    Nic().IndicateStatus(NDIS_STATUS_RESET_START);

    sim::ControlRequest refused = client.Attach(Nic().Name());
    EXPECT_EQ(refused.FinalStatus().Status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(refused.FinalStatus().Information, 0u);
    EXPECT_EQ(AttachmentOf(client), nullptr);
    EXPECT_EQ(Binding()->RefCount, listed);

    Nic().IndicateStatus(NDIS_STATUS_RESET_END);
    EXPECT_EQ(client.Attach(Nic().Name()).FinalStatus().Status, STATUS_SUCCESS);
    EXPECT_EQ(AttachmentOf(client), Binding());
}

// Another request on the handle may come at any point of an attach. While
// the binding takes no new work the attach fails, and the file must never
// look attached meanwhile: that request would take the binding as held by
// the file, while the attach lets the only reference it has go.
TEST_F(Attach, AnAttachThatFailsForFlagsNeverShowsTheFileAttached)
{
    ControlClient &client = NewClient();
    LONG listed = Binding()->RefCount;
    Nic().IndicateStatus(NDIS_STATUS_RESET_START);
    std::vector<NTSTATUS> overtaking;
    bool inside = false;
    sim::SetHook("Interlocked", [&] {
        // Not where the attach holds a spin lock: a request is sent at PASSIVE_LEVEL.
        if (inside || KeGetCurrentIrql() != PASSIVE_LEVEL) {
            return;
        }
        inside = true;
        overtaking.push_back(client.Send(IOCTL_RELAY_WAIT_STATUS, Bytes(NDIS_STATUS_MEDIA_CONNECT), 8)
                                 .FinalStatus()
                                 .Status);
        inside = false;
    }, 0);
    sim::ControlRequest refused = client.Attach(Nic().Name());
    sim::ClearHooks();

    EXPECT_EQ(refused.FinalStatus().Status, STATUS_INVALID_DEVICE_STATE);
    ASSERT_FALSE(overtaking.empty());
    for (NTSTATUS status : overtaking) {
        EXPECT_EQ(status, STATUS_INVALID_HANDLE) << std::hex << status;
    }
    EXPECT_EQ(AttachmentOf(client), nullptr);
    EXPECT_EQ(Binding()->RefCount, listed);
}

// A second attach on the same file overtakes the first between its lookup
// and its claim on the file: exactly one wins, the other drops its reference.
TEST_F(Attach, OfTwoAttachesRacingOnOneFileExactlyOneWins)
{
    sim::Adapter second = AddAdapter(u"\\Device\\{SIM-NIC-1}");
    ControlClient &client = NewClient();
    LONG firstCount = Binding()->RefCount;
    LONG secondCount = BindingOf(second)->RefCount;

    std::optional<sim::ControlRequest> overtaking;
    sim::SetHook("KfAcquireSpinLock", [&] { overtaking = client.Attach(second.Name()); });
    sim::ControlRequest overtaken = client.Attach(Nic().Name());

    ASSERT_TRUE(overtaking.has_value());
    EXPECT_EQ(overtaking->FinalStatus().Status, STATUS_SUCCESS);
    EXPECT_EQ(overtaken.FinalStatus().Status, STATUS_DEVICE_ALREADY_ATTACHED);
    EXPECT_EQ(AttachmentOf(client), BindingOf(second));
    EXPECT_EQ(Binding()->RefCount, firstCount);
    EXPECT_EQ(BindingOf(second)->RefCount, secondCount + 1);
}

}  // namespace

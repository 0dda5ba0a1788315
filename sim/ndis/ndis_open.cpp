// Opening and closing an adapter. A close keeps NDIS's order: once it is
// called no new work starts on the open, and it completes only after every
// piece of work in flight on the open (indications, transfers, sends,
// requests) has finished and the adapter has done its own part.
#include "sim/faults.h"
#include "sim/hooks.h"
#include "sim/ndis/ndis_filter.h"
#include "sim/irql.h"
#include "sim/ndis/ndis_handler_call.h"
#include "sim/schedule.h"
#include "sim/verifier.h"
#include "sim/ndis/ndis_world.h"

namespace sim {
namespace {

char16_t Upper(char16_t c)
{
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

// Adapter names compare without regard to case, as the object manager's do.
bool SameName(const std::u16string &name, PNDIS_STRING given)
{
    size_t length = given->Length / sizeof(WCHAR);
    if (given->Buffer == nullptr || name.size() != length) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        if (Upper(name[i]) != Upper(given->Buffer[i])) {
            return false;
        }
    }
    return true;
}

bool Idle(const OpenRecord *open)
{
    for (unsigned count : open->inFlight) {
        if (count != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool BeginActivity(OpenRecord *open, Activity kind)
{
    if (open->state != OpenState::Open) {
        return false;
    }
    ++open->inFlight[static_cast<int>(kind)];
    return true;
}

bool EndActivity(OpenRecord *open, Activity kind)
{
    --open->inFlight[static_cast<int>(kind)];
    if (open->state == OpenState::Closing && open->closeReleased && Idle(open)) {
        open->state = OpenState::Closed;
        return true;
    }
    return false;
}

void FinishClose(OpenRecord *open)
{
    CLOSE_ADAPTER_COMPLETE_HANDLER handler = open->protocol->characteristics.CloseAdapterCompleteHandler;
    if (!open->protocol->registered) {
        Violation("ndis.handler-after-deregister", "CloseAdapterCompleteHandler",
                  "a close completes for a protocol that has deregistered");
    }
    CallProtocolHandler(PASSIVE_LEVEL, "CloseAdapterCompleteHandler", handler, open->block.ProtocolBindingContext,
                        open->closeStatus);
    NdisWorld &world = World();
    std::lock_guard<std::mutex> guard(world.lock);
    open->closeEnded = true;
    world.changed.notify_all();
}

bool WaitOpensClosed(const std::function<bool(const OpenRecord &)> &which, std::chrono::milliseconds limit)
{
    HookPoint("NdisCloses.wait");
    NdisWorld &world = World();
    std::unique_lock<std::mutex> guard(world.lock);
    return schedule::WaitFor(world.changed, guard, limit, [&] {
        for (const auto &open : world.opens) {
            bool ended = open->state == OpenState::Failed || (open->state == OpenState::Closed && open->closeEnded);
            if (which(*open) && !ended) {
                return false;
            }
        }
        return true;
    });
}

bool Adapter::CompletePendedOpen()
{
    OpenRecord *open = nullptr;
    {
        NdisWorld &world = World();
        std::lock_guard<std::mutex> guard(world.lock);
        if (state_->pendedOpens.empty()) {
            return false;
        }
        open = state_->pendedOpens.front();
        state_->pendedOpens.pop_front();
        open->state = open->openStatus == NDIS_STATUS_SUCCESS ? OpenState::Open : OpenState::Failed;
    }
    CallProtocolHandler(PASSIVE_LEVEL, "OpenAdapterCompleteHandler",
                        open->protocol->characteristics.OpenAdapterCompleteHandler, open->block.ProtocolBindingContext,
                        open->openStatus, open->openErrorStatus);
    return true;
}

bool Adapter::WaitForPendedCloses(size_t count, std::chrono::milliseconds timeout) const
{
    NdisWorld &world = World();
    std::unique_lock<std::mutex> guard(world.lock);
    return schedule::WaitFor(world.changed, guard, timeout,
                                  [this, count] { return state_->pendedCloses.size() >= count; });
}

bool Adapter::CompletePendedClose()
{
    OpenRecord *open = nullptr;
    {
        NdisWorld &world = World();
        std::lock_guard<std::mutex> guard(world.lock);
        if (state_->pendedCloses.empty()) {
            return false;
        }
        open = state_->pendedCloses.front();
        state_->pendedCloses.pop_front();
        open->closeReleased = true;
        if (!Idle(open)) {
            // The last piece of work in flight finishes the close.
            return true;
        }
        open->state = OpenState::Closed;
    }
    FinishClose(open);
    return true;
}

}  // namespace sim

extern "C" {

VOID NTAPI NdisOpenAdapter(PNDIS_STATUS Status, PNDIS_STATUS OpenErrorStatus,
                           PNDIS_HANDLE NdisBindingHandle, PUINT SelectedMediumIndex,
                           PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                           NDIS_HANDLE NdisProtocolHandle, NDIS_HANDLE ProtocolBindingContext,
                           PNDIS_STRING AdapterName, UINT /*OpenOptions*/,
                           PVOID /*AddressingInformation*/)
{
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "NdisOpenAdapter");
    sim::HookPoint("NdisOpenAdapter");
    *OpenErrorStatus = NDIS_STATUS_SUCCESS;
    sim::NdisWorld &world = sim::World();
    std::lock_guard<std::mutex> guard(world.lock);
    sim::ProtocolRecord *protocol = sim::FindProtocol(NdisProtocolHandle);
    if (protocol == nullptr) {
        sim::Violation("ndis.bad-handle", "NdisOpenAdapter", "not a registered protocol handle");
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    sim::AdapterState *adapter = nullptr;
    for (const auto &candidate : world.adapters) {
        if (candidate->present && AdapterName != nullptr &&
            sim::SameName(candidate->config.name, AdapterName)) {
            adapter = candidate.get();
        }
    }
    if (adapter == nullptr) {
        *Status = NDIS_STATUS_ADAPTER_NOT_FOUND;
        return;
    }
    UINT index = 0;
    while (index < MediumArraySize && MediumArray[index] != adapter->config.medium) {
        ++index;
    }
    if (index == MediumArraySize) {
        *Status = NDIS_STATUS_UNSUPPORTED_MEDIA;
        return;
    }
    if (sim::ShouldFail("NdisOpenAdapter")) {
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    bool pended = adapter->openCompletion == sim::Completion::Pended;
    if (!pended && adapter->openStatus != NDIS_STATUS_SUCCESS) {
        *OpenErrorStatus = adapter->openErrorStatus;
        *Status = adapter->openStatus;
        return;
    }

    world.opens.push_back(std::make_unique<sim::OpenRecord>());
    sim::OpenRecord *open = world.opens.back().get();
    open->protocol = protocol;
    open->adapter = adapter;
    open->openStatus = adapter->openStatus;
    open->openErrorStatus = adapter->openErrorStatus;
    NDIS_OPEN_BLOCK &block = open->block;
    block.BindingHandle = &block;
    block.ProtocolHandle = protocol;
    block.ProtocolBindingContext = ProtocolBindingContext;
    block.TransferDataHandler = sim::AdapterTransferData;
    block.SendPacketsHandler = sim::AdapterSendPackets;
    const NDIS50_PROTOCOL_CHARACTERISTICS &handlers = protocol->characteristics;
    block.SendCompleteHandler = handlers.SendCompleteHandler;
    block.TransferDataCompleteHandler = handlers.TransferDataCompleteHandler;
    block.ReceiveHandler = handlers.ReceiveHandler;
    block.ReceiveCompleteHandler = handlers.ReceiveCompleteHandler;
    block.RequestCompleteHandler = handlers.RequestCompleteHandler;
    block.ReceivePacketHandler = handlers.ReceivePacketHandler;
    block.ResetCompleteHandler = handlers.ResetCompleteHandler;
    block.StatusHandler = handlers.StatusHandler;
    block.StatusCompleteHandler = handlers.StatusCompleteHandler;
    adapter->opens.push_back(open);

    *NdisBindingHandle = &block;
    *SelectedMediumIndex = index;
    if (pended) {
        adapter->pendedOpens.push_back(open);
        *Status = NDIS_STATUS_PENDING;
        return;
    }
    open->state = sim::OpenState::Open;
    *Status = NDIS_STATUS_SUCCESS;
}

VOID NTAPI NdisCloseAdapter(PNDIS_STATUS Status, NDIS_HANDLE NdisBindingHandle)
{
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "NdisCloseAdapter");
    {
        sim::NdisWorld &world = sim::World();
        std::lock_guard<std::mutex> guard(world.lock);
        sim::OpenRecord *open = sim::FindOpen(NdisBindingHandle, "NdisCloseAdapter");
        if (open == nullptr) {
            *Status = NDIS_STATUS_FAILURE;
            return;
        }
        sim::AdapterState *adapter = open->adapter;
        open->state = sim::OpenState::Closing;
        sim::UpdateReceiveMode(adapter);
        open->closeStatus = adapter->closeStatus;
        open->closeReleased = adapter->closeCompletion == sim::Completion::Immediate;
        if (!open->closeReleased) {
            adapter->pendedCloses.push_back(open);
            world.changed.notify_all();
        }
        if (open->closeReleased && sim::Idle(open)) {
            open->state = sim::OpenState::Closed;
            open->closeEnded = true;
            *Status = open->closeStatus;
        } else {
            open->closePended = true;
            *Status = NDIS_STATUS_PENDING;
        }
    }
    sim::HookPoint("NdisCloseAdapter");
}

}  // extern "C"

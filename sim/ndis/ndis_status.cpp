// Status indications from an adapter to the protocols that have it open.
#include "sim/hooks.h"
#include "sim/irql.h"
#include "sim/ndis/ndis_handler_call.h"
#include "sim/verifier.h"
#include "sim/ndis/ndis_world.h"

namespace sim {

void Adapter::IndicateStatus(NDIS_STATUS status, std::vector<uint8_t> buffer)
{
    std::vector<OpenRecord *> opens;
    {
        NdisWorld &world = World();
        std::lock_guard<std::mutex> guard(world.lock);
        for (OpenRecord *open : state_->opens) {
            if (BeginActivity(open, Activity::Indication)) {
                opens.push_back(open);
            }
        }
    }
    HookPoint("NdisIndicateStatus");

    PVOID statusBuffer = buffer.empty() ? nullptr : buffer.data();
    UINT size = static_cast<UINT>(buffer.size());
    for (OpenRecord *open : opens) {
        if (open->block.StatusHandler != nullptr) {
            CallProtocolHandler(DISPATCH_LEVEL, "StatusHandler", open->block.StatusHandler,
                                open->block.ProtocolBindingContext, status, statusBuffer, size);
        }
    }
    for (OpenRecord *open : opens) {
        if (open->block.StatusCompleteHandler != nullptr) {
            CallProtocolHandler(DISPATCH_LEVEL, "StatusCompleteHandler", open->block.StatusCompleteHandler,
                                open->block.ProtocolBindingContext);
        }
    }

    for (OpenRecord *open : opens) {
        bool closeFinished;
        {
            NdisWorld &world = World();
            std::lock_guard<std::mutex> guard(world.lock);
            closeFinished = EndActivity(open, Activity::Indication);
        }
        if (closeFinished) {
            FinishClose(open);
        }
    }
}

}  // namespace sim

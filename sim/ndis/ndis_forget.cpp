// The stack's records of adapters that are gone: kept for the account while
// anything may still name them, let go of once nothing can, as NDIS frees
// an adapter's block after its last binding closed and its halt returned.
#include <algorithm>

#include "sim/ndis/ndis_world.h"

namespace sim {
namespace {

bool OpenDone(const OpenRecord &open)
{
    if (open.state == OpenState::Failed) {
        return true;
    }
    for (unsigned count : open.inFlight) {
        if (count != 0) {
            return false;
        }
    }
    return open.state == OpenState::Closed && open.closeEnded;
}

// Removed, its opens closed, its binds and unbinds completed and returned,
// and nothing of the stack's or the adapter's own still under way on it.
// Call with the lock held.
bool DoneWith(const AdapterState &adapter, const NdisWorld &world)
{
    const TrafficState &traffic = adapter.traffic;
    if (adapter.present || adapter.movesUnderWay != 0 || adapter.requestBusy || !adapter.requestQueue.empty() ||
        !adapter.pendedOpens.empty() || !adapter.pendedCloses.empty() || !traffic.indications.empty() ||
        !traffic.pendedTransfers.empty() || !traffic.pendedSends.empty() || !traffic.heldSends.empty() ||
        !traffic.packetsInFlight.empty()) {
        return false;
    }
    for (const OpenRecord *open : adapter.opens) {
        if (!OpenDone(*open)) {
            return false;
        }
    }
    for (const auto &call : world.calls) {
        if (call->adapter == &adapter && (call->inHandler || !call->outcome.Result().has_value())) {
            return false;
        }
    }
    return true;
}

}  // namespace

void ForgetRemovedAdapters()
{
    // Freed once the lock is dropped: a wire's end may take the medium's own time.
    std::vector<std::unique_ptr<AdapterState>> forgotten;
    NdisWorld &world = World();
    std::lock_guard<std::mutex> guard(world.lock);
    for (auto it = world.adapters.begin(); it != world.adapters.end();) {
        AdapterState *adapter = it->get();
        if (!DoneWith(*adapter, world)) {
            ++it;
            continue;
        }
        std::erase_if(world.calls, [adapter](const auto &call) { return call->adapter == adapter; });
        std::erase_if(world.opens, [adapter](const auto &open) { return open->adapter == adapter; });
        forgotten.push_back(std::move(*it));
        it = world.adapters.erase(it);
    }
}

size_t KnownAdapterCount()
{
    NdisWorld &world = World();
    std::lock_guard<std::mutex> guard(world.lock);
    return world.adapters.size();
}

}  // namespace sim

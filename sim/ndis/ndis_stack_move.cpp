// The stack's own moves on an adapter made as Windows makes them: its
// arrival and its removal run on a system worker thread rather than in the
// caller's, and whoever waits for the adapter to be started or gone is told
// once every bind or unbind the move started has completed.
#include "sim/ex/system_worker.h"
#include "sim/ndis/ndis_world.h"

namespace sim {

std::vector<std::function<void()>> TakeSettledMoves()
{
    std::vector<std::function<void()>> settled;
    std::vector<std::unique_ptr<StackMove>> &moves = World().moves;
    for (auto it = moves.begin(); it != moves.end();) {
        StackMove &move = **it;
        bool done = move.started;
        for (const HandlerCall *call : move.calls) {
            done = done && call->outcome.Result().has_value();
        }
        if (done) {
            settled.push_back(std::move(move.settled));
            it = moves.erase(it);
        } else {
            ++it;
        }
    }
    return settled;
}

void BeginStackMove(AdapterState *adapter, std::function<std::vector<HandlerCall *>()> handlers,
                    std::function<void()> settled)
{
    StackMove *move;
    {
        NdisWorld &world = World();
        std::lock_guard<std::mutex> guard(world.lock);
        world.moves.push_back(std::make_unique<StackMove>());
        move = world.moves.back().get();
        move->settled = std::move(settled);
        ++adapter->movesUnderWay;
    }
    // Told once the worker counts the move's routine as done, so that whoever
    // hears of the move finds nothing of it still running.
    auto told = std::make_shared<std::vector<std::function<void()>>>();
    QueueSystemWork(
        move, WorkKind::Pnp,
        [adapter, move, handlers = std::move(handlers), told] {
            // A completion made while the handlers ran finds the move not
            // yet started and leaves the telling to this thread.
            std::vector<HandlerCall *> calls = handlers();
            NdisWorld &world = World();
            std::lock_guard<std::mutex> guard(world.lock);
            move->calls = std::move(calls);
            move->started = true;
            --adapter->movesUnderWay;
            *told = TakeSettledMoves();
        },
        [told] {
            for (const std::function<void()> &tell : *told) {
                tell();
            }
        });
}

void Adapter::BeginArrival(std::function<void()> settled)
{
    AdapterState *adapter = state_;
    BeginStackMove(adapter, [adapter] { return OfferToProtocols(adapter); }, std::move(settled));
}

void Adapter::BeginRemoval(std::function<void()> settled)
{
    AdapterState *adapter = state_;
    BeginStackMove(adapter, [adapter] { return TakeAdapterAway(adapter); }, std::move(settled));
}

}  // namespace sim

// NdisSendPackets on a simulated adapter: each packet taken, and completed
// through SendCompleteHandler at once inside the call, or later from
// whichever thread the test completes it in, in any order, with success or a
// failure. Its frame goes out, recorded and looped back, when it completes:
// until NdisMSendComplete the miniport owns the packet and its buffers, and
// may read them at any moment up to then.
#include <algorithm>
#include <optional>
#include <string>

#include "sim/counters.h"
#include "sim/io/driver_call.h"
#include "sim/hooks.h"
#include "sim/pool.h"
#include "sim/irql.h"
#include "sim/ndis_pools.h"
#include "sim/schedule.h"
#include "sim/verifier.h"
#include "sim/ndis/ndis_world.h"
#include "sim/wire.h"

namespace sim {
namespace {

void CountBuffersInPool(PMDL chain)
{
    for (PMDL mdl = chain; mdl != nullptr; mdl = mdl->Next) {
        const void *pages = static_cast<const uint8_t *>(mdl->StartVa) + mdl->ByteOffset;
        if (PoolBytesFrom(pages).has_value()) {
            CountSendFromPool(mdl->ByteCount);
        }
    }
}

// One send completion for one packet handed over.
void CompleteSend(OpenRecord *open, PNDIS_PACKET packet, NDIS_STATUS status)
{
    NdisWorld &world = World();
    {
        // Before the handler: the protocol may reuse the packet at once.
        std::lock_guard<std::mutex> guard(world.lock);
        open->adapter->traffic.packetsInFlight.erase(packet);
    }
    NDIS_OPEN_BLOCK &block = open->block;
    {
        ScopedIrql dispatch(DISPATCH_LEVEL);
        CallDriver("SendCompleteHandler", block.SendCompleteHandler, block.ProtocolBindingContext, packet, status);
        CheckDispatchHandlerReturn("SendCompleteHandler");
    }
    bool closed;
    {
        std::lock_guard<std::mutex> guard(world.lock);
        closed = EndActivity(open, Activity::Send);
        world.changed.notify_all();
    }
    if (closed) {
        FinishClose(open);
    }
}

// The packet's buffers as the wire is given them: their memory, in place.
std::vector<WirePiece> PiecesOf(PNDIS_PACKET packet)
{
    std::vector<WirePiece> pieces;
    for (PMDL mdl = packet->Private.Head; mdl != nullptr; mdl = mdl->Next) {
        pieces.push_back({static_cast<const uint8_t *>(mdl->StartVa) + mdl->ByteOffset, mdl->ByteCount});
    }
    return pieces;
}

std::vector<HandedBuffer> ChainOf(PNDIS_PACKET packet)
{
    std::vector<HandedBuffer> chain;
    for (PMDL mdl = packet->Private.Head; mdl != nullptr; mdl = mdl->Next) {
        chain.push_back({mdl, mdl->StartVa, mdl->ByteOffset, mdl->ByteCount});
    }
    return chain;
}

bool SameBuffer(const HandedBuffer &a, const HandedBuffer &b)
{
    return a.mdl == b.mdl && a.startVa == b.startVa && a.byteOffset == b.byteOffset && a.byteCount == b.byteCount;
}

// What the protocol did to a pended send's packet before its completion, or
// nothing. Reads only what is still allocated.
std::optional<std::string> ChangeToHandedPacket(const PendedSend &send)
{
    if (!IsLivePacket(send.packet)) {
        return "the packet went back to its pool";
    }
    size_t index = 0;
    for (PMDL mdl = send.packet->Private.Head; mdl != nullptr; mdl = mdl->Next, ++index) {
        if (index >= send.chain.size() || send.chain[index].mdl != mdl) {
            return "the packet's chain of buffers changed";
        }
        if (!IsLiveMdl(mdl)) {
            return "buffer " + std::to_string(index) + " was freed";
        }
        if (!SameBuffer(send.chain[index], {mdl, mdl->StartVa, mdl->ByteOffset, mdl->ByteCount})) {
            return "buffer " + std::to_string(index) + " describes other memory";
        }
    }
    if (index != send.chain.size()) {
        return "the packet's chain of buffers changed";
    }
    if (ChainBytes(send.packet->Private.Head) != send.bytes) {
        return "the frame's bytes changed";
    }
    return std::nullopt;
}

// Whether any open would be indicated a looped-back copy of a send.
bool AnyLoopbackTarget(const OpenRecord *sender, bool loopToSender)
{
    for (const OpenRecord *open : sender->adapter->opens) {
        if (open->state == OpenState::Open && (open != sender || loopToSender)) {
            return true;
        }
    }
    return false;
}

// The frame of a send on the scripted wire goes out: recorded, and looped
// back when the send succeeds; then the send completes.
void Transmit(OpenRecord *open, PNDIS_PACKET packet, std::vector<uint8_t> frame, NDIS_STATUS status)
{
    bool loopToSender;
    {
        std::lock_guard<std::mutex> guard(World().lock);
        loopToSender = (open->protocolOptions & NDIS_PROT_OPTION_NO_LOOPBACK) == 0;
        open->adapter->traffic.sent.push_back(frame);
    }
    if (status == NDIS_STATUS_SUCCESS) {
        IndicateFrames(open->adapter, {frame}, ReceiveShape{}, loopToSender ? nullptr : open);
    }
    CompleteSend(open, packet, status);
}

// A send on an adapter with a wire: the frame goes to the medium from the
// packet's own buffers, and its send completes with the wire's answer.
void SendOnWire(OpenRecord *open, PNDIS_PACKET packet, Wire &wire)
{
    NDIS_STATUS status = wire.Transmit(PiecesOf(packet));
    bool loop = false;
    bool loopToSender = false;
    {
        std::lock_guard<std::mutex> guard(World().lock);
        loopToSender = (open->protocolOptions & NDIS_PROT_OPTION_NO_LOOPBACK) == 0;
        loop = status == NDIS_STATUS_SUCCESS && AnyLoopbackTarget(open, loopToSender);
    }
    if (loop) {
        IndicateFrames(open->adapter, {ChainBytes(packet->Private.Head)}, ReceiveShape{},
                       loopToSender ? nullptr : open);
    }
    HookPoint("NdisSendPackets");
    CompleteSend(open, packet, status);
}

// The adapter takes one packet: onto its wire, or as the test scripted.
void TakePacket(OpenRecord *open, PNDIS_PACKET packet)
{
    NdisWorld &world = World();
    Wire *wire = open->adapter->config.wire.get();
    if (wire != nullptr) {
        SendOnWire(open, packet, *wire);
        return;
    }
    std::vector<uint8_t> frame = ChainBytes(packet->Private.Head);
    CountBuffersInPool(packet->Private.Head);
    SendScript script;
    bool tooLong;
    {
        std::lock_guard<std::mutex> guard(world.lock);
        tooLong = frame.size() > open->adapter->config.maximumTotalSize;
        script = open->adapter->traffic.send;
    }
    if (tooLong) {
        CompleteSend(open, packet, NDIS_STATUS_INVALID_PACKET);
        return;
    }
    if (!script.pended) {
        HookPoint("NdisSendPackets");
        Transmit(open, packet, std::move(frame), script.status);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(world.lock);
        open->adapter->traffic.pendedSends.push_back(
            {open, packet, script.status, ChainOf(packet), std::move(frame)});
        world.changed.notify_all();
    }
    HookPoint("NdisSendPackets");
}

}  // namespace

VOID NTAPI AdapterSendPackets(NDIS_HANDLE NdisBindingHandle, PPNDIS_PACKET PacketArray,
                              UINT NumberOfPackets)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisSendPackets");
    NdisWorld &world = World();
    OpenRecord *open = nullptr;
    std::vector<PNDIS_PACKET> taken;
    std::vector<PNDIS_PACKET> refused;  // below D0 with the adapter going
    {
        std::lock_guard<std::mutex> guard(world.lock);
        open = FindOpen(NdisBindingHandle, "NdisSendPackets");
        if (open == nullptr) {
            return;
        }
        TrafficState &traffic = open->adapter->traffic;
        for (UINT i = 0; i < NumberOfPackets; ++i) {
            PNDIS_PACKET packet = PacketArray[i];
            if (!traffic.packetsInFlight.insert(packet).second) {
                Violation("ndis.packet-in-flight", "NdisSendPackets",
                          "the packet was handed over again before its send completed");
                continue;
            }
            BeginActivity(open, Activity::Send);
            if (open->adapter->power == NdisDeviceStateD0) {
                taken.push_back(packet);
            } else if (open->adapter->present) {
                traffic.heldSends.push_back({open, packet});
            } else {
                refused.push_back(packet);
            }
        }
    }
    for (PNDIS_PACKET packet : taken) {
        TakePacket(open, packet);
    }
    for (PNDIS_PACKET packet : refused) {
        CompleteSend(open, packet, kAdapterRemoved);
    }
}

void ReleaseHeldSends(std::vector<HeldSend> held)
{
    for (const HeldSend &send : held) {
        TakePacket(send.open, send.packet);
    }
}

void FailHeldSends(std::vector<HeldSend> held, NDIS_STATUS status)
{
    for (const HeldSend &send : held) {
        CompleteSend(send.open, send.packet, status);
    }
}

void Adapter::SetSendCompletion(const SendScript &script)
{
    std::lock_guard<std::mutex> guard(World().lock);
    state_->traffic.send = script;
}

size_t Adapter::PendedSendCount() const
{
    std::lock_guard<std::mutex> guard(World().lock);
    return state_->traffic.pendedSends.size();
}

bool Adapter::WaitForPendedSends(size_t count, std::chrono::milliseconds timeout) const
{
    NdisWorld &world = World();
    std::unique_lock<std::mutex> guard(world.lock);
    return schedule::WaitFor(world.changed, guard, timeout,
                                  [&] { return state_->traffic.pendedSends.size() >= count; });
}

bool Adapter::CompletePendedSend(size_t index, std::optional<NDIS_STATUS> status)
{
    PendedSend send;
    {
        std::lock_guard<std::mutex> guard(World().lock);
        std::vector<PendedSend> &pended = state_->traffic.pendedSends;
        if (index >= pended.size()) {
            return false;
        }
        send = std::move(pended[index]);
        pended.erase(pended.begin() + static_cast<std::ptrdiff_t>(index));
    }
    NDIS_STATUS outcome = status.value_or(send.status);
    if (std::optional<std::string> change = ChangeToHandedPacket(send)) {
        Violation("ndis.send-changed-before-completion", "NdisMSendComplete",
                  *change + " while the send was pending; the adapter could not send the frame");
        CompleteSend(send.open, send.packet, outcome);
        return true;
    }
    Transmit(send.open, send.packet, std::move(send.bytes), outcome);
    return true;
}

std::vector<std::vector<uint8_t>> Adapter::SentFrames() const
{
    std::lock_guard<std::mutex> guard(World().lock);
    return state_->traffic.sent;
}

void Adapter::ForgetSentFrames()
{
    std::lock_guard<std::mutex> guard(World().lock);
    state_->traffic.sent.clear();
}

}  // namespace sim

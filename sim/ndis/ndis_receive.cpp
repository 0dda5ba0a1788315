// Receive indications from a simulated adapter, and NdisTransferData
// finishing at once, pended or failing.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include "sim/counters.h"
#include "sim/io/driver_call.h"
#include "sim/hooks.h"
#include "sim/ndis/ndis_filter.h"
#include "sim/irql.h"
#include "sim/ndis_pools.h"
#include "sim/pool.h"
#include "sim/verifier.h"
#include "sim/ndis/ndis_world.h"

namespace sim {
namespace {

// The memory an MDL describes, as its pages give it.
uint8_t *PagesOf(PMDL mdl)
{
    return static_cast<uint8_t *>(mdl->StartVa) + mdl->ByteOffset;
}

struct Target {
    OpenRecord *open;
    NDIS_OPEN_BLOCK *block;
};

// Opens that take the frame now; each gets an indication started. Call with the lock held.
std::vector<Target> StartIndications(AdapterState *adapter, const uint8_t *frame, size_t length,
                                     const OpenRecord *skip)
{
    std::vector<Target> targets;
    for (OpenRecord *open : adapter->opens) {
        if (open != skip && open->state == OpenState::Open && FilterAccepts(open, frame, length) &&
            BeginActivity(open, Activity::Indication)) {
            targets.push_back({open, &open->block});
        }
    }
    return targets;
}

// An 802.3 wire carries no frame shorter than 60 bytes before its check
// sequence: the sender pads it, and the receiver takes the padding as part
// of the frame.
constexpr size_t kShortestWireFrame = 60;

std::vector<uint8_t> AsReceived(const AdapterState *adapter, std::vector<uint8_t> frame)
{
    if (adapter->config.medium == NdisMedium802_3 && frame.size() < kShortestWireFrame) {
        frame.resize(kShortestWireFrame, 0);
    }
    return frame;
}

// Ends one indication on each open, and finishes the closes that waited for them.
void EndIndications(const std::vector<Target> &targets)
{
    std::vector<OpenRecord *> closed;
    {
        NdisWorld &world = World();
        std::lock_guard<std::mutex> guard(world.lock);
        for (const Target &target : targets) {
            if (EndActivity(target.open, Activity::Indication)) {
                closed.push_back(target.open);
            }
        }
        world.changed.notify_all();
    }
    for (OpenRecord *open : closed) {
        FinishClose(open);
    }
}

// ReceiveCompleteHandler for each open that got frames, unless its close began meanwhile.
void CompleteReceives(AdapterState *adapter, const std::vector<OpenRecord *> &opens)
{
    std::vector<Target> targets;
    {
        std::lock_guard<std::mutex> guard(World().lock);
        for (OpenRecord *open : opens) {
            if (BeginActivity(open, Activity::Indication)) {
                targets.push_back({open, &open->block});
            }
        }
    }
    for (const Target &target : targets) {
        if (target.block->ReceiveCompleteHandler != nullptr) {
            ScopedIrql dispatch(DISPATCH_LEVEL);
            CallDriver("ReceiveCompleteHandler", target.block->ReceiveCompleteHandler,
                       target.block->ProtocolBindingContext);
            CheckDispatchHandlerReturn("ReceiveCompleteHandler");
        }
    }
    EndIndications(targets);
}

void AddOnce(std::vector<OpenRecord *> &opens, OpenRecord *open)
{
    if (std::find(opens.begin(), opens.end(), open) == opens.end()) {
        opens.push_back(open);
    }
}

// One frame as header plus lookahead; its data behind the header is what
// NdisTransferData copies from, named by the MacReceiveContext.
struct HeaderIndication {
    std::vector<uint8_t> header;
    std::vector<uint8_t> lookahead;  // the padding behind the packet included
    IndicatedData data;
    UINT packetSize = 0;
};

HeaderIndication ShapeFrame(const std::vector<uint8_t> &frame, const ReceiveShape &shape)
{
    UINT headerSize = std::min<UINT>(shape.headerSize, static_cast<UINT>(frame.size()));
    UINT packetSize = static_cast<UINT>(frame.size()) - headerSize;
    UINT lookahead = std::min(shape.lookahead.value_or(packetSize), packetSize);
    HeaderIndication indication;
    indication.header.assign(frame.begin(), frame.begin() + headerSize);
    indication.lookahead.assign(frame.begin() + headerSize, frame.begin() + headerSize + lookahead);
    // Only a lookahead that holds the whole packet can run on past its end.
    if (lookahead == packetSize) {
        indication.lookahead.resize(lookahead + shape.padding, 0);
    }
    indication.data.bytes = std::make_shared<const std::vector<uint8_t>>(frame.begin() + headerSize, frame.end());
    indication.packetSize = packetSize;
    return indication;
}

// A frame from a wire: header and whole packet as lookahead, and the
// transfers' source the wire's bytes themselves.
HeaderIndication ShapeFromWire(const FrameBytes &frame)
{
    UINT headerSize = std::min<UINT>(14, static_cast<UINT>(frame->size()));
    HeaderIndication indication;
    indication.header.assign(frame->begin(), frame->begin() + headerSize);
    indication.lookahead.assign(frame->begin() + headerSize, frame->end());
    indication.data = {frame, headerSize};
    indication.packetSize = static_cast<UINT>(frame->size()) - headerSize;
    return indication;
}

// ReceiveHandler of each target, whose indications have been started. The
// header and lookahead buffers are the protocol's only while its handler
// runs: each handler gets them filled, and they are poisoned when it returns,
// so that a protocol that kept them reads garbage.
std::vector<NDIS_STATUS> IndicateHeader(AdapterState *adapter, const std::vector<Target> &targets,
                                        const HeaderIndication &indication)
{
    std::vector<NDIS_STATUS> results;
    if (targets.empty()) {
        return results;
    }
    const size_t headerSize = indication.header.size();
    const size_t lookaheadSize = indication.lookahead.size();
    void *context = const_cast<std::vector<uint8_t> *>(indication.data.bytes.get());
    for (const Target &target : targets) {
        auto *header = static_cast<uint8_t *>(std::malloc(headerSize + lookaheadSize + 1));
        uint8_t *lookahead = header + headerSize;
        std::copy(indication.header.begin(), indication.header.end(), header);
        std::copy(indication.lookahead.begin(), indication.lookahead.end(), lookahead);
        {
            std::lock_guard<std::mutex> guard(World().lock);
            adapter->traffic.indications[{target.open, context}] = {indication.data, std::this_thread::get_id()};
        }
        {
            ScopedIrql dispatch(DISPATCH_LEVEL);
            results.push_back(CallDriver("ReceiveHandler", target.block->ReceiveHandler,
                                         target.block->ProtocolBindingContext, context, header,
                                         static_cast<UINT>(headerSize), lookahead,
                                         static_cast<UINT>(lookaheadSize), indication.packetSize));
            CheckDispatchHandlerReturn("ReceiveHandler");
        }
        Retire(header, headerSize + lookaheadSize, std::free);
        std::lock_guard<std::mutex> guard(World().lock);
        adapter->traffic.indications.erase({target.open, context});
    }
    return results;
}

// A packet as a miniport indicates it: the frame in buffers of the given
// sizes, with room for every protocol's reserved area.
struct IndicatedPacket {
    std::vector<std::pair<uint8_t *, size_t>> pieces;
    PNDIS_PACKET packet = nullptr;
};

void AddPiece(IndicatedPacket &indicated, const uint8_t *bytes, size_t size)
{
    auto *piece = static_cast<uint8_t *>(std::malloc(size + 1));
    std::copy(bytes, bytes + size, piece);
    indicated.pieces.emplace_back(piece, size);
}

constexpr size_t kIndicatedReservedRoom = 16 * sizeof(void *);

void BuildPacket(IndicatedPacket &indicated, const std::vector<uint8_t> &frame,
                 const PacketShape &shape)
{
    size_t at = 0;
    for (size_t size : shape.pieces) {
        size = std::min(size, frame.size() - at);
        AddPiece(indicated, frame.data() + at, size);
        at += size;
    }
    if (at < frame.size() || indicated.pieces.empty()) {
        AddPiece(indicated, frame.data() + at, frame.size() - at);
    }
    size_t oob = (offsetof(NDIS_PACKET, ProtocolReserved) + kIndicatedReservedRoom + 7) & ~size_t{7};
    auto *packet = static_cast<PNDIS_PACKET>(std::calloc(1, oob + sizeof(NDIS_PACKET_OOB_DATA)));
    packet->Private.NdisPacketOobOffset = static_cast<USHORT>(oob);
    PMDL *link = &packet->Private.Head;
    for (auto [piece, size] : indicated.pieces) {
        PMDL mdl = AllocateLockedMdl(piece, static_cast<ULONG>(size));
        if (shape.mapped) {
            mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
            mdl->MappedSystemVa = piece;
        }
        *link = mdl;
        packet->Private.Tail = mdl;
        link = &mdl->Next;
        packet->Private.Count++;
        packet->Private.TotalLength += static_cast<UINT>(size);
    }
    packet->Private.ValidCounts = TRUE;
    NDIS_OOB_DATA_FROM_PACKET(packet)->HeaderSize = 14;
    NDIS_SET_PACKET_STATUS(packet, shape.resources ? NDIS_STATUS_RESOURCES : NDIS_STATUS_SUCCESS);
    indicated.packet = packet;
}

// The miniport takes its packet back; its descriptor, buffers and memory
// are poisoned so that a protocol that kept using them reads garbage.
void ReleasePacket(IndicatedPacket &indicated)
{
    PMDL mdl = indicated.packet->Private.Head;
    while (mdl != nullptr) {
        PMDL next = mdl->Next;
        IoFreeMdl(mdl);
        mdl = next;
    }
    for (auto [piece, size] : indicated.pieces) {
        Retire(piece, size, std::free);
    }
    Retire(indicated.packet, indicated.packet->Private.NdisPacketOobOffset + sizeof(NDIS_PACKET_OOB_DATA), std::free);
}

}  // namespace

UINT CopyToChain(PMDL chain, const uint8_t *bytes, UINT count)
{
    UINT copied = 0;
    for (PMDL mdl = chain; mdl != nullptr && copied < count; mdl = mdl->Next) {
        UINT chunk = std::min<UINT>(count - copied, mdl->ByteCount);
        std::memcpy(PagesOf(mdl), bytes + copied, chunk);
        copied += chunk;
    }
    return copied;
}

std::vector<uint8_t> ChainBytes(PMDL chain)
{
    std::vector<uint8_t> bytes;
    for (PMDL mdl = chain; mdl != nullptr; mdl = mdl->Next) {
        bytes.insert(bytes.end(), PagesOf(mdl), PagesOf(mdl) + mdl->ByteCount);
    }
    return bytes;
}

void CheckDispatchHandlerReturn(const char *handler)
{
    if (KeGetCurrentIrql() != DISPATCH_LEVEL || HeldSpinLockCount() != 0) {
        Violation("ndis.handler-return", handler,
                  "returned at IRQL " + std::to_string(KeGetCurrentIrql()) + " holding " +
                      std::to_string(HeldSpinLockCount()) + " spin lock(s)");
    }
}

std::vector<NDIS_STATUS> IndicateFrames(AdapterState *adapter,
                                        const std::vector<std::vector<uint8_t>> &frames,
                                        const ReceiveShape &shape, const OpenRecord *skip)
{
    std::vector<NDIS_STATUS> results;
    std::vector<OpenRecord *> received;
    for (const std::vector<uint8_t> &frame : frames) {
        HeaderIndication indication = ShapeFrame(frame, shape);
        std::vector<Target> targets;
        {
            std::lock_guard<std::mutex> guard(World().lock);
            targets = StartIndications(adapter, frame.data(), frame.size(), skip);
        }
        for (const Target &target : targets) {
            AddOnce(received, target.open);
        }
        for (NDIS_STATUS status : IndicateHeader(adapter, targets, indication)) {
            results.push_back(status);
        }
        EndIndications(targets);
    }
    CompleteReceives(adapter, received);
    return results;
}

void Adapter::SetTransferCompletion(const TransferScript &script)
{
    std::lock_guard<std::mutex> guard(World().lock);
    if (script.pended && (state_->config.macOptions & NDIS_MAC_OPTION_TRANSFERS_NOT_PEND)) {
        Violation("sim.adapter-contradicts-mac-options", "SetTransferCompletion",
                  "transfers cannot pend on an adapter that reports NDIS_MAC_OPTION_TRANSFERS_NOT_PEND");
        return;
    }
    state_->traffic.transfer = script;
}

std::vector<NDIS_STATUS> Adapter::IndicateReceive(const std::vector<uint8_t> &frame,
                                                  const ReceiveShape &shape)
{
    return IndicateFrames(state_, {AsReceived(state_, frame)}, shape, nullptr);
}

std::vector<NDIS_STATUS> Adapter::IndicateReceiveBatch(const std::vector<std::vector<uint8_t>> &frames,
                                                       const ReceiveShape &shape)
{
    std::vector<std::vector<uint8_t>> received;
    for (const std::vector<uint8_t> &frame : frames) {
        received.push_back(AsReceived(state_, frame));
    }
    return IndicateFrames(state_, received, shape, nullptr);
}

void Adapter::DeliverFrame(std::shared_ptr<const std::vector<uint8_t>> frame)
{
    std::vector<Target> targets;
    {
        std::lock_guard<std::mutex> guard(World().lock);
        targets = StartIndications(state_, frame->data(), frame->size(), nullptr);
    }
    std::vector<OpenRecord *> received;
    for (const Target &target : targets) {
        AddOnce(received, target.open);
    }
    IndicateHeader(state_, targets, ShapeFromWire(frame));
    EndIndications(targets);
    CompleteReceives(state_, received);
}

std::vector<INT> Adapter::IndicatePacket(const std::vector<uint8_t> &wireFrame, const PacketShape &shape)
{
    const std::vector<uint8_t> frame = AsReceived(state_, wireFrame);
    IndicatedPacket indicated;
    BuildPacket(indicated, frame, shape);
    std::vector<Target> targets;
    {
        std::lock_guard<std::mutex> guard(World().lock);
        targets = StartIndications(state_, frame.data(), frame.size(), nullptr);
    }
    std::vector<INT> results;
    std::vector<Target> headerRoad;
    std::vector<OpenRecord *> received;
    for (const Target &target : targets) {
        AddOnce(received, target.open);
        if (target.block->ReceivePacketHandler == nullptr) {
            headerRoad.push_back(target);
            continue;
        }
        INT kept;
        {
            ScopedIrql dispatch(DISPATCH_LEVEL);
            kept = CallDriver("ReceivePacketHandler", target.block->ReceivePacketHandler,
                              target.block->ProtocolBindingContext, indicated.packet);
            CheckDispatchHandlerReturn("ReceivePacketHandler");
        }
        if (kept != 0) {
            Violation("ndis.packet-kept", "ReceivePacketHandler",
                      shape.resources ? "kept a packet indicated with NDIS_STATUS_RESOURCES"
                                      : "kept a packet; this adapter needs each packet back at once");
        }
        results.push_back(kept);
    }
    // NDIS gives a protocol without a packet handler the frame as header
    // plus the whole rest as lookahead.
    IndicateHeader(state_, headerRoad, ShapeFrame(frame, ReceiveShape{}));
    EndIndications(targets);
    ReleasePacket(indicated);
    CompleteReceives(state_, received);
    return results;
}

size_t Adapter::PendedTransferCount() const
{
    std::lock_guard<std::mutex> guard(World().lock);
    return state_->traffic.pendedTransfers.size();
}

bool Adapter::CompletePendedTransfer(std::optional<NDIS_STATUS> status)
{
    PendedTransfer transfer;
    {
        std::lock_guard<std::mutex> guard(World().lock);
        if (state_->traffic.pendedTransfers.empty()) {
            return false;
        }
        transfer = state_->traffic.pendedTransfers.front();
        state_->traffic.pendedTransfers.pop_front();
    }
    NDIS_STATUS outcome = status.value_or(transfer.outcome.status);
    UINT transferred = 0;
    if (outcome == NDIS_STATUS_SUCCESS) {
        UINT count = transfer.count - std::min(transfer.count, transfer.outcome.shortBy);
        transferred = CopyToChain(transfer.packet->Private.Head, transfer.data->data() + transfer.offset, count);
        CountNdisCopy(transferred);
    }
    NDIS_OPEN_BLOCK &block = transfer.open->block;
    {
        ScopedIrql dispatch(DISPATCH_LEVEL);
        CallDriver("TransferDataCompleteHandler", block.TransferDataCompleteHandler, block.ProtocolBindingContext,
                   transfer.packet, outcome, transferred);
        CheckDispatchHandlerReturn("TransferDataCompleteHandler");
    }
    bool closed;
    {
        NdisWorld &world = World();
        std::lock_guard<std::mutex> guard(world.lock);
        closed = EndActivity(transfer.open, Activity::Transfer);
        world.changed.notify_all();
    }
    if (closed) {
        FinishClose(transfer.open);
    }
    return true;
}

NDIS_STATUS NTAPI AdapterTransferData(NDIS_HANDLE MacBindingHandle, NDIS_HANDLE MacReceiveContext,
                                      UINT ByteOffset, UINT BytesToTransfer, PNDIS_PACKET Packet,
                                      PUINT BytesTransferred)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisTransferData");
    HookPoint("NdisTransferData");
    *BytesTransferred = 0;
    FrameBytes data;
    TransferScript script;
    size_t offset = 0;
    UINT count = 0;
    {
        NdisWorld &world = World();
        std::lock_guard<std::mutex> guard(world.lock);
        OpenRecord *open = FindOpen(MacBindingHandle, "NdisTransferData");
        if (open == nullptr) {
            return NDIS_STATUS_FAILURE;
        }
        TrafficState &traffic = open->adapter->traffic;
        // The receive context is the miniport's for the one ReceiveHandler
        // call it was given to: a transfer is asked for there, by that open,
        // once, and reaches no further than the packet's end ("the sum of
        // ByteOffset and BytesToTransfer should be less than or equal to the
        // packet size" of the indication).
        auto found = traffic.indications.find({open, MacReceiveContext});
        if (found == traffic.indications.end() || found->second.handlerThread != std::this_thread::get_id()) {
            Violation("ndis.transfer-outside-indication", "NdisTransferData",
                      "the receive context names no ReceiveHandler of this open in progress in this thread");
            return NDIS_STATUS_FAILURE;
        }
        if (found->second.transferAsked) {
            Violation("ndis.transfer-repeated", "NdisTransferData",
                      "a second transfer asked for in one indication");
            return NDIS_STATUS_FAILURE;
        }
        found->second.transferAsked = true;
        data = found->second.data.bytes;
        size_t packetSize = data->size() - found->second.data.start;
        if (ByteOffset > packetSize || BytesToTransfer > packetSize - ByteOffset) {
            Violation("ndis.transfer-out-of-range", "NdisTransferData",
                      "offset " + std::to_string(ByteOffset) + " plus " + std::to_string(BytesToTransfer) +
                          " bytes reaches beyond the packet's " + std::to_string(packetSize));
            return NDIS_STATUS_FAILURE;
        }
        offset = found->second.data.start + ByteOffset;
        script = traffic.transfer;
        count = BytesToTransfer;
        if (script.pended && BeginActivity(open, Activity::Transfer)) {
            traffic.pendedTransfers.push_back({open, Packet, data, static_cast<UINT>(offset), count, script});
            world.changed.notify_all();
            return NDIS_STATUS_PENDING;
        }
    }
    if (script.status != NDIS_STATUS_SUCCESS) {
        return script.status;
    }
    count -= std::min(count, script.shortBy);
    *BytesTransferred = CopyToChain(Packet->Private.Head, data->data() + offset, count);
    CountNdisCopy(*BytesTransferred);
    return NDIS_STATUS_SUCCESS;
}

}  // namespace sim

// The sim's records of an adapter's traffic, kept in its AdapterState under
// the NDIS world's lock.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "platform/ndis_open.h"
#include "platform/ndis_packet.h"
#include "sim/ndis_traffic.h"

namespace sim {

struct AdapterState;
struct OpenRecord;

using FrameBytes = std::shared_ptr<const std::vector<uint8_t>>;

// The bytes an indication's MacReceiveContext names: what lies behind the
// frame's header, from `start` on.
struct IndicatedData {
    FrameBytes bytes;
    size_t start = 0;
};

// An open's ReceiveHandler in progress, the one place its transfer may be asked for.
struct ReceiveInProgress {
    IndicatedData data;
    std::thread::id handlerThread;
    bool transferAsked = false;
};

struct PendedTransfer {
    OpenRecord *open;
    PNDIS_PACKET packet;
    FrameBytes data;
    UINT offset;      // into data
    UINT count;
    TransferScript outcome;
};

// One buffer of a packet as the adapter took it.
struct HandedBuffer {
    PMDL mdl;
    PVOID startVa;
    ULONG byteOffset;
    ULONG byteCount;
};

struct PendedSend {
    OpenRecord *open;
    PNDIS_PACKET packet;
    NDIS_STATUS status;
    // The packet's chain and bytes when it was handed over: until its send
    // completes they are the adapter's, and must be as they were.
    std::vector<HandedBuffer> chain;
    std::vector<uint8_t> bytes;
};

// A send NDIS holds while the adapter is below D0.
struct HeldSend {
    OpenRecord *open;
    PNDIS_PACKET packet;
};

struct TrafficState {
    TransferScript transfer;
    SendScript send;
    // Every ReceiveHandler in progress, by its open and the MacReceiveContext
    // it was given.
    std::map<std::pair<const OpenRecord *, const void *>, ReceiveInProgress> indications;
    std::deque<PendedTransfer> pendedTransfers;
    std::vector<PendedSend> pendedSends;
    std::vector<HeldSend> heldSends;
    std::set<PNDIS_PACKET> packetsInFlight;
    std::vector<std::vector<uint8_t>> sent;
};

// The adapter's handlers in every open block.
NDIS_STATUS NTAPI AdapterTransferData(NDIS_HANDLE MacBindingHandle, NDIS_HANDLE MacReceiveContext,
                                      UINT ByteOffset, UINT BytesToTransfer, PNDIS_PACKET Packet,
                                      PUINT BytesTransferred);
VOID NTAPI AdapterSendPackets(NDIS_HANDLE NdisBindingHandle, PPNDIS_PACKET PacketArray,
                              UINT NumberOfPackets);

// Hands the sends held below D0 to the adapter, in order; or completes
// them with `status`. Call without the lock.
void ReleaseHeldSends(std::vector<HeldSend> held);
void FailHeldSends(std::vector<HeldSend> held, NDIS_STATUS status);

// Indicates frames as header plus lookahead to the adapter's accepting opens,
// except `skip`; returns each handler's result in call order.
std::vector<NDIS_STATUS> IndicateFrames(AdapterState *adapter,
                                        const std::vector<std::vector<uint8_t>> &frames,
                                        const ReceiveShape &shape, const OpenRecord *skip);

// Copies bytes into, or out of, the memory an MDL chain describes, through its pages.
UINT CopyToChain(PMDL chain, const uint8_t *bytes, UINT count);
std::vector<uint8_t> ChainBytes(PMDL chain);

// A protocol handler called at DISPATCH_LEVEL must return there, holding no spin lock.
void CheckDispatchHandlerReturn(const char *handler);

}  // namespace sim

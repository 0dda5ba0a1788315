// What a simulated adapter's traffic looks like to tests: how frames are
// indicated to the protocols, and how the adapter finishes the data
// transfers and sends they ask of it. The Adapter methods that use these
// are declared with the adapter (sim/ndis.h).
//
// A frame shorter than 60 bytes given to an 802.3 adapter arrives padded with
// zeros to 60, as a wire delivers it, and PacketSize counts the padding.
//
// Indications run in the calling thread at DISPATCH_LEVEL, once for every
// open of the adapter that is open and whose packet filter accepts the frame
// (directed: the destination is the station address; multicast: a group
// address on that open's OID_802_3_MULTICAST_LIST; broadcast, all multicast
// and promiscuous as NDIS has them); after a batch, each open that
// got a frame gets ReceiveCompleteHandler. Once an open's close is called no
// new indication starts on it, and the close completes only after every
// indication, pended transfer and send in progress on it has finished.
//
// The header and lookahead buffers of an indication, on every road, are the
// protocol's only while its ReceiveHandler runs: they are poisoned
// (kPoolPoisonByte) when it returns. So is an indicated packet, its buffers
// and its descriptor, once the packet handlers have returned.
//
// NdisTransferData is the protocol's only while its ReceiveHandler runs:
// asked for by that open, in the handler's thread, once per indication, for
// bytes within the packet. Anything else fails with NDIS_STATUS_FAILURE and is
// a finding (rules ndis.transfer-outside-indication, ndis.transfer-repeated,
// ndis.transfer-out-of-range).
//
// A send longer than the adapter's OID_GEN_MAXIMUM_TOTAL_SIZE leaves nothing
// on the wire and completes at once with NDIS_STATUS_INVALID_PACKET.
//
// Sends are looped back, as indications, to every open of the adapter whose
// filter accepts them, except to the sending open when it set
// NDIS_PROT_OPTION_NO_LOOPBACK.
//
// A send the adapter pends is its own until NdisMSendComplete: the frame is
// read from the packet, recorded and looped back when the send completes, and
// a packet whose chain of buffers, or whose bytes, the protocol changed in
// between is a finding (rule ndis.send-changed-before-completion); such a
// frame is not sent and its send completes with the status it would have had.
//
// The adapter reads and writes the protocols' buffers through their pages,
// not through system mappings, so it never uses up the failure point
// "MmMapLockedPagesSpecifyCache" meant for the driver.
//
// Hook points (sim/hooks.h): "NdisTransferData" on entry to the adapter's
// transfer, "NdisSendPackets" after the adapter took a packet and before it
// completes it.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "platform/ndis.h"

namespace sim {

// How the adapter finishes NdisTransferData.
struct TransferScript {
    bool pended = false;  // NDIS_STATUS_PENDING, finished by Adapter::CompletePendedTransfer
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    // A success that copies, and reports, this many bytes fewer than asked.
    UINT shortBy = 0;
};

// How the adapter finishes each packet handed to it.
struct SendScript {
    bool pended = false;  // finished by Adapter::CompletePendedSend, from any thread, in any order
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
};

// A frame indicated as header plus lookahead.
struct ReceiveShape {
    UINT headerSize = 14;
    // Bytes behind the header given in the lookahead buffer; all of them when unset.
    std::optional<UINT> lookahead{};
    // Bytes the lookahead buffer carries beyond the packet's end when it holds
    // the whole packet (LookaheadBufferSize then exceeds PacketSize).
    UINT padding = 0;
};

// A frame indicated as a whole packet.
struct PacketShape {
    // Sizes of the packet's buffers in order; what is left of the frame goes
    // into one more buffer. Empty: one buffer.
    std::vector<size_t> pieces{};
    // The packet's status is NDIS_STATUS_RESOURCES: the miniport needs it back
    // when the handler returns.
    bool resources = false;
    // Buffers already mapped into system space; otherwise the protocol's
    // mapping of them can fail.
    bool mapped = true;
};

}  // namespace sim

// A simulated adapter's traffic as a protocol meets it: the packet filter
// and multicast lists, the shapes of indications, sends completing in any
// order, loopback, and a close that waits for pended transfers and sends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "platform/ndis_packet.h"
#include "platform/ndis_send.h"
#include "platform/ndis_transfer.h"
#include "sim/irql.h"
#include "sim/ndis.h"
#include "sim/ndis_pools.h"
#include "sim/pool.h"
#include "tests/support/sim_test.h"

namespace {

using rztest::HasRule;
using Bytes = std::vector<uint8_t>;

const Bytes kStation = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};

Bytes FrameTo(const Bytes &destination, size_t length, uint8_t fill = 0x42)
{
    Bytes frame(length, fill);
    std::copy(destination.begin(), destination.end(), frame.begin());
    return frame;
}

// A protocol that opens every adapter it is offered, listens, and records.
struct Listener {
    NDIS_HANDLE protocol = nullptr;
    NDIS_HANDLE secondProtocol = nullptr;
    std::vector<NDIS_HANDLE> opens;
    NDIS_HANDLE unbindContext = nullptr;
    std::vector<std::string> events;
    std::vector<Bytes> received;           // header, lookahead and anything transferred
    bool transferOnReceive = false;        // fetch what the lookahead lacks
    NDIS_HANDLE packetPool = nullptr;
    NDIS_HANDLE bufferPool = nullptr;
    std::vector<NDIS_STATUS> sendCompletions;
    // Runs inside ReceiveHandler with the open's context (its place in opens,
    // from 1), the receive context, and the lookahead and packet sizes.
    std::function<void(size_t, NDIS_HANDLE, UINT, UINT)> duringReceive;
    // The memory each handler was given, as (address, length): header and
    // lookahead buffers, an indicated packet's descriptor and buffers.
    std::vector<std::pair<const uint8_t *, size_t>> given;
};
Listener g;
NDIS_MEDIUM g_medium = NdisMedium802_3;

void OpenFor(NDIS_HANDLE protocol, PNDIS_STATUS Status, PNDIS_STRING Name)
{
    NDIS_STATUS error;
    UINT index;
    NDIS_HANDLE open;
    // Each open's context is its place in g.opens, counted from 1.
    auto *context = reinterpret_cast<NDIS_HANDLE>(g.opens.size() + 1);
    NdisOpenAdapter(Status, &error, &open, &index, &g_medium, 1, protocol, context, Name, 0, nullptr);
    g.opens.push_back(open);
}
VOID NTAPI ListenBind(PNDIS_STATUS Status, NDIS_HANDLE, PNDIS_STRING Name, PVOID, PVOID)
{
    OpenFor(g.protocol, Status, Name);
}
// A second protocol on the same adapters, for what opens share.
VOID NTAPI ListenBindAgain(PNDIS_STATUS Status, NDIS_HANDLE, PNDIS_STRING Name, PVOID, PVOID)
{
    OpenFor(g.secondProtocol, Status, Name);
}
VOID NTAPI ListenUnbind(PNDIS_STATUS Status, NDIS_HANDLE Context, NDIS_HANDLE UnbindContext)
{
    g.unbindContext = UnbindContext;
    NdisCloseAdapter(Status, g.opens.at(reinterpret_cast<size_t>(Context) - 1));
    if (*Status != NDIS_STATUS_PENDING) {
        g.unbindContext = nullptr;
    }
}
VOID NTAPI ListenCloseComplete(NDIS_HANDLE, NDIS_STATUS)
{
    g.events.push_back("close complete");
    if (g.unbindContext != nullptr) {
        NdisCompleteUnbindAdapter(g.unbindContext, NDIS_STATUS_SUCCESS);
    }
}
VOID NTAPI ListenNothing(NDIS_HANDLE, NDIS_STATUS, NDIS_STATUS) {}
VOID NTAPI ListenRequestComplete(NDIS_HANDLE, PNDIS_REQUEST, NDIS_STATUS) {}

// The packet a transfer writes into: one buffer over the missing bytes.
PNDIS_PACKET TransferPacket(UINT length)
{
    NDIS_STATUS status;
    PNDIS_PACKET packet;
    NdisAllocatePacket(&status, &packet, g.packetPool);
    PVOID block;
    NdisAllocateMemoryWithTag(&block, length, 'tsiL');
    PNDIS_BUFFER buffer;
    NdisAllocateBuffer(&status, &buffer, g.bufferPool, block, length);
    NdisChainBufferAtFront(packet, buffer);
    return packet;
}

void FinishTransfer(PNDIS_PACKET packet, UINT transferred)
{
    PNDIS_BUFFER buffer;
    NdisUnchainBufferAtFront(packet, &buffer);
    Bytes &frame = g.received.back();
    frame.insert(frame.end(), static_cast<uint8_t *>(buffer->MappedSystemVa),
                 static_cast<uint8_t *>(buffer->MappedSystemVa) + transferred);
    NdisFreeMemory(buffer->MappedSystemVa, 0, 0);
    NdisFreeBuffer(buffer);
    NdisFreePacket(packet);
}

NDIS_STATUS NTAPI ListenReceive(NDIS_HANDLE Open, NDIS_HANDLE Context, PVOID Header, UINT HeaderSize,
                                PVOID Lookahead, UINT LookaheadSize, UINT PacketSize)
{
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    Bytes frame(static_cast<uint8_t *>(Header), static_cast<uint8_t *>(Header) + HeaderSize);
    frame.insert(frame.end(), static_cast<uint8_t *>(Lookahead),
                 static_cast<uint8_t *>(Lookahead) + LookaheadSize);
    g.received.push_back(frame);
    g.given.emplace_back(static_cast<uint8_t *>(Header), HeaderSize);
    g.given.emplace_back(static_cast<uint8_t *>(Lookahead), LookaheadSize);
    g.events.push_back("receive " + std::to_string(LookaheadSize) + "/" + std::to_string(PacketSize));
    if (g.duringReceive) {
        g.duringReceive(reinterpret_cast<size_t>(Open), Context, LookaheadSize, PacketSize);
    }
    if (g.transferOnReceive && PacketSize > LookaheadSize) {
        PNDIS_PACKET packet = TransferPacket(PacketSize - LookaheadSize);
        NDIS_STATUS status;
        UINT transferred = 0;
        NdisTransferData(&status, g.opens.back(), Context, LookaheadSize, PacketSize - LookaheadSize,
                         packet, &transferred);
        if (status != NDIS_STATUS_PENDING) {
            FinishTransfer(packet, transferred);
        }
    }
    return NDIS_STATUS_SUCCESS;
}
VOID NTAPI ListenTransferComplete(NDIS_HANDLE, PNDIS_PACKET Packet, NDIS_STATUS, UINT Transferred)
{
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    FinishTransfer(Packet, Transferred);
}
VOID NTAPI ListenReceiveComplete(NDIS_HANDLE)
{
    g.events.push_back("receive complete");
}
INT NTAPI ListenReceivePacket(NDIS_HANDLE, PNDIS_PACKET Packet)
{
    Bytes frame;
    g.given.emplace_back(reinterpret_cast<uint8_t *>(Packet), offsetof(NDIS_PACKET, ProtocolReserved));
    for (PNDIS_BUFFER buffer = Packet->Private.Head; buffer != nullptr; buffer = buffer->Next) {
        auto *bytes = static_cast<uint8_t *>(MmGetSystemAddressForMdlSafe(buffer, NormalPagePriority));
        frame.insert(frame.end(), bytes, bytes + buffer->ByteCount);
        g.given.emplace_back(bytes, buffer->ByteCount);
    }
    g.received.push_back(frame);
    g.events.push_back("packet " + std::to_string(Packet->Private.Count) +
                       (NDIS_GET_PACKET_STATUS(Packet) == NDIS_STATUS_RESOURCES ? " resources" : ""));
    return 0;
}
VOID NTAPI ListenSendComplete(NDIS_HANDLE, PNDIS_PACKET Packet, NDIS_STATUS Status)
{
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    g.sendCompletions.push_back(Status);
    NdisFreePacket(Packet);
}

class AdapterTraffic : public rztest::SimTest {
protected:
    void SetUp() override
    {
        rztest::SimTest::SetUp();
        g = Listener{};
        NDIS50_PROTOCOL_CHARACTERISTICS &characteristics = characteristics_;
        characteristics.MajorNdisVersion = 5;
        RtlInitUnicodeString(&characteristics.Name, u"listener");
        characteristics.BindAdapterHandler = ListenBind;
        characteristics.UnbindAdapterHandler = ListenUnbind;
        characteristics.OpenAdapterCompleteHandler = ListenNothing;
        characteristics.CloseAdapterCompleteHandler = ListenCloseComplete;
        characteristics.RequestCompleteHandler = ListenRequestComplete;
        characteristics.ReceiveHandler = ListenReceive;
        characteristics.TransferDataCompleteHandler = ListenTransferComplete;
        characteristics.ReceiveCompleteHandler = ListenReceiveComplete;
        characteristics.ReceivePacketHandler = ListenReceivePacket;
        characteristics.SendCompleteHandler = ListenSendComplete;
        NDIS_STATUS status;
        NdisRegisterProtocol(&status, &g.protocol, &characteristics, sizeof characteristics);
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
        NdisAllocatePacketPoolEx(&status, &g.packetPool, 4, 4, 0);
        NdisAllocateBufferPool(&status, &g.bufferPool, 4);
    }
    void TearDown() override
    {
        NDIS_STATUS status;
        if (g.secondProtocol != nullptr) {
            NdisDeregisterProtocol(&status, g.secondProtocol);
        }
        NdisDeregisterProtocol(&status, g.protocol);
        NdisFreeBufferPool(g.bufferPool);
        NdisFreePacketPool(g.packetPool);
        rztest::SimTest::TearDown();
    }

    // Another protocol registers; it opens every adapter too.
    void RegisterSecondProtocol()
    {
        NDIS50_PROTOCOL_CHARACTERISTICS characteristics = characteristics_;
        RtlInitUnicodeString(&characteristics.Name, u"second listener");
        characteristics.BindAdapterHandler = ListenBindAgain;
        NDIS_STATUS status;
        NdisRegisterProtocol(&status, &g.secondProtocol, &characteristics, sizeof characteristics);
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    }

    // A query or set with any buffer on the open at `which`; the status, and
    // the bytes written or read in *done.
    NDIS_STATUS Request(NDIS_REQUEST_TYPE type, NDIS_OID oid, Bytes &buffer, size_t which = 0,
                        UINT *done = nullptr)
    {
        NDIS_REQUEST request{};
        request.RequestType = type;
        request.DATA.QUERY_INFORMATION.Oid = oid;
        request.DATA.QUERY_INFORMATION.InformationBuffer = buffer.data();
        request.DATA.QUERY_INFORMATION.InformationBufferLength = static_cast<UINT>(buffer.size());
        NDIS_STATUS status;
        NdisRequest(&status, g.opens.at(which), &request);
        if (done != nullptr) {
            *done = type == NdisRequestQueryInformation ? request.DATA.QUERY_INFORMATION.BytesWritten
                                                        : request.DATA.SET_INFORMATION.BytesRead;
        }
        return status;
    }

    void Set(NDIS_OID oid, ULONG value, size_t which = 0)
    {
        NDIS_REQUEST request{};
        request.RequestType = NdisRequestSetInformation;
        request.DATA.SET_INFORMATION.Oid = oid;
        request.DATA.SET_INFORMATION.InformationBuffer = &value;
        request.DATA.SET_INFORMATION.InformationBufferLength = sizeof value;
        NDIS_STATUS status;
        NdisRequest(&status, g.opens.at(which), &request);
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    }

    PNDIS_PACKET SendPacket(Bytes &frame)
    {
        NDIS_STATUS status;
        PNDIS_PACKET packet;
        NdisAllocatePacket(&status, &packet, g.packetPool);
        PMDL mdl = sim::AllocateLockedMdl(frame.data(), static_cast<ULONG>(frame.size()));
        mdls_.push_back(mdl);
        NdisChainBufferAtFront(packet, mdl);
        return packet;
    }
    void FreeSendBuffers()
    {
        for (PMDL mdl : mdls_) {
            IoFreeMdl(mdl);
        }
        mdls_.clear();
    }

    std::vector<PMDL> mdls_;
    NDIS50_PROTOCOL_CHARACTERISTICS characteristics_{};
};

TEST_F(AdapterTraffic, PacketFilterDecidesWhichFramesAnOpenSees)
{
    sim::Adapter nic = sim::AddAdapter();
    const Bytes other = {0x02, 0, 0, 0, 0, 0x99};
    const Bytes broadcast(6, 0xFF);
    nic.IndicateReceive(FrameTo(kStation, 60));
    EXPECT_TRUE(g.received.empty()) << "filter 0 takes nothing";

    Set(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_DIRECTED);
    EXPECT_EQ(nic.IndicateReceive(FrameTo(kStation, 60)).size(), 1u);
    EXPECT_TRUE(nic.IndicateReceive(FrameTo(other, 60)).empty());
    EXPECT_TRUE(nic.IndicateReceive(FrameTo(broadcast, 60)).empty());
    Set(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST);
    EXPECT_EQ(nic.IndicateReceive(FrameTo(broadcast, 60)).size(), 1u);
    Set(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_PROMISCUOUS);
    EXPECT_EQ(nic.IndicatePacket(FrameTo(other, 60)).size(), 1u);
    EXPECT_EQ(g.received.size(), 3u);
    nic.Remove();
}

TEST_F(AdapterTraffic, MulticastListsAreKeptPerOpenWithinTheAdaptersRoom)
{
    sim::AdapterConfig config;
    config.multicastListSize = 2;
    sim::Adapter nic = sim::AddAdapter(config);
    RegisterSecondProtocol();
    ASSERT_EQ(g.opens.size(), 2u);
    const Bytes pae = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x03};
    const Bytes mdns = {0x01, 0x00, 0x5E, 0x00, 0x00, 0xFB};
    const Bytes ipv6 = {0x33, 0x33, 0x00, 0x00, 0x00, 0x01};
    auto join = [&](std::vector<Bytes> addresses, size_t which) {
        Bytes list;
        for (const Bytes &address : addresses) {
            list.insert(list.end(), address.begin(), address.end());
        }
        return Request(NdisRequestSetInformation, OID_802_3_MULTICAST_LIST, list, which);
    };

    Bytes size(4);
    ASSERT_EQ(Request(NdisRequestQueryInformation, OID_802_3_MAXIMUM_LIST_SIZE, size), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(size, (Bytes{2, 0, 0, 0}));

    Set(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST);
    EXPECT_TRUE(nic.IndicateReceive(FrameTo(pae, 60)).empty()) << "a group address off the list";
    ASSERT_EQ(join({pae, pae}, 0), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(nic.IndicateReceive(FrameTo(pae, 60)).size(), 1u);
    EXPECT_TRUE(nic.IndicateReceive(FrameTo(mdns, 60)).empty());
    Bytes list(12);
    UINT written = 0;
    ASSERT_EQ(Request(NdisRequestQueryInformation, OID_802_3_MULTICAST_LIST, list, 0, &written),
              NDIS_STATUS_SUCCESS);
    EXPECT_EQ(written, 6u) << "each address once";
    EXPECT_EQ(Bytes(list.begin(), list.begin() + 6), pae);

    // The second open's list is its own, but the hardware holds both.
    Set(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_MULTICAST, 1);
    EXPECT_EQ(join({mdns}, 1), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(nic.IndicateReceive(FrameTo(mdns, 60)).size(), 1u) << "the second open only";
    EXPECT_EQ(join({mdns, ipv6}, 1), NDIS_STATUS_MULTICAST_FULL) << "three addresses in a room of two";
    EXPECT_EQ(join({pae, mdns, ipv6}, 0), NDIS_STATUS_MULTICAST_FULL);
    sim::ReceiveFilter combined = nic.CombinedFilter();
    EXPECT_EQ(combined.packetFilter, ULONG{NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST});
    EXPECT_EQ(combined.multicast.size(), 2u) << "the failed sets changed nothing";

    Bytes ragged(7, 0x01);
    EXPECT_EQ(Request(NdisRequestSetInformation, OID_802_3_MULTICAST_LIST, ragged), NDIS_STATUS_INVALID_LENGTH);
    Set(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_DIRECTED);
    EXPECT_TRUE(nic.IndicateReceive(FrameTo(pae, 60)).empty()) << "the list counts only with the multicast bit";
    Set(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_ALL_MULTICAST);
    EXPECT_EQ(nic.IndicateReceive(FrameTo(ipv6, 60)).size(), 1u);
    EXPECT_EQ(join({}, 0), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(nic.CombinedFilter().multicast, (std::vector<sim::MacAddress>{{0x01, 0x00, 0x5E, 0x00, 0x00, 0xFB}}))
        << "an empty set empties the first open's list";
    nic.Remove();
}

TEST_F(AdapterTraffic, MacOptionsAndSizeLimitsAreWhatTheAdapterDoes)
{
    sim::Adapter nic = sim::AddAdapter();
    Bytes options(4);
    ASSERT_EQ(Request(NdisRequestQueryInformation, OID_GEN_MAC_OPTIONS, options), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(options[0] & NDIS_MAC_OPTION_TRANSFERS_NOT_PEND, 0) << "transfers may pend";
    Bytes total(4);
    ASSERT_EQ(Request(NdisRequestQueryInformation, OID_GEN_MAXIMUM_TOTAL_SIZE, total), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(total, (Bytes{0xEA, 0x05, 0, 0}));

    Bytes longest = FrameTo(kStation, 1514);
    Bytes tooLong = FrameTo(kStation, 1515);
    PNDIS_PACKET packets[] = {SendPacket(longest), SendPacket(tooLong)};
    NdisSendPackets(g.opens.back(), packets, 2);
    EXPECT_EQ(g.sendCompletions, (std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS, NDIS_STATUS_INVALID_PACKET}));
    EXPECT_EQ(nic.SentFrames(), std::vector<Bytes>{longest});
    FreeSendBuffers();
    nic.Remove();

    sim::AdapterConfig claims;
    claims.name = u"\\Device\\{CLAIMS}";
    claims.macOptions |= NDIS_MAC_OPTION_TRANSFERS_NOT_PEND;
    sim::Adapter strict = sim::CreateAdapter(claims);
    strict.SetTransferCompletion({.pended = true});
    EXPECT_TRUE(HasRule(TakeViolations(), "sim.adapter-contradicts-mac-options"));
}

TEST_F(AdapterTraffic, IndicationShapesAndReceiveCompleteAfterABatch)
{
    sim::Adapter nic = sim::AddAdapter();
    Set(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_DIRECTED);
    Bytes frame = FrameTo(kStation, 100);
    frame[99] = 0x77;

    nic.IndicateReceiveBatch({frame, frame}, {.lookahead = 20});
    nic.IndicateReceive(frame, {.lookahead = 86, .padding = 10});
    nic.IndicateReceive(FrameTo(kStation, 42));
    EXPECT_EQ(g.events, (std::vector<std::string>{"receive 20/86", "receive 20/86", "receive complete",
                                                  "receive 96/86", "receive complete", "receive 46/46",
                                                  "receive complete"}));
    EXPECT_EQ(g.received[0].size(), 34u);
    Bytes padded = FrameTo(kStation, 42);
    padded.resize(60, 0);
    EXPECT_EQ(g.received.back(), padded) << "a short frame arrives padded, as from a wire";

    g.events.clear();
    g.received.clear();
    nic.IndicatePacket(frame, {.pieces = {10, 30}, .resources = true});
    EXPECT_EQ(g.events, (std::vector<std::string>{"packet 3 resources", "receive complete"}));
    EXPECT_EQ(g.received[0], frame);
    nic.Remove();
}

TEST_F(AdapterTraffic, SendsCompleteInAnyOrderAndLoopBackUnlessTheSenderDeclined)
{
    sim::Adapter nic = sim::AddAdapter();
    Set(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_DIRECTED);
    Bytes first = FrameTo(kStation, 60, 1);
    Bytes second = FrameTo(kStation, 61, 2);

    PNDIS_PACKET packet = SendPacket(first);
    NdisSendPackets(g.opens.back(), &packet, 1);
    EXPECT_EQ(g.sendCompletions, std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
    EXPECT_EQ(g.received.size(), 1u) << "looped back to the sender";

    Set(OID_GEN_PROTOCOL_OPTIONS, NDIS_PROT_OPTION_NO_LOOPBACK);
    nic.SetSendCompletion({.pended = true, .status = NDIS_STATUS_FAILURE});
    PNDIS_PACKET packets[2] = {SendPacket(first), SendPacket(second)};
    NdisSendPackets(g.opens.back(), packets, 2);
    EXPECT_EQ(g.received.size(), 1u);
    EXPECT_EQ(g.sendCompletions.size(), 1u);
    std::thread completer([&nic] {
        EXPECT_TRUE(nic.CompletePendedSend(1, NDIS_STATUS_SUCCESS));
        EXPECT_TRUE(nic.CompletePendedSend(0));
    });
    completer.join();
    EXPECT_EQ(g.sendCompletions, (std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS, NDIS_STATUS_SUCCESS,
                                                           NDIS_STATUS_FAILURE}));
    EXPECT_EQ(nic.SentFrames(), (std::vector<Bytes>{first, second, first})) << "in the order they completed";
    FreeSendBuffers();
    nic.Remove();
}

// Until its send completes, a pended packet and its buffers are the
// adapter's: the frame leaves when the send completes, as it was handed over.
TEST_F(AdapterTraffic, APendedSendsPacketIsTheAdaptersUntilItCompletes)
{
    sim::Adapter nic = sim::AddAdapter();
    Set(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_DIRECTED);
    nic.SetSendCompletion({.pended = true});
    Bytes frame = FrameTo(kStation, 60, 3);
    const Bytes handed = frame;

    PNDIS_PACKET packet = SendPacket(frame);
    NdisSendPackets(g.opens.back(), &packet, 1);
    EXPECT_TRUE(nic.SentFrames().empty()) << "nothing leaves before the completion";
    EXPECT_TRUE(g.received.empty());
    EXPECT_TRUE(nic.CompletePendedSend());
    EXPECT_EQ(nic.SentFrames(), std::vector<Bytes>{handed});
    EXPECT_EQ(g.received, std::vector<Bytes>{handed}) << "looped back as it leaves";
    EXPECT_TRUE(TakeViolations().empty());

    // The protocol writes into the frame, or takes a buffer off the packet,
    // before the completion.
    nic.ForgetSentFrames();
    packet = SendPacket(frame);
    NdisSendPackets(g.opens.back(), &packet, 1);
    frame[20] ^= 0xFF;
    EXPECT_TRUE(nic.CompletePendedSend());
    EXPECT_TRUE(HasRule(TakeViolations(), "ndis.send-changed-before-completion"));

    packet = SendPacket(frame);
    NdisSendPackets(g.opens.back(), &packet, 1);
    PNDIS_BUFFER taken;
    NdisUnchainBufferAtFront(packet, &taken);
    EXPECT_TRUE(nic.CompletePendedSend());
    EXPECT_TRUE(HasRule(TakeViolations(), "ndis.send-changed-before-completion"));
    EXPECT_TRUE(nic.SentFrames().empty()) << "neither frame could be sent as it was handed over";
    EXPECT_EQ(g.sendCompletions.size(), 3u);
    FreeSendBuffers();
    nic.Remove();
}

// Whether everything the handlers were given reads poison now; forgets it.
bool GivenMemoryIsGone()
{
    bool gone = !g.given.empty();
    for (auto [address, length] : g.given) {
        gone = gone && std::all_of(address, address + length, [](uint8_t b) { return b == sim::kPoolPoisonByte; });
    }
    g.given.clear();
    return gone;
}

// What an indication hands a protocol is the protocol's only while its
// handler runs, by every road: afterwards it reads poison.
TEST_F(AdapterTraffic, IndicatedMemoryIsGoneWhenTheHandlerReturns)
{
    sim::Adapter nic = sim::AddAdapter();
    characteristics_.ReceivePacketHandler = nullptr;
    RegisterSecondProtocol();
    ASSERT_EQ(g.opens.size(), 2u);
    Set(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_DIRECTED, 0);
    Set(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_DIRECTED, 1);
    Bytes frame = FrameTo(kStation, 80, 9);

    nic.IndicateReceive(frame, {.lookahead = 20});
    EXPECT_EQ(g.given.size(), 4u);
    EXPECT_TRUE(GivenMemoryIsGone()) << "header and lookahead";
    nic.DeliverFrame(std::make_shared<const Bytes>(frame));
    EXPECT_TRUE(GivenMemoryIsGone()) << "a wire's frame";
    nic.IndicatePacket(frame, {.pieces = {14, 30}, .mapped = false});
    EXPECT_EQ(g.given.size(), 6u) << "the packet and its three buffers, a header and a lookahead";
    EXPECT_TRUE(GivenMemoryIsGone()) << "a packet and what it was given in";
    nic.Remove();
}

// The receive context is good for one transfer, asked for by the open whose
// ReceiveHandler got it, in that handler, within the packet.
TEST_F(AdapterTraffic, ATransferIsAskedForOnceInsideTheOpensOwnReceiveHandler)
{
    sim::Adapter nic = sim::AddAdapter();
    RegisterSecondProtocol();
    ASSERT_EQ(g.opens.size(), 2u);
    Set(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_DIRECTED, 0);
    Set(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_DIRECTED, 1);
    Bytes frame = FrameTo(kStation, 60, 7);
    std::vector<NDIS_STATUS> statuses;
    std::vector<UINT> counts;
    auto transfer = [&](size_t which, NDIS_HANDLE context, UINT offset, UINT count) {
        PNDIS_PACKET packet = TransferPacket(64);
        NDIS_STATUS status;
        UINT transferred = 0;
        NdisTransferData(&status, g.opens.at(which), context, offset, count, packet, &transferred);
        statuses.push_back(status);
        counts.push_back(transferred);
        FinishTransfer(packet, 0);
    };

    // The whole rest, then the same again: the second is one too many.
    g.duringReceive = [&](size_t open, NDIS_HANDLE context, UINT lookahead, UINT packetSize) {
        if (open == 1) {
            transfer(0, context, lookahead, packetSize - lookahead);
            transfer(0, context, lookahead, packetSize - lookahead);
        }
    };
    nic.IndicateReceive(frame, {.lookahead = 10});
    EXPECT_EQ(statuses, (std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS, NDIS_STATUS_FAILURE}));
    EXPECT_EQ(counts[0], 36u);
    EXPECT_TRUE(HasRule(TakeViolations(), "ndis.transfer-repeated"));

    // Beyond the packet's end, by its offset or by its length.
    for (auto [offset, count] : {std::pair<UINT, UINT>{47, 0}, {10, 37}, {1, 0xFFFFFFFFu}}) {
        statuses.clear();
        g.duringReceive = [&, offset, count](size_t open, NDIS_HANDLE context, UINT, UINT) {
            if (open == 1) {
                transfer(0, context, offset, count);
            }
        };
        nic.IndicateReceive(frame, {.lookahead = 10});
        EXPECT_EQ(statuses, std::vector<NDIS_STATUS>{NDIS_STATUS_FAILURE}) << offset << "+" << count;
        EXPECT_TRUE(HasRule(TakeViolations(), "ndis.transfer-out-of-range")) << offset << "+" << count;
    }

    // Another open's handle, another thread, or after the handler returned.
    statuses.clear();
    NDIS_HANDLE kept = nullptr;
    g.duringReceive = [&](size_t open, NDIS_HANDLE context, UINT, UINT) {
        if (open == 1) {
            transfer(1, context, 0, 4);
            std::thread([&] { transfer(0, context, 0, 4); }).join();
            kept = context;
        }
    };
    nic.IndicateReceive(frame, {.lookahead = 10});
    g.duringReceive = nullptr;
    transfer(0, kept, 0, 4);
    EXPECT_EQ(statuses, std::vector<NDIS_STATUS>(3, NDIS_STATUS_FAILURE));
    std::vector<std::string> found = TakeViolations();
    EXPECT_EQ(std::count_if(found.begin(), found.end(),
                            [](const std::string &v) { return v.rfind("ndis.transfer-outside-indication", 0) == 0; }),
              3);
    nic.Remove();
}

TEST_F(AdapterTraffic, CloseWaitsForPendedTransfersAndSends)
{
    sim::Adapter nic = sim::AddAdapter();
    nic.SetCloseCompletion(sim::Completion::Immediate);
    Set(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_DIRECTED);
    g.transferOnReceive = true;
    nic.SetTransferCompletion({.pended = true});
    nic.SetSendCompletion({.pended = true});
    Bytes frame = FrameTo(kStation, 60);
    nic.IndicateReceive(frame, {.lookahead = 10});
    EXPECT_EQ(nic.PendedTransferCount(), 1u);
    // A transfer is asked for only during its indication.
    NDIS_STATUS status;
    UINT transferred;
    PNDIS_PACKET late = TransferPacket(10);
    NdisTransferData(&status, g.opens.back(), frame.data(), 0, 10, late, &transferred);
    EXPECT_EQ(status, NDIS_STATUS_FAILURE);
    EXPECT_TRUE(HasRule(TakeViolations(), "ndis.transfer-outside-indication"));
    FinishTransfer(late, 0);

    PNDIS_PACKET packet = SendPacket(frame);
    NdisSendPackets(g.opens.back(), &packet, 1);
    NdisSendPackets(g.opens.back(), &packet, 1);
    EXPECT_TRUE(HasRule(TakeViolations(), "ndis.packet-in-flight"));

    nic.BeginRemove();
    EXPECT_TRUE(g.events.back() != "close complete");
    EXPECT_TRUE(nic.IndicateReceive(frame).empty()) << "nothing new starts once the close is called";
    EXPECT_TRUE(nic.CompletePendedSend());
    EXPECT_TRUE(g.events.back() != "close complete");
    EXPECT_TRUE(nic.CompletePendedTransfer());
    EXPECT_EQ(g.events.back(), "close complete");
    EXPECT_TRUE(nic.WaitRemoved(std::chrono::seconds(5)));
    FreeSendBuffers();
}

}  // namespace

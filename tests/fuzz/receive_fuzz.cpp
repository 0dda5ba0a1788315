// libFuzzer target: frames of any bytes reaching two pending reads in every
// shape an adapter may indicate them: header and lookahead of any sizes, the
// rest by a transfer that finishes at once, later, short or failing, or a
// whole packet cut into buffers. A read completes only with the frame's own
// bytes, cut to its length, and nothing is left behind.
//
// Input: byte 0 the style (bit 0 clear: lookahead indication, set: packet;
// the other bits, when not 0, the number of the failable call to fail from
// the indication on), byte 1
// flags (bit 0 EAPOL type, bit 1 sent to the station address, bit 2 packet
// with NDIS_STATUS_RESOURCES, bit 3 buffers not yet mapped, bit 4 transfer
// pended, bit 5 transfer fails), byte 2 the header size, byte 3 the
// lookahead size (255: all), byte 4 lookahead padding and transfer shortfall,
// bytes 5 to 7 three buffer sizes, bytes 8 and 9 the two reads' lengths in
// units of 8, the rest the frame.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "sim/direct_io.h"
#include "sim/faults.h"
#include "tests/fuzz/driver_stage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 10) {
        return 0;
    }
    const uint8_t style = data[0];
    const uint8_t flags = data[1];
    std::vector<uint8_t> frame(data + 10, data + size);
    if ((flags & 0x2) && frame.size() >= 6) {
        std::copy(fuzz::kStationAddress.begin(), fuzz::kStationAddress.end(), frame.begin());
    }
    if ((flags & 0x1) && frame.size() >= 14) {
        frame[12] = 0x88;
        frame[13] = 0x8E;
    }
    // What the reads may return: the frame as the wire delivers it, padded to 60 bytes.
    std::vector<uint8_t> received = frame;
    received.resize(std::max<size_t>(received.size(), 60), 0);

    fuzz::DriverStage stage;
    if (!stage.Start(true)) {
        fuzz::Fail("the driver did not load");
    }
    sim::Adapter &nic = stage.Adapter();
    sim::TransferScript transfer;
    transfer.pended = (flags & 0x10) != 0;
    transfer.status = (flags & 0x20) ? NDIS_STATUS_FAILURE : NDIS_STATUS_SUCCESS;
    transfer.shortBy = data[4] >> 4;
    nic.SetTransferCompletion(transfer);

    std::vector<sim::Request> reads;
    for (size_t i = 8; i < 10; ++i) {
        reads.push_back(stage.Track(stage.Handle().Read(data[i] * 8u)));
    }
    if (style >> 1 != 0) {
        sim::faults::FailGlobalNth(style >> 1);
    }
    if (style % 2 == 0) {
        sim::ReceiveShape shape;
        shape.headerSize = std::min<UINT>(data[2], static_cast<UINT>(frame.size()));
        if (data[3] != 0xFF) {
            shape.lookahead = data[3];
        }
        shape.padding = data[4] & 0x0F;
        nic.IndicateReceive(frame, shape);
        while (nic.CompletePendedTransfer()) {
        }
    } else {
        sim::PacketShape shape;
        shape.pieces = {data[5], data[6], data[7]};
        shape.resources = (flags & 0x4) != 0;
        shape.mapped = (flags & 0x8) == 0;
        nic.IndicatePacket(frame, shape);
    }

    for (const sim::Request &read : reads) {
        if (read.Completed() && NT_SUCCESS(read.FinalStatus().Status)) {
            std::vector<uint8_t> bytes = sim::CallerBytes(read);
            size_t length = read.FinalStatus().Information;
            if (length > bytes.size() || length > received.size() ||
                !std::equal(bytes.begin(), bytes.begin() + length, received.begin())) {
                fuzz::Fail("a read completed with bytes that are not the frame's");
            }
        }
    }
    stage.Finish();
    return 0;
}

// libFuzzer target: device-control requests of any code, with any input and
// output lengths and bytes, on an attached or an unattached handle, mixed
// with the adapter's status indications, with the adapter in low power,
// unbound under the attached handle or answering OIDs wrongly, and any one
// failable platform call failing. Every request completes exactly once, with
// a clear status, and nothing is left behind.
//
// Input: byte 0 bit 0 attaches the handle, bit 1 puts the adapter in D3, bit
// 2 unbinds it, bit 3 makes it overstate what it wrote or read for every OID
// a request names, bit 4 makes it fail them. Then records until the input
// ends: a kind byte (0-3 the relay's four codes, 4 any code from the next
// four bytes, 5 a status indication, 6 the failable call that many calls on
// fails), an output-length byte (bit 7: times 64), an input-length byte and
// that many input bytes.
#include <cstdint>
#include <cstring>
#include <vector>

#include "control/relay_ioctl.h"
#include "sim/device_control.h"
#include "sim/faults.h"
#include "tests/fuzz/driver_stage.h"

namespace {

const ULONG kRelayCodes[] = {IOCTL_RELAY_OPEN_ADAPTER, IOCTL_RELAY_QUERY_OID, IOCTL_RELAY_SET_OID,
                             IOCTL_RELAY_WAIT_STATUS};
const NDIS_STATUS kIndications[] = {NDIS_STATUS_MEDIA_CONNECT, NDIS_STATUS_MEDIA_DISCONNECT,
                                    NDIS_STATUS_MEDIA_SPECIFIC_INDICATION, NDIS_STATUS_RESET_START,
                                    NDIS_STATUS_RESET_END};

class Reader {
public:
    Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return offset_ >= size_; }
    uint8_t Byte() { return Empty() ? 0 : data_[offset_++]; }
    std::vector<uint8_t> Bytes(size_t count)
    {
        count = std::min(count, size_ - std::min(offset_, size_));
        std::vector<uint8_t> bytes(data_ + offset_, data_ + offset_ + count);
        offset_ += count;
        return bytes;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t offset_ = 0;
};

constexpr uint8_t kLowPower = 0x02;
constexpr uint8_t kUnbound = 0x04;
constexpr uint8_t kOverstatedAnswers = 0x08;
constexpr uint8_t kFailingAnswers = 0x10;

void SetAdapterState(sim::Adapter &nic, uint8_t options)
{
    if (options & kLowPower) {
        nic.IndicatePnPEvent(NetEventSetPower, {static_cast<uint8_t>(NdisDeviceStateD3), 0, 0, 0});
    }
    if ((options & kUnbound) && !nic.Remove()) {
        fuzz::Fail("the adapter's unbind did not complete");
    }
}

// The adapter's answer to the OID a query or set input names.
void ScriptAnswers(sim::Adapter &nic, uint8_t options, const std::vector<uint8_t> &input)
{
    if (input.size() < sizeof(NDIS_OID) || (options & (kOverstatedAnswers | kFailingAnswers)) == 0) {
        return;
    }
    NDIS_OID oid;
    std::memcpy(&oid, input.data(), sizeof oid);
    if (options & kFailingAnswers) {
        nic.ScriptOid(oid, sim::OidScript::Fail(input.size() % 2 ? NDIS_STATUS_INVALID_LENGTH : NDIS_STATUS_NOT_SUPPORTED));
    } else {
        nic.ScriptOid(oid, sim::OidScript::Answer(std::vector<uint8_t>(8, 0xA5)).Report(0xFFFFFFFF));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Reader input(data, size);
    const uint8_t options = input.Byte();
    fuzz::DriverStage stage;
    if (!stage.Start(options & 1)) {
        fuzz::Fail("the driver did not load");
    }
    SetAdapterState(stage.Adapter(), options);
    while (!input.Empty()) {
        uint8_t kind = input.Byte() % 7;
        uint8_t output = input.Byte();
        ULONG outputLength = (output & 0x80) ? (output & 0x7F) * 64u : output;
        ULONG code = kind < 4 ? kRelayCodes[kind] : 0;
        if (kind == 4) {
            std::vector<uint8_t> bytes = input.Bytes(4);
            bytes.resize(4);
            std::memcpy(&code, bytes.data(), 4);
        }
        std::vector<uint8_t> bytes = input.Bytes(input.Byte());
        if (kind == 5) {
            stage.Adapter().IndicateStatus(kIndications[output % 5], bytes);
            continue;
        }
        if (kind == 6) {
            sim::faults::FailGlobalNth(output + 1u);
            continue;
        }
        ScriptAnswers(stage.Adapter(), options, bytes);
        sim::ControlRequest request = stage.Track(stage.Handle().Control(code, bytes, outputLength));
        if (request.Completed()) {
            IO_STATUS_BLOCK result = request.FinalStatus();
            if ((!NT_SUCCESS(result.Status) && result.Information != 0) || result.Information > outputLength) {
                fuzz::Fail("a completed request reports more than it could have written");
            }
        }
    }
    stage.Finish();
    return 0;
}

#include "bench/stage.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "control/relay_ioctl.h"
#include "core/driver.h"
#include "sim/device_control.h"
#include "sim/direct_io.h"
#include "sim/driver.h"
#include "sim/verifier.h"
#include "sim/world.h"

namespace bench {

const Bytes kStationAddress = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};

namespace {

constexpr char16_t kAdapterName[] = u"\\Device\\{BENCH-NIC-0}";

struct Loaded {
    sim::Driver driver;
    Stage stage;
};

Loaded *g_loaded = nullptr;

[[noreturn]] void Fail(const std::string &what)
{
    std::fprintf(stderr, "bench stage: %s\n", what.c_str());
    std::exit(1);
}

Loaded *Load()
{
    sim::ResetWorld();
    auto *loaded = new Loaded;
    if (sim::Driver::Load(DriverEntry, u"rezezura", &loaded->driver) != STATUS_SUCCESS) {
        Fail("DriverEntry failed");
    }
    sim::AdapterConfig config;
    config.name = kAdapterName;
    std::copy(kStationAddress.begin(), kStationAddress.end(), config.stationAddress.begin());
    loaded->stage.adapter = sim::AddAdapter(config);

    Stage &stage = loaded->stage;
    if (sim::ClientHandle::Open(u"\\\\.\\rezezura", sim::Account::Administrator,
                                GENERIC_READ | GENERIC_WRITE, &stage.handle) != STATUS_SUCCESS) {
        Fail("the control device did not open");
    }
    std::u16string name = kAdapterName;
    Bytes input(reinterpret_cast<const uint8_t *>(name.data()),
                reinterpret_cast<const uint8_t *>(name.data() + name.size()));
    sim::ControlRequest attach = stage.handle.Control(IOCTL_RELAY_OPEN_ADAPTER, input, 0);
    if (!attach.WaitForCompletion() || attach.FinalStatus().Status != STATUS_SUCCESS) {
        Fail("the handle did not attach to the adapter");
    }
    // The attachment's reference keeps the binding for the whole run.
    stage.binding = static_cast<AdapterBinding *>(stage.handle.FileObject().Object()->FsContext);
    return loaded;
}

}  // namespace

Stage &TheStage()
{
    if (g_loaded == nullptr) {
        g_loaded = Load();
    }
    return g_loaded->stage;
}

bool EndStage()
{
    if (g_loaded == nullptr) {
        return true;
    }
    g_loaded->stage.handle.Close();
    bool stopped = sim::WaitForDeferredCloses() && g_loaded->driver.Stop();
    std::vector<std::string> findings = sim::TakeViolations();
    for (const std::string &leak : sim::Leaks()) {
        findings.push_back("leak: " + leak);
    }
    if (!stopped) {
        findings.push_back("the driver did not stop");
    }
    for (const std::string &finding : findings) {
        std::fprintf(stderr, "bench stage: %s\n", finding.c_str());
    }
    return findings.empty();
}

sim::Request DispatchRead(ULONG length)
{
    sim::Request read = sim::BuildRead(TheStage().handle.FileObject(), length);
    read.Dispatch();
    return read;
}

sim::Request DispatchWrite(const Bytes &frame)
{
    sim::Request write = sim::BuildWrite(TheStage().handle.FileObject(), frame);
    write.Dispatch();
    return write;
}

Bytes EthernetFrame(size_t length, uint16_t type)
{
    Bytes frame(length);
    std::copy(kStationAddress.begin(), kStationAddress.end(), frame.begin());
    const Bytes source = {0x02, 0x00, 0x5E, 0x20, 0x00, 0x02};
    std::copy(source.begin(), source.end(), frame.begin() + 6);
    frame[12] = static_cast<uint8_t>(type >> 8);
    frame[13] = static_cast<uint8_t>(type);
    for (size_t i = 14; i < frame.size(); ++i) {
        frame[i] = static_cast<uint8_t>(i);
    }
    return frame;
}

}  // namespace bench

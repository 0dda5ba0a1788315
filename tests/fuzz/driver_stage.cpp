#include "tests/fuzz/driver_stage.h"

#include <cstdio>
#include <cstdlib>

#include "control/relay_ioctl.h"
#include "core/driver.h"
#include "devsecurity/class_settings.h"
#include "devsecurity/secure_create.h"
#include "sim/image.h"
#include "sim/io.h"
#include "sim/ndis_pools.h"
#include "sim/pool.h"
#include "sim/verifier.h"
#include "sim/world.h"

namespace fuzz {

const std::vector<uint8_t> kStationAddress = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};

void Fail(const char *what)
{
    std::fprintf(stderr, "driver fuzz: %s\n", what);
    std::abort();
}

bool DriverStage::Start(bool attach)
{
    sim::ResetWorld();
    // Every load is a fresh driver: nothing resolved by the previous input's.
    // REZEZURA_IMAGE names an image to map afresh instead (the x86 build).
    RoutinesResolved = 0;
    ResolvedCreateRoutine = nullptr;
    ClassKeySecurityState = CLASS_KEY_SECURITY_UNCHECKED;
    const char *imagePath = std::getenv("REZEZURA_IMAGE");
    sim::MappedImage image;
    if (imagePath != nullptr && *imagePath != '\0') {
        image = sim::MapDriverImage(imagePath);
        if (!NT_SUCCESS(image.status)) {
            Fail(image.message.c_str());
        }
    }

    sim::AdapterConfig config;
    config.name = u"\\Device\\{FUZZ}";
    std::copy(kStationAddress.begin(), kStationAddress.end(), config.stationAddress.begin());
    adapter_ = sim::AddAdapter(config);
    NTSTATUS loaded = image.entry != nullptr ? sim::Driver::Load(image.entry, u"rezezura", &driver_, image.image)
                                             : sim::Driver::Load(DriverEntry, u"rezezura", &driver_);
    if (!NT_SUCCESS(loaded) ||
        !NT_SUCCESS(sim::ClientHandle::Open(u"\\\\.\\rezezura", sim::Account::Administrator,
                                            GENERIC_READ | GENERIC_WRITE, &handle_))) {
        return false;
    }
    if (attach) {
        const std::u16string &name = adapter_->Name();
        const auto *bytes = reinterpret_cast<const uint8_t *>(name.data());
        sim::ControlRequest request = Track(handle_.Control(
            IOCTL_RELAY_OPEN_ADAPTER, std::vector<uint8_t>(bytes, bytes + name.size() * 2), 0));
        if (!request.WaitForCompletion() || request.FinalStatus().Status != STATUS_SUCCESS) {
            Fail("the attach failed");
        }
    }
    return true;
}

void DriverStage::Finish()
{
    handle_.CancelIo();
    handle_.Close();
    if (!sim::WaitForDeferredCloses()) {
        Fail("a close never came");
    }
    for (const sim::Request &request : requests_) {
        if (request.Dispatched() && !request.WaitForCompletion()) {
            Fail("a request was never completed");
        }
    }
    requests_.clear();
    if (!driver_.Stop()) {
        Fail("the driver did not unload");
    }
    for (const std::string &violation : sim::TakeViolations()) {
        std::fprintf(stderr, "verifier: %s\n", violation.c_str());
        Fail("the verifier objected");
    }
    for (const std::string &leak : sim::Leaks()) {
        std::fprintf(stderr, "leak: %s\n", leak.c_str());
        Fail("something was left behind");
    }
    // A request its caller let go of (Request::Release) is forgotten once
    // completed, so completions may outnumber the requests still known.
    if (sim::CompletedRequestCount() < sim::RequestCount()) {
        Fail("a request was left uncompleted");
    }
    adapter_.reset();
    sim::ReleaseAllPool();
    sim::ReleaseAllNdisPools();
}

}  // namespace fuzz

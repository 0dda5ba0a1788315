// Scenario helpers for secure device creation: a driver object as the I/O
// manager hands one to DriverEntry, a fresh load of the driver's secure
// creation state, class keys by GUID, and a device's security in plain terms.
#pragma once

#include <string>

#include "platform/guid.h"
#include "platform/io.h"
#include "sim/security.h"

namespace rztest {

class DriverObjectForTest {
public:
    explicit DriverObjectForTest(const std::u16string &serviceKeyName);
    DriverObjectForTest(const DriverObjectForTest &) = delete;
    DriverObjectForTest &operator=(const DriverObjectForTest &) = delete;

    PDRIVER_OBJECT Object() { return &object_; }

private:
    std::u16string serviceKeyName_;
    DRIVER_EXTENSION extension_{};
    DRIVER_OBJECT object_{};
};

// What the loader gives every load of the driver image: the secure creation
// routine not yet looked up and the class key descriptor not yet checked.
// The sim cannot load the image again, so the load-time values are restored.
void StartSecureCreationLoad();

// "\Registry\Machine\System\CurrentControlSet\Control\Class\{GUID}".
std::string ClassKeyPath(const GUID &guid);

// The security the device keeps; a descriptor with nothing in it when none.
sim::security::Descriptor DeviceSecurity(PDEVICE_OBJECT device);

}  // namespace rztest

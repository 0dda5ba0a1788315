// A control device for tests that drive the relay's pieces without loading
// the driver: a device object with the DeviceContext extension, installed as
// ControlDeviceObject for the lifetime of this object. The bindings' close
// work items are allocated on it.
#pragma once

#include "bindings/binding.h"

namespace rztest {

class ControlDevice {
public:
    ControlDevice();
    ~ControlDevice();
    ControlDevice(const ControlDevice &) = delete;
    ControlDevice &operator=(const ControlDevice &) = delete;

    PDEVICE_OBJECT Device() const { return device_; }
    DeviceContext &Context() const { return *static_cast<DeviceContext *>(device_->DeviceExtension); }

private:
    DRIVER_OBJECT driver_{};
    PDEVICE_OBJECT device_ = nullptr;
};

}  // namespace rztest

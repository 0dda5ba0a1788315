#include "tests/support/control_device.h"

#include <gtest/gtest.h>

#include "platform/io_device_object.h"

namespace rztest {

ControlDevice::ControlDevice()
{
    EXPECT_EQ(IoCreateDevice(&driver_, sizeof(DeviceContext), nullptr, FILE_DEVICE_NETWORK, 0, FALSE, &device_),
              STATUS_SUCCESS);
    if (device_ != nullptr) {
        RelayInitDeviceContext(&Context());
        ControlDeviceObject = device_;
    }
}

ControlDevice::~ControlDevice()
{
    if (device_ != nullptr) {
        ControlDeviceObject = nullptr;
        IoDeleteDevice(device_);
    }
}

}  // namespace rztest

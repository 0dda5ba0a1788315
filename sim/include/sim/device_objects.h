// Device objects as the I/O manager keeps them (IoCreateDevice, IoDeleteDevice).
// A device object left at the end of a test is reported by sim::Leaks().
#pragma once

#include <string>
#include <vector>

#include "platform/io.h"

namespace sim {

// What the I/O manager does for the devices a driver created in DriverEntry
// once it returns: they leave the initializing state.
void FinishDeviceInitialization(PDRIVER_OBJECT driver);

// True for a device object IoCreateDevice made and IoDeleteDevice has not ended.
bool IsLiveDeviceObject(PDEVICE_OBJECT device);

std::vector<std::string> DeviceObjectLeftovers();
void ResetDeviceObjects();

}  // namespace sim
